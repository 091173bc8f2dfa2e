// Whole blocks of a mounted volume: the one place where the ext reader reads them, through the volume's block
// source, with the copies of blocks that the journal's committed transactions hold in place of the blocks on disk.
// The bottom of ext/: it knows the block source and the replay map, nothing of the mount above it.
#pragma once

#include "disk/block_source.h"
#include "ext/replay_map.h"

#include <cstdint>
#include <memory>

// A buffer the ext reader read; it belongs to the caller.
using block_buffer = std::unique_ptr<uint8_t[]>;

// What a block read needs of a mounted volume: how its blocks are cut, how many it has, and the journal's copies to
// lay over them. Part of the volume info (ext/volume.h); set by the mount and fixed afterwards.
struct block_geometry {
    uint32_t block_size = 0;    // 1024 << s_log_block_size on a mounted volume
    uint64_t blocks_count = 0;  // with the high word where the 64-bit feature is set
    // Blocks that committed transactions of the journal give new contents, for a volume whose journal needs
    // recovery; empty otherwise.
    replay_map replay;
};

// Reads count consecutive blocks from block on into target, which holds count whole blocks. A block that the
// replay map holds reads as the journal's copy. False when any of them lies outside the volume or the source, the
// request exceeds 32 bits of bytes, or a read fails.
bool read_geometry_blocks(const block_source& source, const block_geometry& geometry, uint64_t block, uint32_t count,
                          uint8_t* target);

// As read_geometry_blocks, into a new buffer allocated once the request has passed its checks; null on failure.
block_buffer read_geometry_blocks(const block_source& source, const block_geometry& geometry, uint64_t block,
                                  uint32_t count);
