// The jbd2 journal of a volume that was not cleanly unmounted: its superblock, descriptor, revoke and commit
// blocks, and the replay map that lets the volume be read as if the committed transactions had been replayed.
#pragma once

#include "ext/replay_map.h"

#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

struct ext_volume;

// Superblock flags that say the volume has a journal and that it holds transactions not yet replayed.
inline constexpr uint32_t compat_has_journal = 0x4;
inline constexpr uint32_t incompat_journal_needs_recovery = 0x4;
inline constexpr uint32_t incompat_journal_device = 0x8;

// Journal feature bits (s_feature_incompat of the journal superblock).
inline constexpr uint32_t journal_incompat_revoke = 0x1;
inline constexpr uint32_t journal_incompat_64bit = 0x2;
inline constexpr uint32_t journal_incompat_async_commit = 0x4;
inline constexpr uint32_t journal_incompat_csum_v2 = 0x8;
inline constexpr uint32_t journal_incompat_csum_v3 = 0x10;
inline constexpr uint32_t journal_incompat_fast_commit = 0x20;

// A journal longer than this is not read: mke2fs makes none beyond it.
inline constexpr uint32_t max_journal_blocks = 10240000;
// The journal inode's blocks are kept as runs while it is scanned; a journal in more pieces than this is not read.
inline constexpr size_t max_journal_runs = size_t{1} << 16;
// A replay map holds at most this many blocks: a journal of 1 GiB in 4 KiB blocks, the largest that mke2fs makes
// unasked, holds no more. The scan's working sets (the copies, the revoke records, a transaction's tags) are held
// to the same count. A journal that would replay more is ignored.
inline constexpr size_t max_replay_entries = size_t{1} << 18;

// The journal superblock, in logical block 0 of the journal.
struct journal_superblock {
    uint32_t blocktype = 0;  // 3 for version 1, 4 for version 2
    uint32_t s_blocksize = 0;
    uint32_t s_maxlen = 0;    // blocks in the journal
    uint32_t s_first = 0;     // first block of the log
    uint32_t s_sequence = 0;  // the sequence of the first transaction to replay
    uint32_t s_start = 0;     // block of that transaction; 0 when nothing needs replaying
    uint32_t s_feature_compat = 0;
    uint32_t s_feature_incompat = 0;
    uint32_t s_feature_ro_compat = 0;
    uint8_t s_uuid[16] = {};
    uint8_t s_checksum_type = 0;
    uint32_t s_num_fc_blks = 0;  // fast-commit blocks at the journal's end; 0 means the default of 256
    uint32_t s_checksum = 0;
};

// The journal superblock from a block of block_size bytes, checked: magic and version, block size, a log inside
// the journal, no feature this reader does not know, and its own checksum under checksum v2 or v3. Nothing when
// it does not check out.
std::optional<journal_superblock> parse_journal_superblock(const uint8_t* block, uint32_t block_size,
                                                           uint32_t journal_blocks);

// Why none of a journal that needs recovery is replayed. The kernel refuses to mount such a volume; it is read
// as it is on disk.
enum class journal_problem : uint8_t {
    none,
    not_found,          // the journal is on another device, or the superblock names no journal inode
    unusable_inode,     // the journal inode, and the copy of its map that the superblock keeps, do not check out
    bad_superblock,     // the journal superblock does not check out
    read_failed,        // a block of the log could not be read
    corrupt_log,        // a descriptor or revoke block that fails its checksum in a committed transaction, or
                        // a revoke block whose count overruns it: the kernel fails the whole recovery
    too_large,          // more than max_replay_entries blocks to replay
    budget_spent,       // the process-wide replay budget is spent
    replayed_metadata,  // the superblock or descriptor table that the replay gives does not check out
};

// What a replay of the journal applies, besides its map, and what it leaves out.
struct journal_outcome {
    journal_problem problem = journal_problem::none;  // not none: nothing of the journal is applied
    // The transaction after the last one replayed: where the log ends, and where a fast-commit replay goes on.
    uint32_t end_sequence = 0;
    // Transaction end_sequence was written in whole, but its commit block fails its checksum on a journal without
    // async commit: the kernel calls the journal corrupt, e2fsck replays what comes before. It and every later
    // transaction are left out.
    bool commit_failed = false;
    // Logged blocks of replayed transactions left out: their checksums fail, they cannot be read, or they lie
    // outside the volume. The kernel and e2fsck skip them and go on; the block keeps its earlier content.
    uint32_t skipped_blocks = 0;
    uint64_t first_skipped_block = 0;     // the volume block of the first of them
    uint32_t first_skipped_sequence = 0;  // and its transaction
    // The volume's fast commits (the area after the log) hold changes for end_sequence that could not be replayed.
    bool fast_commits_not_applied = false;

    // Everything the journal logged is applied.
    bool complete() const
    {
        return problem == journal_problem::none && !commit_failed && skipped_blocks == 0 && !fast_commits_not_applied;
    }
};

// A scan's result: the map is empty whenever the outcome names a problem.
struct journal_replay {
    replay_map map;
    journal_outcome outcome;
};

// Reads logical block n of the journal (block_size bytes) into out; false on failure.
using journal_block_reader = std::function<bool(uint32_t n, uint8_t* out)>;

// Walks the log from s_start, transaction by transaction in sequence order, as jbd2 recovery does, and gives the
// blocks that the replayed transactions write, the latest good copy of each, less those revoked. The log ends at
// the first block that is not the next one of the current transaction, or at a commit block that fails its
// checksum; a descriptor or revoke block that fails its checksum ends it quietly when the commit block that
// follows is older than the last one (a stale block), and fails the whole scan otherwise. A logged block whose
// checksum fails, that cannot be read or that lies at or beyond volume_blocks is skipped, unless revoked. An
// empty map for a journal with nothing to replay. Reads at most s_maxlen blocks.
journal_replay scan_journal(const journal_superblock& sb, uint32_t block_size, uint64_t volume_blocks,
                            const journal_block_reader& read);

// The replay of a mounted volume's internal journal, its copies given as volume blocks and charged against the
// budget. The journal is the inode the superblock names; when that inode is unusable (not in use, not a regular
// file, encrypted, or its map does not cover its size) and the superblock keeps a copy of its map, that copy is
// read instead, as a block map, as e2fsck reads it. Reads the volume as it is on disk: call it before the volume
// has a replay map.
journal_replay scan_volume_journal(ext_volume& source);
