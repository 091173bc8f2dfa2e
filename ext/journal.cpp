// The jbd2 journal: superblock checks and the scan of the log into a replay map.
#include "ext/journal.h"

#include "disk/byte_order.h"
#include "disk/partition.h"
#include "ext/block_read.h"
#include "ext/crc32c.h"
#include "ext/file_map.h"
#include "ext/inode_cache.h"
#include "ext/volume.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <memory>
#include <new>
#include <unordered_map>
#include <utility>

namespace {

constexpr uint32_t blocktype_descriptor = 1;
constexpr uint32_t blocktype_commit = 2;
constexpr uint32_t blocktype_superblock_v1 = 3;
constexpr uint32_t blocktype_superblock_v2 = 4;
constexpr uint32_t blocktype_revoke = 5;

constexpr uint32_t known_incompat = journal_incompat_revoke | journal_incompat_64bit | journal_incompat_async_commit |
                                    journal_incompat_csum_v2 | journal_incompat_csum_v3 | journal_incompat_fast_commit;
constexpr uint8_t checksum_type_crc32c = 4;
constexpr uint32_t default_fast_commit_blocks = 256;

constexpr uint16_t tag_flag_escape = 0x1;
constexpr uint16_t tag_flag_same_uuid = 0x2;
constexpr uint16_t tag_flag_last_tag = 0x8;

constexpr size_t header_size = 12;
constexpr size_t superblock_bytes = 1024;
constexpr size_t superblock_checksum_offset = 252;
constexpr size_t revoke_header_size = 16;
constexpr size_t commit_checksum_offset = 16;
constexpr size_t tail_size = 4;  // the checksum at the end of descriptor and revoke blocks

// Sequence numbers wrap: a is later than b when the difference, taken as signed, is positive.
bool sequence_after(uint32_t a, uint32_t b)
{
    return static_cast<int32_t>(a - b) > 0;
}

bool has_checksums(const journal_superblock& sb)
{
    return (sb.s_feature_incompat & (journal_incompat_csum_v2 | journal_incompat_csum_v3)) != 0;
}

// The block after the log's last block is the first again. The fast-commit area at the journal's end is not part
// of the log.
uint32_t log_end(const journal_superblock& sb)
{
    if ((sb.s_feature_incompat & journal_incompat_fast_commit) == 0)
        return sb.s_maxlen;
    uint32_t fast_commit_blocks = sb.s_num_fc_blks != 0 ? sb.s_num_fc_blks : default_fast_commit_blocks;
    return fast_commit_blocks < sb.s_maxlen ? sb.s_maxlen - fast_commit_blocks : 0;
}

// Bytes per descriptor tag: checksum v3 has its own 16-byte layout; otherwise 8 bytes, 4 more for the high word
// of 64-bit block numbers and 2 more under checksum v2.
size_t tag_bytes(const journal_superblock& sb)
{
    if ((sb.s_feature_incompat & journal_incompat_csum_v3) != 0)
        return 16;
    size_t bytes = 8;
    if ((sb.s_feature_incompat & journal_incompat_64bit) != 0)
        bytes += 4;
    if ((sb.s_feature_incompat & journal_incompat_csum_v2) != 0)
        bytes += 2;
    return bytes;
}

// The checksum of a block with its 4-byte checksum field at offset taken as zero, seeded by the journal's UUID.
uint32_t block_checksum(uint32_t seed, const uint8_t* block, uint32_t block_size, size_t offset)
{
    static const uint8_t zeros[4] = {};
    uint32_t crc = crc32c(seed, block, offset);
    crc = crc32c(crc, zeros, 4);
    return crc32c(crc, block + offset + 4, block_size - offset - 4);
}

struct tag {
    uint64_t volume_block = 0;
    uint16_t flags = 0;
    uint32_t checksum = 0;
};

// The tags of a descriptor block, up to the one marked last or the end of the tag space.
std::vector<tag> parse_tags(const journal_superblock& sb, const uint8_t* block, uint32_t block_size)
{
    std::vector<tag> tags;
    size_t bytes = tag_bytes(sb);
    size_t limit = block_size - (has_checksums(sb) ? tail_size : 0);
    bool v3 = (sb.s_feature_incompat & journal_incompat_csum_v3) != 0;
    bool wide = (sb.s_feature_incompat & journal_incompat_64bit) != 0;
    // Each tag takes at least 8 bytes, so a block holds fewer than block_size / 8 of them.
    for (size_t offset = header_size; offset + bytes <= limit;) {
        const uint8_t* p = block + offset;
        tag t;
        t.volume_block = read_be32(p, 0);
        if (wide)
            t.volume_block |= static_cast<uint64_t>(read_be32(p, 8)) << 32;
        // The flags are the low half of a 32-bit field under v3, a 16-bit field otherwise: at byte 6 either way.
        t.flags = read_be16(p, 6);
        t.checksum = v3 ? read_be32(p, 12) : read_be16(p, 4);
        tags.push_back(t);
        offset += bytes;
        if ((t.flags & tag_flag_same_uuid) == 0)
            offset += 16;
        if ((t.flags & tag_flag_last_tag) != 0)
            break;
    }
    return tags;
}

// A copy that the log holds for a volume block: the transaction and the journal block.
struct logged_copy {
    uint32_t sequence = 0;
    uint32_t journal_block = 0;
    bool escaped = false;
};

struct scan_state {
    const journal_superblock& sb;
    uint32_t block_size;
    uint64_t volume_blocks;
    const journal_block_reader& read;
    uint32_t seed = 0;  // the checksum seed: the CRC of the journal's UUID
    uint32_t end = 0;   // one past the log's last block
    uint32_t walked = 0;
    std::unique_ptr<uint8_t[]> block;
    std::unique_ptr<uint8_t[]> data;
    std::unordered_map<uint64_t, logged_copy> copies;  // of committed transactions, the latest per block
    std::unordered_map<uint64_t, uint32_t> revoked;    // volume block -> latest transaction that revoked it
};

enum class step { next, end, fail };

uint32_t advance(const scan_state& state, uint32_t position)
{
    return position + 1 >= state.end ? state.sb.s_first : position + 1;
}

// Reads the next log block at position into buffer, counting it against the journal's length.
step read_log_block(scan_state& state, uint32_t position, uint8_t* buffer)
{
    if (state.walked >= state.sb.s_maxlen)
        return step::end;
    ++state.walked;
    return state.read(position, buffer) ? step::next : step::fail;
}

bool header_matches(const uint8_t* block, uint32_t sequence)
{
    return read_be32(block, 0) == journal_magic && read_be32(block, 8) == sequence;
}

// Collects the revoke records of a revoke block into the transaction's list.
bool parse_revoke_block(const scan_state& state, const uint8_t* block, std::vector<uint64_t>& revokes)
{
    size_t limit = state.block_size - (has_checksums(state.sb) ? tail_size : 0);
    uint32_t used = read_be32(block, 12);
    if (used < revoke_header_size || used > limit)
        return false;
    size_t record = (state.sb.s_feature_incompat & journal_incompat_64bit) != 0 ? 8 : 4;
    for (size_t offset = revoke_header_size; offset + record <= used; offset += record) {
        uint64_t volume_block = record == 8 ? (static_cast<uint64_t>(read_be32(block, offset)) << 32) |
                                                  read_be32(block, offset + 4)
                                            : read_be32(block, offset);
        revokes.push_back(volume_block);
    }
    return true;
}

bool tail_checks_out(const scan_state& state, const uint8_t* block)
{
    if (!has_checksums(state.sb))
        return true;
    size_t offset = state.block_size - tail_size;
    return block_checksum(state.seed, block, state.block_size, offset) == read_be32(block, offset);
}

bool commit_checks_out(const scan_state& state, const uint8_t* block)
{
    if (!has_checksums(state.sb))
        return true;
    return block_checksum(state.seed, block, state.block_size, commit_checksum_offset) ==
           read_be32(block, commit_checksum_offset);
}

// A data block's checksum in its tag: the CRC of the transaction's sequence (big-endian) and the block as stored,
// all 32 bits under v3 and the low 16 under v2.
bool data_checks_out(const scan_state& state, const tag& t, uint32_t sequence, const uint8_t* data)
{
    if (!has_checksums(state.sb))
        return true;
    uint8_t sequence_bytes[4] = {static_cast<uint8_t>(sequence >> 24), static_cast<uint8_t>(sequence >> 16),
                                 static_cast<uint8_t>(sequence >> 8), static_cast<uint8_t>(sequence)};
    uint32_t crc = crc32c(crc32c(state.seed, sequence_bytes, 4), data, state.block_size);
    if ((state.sb.s_feature_incompat & journal_incompat_csum_v3) != 0)
        return crc == t.checksum;
    return (crc & 0xFFFF) == t.checksum;
}

// Reads the transaction of the given sequence that starts at position. On step::next it was committed and has
// been applied, and position is the block after its commit block.
step scan_transaction(scan_state& state, uint32_t sequence, uint32_t& position)
{
    std::vector<std::pair<uint64_t, logged_copy>> copies;
    std::vector<uint64_t> revokes;
    uint8_t* block = state.block.get();
    // Every pass of the loop reads at least one block, and read_log_block stops after s_maxlen of them.
    for (;;) {
        step read = read_log_block(state, position, block);
        if (read != step::next)
            return read;
        if (!header_matches(block, sequence))
            return step::end;
        uint32_t blocktype = read_be32(block, 4);
        position = advance(state, position);
        if (blocktype == blocktype_descriptor) {
            if (!tail_checks_out(state, block))
                return step::end;
            for (const tag& t : parse_tags(state.sb, block, state.block_size)) {
                if (t.volume_block >= state.volume_blocks)
                    return step::end;
                if (has_checksums(state.sb)) {
                    read = read_log_block(state, position, state.data.get());
                    if (read != step::next)
                        return read;
                    if (!data_checks_out(state, t, sequence, state.data.get()))
                        return step::end;
                } else if (state.walked++ >= state.sb.s_maxlen) {
                    return step::end;
                }
                copies.push_back({t.volume_block, {sequence, position, (t.flags & tag_flag_escape) != 0}});
                position = advance(state, position);
            }
        } else if (blocktype == blocktype_revoke) {
            if (!tail_checks_out(state, block) || !parse_revoke_block(state, block, revokes))
                return step::end;
        } else if (blocktype == blocktype_commit) {
            if (!commit_checks_out(state, block))
                return step::end;
            break;
        } else {
            return step::end;
        }
        if (copies.size() > max_replay_entries || revokes.size() > max_replay_entries)
            return step::fail;
    }
    // Committed: its revokes cover copies of this transaction and earlier ones, its copies replace earlier ones.
    for (uint64_t volume_block : revokes) {
        auto [where, added] = state.revoked.try_emplace(volume_block, sequence);
        if (!added && sequence_after(sequence, where->second))
            where->second = sequence;
    }
    for (const auto& [volume_block, copy] : copies)
        state.copies[volume_block] = copy;
    if (state.copies.size() > max_replay_entries || state.revoked.size() > max_replay_entries)
        return step::fail;
    return step::next;
}

}  // namespace

std::optional<journal_superblock> parse_journal_superblock(const uint8_t* block, uint32_t block_size,
                                                           uint32_t journal_blocks)
{
    if (block_size < superblock_bytes || read_be32(block, 0) != journal_magic)
        return std::nullopt;
    journal_superblock sb;
    sb.blocktype = read_be32(block, 4);
    if (sb.blocktype != blocktype_superblock_v1 && sb.blocktype != blocktype_superblock_v2)
        return std::nullopt;
    sb.s_blocksize = read_be32(block, 12);
    sb.s_maxlen = read_be32(block, 16);
    sb.s_first = read_be32(block, 20);
    sb.s_sequence = read_be32(block, 24);
    sb.s_start = read_be32(block, 28);
    if (sb.blocktype == blocktype_superblock_v2) {
        sb.s_feature_compat = read_be32(block, 36);
        sb.s_feature_incompat = read_be32(block, 40);
        sb.s_feature_ro_compat = read_be32(block, 44);
        std::memcpy(sb.s_uuid, block + 48, sizeof sb.s_uuid);
        sb.s_checksum_type = block[80];
        sb.s_num_fc_blks = read_be32(block, 84);
        sb.s_checksum = read_be32(block, superblock_checksum_offset);
    }
    if (sb.s_blocksize != block_size || sb.s_maxlen > journal_blocks)
        return std::nullopt;
    if ((sb.s_feature_incompat & ~known_incompat) != 0)
        return std::nullopt;
    bool v2 = (sb.s_feature_incompat & journal_incompat_csum_v2) != 0;
    bool v3 = (sb.s_feature_incompat & journal_incompat_csum_v3) != 0;
    if (v2 && v3)
        return std::nullopt;
    if (v2 || v3) {
        if (sb.s_checksum_type != checksum_type_crc32c ||
            block_checksum(~0u, block, superblock_bytes, superblock_checksum_offset) != sb.s_checksum)
            return std::nullopt;
    }
    uint32_t end = log_end(sb);
    if (sb.s_first == 0 || sb.s_first >= end)
        return std::nullopt;
    if (sb.s_start != 0 && (sb.s_start < sb.s_first || sb.s_start >= end))
        return std::nullopt;
    return sb;
}

namespace {

// Entries held by all the replay maps of the process.
std::atomic<size_t> replay_entries_held{0};

void release_charge(replay_map& map)
{
    replay_entries_held.fetch_sub(map.charged);
    map.charged = 0;
}

}  // namespace

replay_map::replay_map(replay_map&& other) noexcept
    : entries(std::move(other.entries)), charged(std::exchange(other.charged, 0)), next_sequence(other.next_sequence)
{
}

replay_map& replay_map::operator=(replay_map&& other) noexcept
{
    if (this != &other) {
        release_charge(*this);
        entries = std::move(other.entries);
        charged = std::exchange(other.charged, 0);
        next_sequence = other.next_sequence;
    }
    return *this;
}

replay_map::~replay_map()
{
    release_charge(*this);
}

bool charge_replay_map(replay_map& map)
{
    size_t wanted = map.entries.size() - map.charged;
    size_t held = replay_entries_held.load();
    do {
        if (wanted > replay_entry_budget - held)
            return false;
    } while (!replay_entries_held.compare_exchange_weak(held, held + wanted));
    map.charged += wanted;
    return true;
}

const replay_entry* find_replay_entry(const replay_map& map, uint64_t volume_block)
{
    auto at = std::lower_bound(map.entries.begin(), map.entries.end(), volume_block,
                               [](const replay_entry& entry, uint64_t block) { return entry.volume_block < block; });
    return at != map.entries.end() && at->volume_block == volume_block ? &*at : nullptr;
}

std::optional<replay_map> scan_journal(const journal_superblock& sb, uint32_t block_size, uint64_t volume_blocks,
                                       const journal_block_reader& read)
{
    replay_map result;
    result.next_sequence = sb.s_sequence;
    if (sb.s_start == 0)
        return result;
    try {
        scan_state state{sb,
                         block_size,
                         volume_blocks,
                         read,
                         crc32c(~0u, sb.s_uuid, sizeof sb.s_uuid),
                         log_end(sb),
                         0,
                         std::make_unique<uint8_t[]>(block_size),
                         std::make_unique<uint8_t[]>(block_size),
                         {},
                         {}};
        uint32_t sequence = sb.s_sequence;
        uint32_t position = sb.s_start;
        step outcome = step::next;
        // Each transaction reads at least its commit block; read_log_block ends the walk after s_maxlen blocks.
        while (outcome == step::next) {
            outcome = scan_transaction(state, sequence, position);
            ++sequence;
        }
        if (outcome == step::fail)
            return std::nullopt;
        // The loop counted the transaction that ended the log too.
        result.next_sequence = sequence - 1;
        result.entries.reserve(state.copies.size());
        for (const auto& [volume_block, copy] : state.copies) {
            auto revoke = state.revoked.find(volume_block);
            if (revoke != state.revoked.end() && !sequence_after(copy.sequence, revoke->second))
                continue;
            result.entries.push_back({volume_block, copy.journal_block, copy.escaped ? 1u : 0u});
        }
        std::sort(result.entries.begin(), result.entries.end(),
                  [](const replay_entry& a, const replay_entry& b) { return a.volume_block < b.volume_block; });
        return result;
    } catch (const std::bad_alloc&) {
        return std::nullopt;
    }
}

namespace {

// Consecutive blocks of the journal inode: logical blocks from logical on lie at physical on.
struct journal_run {
    uint64_t logical = 0;
    uint64_t physical = 0;
    uint64_t length = 0;
};

// The journal's logical blocks as runs of volume blocks; nothing for a hole, an unwritten extent, a block outside
// the volume or more than max_journal_runs pieces.
std::optional<std::vector<journal_run>> map_journal(partition_linux_ext2& source, const ext_inode& inode,
                                                    uint64_t blocks)
{
    const ext2_volume_info& volume = *source.volume_info;
    std::vector<journal_run> runs;
    file_map map = open_file_map(source, inode);
    // Every run is at least one block long, so the walk takes at most blocks steps.
    for (uint64_t logical = 0; logical < blocks;) {
        block_run run;
        if (!map_run(map, static_cast<uint32_t>(logical), run) || run.kind != run_kind::data)
            return std::nullopt;
        uint64_t length = std::min<uint64_t>(run.length, blocks - logical);
        if (!blocks_in_volume(volume, run.physical, length) ||
            run.physical + length > source.sector_count / volume.sectors_per_block)
            return std::nullopt;
        if (!runs.empty() && runs.back().physical + runs.back().length == run.physical) {
            runs.back().length += length;
        } else {
            if (runs.size() >= max_journal_runs)
                return std::nullopt;
            runs.push_back({logical, run.physical, length});
        }
        logical += length;
    }
    return runs;
}

// The volume block of logical block n of the journal, which lies below the runs' end.
uint64_t journal_block_on_volume(const std::vector<journal_run>& runs, uint64_t n)
{
    auto after = std::upper_bound(runs.begin(), runs.end(), n,
                                  [](uint64_t value, const journal_run& run) { return value < run.logical; });
    const journal_run& run = *(after - 1);
    return run.physical + (n - run.logical);
}

}  // namespace

std::optional<replay_map> scan_volume_journal(partition_linux_ext2& source)
{
    const ext2_volume_info& volume = *source.volume_info;
    std::optional<ext_inode> inode = get_inode(source, volume.superblock.s_journal_inum);
    if (!inode || !inode->is_regular())
        return std::nullopt;
    uint64_t blocks = inode->size() / volume.block_size;
    if (blocks == 0 || blocks > max_journal_blocks)
        return std::nullopt;
    try {
        std::optional<std::vector<journal_run>> runs = map_journal(source, *inode, blocks);
        if (!runs)
            return std::nullopt;
        journal_block_reader read = [&](uint32_t n, uint8_t* out) {
            return n < blocks && read_volume_blocks(source, journal_block_on_volume(*runs, n), 1, out);
        };
        std::vector<uint8_t> block(volume.block_size);
        if (!read(0, block.data()))
            return std::nullopt;
        std::optional<journal_superblock> sb =
            parse_journal_superblock(block.data(), volume.block_size, static_cast<uint32_t>(blocks));
        if (!sb)
            return std::nullopt;
        std::optional<replay_map> map = scan_journal(*sb, volume.block_size, volume.blocks_count, read);
        if (!map || !charge_replay_map(*map))
            return std::nullopt;
        for (replay_entry& entry : map->entries)
            entry.copy_block = journal_block_on_volume(*runs, entry.copy_block);
        return map;
    } catch (const std::bad_alloc&) {
        return std::nullopt;
    }
}
