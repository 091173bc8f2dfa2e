// An inode's content as runs of volume blocks: "where is logical block L" answered for extents and block maps alike.
#pragma once

#include "ext/block_map.h"
#include "ext/inode_cache.h"

#include <cstdint>

class partition_linux_ext2;

// What a run of logical blocks is: volume blocks holding data, a hole (zeros, nothing on disk), or an extent that
// is allocated but not yet written (zeros as well).
enum class run_kind { data, hole, unwritten };

struct block_run {
    uint64_t physical = 0;  // data: the volume block of the run's first logical block
    uint32_t length = 0;    // blocks in the run, at least 1 on success
    run_kind kind = run_kind::hole;
};

// The state of one walk over an inode's logical blocks: the nodes and indirect blocks read on the way are kept
// while the walk stays under them, so an in-order walk reads each once.
struct file_map {
    block_map_cursor cursor;
};

// Sets up a walk over an inode of a mounted partition.
file_map open_file_map(partition_linux_ext2& source, const ext_inode& inode);

// The run that begins at logical block: false when it cannot be mapped (a damaged map, a block outside the volume,
// a failed read). Runs may reach past the file's size; the caller clips them.
bool map_run(file_map& map, uint32_t logical, block_run& run);
