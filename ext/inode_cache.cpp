// Inode access through a per-partition first-in first-out cache of whole group inode tables.
#include "ext/inode_cache.h"

#include "disk/byte_order.h"
#include "disk/partition.h"
#include "ext/volume.h"

#include <algorithm>
#include <limits>
#include <new>

ext_inode parse_inode(const uint8_t* bytes)
{
    ext_inode inode;
    inode.i_mode = read_le16(bytes, 0);
    inode.i_size_lo = read_le32(bytes, 4);
    inode.i_flags = read_le32(bytes, 32);
    std::copy(bytes + 40, bytes + 100, inode.i_block.begin());
    inode.i_size_high = read_le32(bytes, 108);
    return inode;
}

namespace {

// Drops the table of the group loaded first.
void evict_oldest(partition_linux_ext2& source)
{
    uint32_t oldest = source.cached_groups.front();
    source.cached_groups.pop_front();
    source.volume_info->inode_tables[oldest].reset();
}

// Reads the whole inode table of a group; null when its blocks lie outside the volume or the read fails.
sector_buffer load_inode_table(const partition_linux_ext2& source, uint32_t group)
{
    const ext2_volume_info& volume = *source.volume_info;
    uint64_t table_bytes = static_cast<uint64_t>(volume.inode_size) * volume.inodes_per_group;
    uint64_t table_blocks = (table_bytes + volume.block_size - 1) / volume.block_size;
    uint64_t first_block = volume.descriptors[group].inode_table;
    if (!blocks_in_volume(volume, first_block, table_blocks))
        return nullptr;
    uint64_t sectors = (table_bytes + source.sector_size - 1) / source.sector_size;
    if (sectors > std::numeric_limits<uint32_t>::max())
        return nullptr;
    return read_sectors(source, first_block * volume.sectors_per_block, static_cast<uint32_t>(sectors));
}

// Inode index of a group whose table is too large to cache, read with the one block that holds it. The whole
// table must lie inside the volume, as for a cached table.
std::optional<ext_inode> read_inode_alone(const partition_linux_ext2& source, uint32_t group, uint32_t index)
{
    const ext2_volume_info& volume = *source.volume_info;
    uint64_t table_bytes = static_cast<uint64_t>(volume.inode_size) * volume.inodes_per_group;
    uint64_t table_blocks = (table_bytes + volume.block_size - 1) / volume.block_size;
    uint64_t first_block = volume.descriptors[group].inode_table;
    if (!blocks_in_volume(volume, first_block, table_blocks))
        return std::nullopt;
    // inode_size divides block_size, so no inode straddles two blocks.
    uint64_t offset = static_cast<uint64_t>(index) * volume.inode_size;
    uint64_t block = first_block + offset / volume.block_size;
    sector_buffer data = read_sectors(source, block * volume.sectors_per_block, volume.sectors_per_block);
    if (!data)
        return std::nullopt;
    return parse_inode(data.get() + offset % volume.block_size);
}

}  // namespace

std::optional<ext_inode> get_inode(partition_linux_ext2& source, uint32_t n)
{
    if (!source.volume_info || n == 0)
        return std::nullopt;
    ext2_volume_info& volume = *source.volume_info;
    if (n > volume.superblock.s_inodes_count)
        return std::nullopt;
    uint32_t group = (n - 1) / volume.inodes_per_group;
    uint32_t index = (n - 1) % volume.inodes_per_group;
    if (group >= volume.group_count)
        return std::nullopt;

    uint64_t table_bytes = static_cast<uint64_t>(volume.inode_size) * volume.inodes_per_group;
    if (table_bytes > max_cached_table_bytes)
        return read_inode_alone(source, group, index);
    sector_buffer& table = volume.inode_tables[group];
    if (!table) {
        size_t table_limit =
            static_cast<size_t>(std::min<uint64_t>(max_cached_groups, max_cached_table_bytes / table_bytes));
        try {
            // Room in the queue first, so that a failure to grow it cannot leave a table uncounted.
            while (!source.cached_groups.empty() && source.cached_groups.size() >= table_limit)
                evict_oldest(source);
            source.cached_groups.push_back(group);
        } catch (const std::bad_alloc&) {
            return std::nullopt;
        }
        table = load_inode_table(source, group);
        if (!table) {
            source.cached_groups.pop_back();
            return std::nullopt;
        }
    }
    return parse_inode(table.get() + static_cast<size_t>(index) * volume.inode_size);
}
