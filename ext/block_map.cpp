// Block maps: runs over direct, single-, double- and triple-indirect blocks.
#include "ext/block_map.h"

#include "disk/byte_order.h"
#include "ext/volume.h"

namespace {

constexpr uint32_t direct_blocks = 12;
constexpr size_t first_indirect_slot = 12;  // slots 12, 13 and 14: single, double and triple indirect
constexpr uint32_t max_indirect_depth = 3;

// The run starting at entry first of a table of count block numbers: the entries from first on that name
// consecutive volume blocks inside the volume (data), or that are all 0 (hole). Looks at no more than the count
// entries of the table (12 direct blocks, or the block_size / 4 entries of one indirect block).
bool entries_run(const ext2_volume_info& volume, const uint8_t* entries, uint32_t count, uint32_t first,
                 block_run& run)
{
    uint32_t start = read_le32(entries, 4 * static_cast<size_t>(first));
    uint32_t end = first + 1;
    if (start == 0) {
        while (end < count && read_le32(entries, 4 * static_cast<size_t>(end)) == 0)
            ++end;
        run = block_run{0, end - first, run_kind::hole};
        return true;
    }
    if (!blocks_in_volume(volume, start, 1))
        return false;
    // Blocks ascend from start, so each step only needs the volume's end checked; an entry beyond it ends the run
    // and fails when its own turn comes.
    while (end < count) {
        uint64_t next = read_le32(entries, 4 * static_cast<size_t>(end));
        if (next != uint64_t{start} + (end - first) || !blocks_in_volume(volume, next, 1))
            break;
        ++end;
    }
    run = block_run{start, end - first, run_kind::data};
    return true;
}

// The indirect block numbered number, held at held[level - 1]: read when it is not the one held. Null on a number
// outside the volume or a failed read, and then nothing is held at that level.
const uint8_t* hold(block_map_walk& walk, uint32_t level, uint32_t number)
{
    held_indirect_block& slot = walk.held[level - 1];
    if (slot.data && slot.number == number)
        return slot.data.get();
    slot.data = read_block(*walk.partition, number);
    slot.number = number;
    return slot.data.get();
}

}  // namespace

block_map_walk open_block_map(ext_volume& source, const ext_inode& inode)
{
    block_map_walk walk;
    walk.partition = &source;
    walk.i_block = inode.i_block;
    walk.per_block = source.volume_info->block_size / 4;
    return walk;
}

uint64_t block_map_capacity(uint32_t block_size)
{
    uint64_t per_block = block_size / 4;
    return direct_blocks + per_block + per_block * per_block + per_block * per_block * per_block;
}

bool block_map_run(block_map_walk& walk, uint32_t logical, block_run& run)
{
    const ext2_volume_info& volume = *walk.partition->volume_info;
    if (logical < direct_blocks)
        return entries_run(volume, walk.i_block.data(), direct_blocks, logical, run);

    // Find the indirect tree that holds logical: offset is the position within the depth-level tree, whose root
    // covers per_block^depth logical blocks.
    const uint64_t per_block = walk.per_block;
    uint64_t offset = logical - direct_blocks;
    uint64_t span = per_block;
    uint32_t depth = 1;
    while (offset >= span) {
        offset -= span;
        if (++depth > max_indirect_depth)
            return false;  // beyond the triple-indirect range: nothing can map it
        span *= per_block;
    }

    // Down the tree, one level per step (at most three): number is the block covering span logical blocks from
    // logical - offset.
    uint32_t number = read_le32(walk.i_block.data(), 4 * (first_indirect_slot + depth - 1));
    for (uint32_t level = depth;; --level) {
        if (number == 0) {
            run = block_run{0, clamp_run_length(logical, span - offset), run_kind::hole};
            return true;
        }
        const uint8_t* entries = hold(walk, level, number);
        if (entries == nullptr)
            return false;
        span /= per_block;  // logical blocks covered by one entry of this block
        uint32_t index = static_cast<uint32_t>(offset / span);
        offset %= span;
        if (level == 1)
            return entries_run(volume, entries, walk.per_block, index, run);
        number = read_le32(entries, 4 * static_cast<size_t>(index));
    }
}
