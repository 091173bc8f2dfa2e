// Extent trees: root-to-leaf lookup with every node checked, and one node kept per level for sequential walks.
#include "ext/extent.h"

#include "disk/byte_order.h"
#include "ext/volume.h"

#include <algorithm>

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

// An entry of a leaf node, as stored.
struct extent_entry {
    uint32_t ee_block;   // first logical block
    uint16_t ee_len;     // blocks; above 32768 an unwritten extent of ee_len - 32768 blocks
    uint64_t ee_start;   // first volume block, with its high 16 bits
};

extent_entry parse_extent(const uint8_t* entry)
{
    return extent_entry{read_le32(entry, 0), read_le16(entry, 4),
                        read_le32(entry, 8) | (static_cast<uint64_t>(read_le16(entry, 6)) << 32)};
}

// A node is usable when it carries the magic, sits at the depth its level expects, and its entries fit in it.
bool header_is_sound(const extent_header& header, uint16_t capacity, uint16_t expected_depth)
{
    return header.eh_magic == extent_magic && header.eh_depth == expected_depth && header.eh_max <= capacity &&
           header.eh_entries <= header.eh_max;
}

// The index of the last entry whose first logical block is at most j, or 0 when j lies below them all.
uint32_t search_entries(const uint8_t* node, uint16_t entries, uint32_t j)
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
    return low - 1;
}

// The first logical block of entry i + 1 when there is one: where the range of entry i ends.
uint64_t next_key(const uint8_t* node, uint16_t entries, uint32_t i, uint64_t otherwise)
{
    return i + 1 < entries ? read_le32(node, header_size + entry_size * (i + 1)) : otherwise;
}

}  // namespace

extent_walk open_extent_tree(partition_linux_ext2& source, const ext_inode& inode)
{
    extent_walk walk;
    walk.partition = &source;
    walk.i_block = inode.i_block;
    return walk;
}

bool extent_run(extent_walk& walk, uint32_t logical, block_run& run)
{
    const ext2_volume_info& volume = *walk.partition->volume_info;
    const uint8_t* node = walk.i_block.data();
    extent_header header = parse_header(node);
    if (header.eh_depth > max_extent_depth || !header_is_sound(header, root_capacity, header.eh_depth))
        return false;
    uint16_t depth = header.eh_depth;
    auto& levels = walk.levels;
    if (levels.size() != static_cast<size_t>(depth) + 1)
        levels.resize(static_cast<size_t>(depth) + 1);

    // One past the last logical block the node reached so far covers: the next key at each level above it.
    uint64_t limit = logical_block_limit;
    const uint16_t node_capacity = static_cast<uint16_t>((volume.block_size - header_size) / entry_size);
    // One step per level: at most max_extent_depth node reads, each node's search bounded by its checked count.
    for (uint16_t k = 0; k < depth; ++k) {
        if (header.eh_entries == 0)
            return false;  // an index node must lead somewhere
        uint32_t chosen = search_entries(node, header.eh_entries, logical);
        limit = std::min(limit, next_key(node, header.eh_entries, chosen, limit));
        const uint8_t* index = node + header_size + entry_size * chosen;
        uint64_t child = read_le32(index, 4) | (static_cast<uint64_t>(read_le16(index, 8)) << 32);
        extent_level& level = levels[k + 1];
        if (!level.held || level.block != child) {
            level.held = false;
            level.node = read_block(*walk.partition, child);
            if (!level.node)
                return false;
            if (!header_is_sound(parse_header(level.node.get()), node_capacity, static_cast<uint16_t>(depth - k - 1))) {
                level.node.reset();
                return false;
            }
            level.block = child;
            level.held = true;
        }
        node = level.node.get();
        header = parse_header(node);
    }

    // limit > logical unless the tree's keys are out of order; such a tree cannot place logical anywhere.
    if (limit <= logical)
        return false;
    if (header.eh_entries == 0) {
        run = block_run{0, clamp_run_length(logical, limit - logical), run_kind::hole};
        return true;
    }
    uint32_t chosen = search_entries(node, header.eh_entries, logical);
    extent_entry extent = parse_extent(node + header_size + entry_size * chosen);
    if (logical < extent.ee_block) {
        // Below the first extent of the leaf.
        uint64_t end = std::min<uint64_t>(extent.ee_block, limit);
        run = block_run{0, clamp_run_length(logical, end - logical), run_kind::hole};
        return true;
    }
    bool written = extent.ee_len <= max_initialised_length;
    uint32_t length = written ? extent.ee_len : extent.ee_len - max_initialised_length;
    uint64_t extent_end = std::min<uint64_t>(uint64_t{extent.ee_block} + length, limit);
    if (logical >= extent_end) {
        // Between this extent and the next, or past the last.
        uint64_t end = std::min(next_key(node, header.eh_entries, chosen, limit), limit);
        if (end <= logical)
            return false;  // keys out of order
        run = block_run{0, clamp_run_length(logical, end - logical), run_kind::hole};
        return true;
    }
    uint64_t physical = extent.ee_start + (logical - extent.ee_block);
    if (!blocks_in_volume(volume, physical, 1))
        return false;
    // The run stops at the volume's end; the block past it fails when its own turn comes.
    uint64_t blocks = std::min(extent_end - logical, volume.blocks_count - physical);
    run = block_run{physical, static_cast<uint32_t>(blocks), written ? run_kind::data : run_kind::unwritten};
    return true;
}
