// Reads of volume blocks, with the journal's copies laid over the blocks they replace.
#include "ext/block_read.h"

#include "ext/journal.h"

#include <algorithm>
#include <cstring>
#include <new>

namespace {

// The sector count of count blocks, when they lie inside the volume and the partition and fit one request.
bool request_sectors(const partition_linux_ext2& source, uint64_t block, uint32_t count, uint32_t& sectors)
{
    const ext2_volume_info& volume = *source.volume_info;
    if (count == 0 || !blocks_in_volume(volume, block, count) ||
        block + count > source.sector_count / volume.sectors_per_block)
        return false;
    uint64_t wide = static_cast<uint64_t>(count) * volume.sectors_per_block;
    if (wide > UINT32_MAX)
        return false;
    sectors = static_cast<uint32_t>(wide);
    return true;
}

}  // namespace

bool read_volume_blocks(const partition_linux_ext2& source, uint64_t block, uint32_t count, uint8_t* target)
{
    const ext2_volume_info& volume = *source.volume_info;
    uint32_t sectors = 0;
    if (!request_sectors(source, block, count, sectors))
        return false;
    if (!read_sectors_into(source, block * volume.sectors_per_block, sectors, target))
        return false;
    // The replay map is sorted and fixed after the mount: the entries inside the request follow each other, at
    // most count of them.
    const std::vector<replay_entry>& entries = volume.replay.entries;
    auto first = std::lower_bound(entries.begin(), entries.end(), block,
                                  [](const replay_entry& entry, uint64_t b) { return entry.volume_block < b; });
    for (auto it = first; it != entries.end() && it->volume_block < block + count; ++it) {
        uint8_t* copy = target + static_cast<size_t>(it->volume_block - block) * volume.block_size;
        if (!blocks_in_volume(volume, it->copy_block, 1) ||
            !read_sectors_into(source, it->copy_block * volume.sectors_per_block, volume.sectors_per_block, copy))
            return false;
        if (it->escaped) {
            // The journal zeroes a block's first four bytes when they would read as its own magic.
            copy[0] = static_cast<uint8_t>(journal_magic >> 24);
            copy[1] = static_cast<uint8_t>(journal_magic >> 16);
            copy[2] = static_cast<uint8_t>(journal_magic >> 8);
            copy[3] = static_cast<uint8_t>(journal_magic);
        }
    }
    return true;
}

sector_buffer read_blocks(const partition_linux_ext2& source, uint64_t block, uint32_t count)
{
    uint32_t sectors = 0;
    if (!request_sectors(source, block, count, sectors))
        return nullptr;
    sector_buffer buffer(new (std::nothrow) uint8_t[static_cast<size_t>(sectors) * source.sector_size]);
    if (!buffer || !read_volume_blocks(source, block, count, buffer.get()))
        return nullptr;
    return buffer;
}
