// Runs of an inode's logical blocks, over whichever mapping the inode uses: the one place that knows both.
#include "ext/file_map.h"

#include "ext/volume.h"

#include <algorithm>
#include <iterator>

file_map open_file_map(ext_volume& source, const ext_inode& inode)
{
    file_map map;
    map.refused = inode.attributes_damaged;
    map.extents = inode.uses_extents();
    if (map.extents)
        map.tree = open_extent_tree(source, inode);
    else
        map.blocks = open_block_map(source, inode);
    if (source.volume_info && inode.number != 0) {
        map.volume = source.volume_info.get();
        map.replayed = replayed_mapping(*map.volume, inode.number);
    }
    return map;
}

bool map_run(file_map& map, uint32_t logical, block_run& run)
{
    if (map.refused)
        return false;
    // One past the last block the inode's own mapping may answer for: the next replayed range's start.
    uint64_t limit = logical_block_limit;
    if (map.replayed) {
        auto next = map.replayed->upper_bound(logical);
        if (next != map.replayed->begin()) {
            const auto& [first, range] = *std::prev(next);
            uint64_t offset = logical - first;
            if (offset < range.length) {
                run = block_run{0, static_cast<uint32_t>(range.length - offset), range.kind};
                if (range.kind == run_kind::hole)
                    return true;
                // As a leaf's extent: the run starts inside the volume and stops at its end.
                run.physical = range.physical + offset;
                if (!blocks_in_volume(*map.volume, run.physical, 1))
                    return false;
                uint64_t room = map.volume->blocks_count - run.physical;
                run.length = static_cast<uint32_t>(std::min<uint64_t>(run.length, room));
                return true;
            }
        }
        if (next != map.replayed->end())
            limit = next->first;
    }
    bool mapped = map.extents ? extent_run(map.tree, logical, run) : block_map_run(map.blocks, logical, run);
    if (mapped && run.length > limit - logical)
        run.length = static_cast<uint32_t>(limit - logical);
    return mapped && run.length > 0;
}

uint64_t mappable_blocks(const file_map& map)
{
    if (map.extents)
        return logical_block_limit;
    return std::min(logical_block_limit, block_map_capacity(map.blocks.partition->volume_info->block_size));
}
