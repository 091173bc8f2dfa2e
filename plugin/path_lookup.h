// Paths below a partition folder: their components, and lookups of one name in a folder.
#pragma once

#include "ext/directory.h"
#include "ext/folder_cache.h"
#include "ext/inode_cache.h"
#include "plugin/shown_names.h"

#include <cstddef>
#include <cstdint>

struct ext_volume;

// A walk over the components of a host path after its partition folder.
struct path_components {
    const char* separator = nullptr;  // the separator before the next component, or null when none is left
};

// Starts a walk: the partition folder ends at the first separator after the path's first character.
path_components components_after_folder(const char* path);

// The next non-empty component and its length; false when none is left.
bool next_component(path_components& walk, const char*& component, size_t& length);

// The inode a directory record names, as a lookup by name opens it: nothing when it cannot be read, for a reserved
// inode other than the root (record_inode_openable), and for one whose link count is 0 (ext_inode::linked), both of
// which the kernel refuses by name. Read through the inode cache, where a lookup or listing that goes on to use it
// finds it again.
std::optional<ext_inode> named_inode(ext_volume& source, uint32_t inode);

// The file type of the inode a record names, as its mode gives it: the record's own type byte is only a hint,
// which damage can make say "folder" for a file. file_type_unknown when named_inode gives nothing or the inode is
// not well formed (ext/directory.h, inode_file_type).
uint8_t effective_file_type(ext_volume& source, uint32_t inode);

// Looks a name up in a folder: in its cached listing when it has one, else in its blocks, read only until the
// name is found. Records of inode 0 never match.
lookup_result find_in_folder(ext_volume& source, uint32_t directory, const char* name, size_t length,
                             entry_match& result);

// Looks a path component up by the name a host of this view is shown: an entry whose on-disk name is the
// component counts when it is shown so; otherwise the entry whose changed name it is.
lookup_result find_shown(ext_volume& source, uint32_t directory, std::string_view component,
                         const name_view& view, entry_match& result);

// The listing of a folder: the cached one, or one read now and kept in the cache. Null when it cannot be read.
shared_listing load_folder(ext_volume& source, uint32_t directory);

