// An inode's content as runs of volume blocks: "where is logical block L" answered for extents and block maps alike.
#pragma once

#include "ext/block_map.h"
#include "ext/block_run.h"
#include "ext/extent.h"
#include "ext/fast_commit.h"
#include "ext/inode_cache.h"

#include <cstdint>

struct ext_volume;

// The state of one walk over an inode's logical blocks: the nodes and indirect blocks read on the way are kept
// while the walk stays under them, so an in-order walk reads each once. Only the walk of the inode's own mapping
// is used. The ranges that the volume's fast commits map anew stand above that mapping.
struct file_map {
    bool refused = false;  // the inode's attributes make Linux refuse it: nothing maps
    bool extents = false;
    block_map_walk blocks;
    extent_walk tree;
    const replayed_ranges* replayed = nullptr;
    const ext2_volume_info* volume = nullptr;  // with replayed: the volume the ranges must lie in
};

// Sets up a walk over an inode of a mounted partition (with the volume's replayed ranges of an inode that
// get_inode gave).
file_map open_file_map(ext_volume& source, const ext_inode& inode);

// The run that begins at logical block: false when it cannot be mapped (a damaged map, a block outside the volume,
// a failed read, an inode Linux refuses for its attributes). Runs may reach past the file's size; the caller clips
// them.
bool map_run(file_map& map, uint32_t logical, block_run& run);

// The logical blocks the inode's mapping can address at all: a size needing more is damage, not a sparse file.
uint64_t mappable_blocks(const file_map& map);
