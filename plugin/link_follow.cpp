// Following symbolic links inside a partition: targets resolved component by component, within a bound of links.
#include "plugin/link_follow.h"

#include "ext/inode_cache.h"
#include "ext/symlink.h"
#include "plugin/path_lookup.h"

#include <algorithm>
#include <deque>
#include <string>
#include <vector>

namespace {

// Pushes the components of path onto pending, the first to be resolved last (pending is used as a stack). A
// trailing separator stands for a last "." component: the path must then end at a folder.
void push_components(std::vector<std::string_view>& pending, std::string_view path)
{
    if (!path.empty() && path.back() == '/')
        pending.emplace_back(".");
    size_t end = path.size();
    while (end > 0) {
        size_t start = path.rfind('/', end - 1);
        start = start == std::string_view::npos ? 0 : start + 1;
        if (end > start)
            pending.emplace_back(path.substr(start, end - start));
        end = start > 0 ? start - 1 : 0;
    }
}

// Looks a name of a link's target up in a folder. The folder's whole listing is read and kept: a listing resolves
// every link it holds, and links of one folder tend to point into the same few folders, however large. A folder
// that cannot be listed whole is searched block by block.
lookup_result find_for_link(ext_volume& source, uint32_t folder, std::string_view name, entry_match& match)
{
    shared_listing listing = load_folder(source, folder);
    if (!listing)
        return find_in_folder(source, folder, name.data(), name.size(), match);
    const dir_entry* entry = find_in_listing(*listing, name.data(), name.size());
    if (entry == nullptr)
        return lookup_result::missing;
    match.inode = entry->inode;
    match.file_type = entry->file_type;
    return lookup_result::found;
}

}  // namespace

follow_result follow_link(ext_volume& source, uint32_t link, std::span<const uint32_t> chain,
                          followed_entry& target)
{
    if (chain.empty())
        return follow_result::unresolvable;
    // The targets read so far (at most link_follow_limit of at most link_target_limit bytes each), kept where they
    // are while pending views their components.
    std::deque<std::string> targets;
    std::vector<std::string_view> pending;
    uint32_t folder = chain.back();
    uint32_t current = folder;
    uint8_t current_type = file_type_directory;
    int links = 0;
    uint32_t next_link = link;
    // Each pass follows one link or resolves one component: at most link_follow_limit links, and the components of
    // their targets, at most link_follow_limit * (link_target_limit + 1) / 2 of them.
    for (;;) {
        if (next_link != 0) {
            if (++links > link_follow_limit)
                return follow_result::unresolvable;
            std::optional<ext_inode> inode = get_inode(source, next_link);
            if (!inode)
                return follow_result::failed;
            std::string& path = targets.emplace_back();
            if (!read_link_target(source, *inode, path))
                return follow_result::unresolvable;
            // A link's target continues from the folder that holds the link, or from the root.
            if (path[0] == '/')
                folder = root_directory_inode;
            push_components(pending, path);
            next_link = 0;
            current = folder;
            current_type = file_type_directory;
        }
        if (pending.empty())
            break;
        std::string_view component = pending.back();
        pending.pop_back();
        // Every component but a final one must reach a folder.
        if (current_type != file_type_directory)
            return follow_result::unresolvable;
        folder = current;
        if (component == ".")
            continue;
        if (component == ".." && folder == root_directory_inode)
            return follow_result::unresolvable;
        entry_match match;
        lookup_result found = find_for_link(source, folder, component, match);
        if (found == lookup_result::failed)
            return follow_result::failed;
        if (found == lookup_result::missing)
            return follow_result::unresolvable;
        uint8_t type = effective_file_type(source, match.inode);
        // An inode on the way that cannot be read, or is no file of any type, cannot be told from what it was.
        if (type == file_type_unknown)
            return follow_result::failed;
        if (type == file_type_symlink) {
            next_link = match.inode;
            continue;
        }
        current = match.inode;
        current_type = type;
    }
    if (current_type != file_type_directory && current_type != file_type_regular)
        return follow_result::unresolvable;
    if (current_type == file_type_directory && std::find(chain.begin(), chain.end(), current) != chain.end())
        return follow_result::unresolvable;
    target.inode = current;
    target.file_type = current_type;
    return follow_result::resolved;
}

lookup_result find_followed(ext_volume& source, std::span<const uint32_t> chain, std::string_view component,
                            const name_view& view, followed_entry& entry, follow_result* link_outcome)
{
    entry_match match;
    lookup_result found = find_shown(source, chain.back(), component, view, match);
    if (found != lookup_result::found)
        return found;
    entry.inode = match.inode;
    entry.file_type = effective_file_type(source, match.inode);
    if (entry.file_type == file_type_symlink) {
        follow_result outcome = follow_link(source, match.inode, chain, entry);
        if (link_outcome)
            *link_outcome = outcome;
    }
    return found;
}

enter_result enter_folder(ext_volume& source, std::vector<uint32_t>& chain, std::string_view component,
                          const name_view& view)
{
    followed_entry entry;
    follow_result link = follow_result::resolved;
    lookup_result found = find_followed(source, chain, component, view, entry, &link);
    if (found == lookup_result::failed)
        return folder_failure(source, chain.back());
    if (found == lookup_result::missing)
        return enter_result::absent;
    // An inode that cannot be read or is no file of any type, or a link through one: what it was cannot be told.
    if (entry.file_type == file_type_unknown || link == follow_result::failed)
        return enter_result::failed;
    if (entry.file_type == file_type_symlink)
        return enter_result::absent;
    if (entry.file_type != file_type_directory)
        return enter_result::not_folder;
    if (component != "." && component != ".." && std::find(chain.begin(), chain.end(), entry.inode) != chain.end())
        return enter_result::failed;
    chain.push_back(entry.inode);
    return enter_result::entered;
}

enter_result folder_failure(ext_volume& source, uint32_t directory)
{
    std::optional<ext_inode> inode = get_inode(source, directory);
    if (inode && inode->well_formed() && inode->is_directory() && !inode->content_readable())
        return enter_result::unsupported;
    return enter_result::failed;
}
