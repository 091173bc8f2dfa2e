// Block maps: direct, single- and double-indirect blocks, walked with the indirect blocks kept in the cursor.
#include "ext/block_map.h"

#include "disk/byte_order.h"
#include "disk/partition.h"
#include "ext/volume.h"

#include <limits>

namespace {

constexpr uint32_t direct_blocks = 12;
constexpr size_t single_indirect_slot = 12;
constexpr size_t double_indirect_slot = 13;
constexpr size_t triple_indirect_slot = 14;

// A block number taken from a map: 0 is a hole; one outside the volume cannot be mapped.
block_mapping data_block(const block_map_cursor& cursor, uint32_t number, uint64_t& block)
{
    if (number == 0)
        return block_mapping::hole;
    if (!blocks_in_volume(*cursor.partition->volume_info, number, 1))
        return block_mapping::failed;
    block = number;
    return block_mapping::mapped;
}

// Entry index of the indirect block numbered indirect, read once and kept while the walk stays under it.
block_mapping indirect_entry(block_map_cursor& cursor, uint32_t indirect, uint32_t index, uint64_t& block)
{
    if (indirect == 0)
        return block_mapping::hole;
    if (!cursor.level1_block || cursor.level1_number != indirect) {
        cursor.level1_block.reset();
        cursor.level1_block = read_block(*cursor.partition, indirect);
        if (!cursor.level1_block)
            return block_mapping::failed;
        cursor.level1_number = indirect;
    }
    return data_block(cursor, read_le32(cursor.level1_block.get(), 4 * static_cast<size_t>(index)), block);
}

}  // namespace

block_map_cursor make_cursor(partition_linux_ext2& source, const ext_inode& inode)
{
    const ext2_volume_info& volume = *source.volume_info;
    block_map_cursor cursor;
    cursor.partition = &source;
    cursor.inode = inode;
    cursor.sectors_per_block = volume.sectors_per_block;
    cursor.block_size = volume.block_size;
    cursor.per_block = volume.block_size / 4;
    cursor.per_block_squared = static_cast<uint64_t>(cursor.per_block) * cursor.per_block;
    uint64_t blocks = (inode.size() + volume.block_size - 1) / volume.block_size;
    cursor.file_blocks = static_cast<uint32_t>(std::min<uint64_t>(blocks, std::numeric_limits<uint32_t>::max()));
    return cursor;
}

block_mapping map_block(block_map_cursor& cursor, uint32_t j, uint64_t& block)
{
    const uint8_t* i_block = cursor.inode.i_block.data();
    if (j < direct_blocks)
        return data_block(cursor, read_le32(i_block, 4 * j), block);
    uint64_t k = j - direct_blocks;
    if (k < cursor.per_block)
        return indirect_entry(cursor, read_le32(i_block, 4 * single_indirect_slot), static_cast<uint32_t>(k), block);
    k -= cursor.per_block;
    if (k >= cursor.per_block_squared) {
        // The triple-indirect range is not read; without a triple-indirect block it is all hole, as in a sparse
        // file larger than the double-indirect range reaches.
        return read_le32(i_block, 4 * triple_indirect_slot) == 0 ? block_mapping::hole : block_mapping::failed;
    }

    uint32_t double_indirect = read_le32(i_block, 4 * double_indirect_slot);
    if (double_indirect == 0)
        return block_mapping::hole;
    if (!cursor.level2_block) {
        cursor.level2_block = read_block(*cursor.partition, double_indirect);
        if (!cursor.level2_block)
            return block_mapping::failed;
    }
    uint32_t level1 = read_le32(cursor.level2_block.get(), 4 * static_cast<size_t>(k / cursor.per_block));
    return indirect_entry(cursor, level1, static_cast<uint32_t>(k % cursor.per_block), block);
}

block_mapping map_logical_block(block_map_cursor& cursor, uint32_t j, uint64_t& block)
{
    if (cursor.inode.uses_extents())
        return map_extent_block(cursor, j, block);
    return map_block(cursor, j, block);
}

void release_cursor(block_map_cursor& cursor)
{
    cursor.level1_block.reset();
    cursor.level1_number = 0;
    cursor.level2_block.reset();
    release_extent_path(cursor.path);
}

sector_buffer read_block(const partition_linux_ext2& source, uint64_t block)
{
    const ext2_volume_info& volume = *source.volume_info;
    if (!blocks_in_volume(volume, block, 1))
        return nullptr;
    return read_sectors(source, block * volume.sectors_per_block, volume.sectors_per_block);
}
