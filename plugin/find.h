// Listings for the host: the root's partition folders and the directories below them.
#pragma once

#include "ext/directory.h"
#include "plugin/virtual_paths.h"

#include <cstdint>

inline constexpr intptr_t listing_mode_root = -1;
inline constexpr intptr_t listing_mode_directory = 0;

// The last-write time sent with every entry, telling the host that no time is known.
inline constexpr DWORD no_time_low = 0xFFFFFFFE;
inline constexpr DWORD no_time_high = 0xFFFFFFFF;

// The record behind a handle from FsFindFirst; its address is the handle.
struct find_handle {
    char search_path[host_path_size] = {};  // the path as the host gave it
    char last_name[host_path_size] = {};    // root mode: the folder name returned last
    int32_t disk_index = 0;
    int32_t partition_slot = 0;  // slot in the drive's ext_partitions
    int32_t entry_index = 0;     // directory mode: position in listing of the entry returned last
    intptr_t listing_mode = listing_mode_root;
    dir_listing listing;  // directory mode: this search's own directory
};

class partition_linux_ext2;

// The file type of an entry; for entries written without one (type 0), the type that its inode's mode gives.
uint8_t entry_file_type(partition_linux_ext2& source, const dir_entry& entry);

// A walk over the components of a host path after its partition folder.
struct path_components {
    const char* separator = nullptr;  // the separator before the next component, or null when none is left
};

// Starts a walk: the partition folder ends at the first separator after the path's first character.
path_components components_after_folder(const char* path);

// The next non-empty component and its length; false when none is left.
bool next_component(path_components& walk, const char*& component, size_t& length);

// The first entry of a listing whose name is exactly the given bytes, or null.
const dir_entry* find_entry(const dir_listing& listing, const char* name, size_t length);
