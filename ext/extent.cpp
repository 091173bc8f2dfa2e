// Extent trees: root-to-leaf lookup with every node checked, and one node kept per level for sequential walks.
#include "ext/extent.h"

#include "disk/byte_order.h"
#include "disk/partition.h"
#include "ext/block_map.h"
#include "ext/volume.h"

namespace {

constexpr size_t header_size = 12;
constexpr size_t entry_size = 12;
constexpr uint16_t root_capacity = 4;  // entries that fit in the 60 bytes of i_block after the header
constexpr uint32_t max_initialised_length = 32768;

struct extent_header {
    uint16_t eh_magic;
    uint16_t eh_entries;
    uint16_t eh_max;
    uint16_t eh_depth;
};

extent_header parse_header(const uint8_t* node)
{
    return extent_header{read_le16(node, 0), read_le16(node, 2), read_le16(node, 4), read_le16(node, 6)};
}

// A node is usable when it carries the magic, sits at the depth its level expects, and its entries fit in it.
bool header_is_sound(const extent_header& header, uint16_t capacity, uint16_t expected_depth)
{
    return header.eh_magic == extent_magic && header.eh_depth == expected_depth && header.eh_max <= capacity &&
           header.eh_entries <= header.eh_max;
}

// The last entry whose first logical block is at most j, or entry 0 when j lies below them all.
const uint8_t* search_entries(const uint8_t* node, uint16_t entries, uint32_t j)
{
    uint32_t low = 1;
    uint32_t high = entries;  // one past the last candidate
    while (low < high) {
        uint32_t mid = low + (high - low) / 2;
        if (j < read_le32(node, header_size + entry_size * mid))
            high = mid;
        else
            low = mid + 1;
    }
    return node + header_size + entry_size * (low - 1);
}

}  // namespace

block_mapping map_extent_block(block_map_cursor& cursor, uint32_t j, uint64_t& block)
{
    const ext2_volume_info& volume = *cursor.partition->volume_info;
    const uint8_t* node = cursor.inode.i_block.data();
    extent_header header = parse_header(node);
    if (header.eh_depth > max_extent_depth || !header_is_sound(header, root_capacity, header.eh_depth))
        return block_mapping::failed;
    uint16_t depth = header.eh_depth;
    auto& levels = cursor.path.levels;
    if (levels.size() != static_cast<size_t>(depth) + 1)
        levels.resize(static_cast<size_t>(depth) + 1);

    const uint16_t node_capacity = static_cast<uint16_t>((volume.block_size - header_size) / entry_size);
    for (uint16_t k = 0; k < depth; ++k) {
        if (header.eh_entries == 0)
            return block_mapping::failed;  // an index node must lead somewhere
        const uint8_t* index = search_entries(node, header.eh_entries, j);
        uint64_t child = read_le32(index, 4) | (static_cast<uint64_t>(read_le16(index, 8)) << 32);
        extent_level& level = levels[k + 1];
        if (!level.held || level.block != child) {
            level.held = false;
            level.node = read_block(*cursor.partition, child);
            if (!level.node)
                return block_mapping::failed;
            if (!header_is_sound(parse_header(level.node.get()), node_capacity, static_cast<uint16_t>(depth - k - 1))) {
                level.node.reset();
                return block_mapping::failed;
            }
            level.block = child;
            level.held = true;
        }
        node = level.node.get();
        header = parse_header(node);
    }

    if (header.eh_entries == 0)
        return block_mapping::hole;
    const uint8_t* extent = search_entries(node, header.eh_entries, j);
    uint32_t first = read_le32(extent, 0);
    uint32_t length = read_le16(extent, 4);
    bool initialised = length <= max_initialised_length;
    if (!initialised)
        length -= max_initialised_length;
    if (j < first || j - first >= length || !initialised)
        return block_mapping::hole;
    uint64_t start = read_le32(extent, 8) | (static_cast<uint64_t>(read_le16(extent, 6)) << 32);
    uint64_t physical = start + (j - first);
    if (!blocks_in_volume(volume, physical, 1))
        return block_mapping::failed;
    block = physical;
    return block_mapping::mapped;
}

void release_extent_path(extent_path& path)
{
    path.levels.clear();
}
