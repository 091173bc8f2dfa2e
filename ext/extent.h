// Extent trees: mapping the logical blocks of an extent-mapped inode, with one node held per tree level.
#pragma once

#include "disk/physical_disk.h"

#include <cstdint>
#include <vector>

struct block_map_cursor;
enum class block_mapping;

inline constexpr uint16_t extent_magic = 0xF30A;
inline constexpr uint16_t max_extent_depth = 5;

// One level of the path from the root to a leaf. Level 0 is the root in the inode's i_block; level k >= 1 holds
// the node block read for the index entry chosen at level k - 1.
struct extent_level {
    uint64_t block = 0;   // level k >= 1: the volume block this level's node was read from
    sector_buffer node;   // level k >= 1: that node's block
    bool held = false;    // the node is read and checked
};

struct extent_path {
    std::vector<extent_level> levels;  // depth + 1 levels once the first lookup ran
};

// Maps logical block j of the cursor's extent-mapped inode. Every node is checked as it is read: magic, the
// depth expected at its level, entry counts against its capacity and the block.
block_mapping map_extent_block(block_map_cursor& cursor, uint32_t j, uint64_t& block);

// Frees the node buffers of a path.
void release_extent_path(extent_path& path);
