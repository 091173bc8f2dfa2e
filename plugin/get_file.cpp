// FsGetFile: resolves a remote path, creates the local file, streams on one worker thread and polls for progress.
#include "plugin/get_file.h"

#include "disk/partition.h"
#include "ext/inode_cache.h"
#include "ext/stream.h"
#include "plugin/path_lookup.h"
#include "plugin/virtual_paths.h"

#include <cstring>

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

// How long the host's thread waits on the worker between progress reports. The wait ends the moment the worker
// does, so a small file costs no waiting; a long copy gets about 25 reports a second and costs no CPU beyond the
// worker's, and an abort is seen within this time.
constexpr DWORD progress_interval_ms = 40;

// Waits for the worker, reporting progress from the bytes it has written, until it ends or the host asks to abort
// (the worker is then told to stop and waited for). The result of the copy as far as the worker is concerned:
// ok only when it ended without failure and wrote total bytes.
int watch_copy(const plugin_context& context, copy_job& job, HANDLE worker, uint64_t total, char* remote_name,
               char* local_name)
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

// Where a path's file name starts: after its last separator (either kind on Windows), or at 0.
size_t file_name_offset(const char* path)
{
    size_t offset = 0;
    for (size_t i = 0; path[i] != '\0'; ++i) {
        if (path[i] == host_path_separator || path[i] == '/')
            offset = i + 1;
    }
    return offset;
}

// The room GetTempFileNameA needs after the folder: its folder may be at most MAX_PATH - 14 characters long, for
// names of three prefix characters, four hex digits and ".tmp".
constexpr size_t temporary_name_length = 14;

// Creates a new, empty temporary file in the target's folder and writes its name to temporary. False when the
// folder cannot take one, or when its path leaves no room for a temporary name (the caller then writes the
// target itself).
bool create_temporary_beside(const char* target, char (&temporary)[MAX_PATH])
{
    char folder[MAX_PATH];
    size_t offset = file_name_offset(target);
    if (offset + temporary_name_length >= sizeof folder)
        return false;
    if (offset == 0) {
        folder[0] = '.';
        folder[1] = '\0';
    } else {
        std::memcpy(folder, target, offset);
        folder[offset] = '\0';
    }
    return GetTempFileNameA(folder, "twk", 0, temporary) != 0;
}

int get_file(const plugin_context& context, char* remote_name, char* local_name, int copy_flags)
{
    if (remote_name == nullptr || local_name == nullptr || std::strlen(remote_name) >= host_path_size)
        return file_result_not_found;
    int drive = 0;
    int number = 0;
    if (parse_partition_folder(context, remote_name, drive, number) < 0)
        return file_result_not_found;
    char converted[host_path_size];
    int written = convert_code_page(host_code_page, remote_name, static_cast<int>(std::strlen(remote_name)),
                                    disk_code_page, converted);
    converted[written > 0 ? written - 1 : 0] = '\0';
    int slot = ext_index(context, drive, number);
    if (slot < 0)
        return file_result_not_found;
    partition_linux_ext2& source = *context.disks[static_cast<size_t>(drive)]->ext_partitions[static_cast<size_t>(slot)];

    uint32_t inode_number = 0;
    std::optional<ext_inode> inode = resolve_file(source, converted, inode_number);
    if (!inode)
        return file_result_not_found;
    if (!inode->is_regular() || !inode->content_readable())
        return file_result_not_supported;

    // Without the overwrite bit an existing local file is left alone: the host asks the user and calls again.
    bool overwrite = (copy_flags & copy_flag_overwrite) != 0;
    if (!overwrite && GetFileAttributesA(local_name) != INVALID_FILE_ATTRIBUTES)
        return file_result_exists;

    // The copy goes to a temporary file beside the target and takes the target's name only once it is whole, so
    // that a failed or aborted copy never leaves a partial file under that name, nor harms the file it would
    // have replaced. Only a target whose folder's path is too long to hold a temporary name is written in place,
    // and removed again when the copy fails.
    char temporary[MAX_PATH];
    bool in_place = file_name_offset(local_name) + temporary_name_length >= MAX_PATH;
    if (!in_place && !create_temporary_beside(local_name, temporary))
        return file_result_write_error;
    const char* output_name = in_place ? local_name : temporary;
    HANDLE output = CreateFileA(output_name, GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                in_place && !overwrite ? CREATE_NEW : CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (output == INVALID_HANDLE_VALUE) {
        if (in_place)
            return !overwrite && GetLastError() == ERROR_FILE_EXISTS ? file_result_exists : file_result_write_error;
        DeleteFileA(output_name);
        return file_result_write_error;
    }

    copy_job job;
    job.source_partition = &source;
    job.inode_number = inode_number;
    job.output_file = output;
    int result = file_result_read_error;
    if (report_progress(context, remote_name, local_name, 0) != 0) {
        result = file_result_aborted;
    } else if (HANDLE worker = CreateThread(nullptr, 0, copy_worker, &job, 0, nullptr); worker != nullptr) {
        result = watch_copy(context, job, worker, inode->size(), remote_name, local_name);
        // The host hears 100 only for a whole copy, and may still abort there: nothing has taken the name yet.
        if (result == file_result_ok && report_progress(context, remote_name, local_name, 100) != 0)
            result = file_result_aborted;
    }
    if (!CloseHandle(output) && result == file_result_ok)
        result = file_result_write_error;
    if (result == file_result_ok && !in_place &&
        !MoveFileExA(temporary, local_name, overwrite ? MOVEFILE_REPLACE_EXISTING : 0))
        result = !overwrite && (GetLastError() == ERROR_ALREADY_EXISTS || GetLastError() == ERROR_FILE_EXISTS)
                     ? file_result_exists
                     : file_result_write_error;
    if (result != file_result_ok)
        DeleteFileA(output_name);
    return result;
}

}  // namespace

std::optional<ext_inode> resolve_file(partition_linux_ext2& source, const char* path, uint32_t& inode_number)
{
    path_components components = components_after_folder(path);
    const char* name = nullptr;
    size_t name_length = 0;
    const char* component = nullptr;
    size_t length = 0;
    uint32_t directory = root_directory_inode;
    entry_match match;
    // Every component but the last must name a directory.
    while (next_component(components, component, length)) {
        if (name != nullptr) {
            if (find_in_folder(source, directory, name, name_length, match) != lookup_result::found ||
                effective_file_type(source, match.inode, match.file_type) != file_type_directory)
                return std::nullopt;
            directory = match.inode;
        }
        name = component;
        name_length = length;
    }
    if (name == nullptr)
        return std::nullopt;
    if (find_in_folder(source, directory, name, name_length, match) != lookup_result::found ||
        effective_file_type(source, match.inode, match.file_type) != file_type_regular)
        return std::nullopt;
    inode_number = match.inode;
    return get_inode(source, inode_number);
}

TARNWICK_EXPORT int TARNWICK_CALL FsGetFile(char* remote_name, char* local_name, int copy_flags,
                                            remote_file_info*)
{
    try {
        const plugin_context* context = initialised_context();
        if (context == nullptr)
            return file_result_not_found;
        return get_file(*context, remote_name, local_name, copy_flags);
    } catch (...) {
        return file_result_read_error;
    }
}
