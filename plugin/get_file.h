// Copy-out of one regular file to a local path, streamed by a worker thread while the host's thread reports progress.
#pragma once

#include "ext/directory.h"
#include "plugin/plugin_context.h"
#include "plugin/shown_names.h"

#include <atomic>
#include <cstdint>
#include <optional>

struct ext_volume;
struct ext_inode;

// Shared by FsGetFile and its worker for the length of one call. status and bytes_written have one writer (the
// worker), abort_requested one (the host's thread).
struct copy_job {
    ext_volume* source_partition = nullptr;
    uint32_t inode_number = 0;
    HANDLE output_file = INVALID_HANDLE_VALUE;
    std::atomic<int32_t> status{0};
    std::atomic<int32_t> abort_requested{0};
    std::atomic<uint64_t> bytes_written{0};  // written by the worker, read for progress
};

// The regular file that a UTF-8 path names below its partition folder, its components being names as a host of
// this view is shown them: every component before the last must name a directory, the last a regular file, where
// links inside the partition count as what they point to. file_result_ok with the inode; not_found only when a name
// on the path is truly absent or names no folder (or, last, no file); not_supported for a link that does not
// resolve, or a folder on the path whose names are encrypted; read_error when a folder, inode or link on the path
// cannot be read or is damaged (a drive's read error is not an absent name).
int resolve_file(ext_volume& source, const char* path, const name_view& view, uint32_t& inode_number,
                 ext_inode& inode);
