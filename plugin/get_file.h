// Copy-out of one regular file to a local path, streamed by a worker thread while the host's thread reports progress.
#pragma once

#include "ext/directory.h"
#include "plugin/plugin_context.h"
#include "plugin/shown_names.h"

#include <atomic>
#include <cstdint>
#include <optional>

class partition_linux_ext2;
struct ext_inode;

// Shared by FsGetFile and its worker for the length of one call. status and bytes_written have one writer (the
// worker), abort_requested one (the host's thread).
struct copy_job {
    partition_linux_ext2* source_partition = nullptr;
    uint32_t inode_number = 0;
    HANDLE output_file = INVALID_HANDLE_VALUE;
    std::atomic<int32_t> status{0};
    std::atomic<int32_t> abort_requested{0};
    std::atomic<uint64_t> bytes_written{0};  // written by the worker, read for progress
};

// The regular file that a UTF-8 path names below its partition folder, its components being names as a host of
// this view is shown them: every component before the last must name a directory, the last a regular file, where
// links inside the partition count as what they point to. file_result_ok with the inode, not_found when the path
// leads nowhere or to no file, not_supported for a link that does not resolve, read_error when a folder or inode
// that a link leads through cannot be read, or when the last component names an inode that cannot be read or is not
// well formed.
int resolve_file(partition_linux_ext2& source, const char* path, const name_view& view, uint32_t& inode_number,
                 ext_inode& inode);
