// Listings for the host: the root's partition folders and the directories below them.
#pragma once

#include "ext/folder_cache.h"
#include "plugin/shown_names.h"
#include "plugin/virtual_paths.h"

#include <cstdint>
#include <vector>

inline constexpr intptr_t listing_mode_root = -1;
inline constexpr intptr_t listing_mode_directory = 0;

// The last-write time sent with an entry whose inode cannot be read, telling the host that no time is known.
inline constexpr DWORD no_time_low = 0xFFFFFFFE;
inline constexpr DWORD no_time_high = 0xFFFFFFFF;

// The record behind a handle from FsFindFirst; its address is the handle.
struct find_handle {
    char search_path[host_path_size] = {};  // the path as the host gave it
    char last_name[host_path_size] = {};    // root mode: the folder name returned last
    int32_t volume_index = 0;    // the volume's index in the context's volumes
    int32_t entry_index = 0;     // directory mode: place in the listing's inode order of the entry returned last
    uint32_t directory = 0;      // directory mode: the inode of the directory listed
    // Directory mode: the folders the path passed through, from the partition's root to directory (links among
    // its entries that point back at one of them are loops).
    std::vector<uint32_t> chain;
    intptr_t listing_mode = listing_mode_root;
    shared_listing listing;  // directory mode: this search's directory, null when it could not be read
    shared_context context;  // the drives this search reads from, kept for its life even when they go away
    name_view view;          // directory mode: how the names are shown
    std::shared_ptr<const folder_names> names;  // directory mode: the listing's changed names under view
};
