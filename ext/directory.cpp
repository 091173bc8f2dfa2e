// Directory reading: records of every directory block, checked against their block as they are copied.
#include "ext/directory.h"

#include "disk/byte_order.h"
#include "disk/partition.h"
#include "ext/file_map.h"
#include "ext/volume.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <new>

namespace {

constexpr uint32_t record_head = 8;

// Appends the records of one block; a record that does not fit its block ends the block. False when the listing
// would grow past max_directory_records.
bool split_block(const uint8_t* data, uint32_t block_size, dir_listing& listing)
{
    uint32_t offset = 0;
    while (block_size - offset >= record_head) {
        const uint8_t* record = data + offset;
        uint16_t rec_len = read_le16(record, 4);
        uint8_t name_len = record[6];
        if (rec_len < record_head || rec_len > block_size - offset || rec_len < record_head + name_len)
            return true;
        if (listing.size() >= max_directory_records)
            return false;
        dir_entry& entry = listing.emplace_back();
        entry.inode = read_le32(record, 0);
        entry.rec_len = rec_len;
        entry.name_len = name_len;
        entry.file_type = record[7];
        std::memcpy(entry.name, record + record_head, name_len);
        entry.name[name_len] = '\0';
        offset += rec_len;
    }
    return true;
}

}  // namespace

bool read_directory(partition_linux_ext2& source, uint32_t inode_number, dir_listing& listing)
{
    listing.clear();
    if (!source.volume_info)
        return false;
    std::optional<ext_inode> inode = get_inode(source, inode_number);
    if (!inode)
        return false;
    const ext2_volume_info& volume = *source.volume_info;
    uint64_t blocks = (inode->size() + volume.block_size - 1) / volume.block_size;
    // A directory cannot hold more blocks than its volume; a size that says otherwise is damage.
    if (blocks > volume.blocks_count || blocks > max_directory_blocks)
        return false;

    file_map map = open_file_map(source, *inode);
    try {
        for (uint64_t j = 0; j < blocks;) {
            block_run run;
            if (!map_run(map, static_cast<uint32_t>(j), run)) {
                listing.clear();
                return false;
            }
            uint64_t count = std::min<uint64_t>(run.length, blocks - j);
            for (uint64_t k = 0; k < count && run.kind == run_kind::data; ++k) {
                sector_buffer data = read_block(source, run.physical + k);
                if (!data) {
                    listing.clear();
                    return false;
                }
                if (!split_block(data.get(), volume.block_size, listing)) {
                    listing.clear();
                    listing.shrink_to_fit();
                    return false;
                }
            }
            j += count;
        }
    } catch (const std::bad_alloc&) {
        listing.clear();
        listing.shrink_to_fit();
        return false;
    }
    return true;
}
