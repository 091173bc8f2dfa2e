// File content streaming: an inode's content written block by block into an open output file.
#pragma once

#include "platform/platform.h"

#include <atomic>
#include <cstdint>

class partition_linux_ext2;

// Writes the content of an inode to the output handle from its current position, whole blocks in logical order,
// so that the output's size is always the number of bytes copied. status is set to 0 on entry and to -1 on any
// failure or when abort_requested is seen nonzero (it is checked before every block). Holes and uninitialised
// extents are written as zeros; a block that cannot be mapped or read ends the copy. The output stays open.
void stream_file(partition_linux_ext2& source, uint32_t inode_number, HANDLE output, std::atomic<int32_t>* status,
                 const std::atomic<int32_t>* abort_requested);
