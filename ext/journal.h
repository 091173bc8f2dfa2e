// The jbd2 journal of a volume that was not cleanly unmounted: its superblock, descriptor, revoke and commit
// blocks, and the replay map that lets the volume be read as if the committed transactions had been replayed.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

class partition_linux_ext2;

// Superblock flags that say the volume has a journal and that it holds transactions not yet replayed.
inline constexpr uint32_t compat_has_journal = 0x4;
inline constexpr uint32_t incompat_journal_needs_recovery = 0x4;
inline constexpr uint32_t incompat_journal_device = 0x8;

inline constexpr uint32_t journal_magic = 0xC03B3998;
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
// All the replay maps of the process together hold at most this many entries (16 bytes each, so 8 MiB): a further
// volume whose journal would take more is read as it is on disk.
inline constexpr size_t replay_entry_budget = size_t{1} << 19;

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

// One block the replay gives a new content: volume_block reads as copy_block with, when escaped, its first four
// bytes set back to the journal magic (the journal stores such a block with those bytes zeroed).
struct replay_entry {
    uint64_t volume_block = 0;
    // From scan_journal, the journal's logical block; in a mounted volume, a volume block (below 2^63, as every
    // block of a partition is).
    uint64_t copy_block : 63 = 0;
    uint64_t escaped : 1 = 0;
};

// Sorted by volume_block, each volume block once. Its entries are counted against replay_entry_budget for as
// long as it holds them.
struct replay_map {
    std::vector<replay_entry> entries;
    size_t charged = 0;  // entries counted against the budget
    // The sequence of the transaction the log expects next: one past the last committed transaction the map
    // replays (s_sequence when none is). Fast commits apply only when they carry it.
    uint32_t next_sequence = 0;

    replay_map() = default;
    replay_map(replay_map&& other) noexcept;
    replay_map& operator=(replay_map&& other) noexcept;
    ~replay_map();
};

// Counts the map's entries against the process-wide budget: false, and nothing counted, when they do not fit.
bool charge_replay_map(replay_map& map);

// The entry for a volume block, or null.
const replay_entry* find_replay_entry(const replay_map& map, uint64_t volume_block);

// Reads logical block n of the journal (block_size bytes) into out; false on failure.
using journal_block_reader = std::function<bool(uint32_t n, uint8_t* out)>;

// Walks the log from s_start, transaction by transaction in sequence order, and gives the blocks that the
// committed transactions write, the latest copy of each, less those revoked. A transaction counts only when
// every block of it checks out and its commit block is found (with its checksums where the journal has them);
// the log ends before the first that does not. Every block number must lie below volume_blocks. Nothing when
// the journal cannot be read or would replay more than max_replay_entries blocks; an empty map for a journal
// with nothing to replay. Reads at most s_maxlen blocks.
std::optional<replay_map> scan_journal(const journal_superblock& sb, uint32_t block_size, uint64_t volume_blocks,
                                       const journal_block_reader& read);

// The replay map of a mounted volume's internal journal (the inode the superblock names), its copies given as
// volume blocks and charged against the budget. Reads the volume as it is on disk: call it before the volume has a
// replay map. Nothing when the journal inode, its block map or the journal do not check out, or the budget is
// spent.
std::optional<replay_map> scan_volume_journal(partition_linux_ext2& source);
