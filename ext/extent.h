// Extent trees: the runs of an extent-mapped inode, with one node held per tree level.
#pragma once

#include "ext/volume.h"
#include "ext/block_run.h"
#include "ext/inode_cache.h"

#include <array>
#include <cstdint>
#include <vector>

inline constexpr uint16_t extent_magic = 0xF30A;
inline constexpr uint16_t max_extent_depth = 5;

// One level of the path from the root to a leaf. Level 0 is the root in the inode's i_block; level k >= 1 holds
// the node block read for the index entry chosen at level k - 1.
struct extent_level {
    uint64_t block = 0;   // level k >= 1: the volume block this level's node was read from
    uint32_t first = 0;   // level k >= 1: the first logical block that index entry gives the node
    block_buffer node;   // level k >= 1: that node's block
    bool held = false;    // the node is read and checked (level 0: the root is checked)
};

// The state of one walk over an extent tree: at most max_extent_depth nodes are held, one per level below the root.
struct extent_walk {
    ext_volume* partition = nullptr;
    std::array<uint8_t, 60> i_block{};
    std::vector<extent_level> levels;  // depth + 1 levels once the first lookup ran
};

extent_walk open_extent_tree(ext_volume& source, const ext_inode& inode);

// The run that begins at logical block: the rest of the extent that holds it (data, or unwritten for an extent
// allocated but not yet written), or a hole up to the next extent's start or the end of the leaf's range. Every
// node is checked once, as it is read, the way Linux checks it (fs/ext4/extents.c __ext4_ext_check): magic, the
// depth expected at its level, its capacity, and entries that rise from where the parent says without overlapping,
// every extent and child inside the volume's data area (valid_data_blocks). A node that fails fails every lookup
// under it. False on damage or a failed read.
bool extent_run(extent_walk& walk, uint32_t logical, block_run& run);
