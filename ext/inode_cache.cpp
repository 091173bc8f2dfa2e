// Inode access through a process-wide least-recently-used cache of inode-table pieces, within a byte budget.
#include "ext/inode_cache.h"

#include "disk/byte_order.h"
#include "ext/volume.h"
#include "ext/fast_commit.h"
#include "platform/lock.h"

#include <algorithm>
#include <cstring>
#include <list>
#include <mutex>
#include <new>
#include <unordered_map>

namespace {

// A time from its 32-bit field and, where the inode has it, its extra field: the extra field's two low bits
// extend the signed seconds by 2^32 each, its other 30 bits are nanoseconds.
inode_time parse_time(const uint8_t* bytes, size_t offset, const uint8_t* extra)
{
    inode_time time;
    time.seconds = static_cast<int32_t>(read_le32(bytes, offset));
    if (extra != nullptr) {
        uint32_t value = read_le32(extra, 0);
        time.seconds += static_cast<int64_t>(value & 3) << 32;
        time.nanoseconds = std::min<uint32_t>(value >> 2, 999999999);
    }
    return time;
}

}  // namespace

bool ext_inode::well_formed() const
{
    switch (i_mode & mode_type_mask) {
    case mode_fifo:
    case mode_character_device:
    case mode_directory:
    case mode_block_device:
    case mode_regular:
    case mode_symlink:
    case mode_socket:
        return !(has_inline_data() && uses_extents());
    default:
        return false;
    }
}

ext_inode parse_inode(const uint8_t* bytes, uint32_t inode_size, const xattr_rules& rules)
{
    ext_inode inode;
    inode.i_mode = read_le16(bytes, 0);
    inode.i_size_lo = read_le32(bytes, 4);
    inode.i_links_count = read_le16(bytes, 26);
    inode.i_uid = read_le16(bytes, 2) | static_cast<uint32_t>(read_le16(bytes, 120)) << 16;
    inode.i_gid = read_le16(bytes, 24) | static_cast<uint32_t>(read_le16(bytes, 122)) << 16;
    inode.i_blocks = read_le32(bytes, 28) | static_cast<uint64_t>(read_le16(bytes, 116)) << 32;
    inode.i_flags = read_le32(bytes, 32);
    std::copy(bytes + 40, bytes + 100, inode.i_block.begin());
    inode.i_size_high = read_le32(bytes, 108);

    // A large inode's extra fields hold as far as i_extra_isize says, within the inode.
    uint32_t extra_end = good_old_inode_size;
    if (inode_size > good_old_inode_size)
        extra_end = std::min<uint32_t>(inode_size, good_old_inode_size + read_le16(bytes, good_old_inode_size));
    auto extra_field = [&](size_t offset) { return offset + 4 <= extra_end ? bytes + offset : nullptr; };
    inode.change_time = parse_time(bytes, 12, extra_field(132));
    inode.modification_time = parse_time(bytes, 16, extra_field(136));
    inode.access_time = parse_time(bytes, 8, extra_field(140));
    if (extra_field(144) != nullptr) {
        inode.creation_time = parse_time(bytes, 144, extra_field(148));
        inode.has_creation_time = true;
    }
    if (inode_size > good_old_inode_size) {
        // As Linux reads it: an extra size that is not whole 32-bit words or reaches past the inode makes the inode
        // unreadable; 0 means no extra fields and no attributes. The attribute area follows the extra fields to the
        // end of the inode.
        uint32_t extra = read_le16(bytes, good_old_inode_size);
        if (extra % 4 != 0 || extra > inode_size - good_old_inode_size) {
            inode.attributes_damaged = true;
        } else if (extra != 0) {
            const uint8_t* area = bytes + good_old_inode_size + extra;
            size_t area_size = inode_size - good_old_inode_size - extra;
            inode.attributes_damaged = !ibody_xattrs_sound(area, area_size, &rules);
            if (inode.has_inline_data() && !inode.attributes_damaged) {
                try {
                    inode.attribute_area.assign(area, area + area_size);
                } catch (const std::bad_alloc&) {
                    inode.attribute_area.clear();
                }
            }
        }
    }
    return inode;
}

namespace {

// What each cached piece costs beyond its bytes: its list node and its index entry, rounded up.
constexpr size_t piece_overhead = 128;

struct piece_key {
    uint64_t partition = 0;  // the partition's cache_id
    uint32_t group = 0;
    uint32_t piece = 0;  // index of the piece within the group's table

    bool operator==(const piece_key&) const = default;
};

struct piece_key_hash {
    size_t operator()(const piece_key& key) const
    {
        uint64_t h = key.partition * 0x9E3779B97F4A7C15ull;
        h ^= (static_cast<uint64_t>(key.group) << 20) + key.piece + (h >> 29);
        return static_cast<size_t>(h * 0xBF58476D1CE4E5B9ull);
    }
};

struct cached_piece {
    piece_key key;
    block_buffer bytes;
    size_t length = 0;  // bytes of the piece
};

// Pieces in order of use, the most recent first; the index finds a piece by its key. The budget bounds the pieces
// held, so it bounds both containers too.
struct piece_cache {
    plugin_lock lock;
    std::list<cached_piece> pieces;
    std::unordered_map<piece_key, std::list<cached_piece>::iterator, piece_key_hash> index;
    size_t bytes = 0;
    size_t budget = inode_cache_budget;
};

piece_cache cache;

size_t charge(const cached_piece& piece)
{
    return piece.length + piece_overhead;
}

void drop_oldest(piece_cache& c)
{
    c.bytes -= charge(c.pieces.back());
    c.index.erase(c.pieces.back().key);
    c.pieces.pop_back();
}

// Hands the bytes at offset of a cached piece, which becomes the most recently used, to use under the cache's
// lock; false on a miss.
template <typename Use>
bool use_cached_bytes(const piece_key& key, size_t offset, Use&& use)
{
    std::lock_guard<plugin_lock> guard(cache.lock);
    auto found = cache.index.find(key);
    if (found == cache.index.end())
        return false;
    cache.pieces.splice(cache.pieces.begin(), cache.pieces, found->second);
    use(found->second->bytes.get() + offset);
    return true;
}

// Keeps a piece read from disk, unless another thread stored it meanwhile or it alone exceeds the budget. Failing
// to grow the containers only means the piece is not kept.
void keep_piece(const piece_key& key, block_buffer bytes, size_t length)
{
    std::lock_guard<plugin_lock> guard(cache.lock);
    if (length + piece_overhead > cache.budget || cache.index.count(key) != 0)
        return;
    try {
        cache.pieces.push_front(cached_piece{key, std::move(bytes), length});
        try {
            cache.index.emplace(key, cache.pieces.begin());
        } catch (const std::bad_alloc&) {
            cache.pieces.pop_front();
            return;
        }
    } catch (const std::bad_alloc&) {
        return;
    }
    cache.bytes += charge(cache.pieces.front());
    while (cache.bytes > cache.budget)
        drop_oldest(cache);
}

// The size as the kernel reads it (ext4_isize): the high word counts for a regular file, and for other inodes only
// once the largedir feature gives it that meaning.
ext_inode with_kernel_size(ext_inode inode, const ext2_volume_info& volume)
{
    if (!inode.is_regular() && (volume.superblock.s_feature_incompat & incompat_largedir) == 0)
        inode.i_size_high = 0;
    return inode;
}

}  // namespace

namespace {

// Hands the on-disk bytes of inode n (inode_size of them) to use: from the cached piece of its group's inode table
// that holds it, or from that piece read on a miss, which is then kept. False for inode 0, a number beyond the
// volume's inodes, an unmounted partition, a table outside the volume or a failed read.
template <typename Use>
bool use_inode_bytes(ext_volume& source, uint32_t n, Use&& use)
{
    if (!source.volume_info || n == 0)
        return false;
    const ext2_volume_info& volume = *source.volume_info;
    if (n > volume.superblock.s_inodes_count)
        return false;
    uint32_t group = (n - 1) / volume.inodes_per_group;
    uint32_t index = (n - 1) % volume.inodes_per_group;
    if (group >= volume.group_count)
        return false;

    // The whole table must lie inside the volume, whichever piece is read.
    uint64_t table_bytes = static_cast<uint64_t>(volume.inode_size) * volume.inodes_per_group;
    uint64_t table_blocks = (table_bytes + volume.block_size - 1) / volume.block_size;
    uint64_t first_block = volume.descriptors[group].inode_table;
    if (!blocks_in_volume(volume, first_block, table_blocks))
        return false;

    // inode_size divides block_size, and block_size divides the piece size: no inode straddles two pieces, and a
    // piece is whole blocks.
    uint64_t offset = static_cast<uint64_t>(index) * volume.inode_size;
    uint32_t piece = static_cast<uint32_t>(offset / inode_table_piece_bytes);
    uint64_t piece_start = static_cast<uint64_t>(piece) * inode_table_piece_bytes;
    size_t offset_in_piece = static_cast<size_t>(offset - piece_start);
    piece_key key{source.cache_id, group, piece};
    if (use_cached_bytes(key, offset_in_piece, use))
        return true;

    uint64_t piece_first_block = piece_start / volume.block_size;
    uint64_t piece_blocks =
        std::min<uint64_t>(inode_table_piece_bytes / volume.block_size, table_blocks - piece_first_block);
    block_buffer bytes = read_blocks(source, first_block + piece_first_block, static_cast<uint32_t>(piece_blocks));
    if (!bytes)
        return false;
    use(bytes.get() + offset_in_piece);
    keep_piece(key, std::move(bytes), static_cast<size_t>(piece_blocks) * volume.block_size);
    return true;
}

}  // namespace

std::optional<ext_inode> get_inode(ext_volume& source, uint32_t n)
{
    if (!source.volume_info || n == 0)
        return std::nullopt;
    uint32_t inode_size = source.volume_info->inode_size;
    const ext2_volume_info& volume = *source.volume_info;
    const xattr_rules rules{(volume.superblock.s_feature_incompat & incompat_ea_inode) != 0,
                            volume.superblock.s_inodes_count};
    std::optional<ext_inode> inode;
    if (const uint8_t* replayed = replayed_inode(volume, n))
        inode = parse_inode(replayed, inode_size, rules);
    else if (!use_inode_bytes(source, n, [&](const uint8_t* bytes) { inode = parse_inode(bytes, inode_size, rules); }))
        return std::nullopt;
    inode->number = n;
    return with_kernel_size(std::move(*inode), volume);
}

bool read_inode_bytes(ext_volume& source, uint32_t n, uint8_t* target)
{
    if (!source.volume_info)
        return false;
    uint32_t inode_size = source.volume_info->inode_size;
    return use_inode_bytes(source, n, [&](const uint8_t* bytes) { std::memcpy(target, bytes, inode_size); });
}

void forget_inode_tables(const ext_volume& source)
{
    std::lock_guard<plugin_lock> guard(cache.lock);
    for (auto it = cache.pieces.begin(); it != cache.pieces.end();) {
        if (it->key.partition != source.cache_id) {
            ++it;
            continue;
        }
        cache.bytes -= charge(*it);
        cache.index.erase(it->key);
        it = cache.pieces.erase(it);
    }
}

size_t inode_cache_bytes()
{
    std::lock_guard<plugin_lock> guard(cache.lock);
    return cache.bytes;
}

size_t set_inode_cache_budget(size_t bytes)
{
    std::lock_guard<plugin_lock> guard(cache.lock);
    size_t previous = cache.budget;
    cache.budget = bytes;
    while (cache.bytes > cache.budget)
        drop_oldest(cache);
    return previous;
}
