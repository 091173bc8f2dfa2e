// Whole blocks of a mounted volume, read through the partition's guarded sector reads.
#pragma once

#include "disk/partition.h"
#include "disk/physical_disk.h"
#include "ext/volume.h"

#include <cstdint>

// Reads one whole block of the volume; null for a block outside the volume or a failed read.
inline sector_buffer read_block(const partition_linux_ext2& source, uint64_t block)
{
    const ext2_volume_info& volume = *source.volume_info;
    if (!blocks_in_volume(volume, block, 1))
        return nullptr;
    return read_sectors(source, block * volume.sectors_per_block, volume.sectors_per_block);
}

// Reads count consecutive blocks from block on into target, which holds count whole blocks, in one request. False
// when any of them lies outside the volume, the request exceeds 32 bits of bytes, or the read fails.
inline bool read_blocks_into(const partition_linux_ext2& source, uint64_t block, uint32_t count, uint8_t* target)
{
    const ext2_volume_info& volume = *source.volume_info;
    if (count == 0 || !blocks_in_volume(volume, block, count))
        return false;
    uint64_t sectors = static_cast<uint64_t>(count) * volume.sectors_per_block;
    if (sectors > UINT32_MAX)
        return false;
    return read_sectors_into(source, block * volume.sectors_per_block, static_cast<uint32_t>(sectors), target);
}
