// Extent trees: root-to-leaf lookup with every node checked as Linux checks it, and one node kept per level for
// sequential walks.
#include "ext/extent.h"

#include "disk/byte_order.h"
#include "ext/volume.h"

#include <algorithm>
#include <optional>

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

// The number of blocks an extent entry covers: above 32768 its length marks an unwritten extent.
uint32_t extent_length(uint16_t ee_len)
{
    return ee_len <= max_initialised_length ? ee_len : ee_len - max_initialised_length;
}

// A node as Linux's __ext4_ext_check and ext4_valid_extent_entries take it: the magic, the depth its level
// expects, a capacity (eh_max) that is not 0 and fits the node, entries within it and at least one in an index
// node. Its entries start where the parent's index entry says (first, for a node below the root) and rise: the
// extents of a leaf neither overlap nor wrap past logical block 2^32 - 1, nor have 0 blocks, the index entries rise
// strictly. Every extent's blocks and every child lie in the volume's data area (valid_data_blocks). One pass over
// at most eh_max entries.
bool node_is_sound(const ext2_volume_info& volume, const uint8_t* node, uint16_t capacity, uint16_t expected_depth,
                   std::optional<uint32_t> first)
{
    extent_header header = parse_header(node);
    if (header.eh_magic != extent_magic || header.eh_depth != expected_depth || header.eh_max == 0 ||
        header.eh_max > capacity || header.eh_entries > header.eh_max || (header.eh_entries == 0 && expected_depth > 0))
        return false;
    if (header.eh_entries == 0)
        return true;
    if (first && read_le32(node, header_size) != *first)
        return false;
    uint64_t next_free = 0;  // the lowest logical block the next entry may start at
    for (uint16_t i = 0; i < header.eh_entries; ++i) {
        const uint8_t* entry = node + header_size + entry_size * i;
        uint32_t key = read_le32(entry, 0);
        if (key < next_free)
            return false;
        if (expected_depth == 0) {
            extent_entry extent = parse_extent(entry);
            uint32_t length = extent_length(extent.ee_len);
            if (length == 0 || uint64_t{key} + length >= logical_block_limit ||
                !valid_data_blocks(volume, extent.ee_start, length))
                return false;
            next_free = uint64_t{key} + length;
        } else {
            uint64_t child = read_le32(entry, 4) | (static_cast<uint64_t>(read_le16(entry, 8)) << 32);
            if (!valid_data_blocks(volume, child, 1))
                return false;
            next_free = uint64_t{key} + 1;
        }
    }
    return true;
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

extent_walk open_extent_tree(ext_volume& source, const ext_inode& inode)
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
    uint16_t depth = header.eh_depth;
    auto& levels = walk.levels;
    // The root is checked once per walk, as Linux checks it when it reads the inode; level 0 records that.
    if (levels.empty() || !levels[0].held) {
        if (depth > max_extent_depth || !node_is_sound(volume, node, root_capacity, depth, std::nullopt))
            return false;
        levels.clear();
        levels.resize(static_cast<size_t>(depth) + 1);
        levels[0].held = true;
    }

    // One past the last logical block the node reached so far covers: the next key at each level above it.
    uint64_t limit = logical_block_limit;
    const uint16_t node_capacity = static_cast<uint16_t>((volume.block_size - header_size) / entry_size);
    // One step per level: at most max_extent_depth node reads, each node checked once when it is read, and each
    // search bounded by its checked count.
    for (uint16_t k = 0; k < depth; ++k) {
        uint32_t chosen = search_entries(node, header.eh_entries, logical);
        limit = std::min(limit, next_key(node, header.eh_entries, chosen, limit));
        const uint8_t* index = node + header_size + entry_size * chosen;
        uint32_t key = read_le32(index, 0);
        uint64_t child = read_le32(index, 4) | (static_cast<uint64_t>(read_le16(index, 8)) << 32);
        extent_level& level = levels[k + 1];
        // A node held for another index entry (only damage makes two name one block) is checked again for this one.
        if (!level.held || level.block != child || level.first != key) {
            level.held = false;
            level.node = read_block(*walk.partition, child);
            if (!level.node)
                return false;
            if (!node_is_sound(volume, level.node.get(), node_capacity, static_cast<uint16_t>(depth - k - 1), key)) {
                level.node.reset();
                return false;
            }
            level.block = child;
            level.first = key;
            level.held = true;
        }
        node = level.node.get();
        header = parse_header(node);
    }

    // Every checked node starts at its parent's key and rises, so limit > logical; kept as a guard.
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
    // An extent may reach past where the parent's next index entry starts; lookups there go down that entry.
    uint64_t extent_end = std::min<uint64_t>(uint64_t{extent.ee_block} + extent_length(extent.ee_len), limit);
    if (logical >= extent_end) {
        // Between this extent and the next, or past the last.
        uint64_t end = std::min(next_key(node, header.eh_entries, chosen, limit), limit);
        if (end <= logical)
            return false;
        run = block_run{0, clamp_run_length(logical, end - logical), run_kind::hole};
        return true;
    }
    // The node's check put the whole extent inside the volume.
    uint64_t physical = extent.ee_start + (logical - extent.ee_block);
    run = block_run{physical, static_cast<uint32_t>(extent_end - logical), written ? run_kind::data : run_kind::unwritten};
    return true;
}
