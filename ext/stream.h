// File content streaming: an inode's content written run by run into an open output file.
#pragma once

#include "platform/platform.h"

#include <atomic>
#include <cstdint>

struct ext_volume;

// The largest single read from the drive, and the largest single write to the output.
inline constexpr uint32_t stream_request_bytes = 1u << 20;

// Writes the content of an inode to the output handle from its current position, in logical order and in pieces of
// up to stream_request_bytes, so that the output's size is always the number of bytes copied. Data is read in
// requests of up to stream_request_bytes into one reusable buffer; holes and unwritten extents are written as
// zeros. status is set to 0 on entry and to -1 on any failure or when abort_requested is seen nonzero (it is checked
// before every read or write request). When bytes_written is given it holds the bytes written so far, updated after
// every write. A block that cannot be mapped or read ends the copy. Content kept in the inode (inline data) is
// written in one piece; an inode whose content cannot be read (encrypted, compressed) fails without a write. The
// output stays open.
void stream_file(ext_volume& source, uint32_t inode_number, HANDLE output, std::atomic<int32_t>* status,
                 const std::atomic<int32_t>* abort_requested, std::atomic<uint64_t>* bytes_written = nullptr);
