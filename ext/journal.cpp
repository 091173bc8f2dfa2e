// The jbd2 journal: superblock checks and the scan of the log into a replay map.
#include "ext/journal.h"

#include "disk/byte_order.h"
#include "ext/volume.h"
#include "ext/crc32c.h"
#include "ext/file_map.h"
#include "ext/inode_cache.h"

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
// e2fsck takes no shorter journal from the superblock's copy of the journal inode's map.
constexpr uint64_t min_journal_blocks = 1024;

constexpr uint16_t tag_flag_escape = 0x1;
constexpr uint16_t tag_flag_same_uuid = 0x2;
constexpr uint16_t tag_flag_last_tag = 0x8;

constexpr size_t header_size = 12;
constexpr size_t superblock_bytes = 1024;
constexpr size_t superblock_checksum_offset = 252;
constexpr size_t revoke_header_size = 16;
constexpr size_t commit_checksum_offset = 16;
// A commit block's header: magic, type, sequence, checksum type and size, 32 bytes of checksums, then the commit
// time in seconds (64 bits) and nanoseconds (32 bits).
constexpr size_t commit_time_offset = 48;
constexpr size_t commit_header_bytes = 60;
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

// A logged block that the replay leaves out.
struct skipped_copy {
    uint64_t volume_block = 0;
    uint32_t sequence = 0;
};

// What the transaction being walked logs: applied when its commit block checks out, dropped otherwise.
struct pending_transaction {
    std::vector<std::pair<uint64_t, logged_copy>> copies;
    std::vector<skipped_copy> skipped;
    std::vector<uint64_t> revokes;
};

struct scan_state {
    scan_state(const journal_superblock& superblock, uint32_t bytes_per_block, uint64_t blocks_in_volume,
               const journal_block_reader& reader)
        : sb(superblock), block_size(bytes_per_block), volume_blocks(blocks_in_volume), read(reader),
          seed(crc32c(~0u, superblock.s_uuid, sizeof superblock.s_uuid)), end(log_end(superblock)),
          block(std::make_unique<uint8_t[]>(bytes_per_block)), data(std::make_unique<uint8_t[]>(bytes_per_block))
    {
    }

    const journal_superblock& sb;
    uint32_t block_size;
    uint64_t volume_blocks;
    const journal_block_reader& read;
    uint32_t seed = 0;  // the checksum seed: the CRC of the journal's UUID
    uint32_t end = 0;   // one past the log's last block
    uint32_t walked = 0;
    std::unique_ptr<uint8_t[]> block;
    std::unique_ptr<uint8_t[]> data;  // a data block, or scratch for a commit block's checksum
    std::unordered_map<uint64_t, logged_copy> copies;  // of replayed transactions, the latest good one per block
    std::unordered_map<uint64_t, uint32_t> revoked;    // volume block -> latest transaction that revoked it
    std::vector<skipped_copy> skipped;                 // of replayed transactions, in log order
    journal_outcome outcome;
    // The log's end is known (a commit block failed its checksum under async commit): the transactions after it
    // are walked, as the kernel walks them, but not applied.
    bool closed = false;
    // A descriptor or revoke block failed its checksum: the next commit block decides whether that is a stale
    // block at the log's end or damage.
    bool unchecked_block = false;
    uint64_t last_commit_time = 0;  // of the last transaction that committed
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

// Passes over a log block without reading it, counting it against the journal's length.
step pass_log_block(scan_state& state)
{
    if (state.walked >= state.sb.s_maxlen)
        return step::end;
    ++state.walked;
    return step::next;
}

bool header_matches(const uint8_t* block, uint32_t sequence)
{
    return read_be32(block, 0) == journal_magic && read_be32(block, 8) == sequence;
}

uint64_t read_be64(const uint8_t* p, size_t offset)
{
    return (static_cast<uint64_t>(read_be32(p, offset)) << 32) | read_be32(p, offset + 4);
}

// Collects the revoke records of a revoke block, into revokes unless it is null. False for a count that overruns
// the block, which fails the kernel's whole recovery; a count below the header holds no record.
bool parse_revoke_block(const scan_state& state, const uint8_t* block, std::vector<uint64_t>* revokes)
{
    size_t limit = state.block_size - (has_checksums(state.sb) ? tail_size : 0);
    uint32_t used = read_be32(block, 12);
    if (used > limit)
        return false;
    if (revokes == nullptr)
        return true;
    size_t record = (state.sb.s_feature_incompat & journal_incompat_64bit) != 0 ? 8 : 4;
    for (size_t offset = revoke_header_size; offset + record <= used; offset += record)
        revokes->push_back(record == 8 ? read_be64(block, offset) : read_be32(block, offset));
    return true;
}

bool tail_checks_out(const scan_state& state, const uint8_t* block)
{
    if (!has_checksums(state.sb))
        return true;
    size_t offset = state.block_size - tail_size;
    return block_checksum(state.seed, block, state.block_size, offset) == read_be32(block, offset);
}

// The commit block's checksum, over the whole block or, as the kernel also accepts (some kernels wrote commit
// blocks whose bytes after the header were never set), over the header with the rest of the block taken as zeros.
bool commit_checks_out(scan_state& state, const uint8_t* block)
{
    if (!has_checksums(state.sb))
        return true;
    uint32_t stored = read_be32(block, commit_checksum_offset);
    if (block_checksum(state.seed, block, state.block_size, commit_checksum_offset) == stored)
        return true;
    uint8_t* header_only = state.data.get();
    std::memset(header_only, 0, state.block_size);
    std::memcpy(header_only, block, commit_header_bytes);
    return block_checksum(state.seed, header_only, state.block_size, commit_checksum_offset) == stored;
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

// The data blocks that follow a descriptor block at position. Unless the log's end is known, each goes into the
// transaction as a copy, or as skipped when it lies outside the volume, cannot be read or fails its checksum (the
// kernel skips such a block and replays the rest). Without checksums the blocks are not read here.
step read_tagged_blocks(scan_state& state, const uint8_t* descriptor, uint32_t sequence, uint32_t& position,
                        pending_transaction& transaction)
{
    for (const tag& t : parse_tags(state.sb, descriptor, state.block_size)) {
        uint32_t at = position;
        position = advance(state, position);
        bool outside = t.volume_block >= state.volume_blocks;
        if (state.closed || outside || !has_checksums(state.sb)) {
            if (pass_log_block(state) != step::next)
                return step::end;
        } else {
            step read = read_log_block(state, at, state.data.get());
            if (read == step::end)
                return step::end;
            if (read == step::fail || !data_checks_out(state, t, sequence, state.data.get())) {
                transaction.skipped.push_back({t.volume_block, sequence});
                continue;
            }
        }
        if (state.closed)
            continue;
        if (outside)
            transaction.skipped.push_back({t.volume_block, sequence});
        else
            transaction.copies.push_back({t.volume_block, {sequence, at, (t.flags & tag_flag_escape) != 0}});
    }
    return step::next;
}

// Applies a committed transaction: its revokes cover copies of it and of earlier ones, its copies replace
// earlier ones.
step apply_transaction(scan_state& state, uint32_t sequence, pending_transaction& transaction)
{
    for (uint64_t volume_block : transaction.revokes) {
        auto [where, added] = state.revoked.try_emplace(volume_block, sequence);
        if (!added && sequence_after(sequence, where->second))
            where->second = sequence;
    }
    for (const auto& [volume_block, copy] : transaction.copies)
        state.copies[volume_block] = copy;
    state.skipped.insert(state.skipped.end(), transaction.skipped.begin(), transaction.skipped.end());
    transaction = {};
    if (state.copies.size() > max_replay_entries || state.revoked.size() > max_replay_entries ||
        state.skipped.size() > max_replay_entries) {
        state.outcome.problem = journal_problem::too_large;
        return step::fail;
    }
    return step::next;
}

// A commit block of the transaction of the given sequence, as the kernel's scan pass decides on it: the log
// goes on after it (step::next), ends before its transaction, or the whole recovery fails.
step commit_transaction(scan_state& state, const uint8_t* block, uint32_t sequence, pending_transaction& transaction)
{
    uint64_t commit_time = read_be64(block, commit_time_offset);
    if (state.unchecked_block) {
        // A block of this transaction failed its checksum. A commit older than the last is a stale block from an
        // earlier use of the journal, where the log ends; any other means damage.
        if (commit_time >= state.last_commit_time) {
            state.outcome.problem = journal_problem::corrupt_log;
            return step::fail;
        }
        return step::end;
    }
    if (!commit_checks_out(state, block)) {
        if (commit_time < state.last_commit_time)
            return step::end;
        // The log ends before this transaction. Under async commit the kernel takes it for a commit that was
        // cut short and walks on (without applying anything more); otherwise the journal is corrupt.
        state.outcome.end_sequence = sequence;
        state.closed = true;
        transaction = {};
        if ((state.sb.s_feature_incompat & journal_incompat_async_commit) == 0) {
            state.outcome.commit_failed = true;
            return step::end;
        }
    }
    state.last_commit_time = commit_time;
    return state.closed ? step::next : apply_transaction(state, sequence, transaction);
}

// Walks the log from s_start, block by block, as the kernel's scan pass does; the transactions that commit are
// applied to the state as their commit blocks are reached.
step walk_log(scan_state& state)
{
    uint32_t sequence = state.sb.s_sequence;
    uint32_t position = state.sb.s_start;
    pending_transaction transaction;
    uint8_t* block = state.block.get();
    step outcome = step::next;
    // Every pass of the loop counts at least one block, and the walk stops after s_maxlen of them.
    while (outcome == step::next) {
        step read = read_log_block(state, position, block);
        if (read == step::fail) {
            state.outcome.problem = journal_problem::read_failed;
            return step::fail;
        }
        if (read == step::end)
            break;
        position = advance(state, position);
        if (!header_matches(block, sequence))
            break;
        uint32_t blocktype = read_be32(block, 4);
        if (blocktype == blocktype_descriptor) {
            if (!tail_checks_out(state, block))
                state.unchecked_block = true;
            outcome = read_tagged_blocks(state, block, sequence, position, transaction);
        } else if (blocktype == blocktype_revoke) {
            if (!tail_checks_out(state, block))
                state.unchecked_block = true;
            if (!parse_revoke_block(state, block, state.closed ? nullptr : &transaction.revokes)) {
                state.outcome.problem = journal_problem::corrupt_log;
                return step::fail;
            }
        } else if (blocktype == blocktype_commit) {
            outcome = commit_transaction(state, block, sequence, transaction);
            if (outcome == step::next)
                ++sequence;
        } else {
            break;
        }
        if (transaction.copies.size() > max_replay_entries || transaction.revokes.size() > max_replay_entries ||
            transaction.skipped.size() > max_replay_entries) {
            state.outcome.problem = journal_problem::too_large;
            return step::fail;
        }
    }
    if (outcome == step::fail)
        return step::fail;
    if (!state.closed)
        state.outcome.end_sequence = sequence;
    return step::end;
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

journal_replay scan_journal(const journal_superblock& sb, uint32_t block_size, uint64_t volume_blocks,
                            const journal_block_reader& read)
{
    journal_replay result;
    result.outcome.end_sequence = sb.s_sequence;
    if (sb.s_start == 0)
        return result;
    try {
        scan_state state(sb, block_size, volume_blocks, read);
        if (walk_log(state) == step::fail) {
            result.outcome = {};
            result.outcome.problem = state.outcome.problem;
            return result;
        }
        result.outcome = state.outcome;
        auto revoked = [&](uint64_t volume_block, uint32_t sequence) {
            auto revoke = state.revoked.find(volume_block);
            return revoke != state.revoked.end() && !sequence_after(sequence, revoke->second);
        };
        result.map.entries.reserve(state.copies.size());
        for (const auto& [volume_block, copy] : state.copies)
            if (!revoked(volume_block, copy.sequence))
                result.map.entries.push_back({volume_block, copy.journal_block, copy.escaped ? 1u : 0u});
        std::sort(result.map.entries.begin(), result.map.entries.end(),
                  [](const replay_entry& a, const replay_entry& b) { return a.volume_block < b.volume_block; });
        // As in the kernel's replay, a revoked block is passed over before its checksum is looked at.
        for (const skipped_copy& skipped : state.skipped) {
            if (revoked(skipped.volume_block, skipped.sequence))
                continue;
            if (result.outcome.skipped_blocks++ == 0) {
                result.outcome.first_skipped_block = skipped.volume_block;
                result.outcome.first_skipped_sequence = skipped.sequence;
            }
        }
        return result;
    } catch (const std::bad_alloc&) {
        result.map = {};
        result.outcome = {};
        result.outcome.problem = journal_problem::too_large;
        return result;
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
std::optional<std::vector<journal_run>> map_journal(ext_volume& source, const ext_inode& inode,
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
            run.physical + length > source.source->size / volume.block_size)
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

// The journal of an inode: its runs, and its length in blocks.
struct journal_location {
    std::vector<journal_run> runs;
    uint64_t blocks = 0;
};

// Where the inode's journal lies, or nothing when the inode cannot be the journal: not in use, not a regular
// file, encrypted or inline, shorter than min_blocks or longer than max_journal_blocks, or a map that does not
// cover its size.
std::optional<journal_location> locate_journal(ext_volume& source, const ext_inode& inode,
                                               uint64_t min_blocks)
{
    if (inode.i_links_count == 0 || !inode.is_regular() || !inode.content_readable() || inode.has_inline_data())
        return std::nullopt;
    journal_location where;
    where.blocks = inode.size() / source.volume_info->block_size;
    if (where.blocks == 0 || where.blocks < min_blocks || where.blocks > max_journal_blocks)
        return std::nullopt;
    std::optional<std::vector<journal_run>> runs = map_journal(source, inode, where.blocks);
    if (!runs)
        return std::nullopt;
    where.runs = std::move(*runs);
    return where;
}

// The journal inode as e2fsck makes it from the superblock's copy: a regular file in use, with the copied block
// words and size and no flag, so that the words are read as a block map (a copy of an extent tree's root is not
// one, and does not check out as one).
ext_inode backup_journal_inode(const ext_superblock& super)
{
    ext_inode inode;
    inode.i_mode = mode_regular | 0600;
    inode.i_links_count = 1;
    for (size_t i = 0; i < 15; ++i) {
        uint32_t word = super.s_jnl_blocks[i];
        for (size_t b = 0; b < 4; ++b)
            inode.i_block[4 * i + b] = static_cast<uint8_t>(word >> (8 * b));
    }
    inode.i_size_high = super.s_jnl_blocks[15];
    inode.i_size_lo = super.s_jnl_blocks[16];
    return inode;
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

journal_replay scan_volume_journal(ext_volume& source)
{
    const ext2_volume_info& volume = *source.volume_info;
    const ext_superblock& super = volume.superblock;
    journal_replay result;
    auto refused = [&](journal_problem problem) {
        result.map = {};
        result.outcome = {};
        result.outcome.problem = problem;
        return std::move(result);
    };
    // e2fsck tries the copy of the map only for an inode number inside the volume.
    uint32_t number = super.s_journal_inum;
    uint64_t inodes = static_cast<uint64_t>(volume.group_count) * volume.inodes_per_group;
    if (number == 0 || number > inodes)
        return refused(journal_problem::unusable_inode);
    try {
        std::optional<ext_inode> inode = get_inode(source, number);
        std::optional<journal_location> where = inode ? locate_journal(source, *inode, 1) : std::nullopt;
        if (!where && super.s_jnl_backup_type == journal_backup_blocks)
            where = locate_journal(source, backup_journal_inode(super), min_journal_blocks);
        if (!where)
            return refused(journal_problem::unusable_inode);
        const std::vector<journal_run>& runs = where->runs;
        uint64_t blocks = where->blocks;
        journal_block_reader read = [&](uint32_t n, uint8_t* out) {
            return n < blocks && read_volume_blocks(source, journal_block_on_volume(runs, n), 1, out);
        };
        std::vector<uint8_t> block(volume.block_size);
        if (!read(0, block.data()))
            return refused(journal_problem::read_failed);
        std::optional<journal_superblock> sb =
            parse_journal_superblock(block.data(), volume.block_size, static_cast<uint32_t>(blocks));
        if (!sb)
            return refused(journal_problem::bad_superblock);
        result = scan_journal(*sb, volume.block_size, volume.blocks_count, read);
        if (result.outcome.problem != journal_problem::none)
            return result;
        if (!charge_replay_map(result.map))
            return refused(journal_problem::budget_spent);
        for (replay_entry& entry : result.map.entries)
            entry.copy_block = journal_block_on_volume(runs, entry.copy_block);
        return result;
    } catch (const std::bad_alloc&) {
        return refused(journal_problem::too_large);
    }
}
