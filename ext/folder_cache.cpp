// The folder cache: a short least-recently-used list of shared listings under one lock.
#include "ext/folder_cache.h"

#include "ext/volume.h"
#include "platform/lock.h"

#include <list>
#include <mutex>
#include <new>

namespace {

constexpr size_t listing_overhead = 256;  // the shared record, its list node and its counters, rounded up

struct cached_folder_entry {
    uint64_t partition = 0;  // the partition's cache_id
    uint32_t directory = 0;
    shared_listing listing;
    size_t bytes = 0;
};

// The most recently used first. With at most folder_cache_max_folders entries, a linear search is as quick as any
// index would be.
struct folder_cache {
    plugin_lock lock;
    std::list<cached_folder_entry> folders;
    size_t bytes = 0;
};

folder_cache cache;

void drop(std::list<cached_folder_entry>::iterator entry)
{
    cache.bytes -= entry->bytes;
    cache.folders.erase(entry);
}

std::list<cached_folder_entry>::iterator find_folder(uint64_t partition, uint32_t directory)
{
    for (auto it = cache.folders.begin(); it != cache.folders.end(); ++it) {
        if (it->partition == partition && it->directory == directory)
            return it;
    }
    return cache.folders.end();
}

}  // namespace

size_t listing_bytes(const dir_listing& listing)
{
    return listing.entries.capacity() * sizeof(dir_entry) + listing.names.capacity() +
           (listing.by_name.capacity() + listing.by_inode.capacity()) * sizeof(uint32_t) + listing_overhead;
}

shared_listing cached_folder(const ext_volume& source, uint32_t directory)
{
    std::lock_guard<plugin_lock> guard(cache.lock);
    auto found = find_folder(source.cache_id, directory);
    if (found == cache.folders.end())
        return nullptr;
    cache.folders.splice(cache.folders.begin(), cache.folders, found);
    return found->listing;
}

void cache_folder(const ext_volume& source, uint32_t directory, shared_listing listing)
{
    if (!listing)
        return;
    size_t bytes = listing_bytes(*listing);
    std::lock_guard<plugin_lock> guard(cache.lock);
    auto old = find_folder(source.cache_id, directory);
    if (old != cache.folders.end())
        drop(old);
    if (bytes > folder_cache_max_bytes)
        return;
    try {
        cache.folders.push_front(cached_folder_entry{source.cache_id, directory, std::move(listing), bytes});
    } catch (const std::bad_alloc&) {
        return;
    }
    cache.bytes += bytes;
    while (cache.folders.size() > folder_cache_max_folders || cache.bytes > folder_cache_max_bytes)
        drop(std::prev(cache.folders.end()));
}

void forget_folders(const ext_volume& source)
{
    std::lock_guard<plugin_lock> guard(cache.lock);
    for (auto it = cache.folders.begin(); it != cache.folders.end();) {
        auto next = std::next(it);
        if (it->partition == source.cache_id)
            drop(it);
        it = next;
    }
}

size_t folder_cache_count()
{
    std::lock_guard<plugin_lock> guard(cache.lock);
    return cache.folders.size();
}

size_t folder_cache_bytes()
{
    std::lock_guard<plugin_lock> guard(cache.lock);
    return cache.bytes;
}
