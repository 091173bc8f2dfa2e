// ext volume mount over a block source: superblock checks, geometry, the group descriptor table, and the probes.
#include "ext/volume.h"

#include "disk/byte_order.h"
#include "disk/fs_signatures.h"
#include "ext/fast_commit.h"
#include "ext/inode_cache.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <new>

namespace {

constexpr uint32_t superblock_offset = 1024;
constexpr uint32_t superblock_size = 1024;
constexpr uint32_t max_log_block_size = 6;  // 64 KiB blocks
constexpr uint32_t descriptor_size_32bit = 32;
constexpr uint32_t max_log_cluster_size = 20;  // clusters of at most 1 GiB, as Linux allows

bool is_power_of_two(uint32_t value)
{
    return value != 0 && (value & (value - 1)) == 0;
}

uint64_t source_bytes(const ext_volume& target)
{
    return target.source->size;
}

uint32_t source_sector_size(const ext_volume& target)
{
    return target.source->sector_size;
}

// Bytes of a source read as the whole sectors that hold them, since a raw drive reads whole sectors only; at points
// at the first byte asked for.
struct covering_sectors {
    block_buffer bytes;
    const uint8_t* at = nullptr;
};

// Reads the sectors that hold [offset, offset + length) of the source; no bytes when the range does not lie inside
// it or a read fails.
covering_sectors read_covering_sectors(const block_source& source, uint64_t offset, uint32_t length)
{
    covering_sectors result;
    const uint64_t sector = source.sector_size;
    if (length == 0 || offset > source.size || length > source.size - offset)
        return result;
    uint64_t first = offset / sector * sector;
    uint64_t end = (offset + length + sector - 1) / sector * sector;
    if (end > source.size)
        return result;
    result.bytes = read_source_bytes(source, first, end - first);
    if (result.bytes)
        result.at = result.bytes.get() + (offset - first);
    return result;
}

// True when the first foreign_signature_span bytes of the source (all of it, in whole sectors, when smaller) carry
// no other file system's signature. One read.
bool start_is_free_of_foreign_signatures(const block_source& source)
{
    uint64_t span = std::min<uint64_t>(foreign_signature_span, source.size) / source.sector_size * source.sector_size;
    block_buffer start = span == 0 ? nullptr : read_source_bytes(source, 0, span);
    return start && !holds_foreign_signature(start.get(), static_cast<size_t>(span));
}

// The superblock bytes at group 1's copy for blocks of 1024 << log bytes, when the source reaches that far.
covering_sectors read_group1_copy(const block_source& source, uint32_t log)
{
    const uint64_t offset = group1_superblock_block(log) << (10 + log);
    if (offset > source.size || superblock_size > source.size - offset)
        return {};
    return read_covering_sectors(source, offset, superblock_size);
}

// The block that holds the primary superblock (byte 1024): block 1 with 1 KiB blocks, else block 0. That is
// s_first_data_block on most volumes, but not with bigalloc and 1 KiB blocks, where the first data block is 0.
uint64_t primary_superblock_block(const ext2_volume_info& volume)
{
    return superblock_offset / volume.block_size;
}

// The block of the superblock the volume is read through, which the descriptor table follows: the primary's, or
// group 1's copy.
uint64_t superblock_block(const ext2_volume_info& volume)
{
    return volume.backup_superblock_block != 0 ? volume.backup_superblock_block : primary_superblock_block(volume);
}

// Derives the geometry from the superblock, refusing values that make it meaningless or unsafe to use.
bool derive_geometry(ext2_volume_info& volume, const ext_volume& source)
{
    const ext_superblock& sb = volume.superblock;
    if (sb.s_magic != ext_magic)
        return false;
    if ((sb.s_feature_incompat & ~incompat_readable) != 0)
        return false;
    if (sb.s_log_block_size > max_log_block_size || sb.s_blocks_per_group == 0 || sb.s_inodes_per_group == 0)
        return false;
    volume.block_size = 1024u << sb.s_log_block_size;
    // Blocks are read as whole sectors: a block that is not a whole number of them cannot be.
    const uint32_t sector_size = source_sector_size(source);
    if (volume.block_size < sector_size || volume.block_size % sector_size != 0)
        return false;
    volume.sectors_per_block = volume.block_size / sector_size;
    // A group's block (or cluster) and inode bitmaps are one block each, so no group can hold more than this.
    uint64_t bits_per_block = static_cast<uint64_t>(volume.block_size) * 8;
    uint64_t units_per_group = sb.s_blocks_per_group;
    if ((sb.s_feature_ro_compat & ro_compat_bigalloc) != 0) {
        if (sb.s_log_cluster_size < sb.s_log_block_size || sb.s_log_cluster_size > max_log_cluster_size)
            return false;
        volume.blocks_per_cluster = 1u << (sb.s_log_cluster_size - sb.s_log_block_size);
        // Groups are a whole number of clusters, and the superblock says so twice.
        units_per_group = sb.s_clusters_per_group;
        if (static_cast<uint64_t>(sb.s_clusters_per_group) * volume.blocks_per_cluster != sb.s_blocks_per_group)
            return false;
    }
    if (units_per_group > bits_per_block || sb.s_inodes_per_group > bits_per_block)
        return false;

    volume.inode_size = sb.s_inode_size == 0 ? 128 : sb.s_inode_size;
    if (volume.inode_size < 128 || volume.inode_size > volume.block_size || !is_power_of_two(volume.inode_size))
        return false;

    bool is_64bit = (sb.s_feature_incompat & incompat_64bit) != 0;
    volume.desc_size = descriptor_size_32bit;
    if (is_64bit) {
        if (!is_power_of_two(sb.s_desc_size) || sb.s_desc_size < 64 || sb.s_desc_size > 1024)
            return false;
        volume.desc_size = sb.s_desc_size;
    }
    volume.blocks_count = sb.s_blocks_count_lo;
    if (is_64bit)
        volume.blocks_count |= static_cast<uint64_t>(sb.s_blocks_count_hi) << 32;
    if (volume.blocks_count <= sb.s_first_data_block)
        return false;

    volume.descs_per_block = volume.block_size / volume.desc_size;
    uint64_t groups = (volume.blocks_count - sb.s_first_data_block - 1) / sb.s_blocks_per_group + 1;
    uint64_t table_blocks = (groups + volume.descs_per_block - 1) / volume.descs_per_block;
    uint64_t table_bytes = table_blocks * volume.block_size;
    if (table_bytes > std::numeric_limits<uint32_t>::max())
        return false;
    uint64_t table_end = (superblock_block(volume) + 1 + table_blocks) * volume.block_size;
    if (table_end > source_bytes(source))
        return false;
    // As Linux refuses it: meta_bg cannot start after the table's last block.
    if ((sb.s_feature_incompat & incompat_meta_bg) != 0 && sb.s_first_meta_bg > table_blocks)
        return false;
    volume.group_count = static_cast<uint32_t>(groups);
    volume.desc_table_blocks = static_cast<uint32_t>(table_blocks);
    volume.inodes_per_group = sb.s_inodes_per_group;
    return true;
}

// Groups 0 and 1 and the powers of 3, 5 and 7 keep a superblock copy under sparse_super; every group without it.
bool group_has_superblock(const ext_superblock& sb, uint64_t group)
{
    if (group <= 1 || (sb.s_feature_ro_compat & ro_compat_sparse_super) == 0)
        return true;
    for (uint64_t base : {3u, 5u, 7u}) {
        uint64_t power = base;
        while (power < group)
            power *= base;
        if (power == group)
            return true;
    }
    return false;
}

// The volume block holding block b of the descriptor table. The table follows the superblock, except that
// under meta_bg each block of descriptors from s_first_meta_bg on lies in the first group it describes, after
// that group's superblock copy. Read through group 1's copy, such a block is taken, as e2fsck takes it, from the
// copy in the meta group's second group when the volume reaches past it.
uint64_t descriptor_block(const ext2_volume_info& volume, uint32_t b)
{
    const ext_superblock& sb = volume.superblock;
    if ((sb.s_feature_incompat & incompat_meta_bg) == 0 || b < sb.s_first_meta_bg)
        return superblock_block(volume) + 1 + b;
    uint64_t group = static_cast<uint64_t>(b) * volume.descs_per_block;
    uint64_t first = sb.s_first_data_block + group * sb.s_blocks_per_group;
    uint64_t has_superblock = group_has_superblock(sb, group) ? 1 : 0;
    if (volume.backup_superblock_block != 0 && first + has_superblock + sb.s_blocks_per_group < volume.blocks_count)
        return first + sb.s_blocks_per_group + (group_has_superblock(sb, group + 1) ? 1 : 0);
    // Group 0 of a volume of 1 KiB blocks that starts at block 0 (bigalloc) has its superblock in block 1.
    uint64_t superblock_blocks = group == 0 ? primary_superblock_block(volume) + 1 - first : 0;
    return first + std::max<uint64_t>(superblock_blocks, has_superblock);
}

// The whole descriptor table, its blocks in table order.
block_buffer read_descriptor_table(const ext_volume& target, const ext2_volume_info& volume)
{
    if ((volume.superblock.s_feature_incompat & incompat_meta_bg) == 0)
        return read_blocks(target, descriptor_block(volume, 0), volume.desc_table_blocks);
    uint64_t bytes = static_cast<uint64_t>(volume.desc_table_blocks) * volume.block_size;
    if (bytes > std::numeric_limits<uint32_t>::max())
        return nullptr;
    block_buffer table(new (std::nothrow) uint8_t[bytes]);
    if (!table)
        return nullptr;
    for (uint32_t b = 0; b < volume.desc_table_blocks; ++b) {
        if (!read_volume_blocks(target, descriptor_block(volume, b), 1,
                                table.get() + static_cast<size_t>(b) * volume.block_size))
            return nullptr;
    }
    return table;
}

// Lays a replay map over the volume. The superblock and the descriptor table are then taken again from the
// replayed blocks, all their fields, as a mount after the replay would read them; the block size must stay, since
// the replay map counts in blocks. When the superblock and table it gives do not check out, the volume stays as it
// is on disk and the result is false.
bool lay_replay_over(ext_volume& target, replay_map map)
{
    ext2_volume_info& on_disk = *target.volume_info;
    on_disk.replay = std::move(map);
    uint32_t block_size = on_disk.block_size;
    std::vector<uint8_t> block(block_size);
    if (!read_volume_blocks(target, superblock_offset / block_size, 1, block.data())) {
        on_disk.replay = {};
        return false;
    }
    std::unique_ptr<ext2_volume_info> original = std::move(target.volume_info);
    target.volume_info = std::make_unique<ext2_volume_info>();
    target.volume_info->superblock = parse_superblock(block.data() + superblock_offset % block_size);
    target.volume_info->replay = std::move(original->replay);
    target.volume_info->journal_needed_recovery = true;
    target.volume_info->journal_recovery = original->journal_recovery;
    if (derive_geometry(*target.volume_info, target) && target.volume_info->block_size == block_size &&
        load_group_descriptors(target))
        return true;
    target.volume_info = std::move(original);
    target.volume_info->replay = {};
    return false;
}

// Reads the volume as Linux mounts it after a crash: when the superblock says the journal needs recovery, the
// journal's committed transactions are laid over the blocks they write, and then the fast commits that follow them
// are replayed. What cannot be applied is recorded in the volume info: a journal on another device is not read, and
// when the journal, or the superblock and table it gives, do not check out, the volume stays as it is on disk.
void replay_journal_into(ext_volume& target)
{
    ext2_volume_info& on_disk = *target.volume_info;
    const ext_superblock& sb = on_disk.superblock;
    // Without the journal feature the kernel mounts the volume without a journal, and e2fsck drops the flag.
    if ((sb.s_feature_compat & compat_has_journal) == 0 ||
        (sb.s_feature_incompat & incompat_journal_needs_recovery) == 0)
        return;
    on_disk.journal_needed_recovery = true;
    if (sb.s_journal_inum == 0) {
        on_disk.journal_recovery.problem = journal_problem::not_found;
        return;
    }
    journal_replay replayed = scan_volume_journal(target);
    // The scan read the journal's inode as it is on disk; what the replay changes must not be served from there.
    forget_inode_tables(target);
    on_disk.journal_recovery = replayed.outcome;
    if (replayed.outcome.problem != journal_problem::none)
        return;
    if (!replayed.map.entries.empty() && !lay_replay_over(target, std::move(replayed.map))) {
        target.volume_info->journal_recovery = {};
        target.volume_info->journal_recovery.problem = journal_problem::replayed_metadata;
        return;
    }
    // Fast commits continue the transaction after the last one replayed; after a commit that failed its checksum
    // the log is cut short, and what follows it belongs to transactions that are not applied.
    if (!replayed.outcome.commit_failed)
        replay_fast_commits(target, replayed.outcome.end_sequence);
}

}  // namespace

ext_superblock parse_superblock(const uint8_t* bytes)
{
    ext_superblock sb;
    sb.s_inodes_count = read_le32(bytes, 0);
    sb.s_blocks_count_lo = read_le32(bytes, 4);
    sb.s_first_data_block = read_le32(bytes, 20);
    sb.s_log_block_size = read_le32(bytes, 24);
    sb.s_log_cluster_size = read_le32(bytes, 28);
    sb.s_blocks_per_group = read_le32(bytes, 32);
    sb.s_clusters_per_group = read_le32(bytes, 36);
    sb.s_inodes_per_group = read_le32(bytes, 40);
    sb.s_magic = read_le16(bytes, 56);
    sb.s_inode_size = read_le16(bytes, 88);
    sb.s_feature_incompat = read_le32(bytes, 96);
    sb.s_feature_ro_compat = read_le32(bytes, 100);
    sb.s_desc_size = read_le16(bytes, 254);
    sb.s_first_meta_bg = read_le32(bytes, 260);
    sb.s_blocks_count_hi = read_le32(bytes, 336);
    sb.s_feature_compat = read_le32(bytes, 92);
    sb.s_journal_inum = read_le32(bytes, 224);
    sb.s_jnl_backup_type = bytes[253];
    sb.s_free_blocks_count_lo = read_le32(bytes, 12);
    sb.s_free_blocks_count_hi = read_le32(bytes, 344);
    sb.s_state = read_le16(bytes, 58);
    std::copy(bytes + 104, bytes + 120, sb.s_uuid.begin());
    std::copy(bytes + 120, bytes + 136, sb.s_volume_name.begin());
    for (size_t i = 0; i < sb.s_jnl_blocks.size(); ++i)
        sb.s_jnl_blocks[i] = read_le32(bytes, 268 + 4 * i);
    return sb;
}

bool is_mounted(const ext_volume& target)
{
    return target.volume_info && target.volume_info->superblock.s_magic == ext_magic &&
           !target.volume_info->descriptors.empty();
}

bool load_group_descriptors(ext_volume& target)
{
    if (!target.volume_info)
        return false;
    ext2_volume_info& volume = *target.volume_info;
    block_buffer table = read_descriptor_table(target, volume);
    if (!table)
        return false;
    bool is_64bit = (volume.superblock.s_feature_incompat & incompat_64bit) != 0;
    volume.descriptors.resize(volume.group_count);
    for (uint32_t g = 0; g < volume.group_count; ++g) {
        const uint8_t* entry = table.get() + static_cast<size_t>(g) * volume.desc_size;
        uint64_t inode_table = read_le32(entry, 8);
        if (is_64bit)
            inode_table |= static_cast<uint64_t>(read_le32(entry, 40)) << 32;
        volume.descriptors[g].inode_table = inode_table;
    }
    return true;
}

namespace {

enum class primary_mount { mounted, refused, unusable };

// Mounts the volume through its primary superblock. refused when a read fails or the superblock names an
// incompatible feature the reader refuses: a superblock copy, written earlier, may lack a feature the primary
// gained since, so only a primary that is gone or meaningless gives way to a copy (unusable).
primary_mount mount_primary(ext_volume& target)
{
    target.volume_info = std::make_unique<ext2_volume_info>();
    covering_sectors primary = read_covering_sectors(*target.source, superblock_offset, superblock_size);
    if (!primary.bytes)
        return primary_mount::refused;
    ext2_volume_info& volume = *target.volume_info;
    volume.superblock = parse_superblock(primary.at);
    if (!derive_geometry(volume, target)) {
        bool names_refused_feature = volume.superblock.s_magic == ext_magic &&
                                     (volume.superblock.s_feature_incompat & ~incompat_readable) != 0;
        return names_refused_feature ? primary_mount::refused : primary_mount::unusable;
    }
    return load_group_descriptors(target) ? primary_mount::mounted : primary_mount::refused;
}

// For a volume read through a superblock copy: the journal's committed transactions, when it holds any, laid over
// the blocks they write, as e2fsck runs a journal that is not empty for a volume opened through a copy (whose
// needs-recovery flag is as old as the copy). The geometry stays the copy's. A journal that holds transactions, or
// cannot be read far enough to tell, is recorded as one that needed recovery, with what could not be applied of
// it, as for the primary: a volume shown without its journal's changes says so. An empty journal changes nothing.
void replay_journal_through_copy(ext_volume& target)
{
    ext2_volume_info& volume = *target.volume_info;
    const ext_superblock& sb = volume.superblock;
    if ((sb.s_feature_compat & compat_has_journal) == 0 || sb.s_journal_inum == 0 ||
        (sb.s_feature_incompat & incompat_journal_device) != 0)
        return;
    journal_replay replayed = scan_volume_journal(target);
    // The scan read the journal's inode as it is on disk; what the replay changes must not be served from there.
    forget_inode_tables(target);
    if (replayed.map.entries.empty() && replayed.outcome.complete())
        return;
    volume.journal_needed_recovery = true;
    volume.journal_recovery = replayed.outcome;
    if (!replayed.map.entries.empty())
        volume.replay = std::move(replayed.map);
}

// Mounts the volume through group 1's superblock copy, trying the places mke2fs uses for each block size in turn:
// at most max_log_backup_block_size + 1 candidates, one read each, after one read of the area's start.
bool mount_through_copy(ext_volume& target)
{
    const uint64_t bytes = source_bytes(target);
    if (!start_is_free_of_foreign_signatures(*target.source))
        return false;
    for (uint32_t log = 0; log <= max_log_backup_block_size; ++log) {
        const uint32_t block_size = 1024u << log;
        const uint64_t block = group1_superblock_block(log);
        covering_sectors copy = read_group1_copy(*target.source, log);
        if (!copy.bytes || !looks_like_group1_superblock(copy.at, log))
            continue;
        target.volume_info = std::make_unique<ext2_volume_info>();
        ext2_volume_info& volume = *target.volume_info;
        volume.superblock = parse_superblock(copy.at);
        volume.backup_superblock_block = block;
        if (derive_geometry(volume, target) && volume.block_size == block_size &&
            volume.blocks_count <= bytes / block_size && load_group_descriptors(target)) {
            replay_journal_through_copy(target);
            return true;
        }
        target.volume_info.reset();
    }
    return false;
}

}  // namespace

bool mount_volume(ext_volume& target)
{
    if (target.volume_info)
        return is_mounted(target);
    try {
        switch (mount_primary(target)) {
        case primary_mount::mounted:
            replay_journal_into(target);
            return true;
        case primary_mount::unusable:
            target.volume_info.reset();
            if (mount_through_copy(target))
                return true;
            break;
        case primary_mount::refused:
            break;
        }
    } catch (const std::bad_alloc&) {
    }
    target.volume_info.reset();
    return false;
}

std::unique_ptr<ext_volume> make_ext_volume(source_ref source)
{
    if (!source)
        return nullptr;
    auto volume = std::make_unique<ext_volume>();
    volume->source = std::move(source);
    return volume;
}

bool holds_ext_superblock(const block_source& source)
{
    constexpr size_t magic_offset = 56;  // within the superblock
    if (source.size < superblock_offset * 2)
        return false;
    covering_sectors magic = read_covering_sectors(source, superblock_offset + magic_offset, 2);
    return magic.bytes && read_le16(magic.at, 0) == ext_magic;
}

bool holds_ext_superblock_copy(const block_source& source)
{
    if (!start_is_free_of_foreign_signatures(source))
        return false;
    for (uint32_t log = 0; log <= max_log_backup_block_size; ++log) {
        covering_sectors copy = read_group1_copy(source, log);
        if (copy.bytes && looks_like_group1_superblock(copy.at, log))
            return true;
    }
    return false;
}

uint64_t group1_superblock_block(uint32_t log_block_size)
{
    uint64_t block_size = uint64_t{1024} << log_block_size;
    return block_size * 8 + (block_size == 1024 ? 1 : 0);
}

bool looks_like_group1_superblock(const uint8_t* bytes, uint32_t log_block_size)
{
    constexpr size_t block_group_nr_offset = 0x5A;
    return read_le16(bytes, 56) == ext_magic && read_le32(bytes, 24) == log_block_size &&
           uint64_t{read_le32(bytes, 20)} + read_le32(bytes, 32) == group1_superblock_block(log_block_size) &&
           read_le16(bytes, block_group_nr_offset) == 1;
}

bool blocks_in_volume(const ext2_volume_info& volume, uint64_t block, uint64_t count)
{
    return block < volume.blocks_count && count <= volume.blocks_count - block;
}

namespace {

// The first group from group on that keeps a superblock copy (every group without sparse_super).
uint64_t next_superblock_group(const ext_superblock& sb, uint64_t group)
{
    if (group <= 1 || (sb.s_feature_ro_compat & ro_compat_sparse_super) == 0)
        return group;
    uint64_t next = UINT64_MAX;
    for (uint64_t base : {3u, 5u, 7u}) {
        uint64_t power = base;
        while (power < group && power <= UINT64_MAX / base)
            power *= base;
        if (power >= group)
            next = std::min(next, power);
    }
    return next;
}

// The descriptor blocks that follow the superblock copy of a group that has one, as Linux's ext4_bg_num_gdb
// counts them: the whole table, or under meta_bg the blocks before s_first_meta_bg, or 1 in the first, second and
// last group of a meta group.
uint64_t descriptor_blocks_after(const ext2_volume_info& volume, uint64_t group)
{
    const ext_superblock& sb = volume.superblock;
    if ((sb.s_feature_incompat & incompat_meta_bg) == 0)
        return volume.desc_table_blocks;
    uint64_t meta_group = group / volume.descs_per_block;
    if (meta_group < sb.s_first_meta_bg)
        return sb.s_first_meta_bg;
    uint64_t first = meta_group * volume.descs_per_block;
    return group == first || group == first + 1 || group == first + volume.descs_per_block - 1 ? 1 : 0;
}

}  // namespace

bool valid_data_blocks(const ext2_volume_info& volume, uint64_t block, uint64_t count)
{
    const ext_superblock& sb = volume.superblock;
    if (count == 0 || block <= sb.s_first_data_block || !blocks_in_volume(volume, block, count))
        return false;
    const uint64_t first = sb.s_first_data_block;
    const uint64_t per_group = sb.s_blocks_per_group;
    const uint64_t end = block + count;
    // A group's copy and descriptors span at most this many blocks (derive_geometry bounds s_first_meta_bg by the
    // table), so only groups starting less than that before block can reach it.
    const uint64_t reach = 1 + volume.desc_table_blocks;
    const uint64_t low = block - first >= reach ? block - first - (reach - 1) : 0;
    const uint64_t last_group = (end - 1 - first) / per_group;
    uint64_t group = low / per_group;
    // Without sparse_super every group keeps a copy at its start, so a range that crosses a group's start hits one.
    if ((sb.s_feature_ro_compat & ro_compat_sparse_super) == 0 && last_group > (block - first) / per_group)
        return false;
    // Each pass moves to a later group with a copy: at most reach / per_group + 2 passes without sparse_super, and
    // with it at most the groups 0, 1 and the powers of 3, 5 and 7 below 2^64.
    for (group = next_superblock_group(sb, group); group <= last_group; group = next_superblock_group(sb, group + 1)) {
        uint64_t zone_start = first + group * per_group;
        uint64_t zone_end = zone_start + 1 + descriptor_blocks_after(volume, group);
        if (zone_start < end && block < zone_end)
            return false;
    }
    return true;
}
