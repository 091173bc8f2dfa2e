// Mapping an inode's logical blocks to volume blocks: the in-order block map cursor (direct, single- and
// double-indirect blocks) and the reading of whole blocks.
#pragma once

#include "disk/physical_disk.h"
#include "ext/extent.h"
#include "ext/inode_cache.h"

#include <cstdint>

// What a logical block is: a volume block, a hole (reads as zeros, nothing on disk), or unmappable.
enum class block_mapping { mapped, hole, failed };

// The state of one walk over an inode's logical blocks, whichever mapping the inode uses. Indirect blocks and
// extent nodes read on the way are kept while the walk stays under them.
struct block_map_cursor {
    partition_linux_ext2* partition = nullptr;
    ext_inode inode;
    extent_path path;  // extent-mapped inodes: one node per tree level
    uint32_t sectors_per_block = 0;
    uint32_t block_size = 0;
    uint32_t per_block = 0;  // block numbers in one indirect block
    uint64_t per_block_squared = 0;
    uint32_t file_blocks = 0;  // ceil(size / block_size), as far as 32 bits reach
    sector_buffer level1_block;  // a cached indirect block whose entries are data blocks
    uint64_t level1_number = 0;  // its volume block number
    sector_buffer level2_block;  // the cached double-indirect block
};

// Sets up a cursor for an inode of a mounted partition.
block_map_cursor make_cursor(partition_linux_ext2& source, const ext_inode& inode);

// Maps logical block j by the block map in i_block. Meant for a walk from block 0 upward; any order gives right
// answers, an in-order walk reads each indirect block once.
block_mapping map_block(block_map_cursor& cursor, uint32_t j, uint64_t& block);

// Maps logical block j by whichever mapping the inode uses.
block_mapping map_logical_block(block_map_cursor& cursor, uint32_t j, uint64_t& block);

// Frees what the cursor holds: cached indirect blocks and extent nodes.
void release_cursor(block_map_cursor& cursor);

// Reads one whole block of the volume; null for a block outside the volume or a failed read.
sector_buffer read_block(const partition_linux_ext2& source, uint64_t block);
