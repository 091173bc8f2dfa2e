// Fast commits: the scan of the area as the kernel's recovery makes it, and the replay of the tags that check out
// into the overlay that inode reads, file maps and folder reads consult.
#include "ext/fast_commit.h"

#include "disk/byte_order.h"
#include "ext/volume.h"
#include "ext/crc32c.h"
#include "ext/directory.h"
#include "ext/file_map.h"
#include "ext/inode_cache.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <memory>
#include <new>
#include <optional>
#include <utility>

namespace {

constexpr size_t tag_header_bytes = 4;
constexpr size_t head_bytes = 8;         // features, transaction
constexpr size_t tail_bytes = 8;         // transaction, CRC; the kernel pads the tail to its block's end
constexpr size_t add_range_bytes = 16;   // inode, a 12-byte extent
constexpr size_t del_range_bytes = 12;   // inode, first logical block, count
constexpr size_t dentry_head_bytes = 8;  // parent, inode; the name follows
constexpr size_t inode_head_bytes = 4;   // inode; its bytes follow
constexpr size_t max_name_bytes = 255;
constexpr uint32_t supported_head_features = 0;
constexpr uint32_t default_fast_commit_blocks = 256;

// The on-disk inode fields the replay reads and writes.
constexpr size_t inode_mode_offset = 0;
constexpr size_t inode_links_offset = 26;
constexpr size_t inode_flags_offset = 32;
constexpr size_t inode_block_offset = 40;       // i_block, 60 bytes
constexpr size_t inode_generation_offset = 100; // the field after i_block
constexpr size_t inode_block_bytes = 60;
constexpr uint16_t extent_header_magic = 0xF30A;
constexpr uint16_t root_extent_capacity = 4;
constexpr uint16_t max_initialised_length = 32768;

// What the replay estimates each piece of the overlay to take beyond its own bytes: container nodes and headers.
constexpr size_t entry_overhead = 64;

// The length of a tag's value as the kernel's scan allows it for that kind of tag; unknown kinds are never valid.
bool value_length_valid(uint16_t tag, size_t length, uint32_t inode_size)
{
    switch (tag) {
    case fc_tag_add_range:
        return length == add_range_bytes;
    case fc_tag_del_range:
        return length == del_range_bytes;
    case fc_tag_creat:
    case fc_tag_link:
    case fc_tag_unlink:
        return length > dentry_head_bytes && length - dentry_head_bytes <= max_name_bytes;
    case fc_tag_inode:
        return length >= inode_head_bytes + good_old_inode_size && length - inode_head_bytes <= inode_size;
    case fc_tag_pad:
        return true;
    case fc_tag_tail:
        return length >= tail_bytes;
    case fc_tag_head:
        return length == head_bytes;
    default:
        return false;
    }
}

// How the walk over one block's tags ended: after its last tag, where visit asked to stop, or at a tag that runs
// past the block or has a length its kind does not allow.
enum class block_walk { finished, stopped, invalid };

// Hands the tags of one block in order to visit(tag, the whole tag's bytes) until it returns false.
template <typename Visit>
block_walk walk_block(const uint8_t* block, uint32_t block_size, uint32_t inode_size, Visit&& visit)
{
    // Every tag takes at least its 4-byte header, so a block holds at most block_size / 4 of them.
    for (size_t offset = 0; offset + tag_header_bytes <= block_size;) {
        fast_commit_tag tag;
        tag.tag = read_le16(block, offset);
        tag.length = read_le16(block, offset + 2);
        tag.value = block + offset + tag_header_bytes;
        if (tag.length > block_size - offset - tag_header_bytes || !value_length_valid(tag.tag, tag.length, inode_size))
            return block_walk::invalid;
        if (!visit(tag, block + offset))
            return block_walk::stopped;
        offset += tag_header_bytes + tag.length;
    }
    return block_walk::finished;
}

}  // namespace

fast_commit_count count_fast_commit_tags(const fast_commit_area& area)
{
    fast_commit_count outcome;
    try {
        std::vector<uint8_t> block(area.block_size);
        size_t current = 0;  // tags since the head
        size_t counted = 0;  // tags up to the last tail that checked out
        uint32_t crc = 0;
        // Set by a tag that ends the log: found with counted tags, or an area the kernel's recovery fails on.
        std::optional<fast_commit_scan> ended;
        auto end_log = [&](bool damaged) {
            ended = damaged && counted == 0 ? fast_commit_scan::unusable
                                            : (counted == 0 ? fast_commit_scan::nothing : fast_commit_scan::found);
            return false;
        };
        for (uint32_t n = 0; n < area.blocks; ++n) {
            if (n == max_fast_commit_blocks || !area.read(n, block.data()))
                return {fast_commit_scan::unusable, 0};
            if (n == 0 && read_le16(block.data(), 0) != fc_tag_head)
                return {fast_commit_scan::nothing, 0};
            block_walk walked =
                walk_block(block.data(), area.block_size, area.inode_size, [&](const fast_commit_tag& tag,
                                                                               const uint8_t* whole) {
                    if (++current > max_fast_commit_tags) {
                        ended = fast_commit_scan::unusable;
                        return false;
                    }
                    switch (tag.tag) {
                    case fc_tag_tail: {
                        crc = crc32c(crc, whole, tag_header_bytes + 4);
                        bool good = read_le32(tag.value, 0) == area.expected_tid && read_le32(tag.value, 4) == crc;
                        if (!good)
                            return end_log(true);
                        counted = current;
                        crc = 0;
                        return true;
                    }
                    case fc_tag_head:
                        if ((read_le32(tag.value, 0) & ~supported_head_features) != 0) {
                            ended = fast_commit_scan::unusable;
                            return false;
                        }
                        // A head of another transaction: what follows is left from an earlier one.
                        if (read_le32(tag.value, 4) != area.expected_tid) {
                            --current;
                            return end_log(false);
                        }
                        break;
                    default:
                        break;
                    }
                    crc = crc32c(crc, whole, tag_header_bytes + tag.length);
                    return true;
                });
            if (walked == block_walk::invalid)
                end_log(true);
            if (ended)
                return {*ended, *ended == fast_commit_scan::found ? counted : 0};
        }
        // Every block was walked and the log went on: the kernel reads on past the area's last block.
        outcome.result = fast_commit_scan::unusable;
    } catch (const std::bad_alloc&) {
        outcome.result = fast_commit_scan::unusable;
    }
    return outcome;
}

bool walk_fast_commit_tags(const fast_commit_area& area, size_t count,
                           const std::function<bool(const fast_commit_tag&)>& visit)
{
    try {
        std::vector<uint8_t> block(area.block_size);
        size_t handed = 0;
        // The count came from count_fast_commit_tags over the same blocks: every tag before it fits and is valid.
        for (uint32_t n = 0; n < area.blocks && n < max_fast_commit_blocks && handed < count; ++n) {
            if (!area.read(n, block.data()))
                return false;
            bool failed = false;
            block_walk walked = walk_block(block.data(), area.block_size, area.inode_size,
                                           [&](const fast_commit_tag& tag, const uint8_t*) {
                                               if (handed == count)
                                                   return false;
                                               ++handed;
                                               failed = !visit(tag);
                                               return !failed;
                                           });
            if (failed || (walked == block_walk::invalid && handed < count))
                return false;
        }
        return handed == count;
    } catch (const std::bad_alloc&) {
        return false;
    }
}

namespace {

// Bytes held by all the overlays of the process.
std::atomic<size_t> overlay_bytes_held{0};

bool charge_overlay(fast_commit_overlay& overlay, size_t bytes)
{
    size_t held = overlay_bytes_held.load();
    do {
        if (bytes > fast_commit_overlay_budget - held)
            return false;
    } while (!overlay_bytes_held.compare_exchange_weak(held, held + bytes));
    overlay.charged = bytes;
    return true;
}

uint8_t file_type_of(uint16_t mode)
{
    switch (mode & mode_type_mask) {
    case mode_regular:
        return file_type_regular;
    case mode_directory:
        return file_type_directory;
    case 0x2000:
        return 3;  // character device
    case 0x6000:
        return 4;  // block device
    case 0x1000:
        return 5;  // FIFO
    case 0xC000:
        return 6;  // socket
    case 0xA000:
        return file_type_symlink;
    default:
        return file_type_unknown;
    }
}

// The replay of the counted tags into an overlay, one handler per kind of tag, each doing what the kernel's
// handler does to the volume. A handler returns false for a change this reader cannot apply, which leaves the
// whole replay unapplied.
struct replay {
    ext_volume& target;
    const ext2_volume_info& volume;
    std::unique_ptr<fast_commit_overlay> overlay = std::make_unique<fast_commit_overlay>();
    size_t bytes = 0;  // the overlay's estimated size
    std::vector<uint8_t> scratch = std::vector<uint8_t>(volume.inode_size);

    bool valid_number(uint32_t inode) const { return inode != 0 && inode <= volume.superblock.s_inodes_count; }

    // The inode as the replay has left it so far: its replayed copy, else its bytes on disk. Null for an invalid
    // number or a failed read.
    const uint8_t* current(uint32_t inode)
    {
        if (!valid_number(inode))
            return nullptr;
        auto found = overlay->inodes.find(inode);
        if (found != overlay->inodes.end())
            return found->second.data();
        return read_inode_bytes(target, inode, scratch.data()) ? scratch.data() : nullptr;
    }

    // Whether the kernel's iget would give the inode: a valid number of an inode with links. The tags about
    // inodes it cannot get are passed over, as the kernel's handlers do. nullopt when the inode cannot be read.
    std::optional<bool> live(uint32_t inode)
    {
        if (!valid_number(inode))
            return false;
        const uint8_t* bytes = current(inode);
        if (!bytes)
            return std::nullopt;
        return read_le16(bytes, inode_links_offset) != 0;
    }

    bool grow(size_t more)
    {
        bytes += more;
        return bytes <= fast_commit_overlay_budget;
    }

    // The inode tag: the inode's fields up to i_block and from i_generation to the tag's end are the tag's; i_block
    // stays the inode's own (the tree that earlier range tags changed), except that an inode with extents gets an
    // empty tree where its own holds none and an inode with inline data takes the tag's i_block.
    bool on_inode(const fast_commit_tag& tag)
    {
        uint32_t inode = read_le32(tag.value, 0);
        const uint8_t* raw = tag.value + inode_head_bytes;
        size_t length = tag.length - inode_head_bytes;
        if (!valid_number(inode))
            return true;
        const uint8_t* base = current(inode);
        if (!base)
            return false;
        std::vector<uint8_t> replayed(base, base + volume.inode_size);
        std::memcpy(replayed.data(), raw, inode_block_offset);
        std::memcpy(replayed.data() + inode_generation_offset, raw + inode_generation_offset,
                    length - inode_generation_offset);
        uint32_t flags = read_le32(replayed.data(), inode_flags_offset);
        uint8_t* i_block = replayed.data() + inode_block_offset;
        if ((flags & inode_flag_extents) != 0) {
            if (read_le16(i_block, 0) != extent_header_magic) {
                std::memset(i_block, 0, 12);
                i_block[0] = static_cast<uint8_t>(extent_header_magic);
                i_block[1] = static_cast<uint8_t>(extent_header_magic >> 8);
                i_block[4] = static_cast<uint8_t>(root_extent_capacity);
            }
        } else if ((flags & inode_flag_inline_data) != 0) {
            std::memcpy(i_block, raw + inode_block_offset, inode_block_bytes);
        }
        // The kernel reads the inode back at once and fails the recovery when it cannot: an inode without links,
        // or a large inode whose extra size is not whole words within the inode.
        if (read_le16(replayed.data(), inode_links_offset) == 0)
            return false;
        if (volume.inode_size > good_old_inode_size) {
            uint32_t extra = read_le16(replayed.data(), good_old_inode_size);
            if (extra % 4 != 0 || extra > volume.inode_size - good_old_inode_size)
                return false;
        }
        auto [where, added] = overlay->inodes.try_emplace(inode);
        where->second = std::move(replayed);
        return !added || grow(volume.inode_size + entry_overhead);
    }

    // The inode's ranges, for a range tag about an inode with an extent tree; the kernel's range handlers work on
    // extent trees only.
    replayed_ranges* ranges_of(uint32_t inode)
    {
        const uint8_t* bytes = current(inode);
        if (!bytes)
            return nullptr;
        uint32_t flags = read_le32(bytes, inode_flags_offset);
        if ((flags & inode_flag_extents) == 0 || (flags & inode_flag_inline_data) != 0)
            return nullptr;
        auto [where, added] = overlay->ranges.try_emplace(inode);
        if (added && !grow(entry_overhead))
            return nullptr;
        return &where->second;
    }

    // Maps logical blocks [first, first + length) anew, cutting back or splitting the ranges it overlaps.
    bool set_range(replayed_ranges& ranges, uint32_t first, uint64_t length, uint64_t physical, run_kind kind)
    {
        uint64_t end = std::min<uint64_t>(uint64_t{first} + length, logical_block_limit);
        auto at = ranges.lower_bound(first);
        if (at != ranges.begin()) {
            auto before = std::prev(at);
            uint64_t before_end = uint64_t{before->first} + before->second.length;
            if (before_end > first) {
                if (before_end > end) {
                    // The new range lies inside this one: its tail goes on after the new range.
                    replayed_range tail = before->second;
                    tail.length = static_cast<uint32_t>(before_end - end);
                    if (tail.kind != run_kind::hole)
                        tail.physical += end - before->first;
                    ranges.emplace(static_cast<uint32_t>(end), tail);
                }
                before->second.length = first - before->first;
            }
        }
        while (at != ranges.end() && at->first < end) {
            uint64_t at_end = uint64_t{at->first} + at->second.length;
            if (at_end > end) {
                replayed_range tail = at->second;
                tail.length = static_cast<uint32_t>(at_end - end);
                if (tail.kind != run_kind::hole)
                    tail.physical += end - at->first;
                ranges.emplace(static_cast<uint32_t>(end), tail);
            }
            at = ranges.erase(at);
        }
        ranges[first] = replayed_range{static_cast<uint32_t>(end - first), physical, kind};
        // The new range, and at most one tail cut off a range it overlaps.
        return grow(2 * entry_overhead);
    }

    bool on_add_range(const fast_commit_tag& tag)
    {
        uint32_t inode = read_le32(tag.value, 0);
        const uint8_t* extent = tag.value + 4;
        std::optional<bool> alive = live(inode);
        if (!alive)
            return false;
        if (!*alive)
            return true;
        uint32_t first = read_le32(extent, 0);
        uint16_t stored = read_le16(extent, 4);
        uint64_t physical = read_le32(extent, 8) | (static_cast<uint64_t>(read_le16(extent, 6)) << 32);
        bool written = stored <= max_initialised_length;
        uint32_t length = written ? stored : stored - max_initialised_length;
        if (length == 0)
            return true;
        replayed_ranges* ranges = ranges_of(inode);
        return ranges && set_range(*ranges, first, length, physical, written ? run_kind::data : run_kind::unwritten);
    }

    bool on_del_range(const fast_commit_tag& tag)
    {
        uint32_t inode = read_le32(tag.value, 0);
        std::optional<bool> alive = live(inode);
        if (!alive)
            return false;
        if (!*alive)
            return true;
        uint32_t first = read_le32(tag.value, 4);
        uint32_t length = read_le32(tag.value, 8);
        if (length == 0)
            return true;
        replayed_ranges* ranges = ranges_of(inode);
        return ranges && set_range(*ranges, first, length, 0, run_kind::hole);
    }

    replayed_name* name_in(uint32_t folder, std::string_view name)
    {
        auto [where, added_folder] = overlay->folders.try_emplace(folder);
        if (added_folder && !grow(entry_overhead))
            return nullptr;
        auto found = where->second.names.find(name);
        if (found == where->second.names.end()) {
            found = where->second.names.emplace(std::string(name), replayed_name{}).first;
            if (!grow(name.size() + entry_overhead))
                return nullptr;
        }
        return &found->second;
    }

    // A record of name naming inode in folder, with the type of the inode as it stands now; one of that name
    // before it stops standing.
    bool add_name(uint32_t folder, std::string_view name, uint32_t inode)
    {
        const uint8_t* bytes = current(inode);
        if (!bytes)
            return false;
        uint8_t file_type = file_type_of(read_le16(bytes, inode_mode_offset));
        replayed_name* entry = name_in(folder, name);
        if (!entry)
            return false;
        entry->replaces_disk = true;
        entry->removed.clear();
        entry->inode = inode;
        entry->file_type = file_type;
        return true;
    }

    // Removes the record of name in folder when it names inode.
    bool remove_name(uint32_t folder, std::string_view name, uint32_t inode)
    {
        replayed_name* entry = name_in(folder, name);
        if (!entry)
            return false;
        if (entry->inode == inode) {
            entry->inode = 0;
        } else if (!entry->replaces_disk &&
                   std::find(entry->removed.begin(), entry->removed.end(), inode) == entry->removed.end()) {
            entry->removed.push_back(inode);
            return grow(sizeof inode);
        }
        return true;
    }

    bool on_dentry(const fast_commit_tag& tag)
    {
        uint32_t parent = read_le32(tag.value, 0);
        uint32_t inode = read_le32(tag.value, 4);
        std::string_view name(reinterpret_cast<const char*>(tag.value + dentry_head_bytes),
                              tag.length - dentry_head_bytes);
        std::optional<bool> inode_alive = live(inode);
        if (!inode_alive)
            return false;
        if (!*inode_alive)
            // The kernel fails the recovery when it cannot get the inode a creation names; a link or an unlink
            // of an inode it cannot get is passed over.
            return tag.tag != fc_tag_creat;
        std::optional<bool> parent_alive = live(parent);
        if (!parent_alive)
            return false;
        if (!*parent_alive)
            return true;
        if (tag.tag == fc_tag_unlink)
            return remove_name(parent, name, inode);
        if (tag.tag == fc_tag_creat) {
            const uint8_t* bytes = current(inode);
            if (!bytes)
                return false;
            if ((read_le16(bytes, inode_mode_offset) & mode_type_mask) == mode_directory) {
                // A new folder: the kernel writes its first block afresh with "." and ".." only.
                auto [where, added] = overlay->folders.try_emplace(inode);
                if (added && !grow(entry_overhead))
                    return false;
                where->second = replayed_folder{true, parent, {}};
            }
        }
        return add_name(parent, name, inode);
    }

    bool on_tag(const fast_commit_tag& tag)
    {
        switch (tag.tag) {
        case fc_tag_inode:
            return on_inode(tag);
        case fc_tag_add_range:
            return on_add_range(tag);
        case fc_tag_del_range:
            return on_del_range(tag);
        case fc_tag_creat:
        case fc_tag_link:
        case fc_tag_unlink:
            return on_dentry(tag);
        default:
            return true;  // head, tail and pad change nothing
        }
    }
};

// The journal's logical blocks from first on, read through the journal inode's mapping; n counts from first.
struct journal_reader {
    ext_volume& target;
    file_map map;
    uint64_t journal_blocks;
    uint32_t first;

    bool operator()(uint32_t n, uint8_t* out)
    {
        uint64_t logical = uint64_t{first} + n;
        block_run run;
        return logical < journal_blocks && map_run(map, static_cast<uint32_t>(logical), run) &&
               run.kind == run_kind::data && read_volume_blocks(target, run.physical, 1, out);
    }
};

}  // namespace

fast_commit_overlay::~fast_commit_overlay()
{
    overlay_bytes_held.fetch_sub(charged);
}

void replay_fast_commits(ext_volume& target, uint32_t next_sequence)
{
    if (!target.volume_info)
        return;
    ext2_volume_info& volume = *target.volume_info;
    try {
        std::optional<ext_inode> journal = get_inode(target, volume.superblock.s_journal_inum);
        if (!journal || !journal->is_regular())
            return;
        uint64_t journal_blocks = journal->size() / volume.block_size;
        if (journal_blocks == 0 || journal_blocks > max_journal_blocks)
            return;
        journal_reader read_journal{target, open_file_map(target, *journal), journal_blocks, 0};
        std::vector<uint8_t> block(volume.block_size);
        if (!read_journal(0, block.data()))
            return;
        std::optional<journal_superblock> sb =
            parse_journal_superblock(block.data(), volume.block_size, static_cast<uint32_t>(journal_blocks));
        // Recovery replays fast commits only after a log that needed replaying, and only from a journal that has
        // them; parse_journal_superblock has checked that the area leaves room for the log.
        if (!sb || sb->s_start == 0 || (sb->s_feature_incompat & journal_incompat_fast_commit) == 0)
            return;
        uint32_t area_blocks = sb->s_num_fc_blks != 0 ? sb->s_num_fc_blks : default_fast_commit_blocks;
        // As jbd2 lays it out: the area starts one block after the log's end and its walk reaches s_maxlen.
        read_journal.first = sb->s_maxlen - area_blocks + 1;
        fast_commit_area area{volume.block_size, area_blocks, next_sequence, volume.inode_size, std::ref(read_journal)};
        fast_commit_count count = count_fast_commit_tags(area);
        if (count.result == fast_commit_scan::nothing)
            return;
        if (count.result == fast_commit_scan::found) {
            replay replayed{target, volume};
            if (walk_fast_commit_tags(area, count.tags,
                                      [&](const fast_commit_tag& tag) { return replayed.on_tag(tag); }) &&
                charge_overlay(*replayed.overlay, replayed.bytes)) {
                volume.fast_commits = std::move(replayed.overlay);
                return;
            }
        }
    } catch (const std::bad_alloc&) {
    }
    volume.journal_recovery.fast_commits_not_applied = true;
}

const uint8_t* replayed_inode(const ext2_volume_info& volume, uint32_t inode)
{
    if (!volume.fast_commits)
        return nullptr;
    auto found = volume.fast_commits->inodes.find(inode);
    return found != volume.fast_commits->inodes.end() ? found->second.data() : nullptr;
}

const replayed_ranges* replayed_mapping(const ext2_volume_info& volume, uint32_t inode)
{
    if (!volume.fast_commits)
        return nullptr;
    auto found = volume.fast_commits->ranges.find(inode);
    return found != volume.fast_commits->ranges.end() && !found->second.empty() ? &found->second : nullptr;
}

const replayed_folder* replayed_directory(const ext2_volume_info& volume, uint32_t directory)
{
    if (!volume.fast_commits)
        return nullptr;
    auto found = volume.fast_commits->folders.find(directory);
    return found != volume.fast_commits->folders.end() ? &found->second : nullptr;
}
