// The replay map's share of the process-wide budget, and lookups in it.
#include "ext/replay_map.h"

#include <algorithm>
#include <atomic>
#include <utility>

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
    : entries(std::move(other.entries)), charged(std::exchange(other.charged, 0))
{
}

replay_map& replay_map::operator=(replay_map&& other) noexcept
{
    if (this != &other) {
        release_charge(*this);
        entries = std::move(other.entries);
        charged = std::exchange(other.charged, 0);
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
