// Runs of an inode's logical blocks, over whichever mapping the inode uses.
#include "ext/file_map.h"

file_map open_file_map(partition_linux_ext2& source, const ext_inode& inode)
{
    return file_map{make_cursor(source, inode)};
}

bool map_run(file_map& map, uint32_t logical, block_run& run)
{
    uint64_t block = 0;
    block_mapping mapping = map_logical_block(map.cursor, logical, block);
    if (mapping == block_mapping::failed)
        return false;
    run.length = 1;
    run.kind = mapping == block_mapping::mapped ? run_kind::data : run_kind::hole;
    run.physical = block;
    return true;
}
