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
    stream_file(*job.source_partition, job.inode_number, job.output_file, &job.status, &job.abort_requested);
    return 0;
}

int report_progress(const plugin_context& context, char* remote_name, char* local_name, int percent)
{
    if (context.progress_callback == nullptr)
        return 0;
    return context.progress_callback(context.plugin_number, remote_name, local_name, percent);
}

// Polls the local file's size until it reaches total, the worker fails or ends short, or the host asks to abort.
// The worker is always waited for before this returns.
int watch_copy(const plugin_context& context, copy_job& job, HANDLE worker, uint64_t total, char* remote_name,
               char* local_name)
{
    int result = file_result_read_error;
    LARGE_INTEGER size;
    bool have_size = GetFileSizeEx(job.output_file, &size) != FALSE;
    while (have_size) {
        if (job.status.load() != 0)
            break;
        if (static_cast<uint64_t>(size.QuadPart) >= total) {
            // The worker's last write is done once the size is reached; waiting for it before closing the
            // file keeps the handle from being closed while the worker may still be returning from that write.
            WaitForSingleObject(worker, INFINITE);
            CloseHandle(job.output_file);
            CloseHandle(worker);
            return file_result_ok;
        }
        // A worker that has ended without failing and without reaching the size: the file did not grow as
        // written (a device, or truncated by someone else). One more look at the size settles it.
        if (WaitForSingleObject(worker, 0) == WAIT_OBJECT_0) {
            have_size = GetFileSizeEx(job.output_file, &size) != FALSE;
            if (have_size && job.status.load() == 0 && static_cast<uint64_t>(size.QuadPart) >= total)
                continue;
            break;
        }
        int percent = static_cast<int>(static_cast<double>(size.QuadPart) / static_cast<double>(total) * 100.0);
        if (report_progress(context, remote_name, local_name, percent) != 0) {
            result = file_result_aborted;
            break;
        }
        have_size = GetFileSizeEx(job.output_file, &size) != FALSE;
    }
    job.abort_requested.store(1);
    WaitForSingleObject(worker, INFINITE);
    CloseHandle(job.output_file);
    CloseHandle(worker);
    return result;
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
    if (!inode->is_regular())
        return file_result_not_supported;

    // Without the overwrite bit an existing local file is left alone: the host asks the user and calls again.
    bool overwrite = (copy_flags & copy_flag_overwrite) != 0;
    HANDLE output = CreateFileA(local_name, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                overwrite ? CREATE_ALWAYS : CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (output == INVALID_HANDLE_VALUE)
        return !overwrite && GetLastError() == ERROR_FILE_EXISTS ? file_result_exists : file_result_write_error;

    copy_job job;
    job.source_partition = &source;
    job.inode_number = inode_number;
    job.output_file = output;
    report_progress(context, remote_name, local_name, 0);
    HANDLE worker = CreateThread(nullptr, 0, copy_worker, &job, 0, nullptr);
    if (worker == nullptr) {
        CloseHandle(output);
        return file_result_read_error;
    }
    return watch_copy(context, job, worker, inode->size(), remote_name, local_name);
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
