// The replay map: the journal's copies of volume blocks that committed transactions give new contents, which
// whole-block reads lay over the blocks on disk. Kept apart from the journal scan so that block reads need only this.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

// The first four bytes of every journal metadata block; a data block that began with them is stored escaped.
inline constexpr uint32_t journal_magic = 0xC03B3998;

// All the replay maps of the process together hold at most this many entries (16 bytes each, so 8 MiB): a further
// volume whose journal would take more is read as it is on disk.
inline constexpr size_t replay_entry_budget = size_t{1} << 19;

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

    replay_map() = default;
    replay_map(replay_map&& other) noexcept;
    replay_map& operator=(replay_map&& other) noexcept;
    ~replay_map();
};

// Counts the map's entries against the process-wide budget: false, and nothing counted, when they do not fit.
bool charge_replay_map(replay_map& map);

// The entry for a volume block, or null.
const replay_entry* find_replay_entry(const replay_map& map, uint64_t volume_block);
