// Path components, name lookups through the folder cache or the disk, and the resolution of a file's path.
#include "plugin/path_lookup.h"

#include "plugin/virtual_paths.h"

#include <cstring>
#include <new>

namespace {

// Folders up to this size are read whole by a lookup: the block-by-block search reads as much in its first request.
constexpr uint64_t whole_folder_lookup_bytes = 64u << 10;

}  // namespace

path_components components_after_folder(const char* path)
{
    return path_components{path[0] != '\0' ? std::strchr(path + 1, host_path_separator) : nullptr};
}

bool next_component(path_components& walk, const char*& component, size_t& length)
{
    while (walk.separator != nullptr) {
        component = walk.separator + 1;
        walk.separator = std::strchr(component, host_path_separator);
        length = walk.separator ? static_cast<size_t>(walk.separator - component) : std::strlen(component);
        if (length > 0)
            return true;
    }
    return false;
}

std::optional<ext_inode> named_inode(ext_volume& source, uint32_t inode)
{
    if (!record_inode_openable(inode))
        return std::nullopt;
    std::optional<ext_inode> found = get_inode(source, inode);
    if (found && !found->linked())
        return std::nullopt;
    return found;
}

uint8_t effective_file_type(ext_volume& source, uint32_t inode)
{
    std::optional<ext_inode> found = named_inode(source, inode);
    return found ? inode_file_type(*found) : file_type_unknown;
}

lookup_result find_in_folder(ext_volume& source, uint32_t directory, const char* name, size_t length,
                             entry_match& result)
{
    // A folder that one request reads whole is listed and kept: the next lookup in it (the next file of a copy,
    // the next component of a path) then costs no read at all. A larger one is read only until the name.
    shared_listing listing = cached_folder(source, directory);
    if (!listing) {
        std::optional<ext_inode> inode = get_inode(source, directory);
        if (inode && inode->size() <= whole_folder_lookup_bytes)
            listing = load_folder(source, directory);
    }
    if (listing) {
        const dir_entry* entry = find_in_listing(*listing, name, length);
        if (entry == nullptr)
            return lookup_result::missing;
        result.inode = entry->inode;
        result.file_type = entry->file_type;
        return lookup_result::found;
    }
    return lookup_entry(source, directory, name, length, result);
}

lookup_result find_shown(ext_volume& source, uint32_t directory, std::string_view component,
                         const name_view& view, entry_match& result)
{
    lookup_result exact = find_in_folder(source, directory, component.data(), component.size(), result);
    if (exact == lookup_result::failed)
        return exact;
    // "." and ".." are never listed, but a path may still step through them.
    bool step = component == "." || component == "..";
    if (exact == lookup_result::found && (step || shown_form(component, view) == component))
        return exact;
    shared_listing listing = load_folder(source, directory);
    if (!listing)
        return lookup_result::failed;
    std::shared_ptr<const folder_names> names = names_of_folder(listing, view);
    auto found = names->position_of.find(component);
    if (found == names->position_of.end())
        return lookup_result::missing;
    const dir_entry& entry = listing->entries[found->second];
    result.inode = entry.inode;
    result.file_type = entry.file_type;
    return lookup_result::found;
}

shared_listing load_folder(ext_volume& source, uint32_t directory)
{
    if (shared_listing listing = cached_folder(source, directory))
        return listing;
    auto listing = std::make_shared<dir_listing>();
    if (!read_directory(source, directory, *listing))
        return nullptr;
    shared_listing shared = std::move(listing);
    cache_folder(source, directory, shared);
    return shared;
}
