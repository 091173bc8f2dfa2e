// FsGetFile and FsGetFileW: resolve a remote path and copy the file out (on a worker thread for larger files, while
// the host's thread reports progress): to a temporary file moved over the target when whole, or, for a new file of
// one request, under the target's own name.
#include "plugin/get_file.h"

#include "ext/volume.h"
#include "ext/inode_cache.h"
#include "ext/stream.h"
#include "plugin/entry_details.h"
#include "plugin/host_text.h"
#include "plugin/link_follow.h"
#include "plugin/local_paths.h"
#include "plugin/path_lookup.h"
#include "plugin/recovery_notice.h"
#include "plugin/virtual_paths.h"

#include <cstring>
#include <optional>
#include <string>
#include <vector>

namespace {

DWORD WINAPI copy_worker(LPVOID parameter)
{
    auto& job = *static_cast<copy_job*>(parameter);
    stream_file(*job.source_partition, job.inode_number, job.output_file, &job.status, &job.abort_requested,
                &job.bytes_written);
    return 0;
}

int report_progress(const plugin_context& context, char* remote_name, char* local_name, int percent)
{
    if (context.progress_callback == nullptr)
        return 0;
    return context.progress_callback(context.plugin_number, remote_name, local_name, percent);
}

int report_progress(const plugin_context& context, WCHAR* remote_name, WCHAR* local_name, int percent)
{
    if (context.progress_callback_w == nullptr)
        return 0;
    return context.progress_callback_w(context.plugin_number, remote_name, local_name, percent);
}

// How long the host's thread waits on the worker between progress reports. The wait ends the moment the worker
// does, so a small file costs no waiting; a long copy gets about 25 reports a second and costs no CPU beyond the
// worker's, and an abort is seen within this time.
constexpr DWORD progress_interval_ms = 40;

// Waits for the worker, reporting progress from the bytes it has written, until it ends or the host asks to abort
// (the worker is then told to stop and waited for). The result of the copy as far as the worker is concerned:
// ok only when it ended without failure and wrote total bytes.
template <class text>
int watch_copy(const plugin_context& context, copy_job& job, HANDLE worker, uint64_t total, text* remote_name,
               text* local_name)
{
    int result = file_result_read_error;
    for (;;) {
        DWORD waited = WaitForSingleObject(worker, progress_interval_ms);
        if (waited == WAIT_OBJECT_0) {
            if (job.status.load() == 0 && job.bytes_written.load() == total)
                result = file_result_ok;
            break;
        }
        if (waited != WAIT_TIMEOUT) {
            job.abort_requested.store(1);
            WaitForSingleObject(worker, INFINITE);
            break;
        }
        double done = static_cast<double>(job.bytes_written.load());
        int percent = static_cast<int>(done / static_cast<double>(total) * 100.0);
        if (report_progress(context, remote_name, local_name, percent < 100 ? percent : 99) != 0) {
            job.abort_requested.store(1);
            WaitForSingleObject(worker, INFINITE);
            result = file_result_aborted;
            break;
        }
    }
    CloseHandle(worker);
    return result;
}

// A file up to this size is copied on the host's thread: it takes a few milliseconds, less than one progress
// interval, so a worker would only add a thread's start and end to every small file of a folder copy.
constexpr uint64_t inline_copy_bytes = 1u << 20;

// Runs the copy, on a worker for a file larger than inline_copy_bytes. The result as for watch_copy.
template <class text>
int run_copy(const plugin_context& context, copy_job& job, uint64_t total, text* remote_name, text* local_name)
{
    if (total <= inline_copy_bytes) {
        copy_worker(&job);
        return job.status.load() == 0 && job.bytes_written.load() == total ? file_result_ok : file_result_read_error;
    }
    HANDLE worker = CreateThread(nullptr, 0, copy_worker, &job, 0, nullptr);
    if (worker == nullptr)
        return file_result_read_error;
    return watch_copy(context, job, worker, total, remote_name, local_name);
}

template <class text>
int get_file(const plugin_context& context, text* remote_name, text* local_name, int copy_flags)
{
    if (remote_name == nullptr || local_name == nullptr)
        return file_result_not_found;
    std::optional<std::string> remote = host_path_utf8(remote_name);
    if (!remote)
        return file_result_not_found;
    int index = -1;
    if (parse_partition_folder(context, remote->c_str(), index) < 0)
        return file_result_not_found;
    const shown_volume& shown = context.volumes[static_cast<size_t>(index)];
    ext_volume& source = *shown.volume;
    tell_incomplete_recovery(context, shown);

    uint32_t inode_number = 0;
    ext_inode inode;
    int resolved =
        resolve_file(source, remote->c_str(), name_view{context.host_rules, kind_of(remote_name)}, inode_number,
                     inode);
    if (resolved != file_result_ok)
        return resolved;
    if (!inode.is_regular() || !inode.content_readable())
        return file_result_not_supported;

    // A local path the export cannot carry is one the copy cannot write.
    std::optional<wide_string> local = local_path_of(local_name);
    if (!local)
        return file_result_write_error;
    // Without the overwrite bit an existing local file (or folder) is left alone: the host asks the user and calls
    // again. A new file of at most one request is made with CREATE_NEW below, which finds it; for a larger one it is
    // looked for before any of the copy is made.
    bool overwrite = (copy_flags & copy_flag_overwrite) != 0;
    const bool direct = !overwrite && inode.size() <= stream_request_bytes;
    if (!overwrite && !direct && local_attributes(*local) != INVALID_FILE_ATTRIBUTES)
        return file_result_exists;

    // A copy that replaces a file, or is longer than one request, goes to a temporary file beside the target and
    // takes the target's name only once it is whole, so that a failed or aborted copy never leaves a partial file
    // under that name, nor harms the file it would have replaced. A new file of at most one request is made under
    // its own name (CREATE_NEW, so it is never another's) and deleted on any failure: written in a request or two
    // while the copy holds it, it is partial only for that long, and a folder of small files is spared a rename
    // for each.
    HANDLE output = INVALID_HANDLE_VALUE;
    std::optional<wide_string> temporary;
    if (direct) {
        output = create_local(*local, CREATE_NEW);
        if (output == INVALID_HANDLE_VALUE) {
            // Whatever error a file system gives for a name that is taken (a folder may answer "access denied"),
            // the host is told the target exists, as it is told before a larger copy.
            DWORD error = GetLastError();
            bool taken = error == ERROR_FILE_EXISTS || error == ERROR_ALREADY_EXISTS ||
                         local_attributes(*local) != INVALID_FILE_ATTRIBUTES;
            return taken ? file_result_exists : file_result_write_error;
        }
    } else {
        temporary = create_temporary_beside(*local, output);
        if (!temporary)
            return file_result_write_error;
    }

    copy_job job;
    job.source_partition = &source;
    job.inode_number = inode_number;
    job.output_file = output;
    int result = file_result_read_error;
    if (report_progress(context, remote_name, local_name, 0) != 0) {
        result = file_result_aborted;
    } else {
        result = run_copy(context, job, inode.size(), remote_name, local_name);
        // The host hears 100 only for a whole copy, and may still abort there: nothing has taken the name yet.
        if (result == file_result_ok && report_progress(context, remote_name, local_name, 100) != 0)
            result = file_result_aborted;
    }
    // The copy carries the file's modification time; a file system that cannot take it still gets the bytes.
    if (result == file_result_ok) {
        FILETIME modified = filetime_of(inode.modification_time);
        SetFileTime(output, nullptr, nullptr, &modified);
    }
    if (!CloseHandle(output) && result == file_result_ok)
        result = file_result_write_error;
    if (result == file_result_ok && temporary &&
        !move_local(*temporary, *local, overwrite ? MOVEFILE_REPLACE_EXISTING : 0))
        result = !overwrite && (GetLastError() == ERROR_ALREADY_EXISTS || GetLastError() == ERROR_FILE_EXISTS)
                     ? file_result_exists
                     : file_result_write_error;
    if (result != file_result_ok)
        delete_local(temporary ? *temporary : *local);
    return result;
}

// FsGetFile and FsGetFileW: nothing thrown reaches the host.
template <class text>
int get_file_export(text* remote_name, text* local_name, int copy_flags)
{
    try {
        // Held until the copy's worker is joined, so that the drive it reads stays even if it goes away meanwhile.
        shared_context context = initialised_context();
        if (context == nullptr)
            return file_result_not_found;
        return get_file(*context, remote_name, local_name, copy_flags);
    } catch (...) {
        return file_result_read_error;
    }
}

// What the host is told of a step into a folder that was not taken.
int file_result_of(enter_result entered)
{
    switch (entered) {
    case enter_result::entered: return file_result_ok;
    case enter_result::absent:
    case enter_result::not_folder: return file_result_not_found;
    case enter_result::unsupported: return file_result_not_supported;
    case enter_result::failed: break;
    }
    return file_result_read_error;
}

}  // namespace

int resolve_file(ext_volume& source, const char* path, const name_view& view, uint32_t& inode_number,
                 ext_inode& inode)
{
    path_components components = components_after_folder(path);
    const char* name = nullptr;
    size_t name_length = 0;
    const char* component = nullptr;
    size_t length = 0;
    std::vector<uint32_t> chain(1, root_directory_inode);
    followed_entry match;
    // Every component but the last must name a directory, or a link to one.
    while (next_component(components, component, length)) {
        if (name != nullptr) {
            enter_result entered = enter_folder(source, chain, std::string_view(name, name_length), view);
            if (entered != enter_result::entered)
                return file_result_of(entered);
        }
        name = component;
        name_length = length;
    }
    if (name == nullptr)
        return file_result_not_found;
    follow_result link = follow_result::resolved;
    lookup_result found = find_followed(source, chain, std::string_view(name, name_length), view, match, &link);
    if (found == lookup_result::failed)
        return file_result_of(folder_failure(source, chain.back()));
    if (found == lookup_result::missing)
        return file_result_not_found;
    // A link through an inode that cannot be read, or an inode that is no file of any type (zeroed, say): what it
    // held cannot be told.
    if (link == follow_result::failed || match.file_type == file_type_unknown)
        return file_result_read_error;
    // A link that leads nowhere in the partition is there, but cannot be copied.
    if (match.file_type == file_type_symlink)
        return file_result_not_supported;
    if (match.file_type != file_type_regular)
        return file_result_not_found;
    std::optional<ext_inode> found_inode = get_inode(source, match.inode);
    if (!found_inode)
        return file_result_read_error;
    inode_number = match.inode;
    inode = std::move(*found_inode);
    return file_result_ok;
}

TARNWICK_EXPORT int TARNWICK_CALL FsGetFile(char* remote_name, char* local_name, int copy_flags,
                                            remote_file_info*)
{
    return get_file_export(remote_name, local_name, copy_flags);
}

TARNWICK_EXPORT int TARNWICK_CALL FsGetFileW(WCHAR* remote_name, WCHAR* local_name, int copy_flags,
                                             remote_file_info*)
{
    return get_file_export(remote_name, local_name, copy_flags);
}
