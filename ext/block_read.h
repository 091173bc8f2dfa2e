// Whole blocks of a mounted volume: the one place where the ext reader reads them, through the partition's guarded
// sector reads, with the copies of blocks that the journal's committed transactions hold in place of the blocks on
// disk.
#pragma once

#include "disk/partition.h"
#include "disk/physical_disk.h"
#include "ext/volume.h"

#include <cstdint>

// Reads count consecutive blocks from block on into target, which holds count whole blocks. A block that the
// volume's replay map holds reads as the journal's copy. False when any of them lies outside the volume, the
// request exceeds 32 bits of bytes, or a read fails.
bool read_volume_blocks(const partition_linux_ext2& source, uint64_t block, uint32_t count, uint8_t* target);

// As read_volume_blocks, into a new buffer allocated once the request has passed its checks; null on failure.
sector_buffer read_blocks(const partition_linux_ext2& source, uint64_t block, uint32_t count);

// Reads one whole block of the volume; null for a block outside the volume or a failed read.
inline sector_buffer read_block(const partition_linux_ext2& source, uint64_t block)
{
    return read_blocks(source, block, 1);
}

// Reads count consecutive blocks from block on into target in one request to the drive (plus one per block the
// journal replaces).
inline bool read_blocks_into(const partition_linux_ext2& source, uint64_t block, uint32_t count, uint8_t* target)
{
    return read_volume_blocks(source, block, count, target);
}
