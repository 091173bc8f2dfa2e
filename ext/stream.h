// File content streaming: an inode's content written run by run into an open output file.
#pragma once

#include "platform/platform.h"

#include <atomic>
#include <cstdint>

struct ext_volume;

// The largest single read from the drive, and the largest single write to the output.
inline constexpr uint32_t stream_request_bytes = 1u << 20;

// Writes the content of an inode to the output handle from its current position, in logical order and in pieces of
// up to stream_request_bytes. A file longer than one such piece is read by a reader thread into a ring of a few
// buffers (4 MiB in all) while the calling thread writes, so that the copy takes about the slower of reading and
// writing; the reader has ended when this returns. Holes and unwritten extents of 64 KiB or more are skipped on a
// target that takes FSCTL_SET_SPARSE (by moving the file pointer, and SetEndOfFile at the end), and written as
// zeros on one that does not; shorter ones are always written as zeros. status is set to 0 on entry and to -1 on
// any failure of either side or when abort_requested is seen nonzero (it is checked before every read or write
// request): either ends both sides. When bytes_written is given it holds the bytes of the file written or skipped
// so far, updated after every write or skip. A block that cannot be mapped or read ends the copy. Content kept in
// the inode (inline data) is written in one piece; an inode whose content cannot be read (encrypted, compressed)
// fails without a write. The output stays open.
void stream_file(ext_volume& source, uint32_t inode_number, HANDLE output, std::atomic<int32_t>* status,
                 const std::atomic<int32_t>* abort_requested, std::atomic<uint64_t>* bytes_written = nullptr);
