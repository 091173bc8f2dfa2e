// Runs of an inode's logical blocks, over whichever mapping the inode uses: the one place that knows both.
#include "ext/file_map.h"

#include "disk/partition.h"
#include "ext/volume.h"

#include <algorithm>

file_map open_file_map(partition_linux_ext2& source, const ext_inode& inode)
{
    file_map map;
    map.refused = inode.attributes_damaged;
    map.extents = inode.uses_extents();
    if (map.extents)
        map.tree = open_extent_tree(source, inode);
    else
        map.blocks = open_block_map(source, inode);
    return map;
}

bool map_run(file_map& map, uint32_t logical, block_run& run)
{
    if (map.refused)
        return false;
    bool mapped = map.extents ? extent_run(map.tree, logical, run) : block_map_run(map.blocks, logical, run);
    return mapped && run.length > 0;
}

uint64_t mappable_blocks(const file_map& map)
{
    if (map.extents)
        return logical_block_limit;
    return std::min(logical_block_limit, block_map_capacity(map.blocks.partition->volume_info->block_size));
}
