// The cache of recently listed folders: whole listings by partition and directory inode, shared with find handles.
//
// Memory of the plugin as a whole stays under 64 MiB whatever the number and size of the volumes: the inode-table
// pieces take at most 8 MiB (ext/inode_cache.h), this cache at most 16 MiB, and what remains covers a copy's buffers
// and the listings of the host's open searches (each at most 34 MiB, ext/directory.h; one that is also cached is
// counted here once, as it is shared).
#pragma once

#include "ext/directory.h"

#include <cstddef>
#include <cstdint>
#include <memory>

struct ext_volume;

// A listing that no one changes once it is built, so that any thread may read it without a lock.
using shared_listing = std::shared_ptr<const dir_listing>;

// At most this many folders and this many bytes (each listing charged its buffers' capacity and a fixed cost) are
// kept; the least recently used goes first. A host's copy of a folder lists it and then fetches each file, so the
// folder being copied, its parents and the folders a panel shows are what needs to stay.
inline constexpr size_t folder_cache_max_folders = 64;
inline constexpr size_t folder_cache_max_bytes = 16u << 20;

// The bytes a listing is charged: its buffers' capacities and its bookkeeping.
size_t listing_bytes(const dir_listing& listing);

// The cached listing of a directory, which becomes the most recently used; null when it is not cached.
shared_listing cached_folder(const ext_volume& source, uint32_t directory);

// Keeps a listing (it replaces one of the same folder), dropping the least recently used ones until the bounds
// hold. A listing larger than the whole budget is not kept.
void cache_folder(const ext_volume& source, uint32_t directory, shared_listing listing);

// Drops every listing of the partition (for a partition that goes away).
void forget_folders(const ext_volume& source);

// Folders and bytes the cache holds now.
size_t folder_cache_count();
size_t folder_cache_bytes();
