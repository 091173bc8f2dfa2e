// FsFindFirst, FsFindNext and FsFindClose: the root's partition folders, and directory listings below them.
#include "plugin/find.h"

#include "ext/inode_cache.h"
#include "plugin/entry_details.h"
#include "plugin/host_text.h"
#include "plugin/link_follow.h"
#include "plugin/path_lookup.h"
#include "plugin/recovery_notice.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <new>
#include <string>

namespace {

// The last-write time of an entry whose inode cannot be read: the host's marker for "no time known".
void set_no_time(WIN32_FIND_DATAA& record)
{
    record.ftLastWriteTime.dwLowDateTime = no_time_low;
    record.ftLastWriteTime.dwHighDateTime = no_time_high;
}

// Times and mode from the inode, or the no-time marker when it cannot be read.
void set_details(WIN32_FIND_DATAA& record, ext_volume& source, uint32_t inode_number)
{
    if (std::optional<ext_inode> inode = get_inode(source, inode_number))
        set_inode_details(record, *inode);
    else
        set_no_time(record);
}

ext_volume& volume_at(const plugin_context& context, int index)
{
    return *context.volumes[static_cast<size_t>(index)].volume;
}

// A partition folder of the root: a folder with its root directory's times and mode, no size.
void fill_root_entry(WIN32_FIND_DATAA& record, const plugin_context& context, int index)
{
    std::memset(&record, 0, sizeof record);
    record.dwFileAttributes = FILE_ATTRIBUTE_DIRECTORY;
    const shown_volume& shown = context.volumes[static_cast<size_t>(index)];
    set_details(record, *shown.volume, root_directory_inode);
    std::snprintf(record.cFileName, sizeof record.cFileName, "%s", shown.name.c_str());
}

// A directory entry's fields, its name aside. What the entry is comes from its inode's mode, not the record's type
// byte, read once for the times and size it gives as well. Folders have no size; other entries take theirs from the
// inode, regular files with the high word. A link that resolves inside the partition is shown as its target: a
// folder, or a file with the target's size, times and mode; any other link as itself, a file the size of its target
// path. An inode that cannot be read, is not well formed, is a reserved one that no name opens, or has a link count
// of 0 is shown as a file with no size and no time, which does not open.
void fill_directory_entry(WIN32_FIND_DATAA& record, ext_volume& source, const find_handle& handle,
                          const dir_entry& entry)
{
    std::memset(&record, 0, sizeof record);
    std::optional<ext_inode> inode = named_inode(source, entry.inode);
    followed_entry shown{entry.inode, inode ? inode_file_type(*inode) : file_type_unknown};
    if (shown.file_type == file_type_symlink &&
        follow_link(source, entry.inode, handle.chain, shown) == follow_result::resolved)
        inode = get_inode(source, shown.inode);
    if (shown.file_type == file_type_unknown)
        inode.reset();
    if (shown.file_type == file_type_directory) {
        record.dwFileAttributes = FILE_ATTRIBUTE_DIRECTORY;
    } else {
        record.dwFileAttributes = FILE_ATTRIBUTE_NORMAL;
        if (inode) {
            record.nFileSizeLow = inode->i_size_lo;
            if (shown.file_type == file_type_regular)
                record.nFileSizeHigh = inode->i_size_high;
        }
    }
    if (inode)
        set_inode_details(record, *inode);
    else
        set_no_time(record);
}

// What a directory shows when it has no visible entry: its parent's placeholder, with the directory's own times.
void fill_parent_placeholder(WIN32_FIND_DATAA& record, ext_volume& source, uint32_t directory)
{
    std::memset(&record, 0, sizeof record);
    record.dwFileAttributes = FILE_ATTRIBUTE_DIRECTORY;
    record.cFileName[0] = '.';
    record.cFileName[1] = '.';
    set_details(record, source, directory);
}

// Entries the host sees: they name an inode, and their name is neither empty, "." nor "..".
bool is_visible(const dir_listing& listing, const dir_entry& entry)
{
    std::string_view name = entry_name(listing, entry);
    return entry.inode != 0 && !name.empty() && name != "." && name != "..";
}

// The first visible entry after order (a place in the listing's inode order), moving order to it and setting
// position to its place in entries; null (order unchanged) when there is none.
const dir_entry* next_visible_entry(const dir_listing& listing, int32_t& order, uint32_t& position)
{
    for (size_t i = static_cast<size_t>(order) + 1; i < listing.by_inode.size(); ++i) {
        const dir_entry& entry = listing.entries[listing.by_inode[i]];
        if (is_visible(listing, entry)) {
            order = static_cast<int32_t>(i);
            position = listing.by_inode[i];
            return &entry;
        }
    }
    return nullptr;
}

// The search fails and the host learns why through GetLastError, as from FindFirstFile.
HANDLE failed_search(DWORD error)
{
    SetLastError(error);
    return INVALID_HANDLE_VALUE;
}

// What the host is told of a folder that could not be reached or listed, as Windows tells it of a folder path: a
// name that is absent, or a name on the way that is no folder, is a path not found; the last name naming an entry
// that is no folder is an invalid folder name (ERROR_DIRECTORY, what FindFirstFile gives for "file\*"); a read
// error or damage on the way is a read fault, never "not found"; an encrypted folder is not supported.
DWORD search_error_of(enter_result entered, bool last)
{
    switch (entered) {
    case enter_result::entered:
    case enter_result::absent: return ERROR_PATH_NOT_FOUND;
    case enter_result::not_folder: return last ? ERROR_DIRECTORY : ERROR_PATH_NOT_FOUND;
    case enter_result::unsupported: return ERROR_NOT_SUPPORTED;
    case enter_result::failed: break;
    }
    return ERROR_READ_FAULT;
}

// Walks from the partition's root directory down the path's components, looking each up by the names the host is
// shown and following links to folders, then loads the listing of the folder reached into the handle and returns
// its first visible entry. Null with no listing when a component names no directory or a directory on the way or
// the one reached cannot be read, error then telling which (search_error_of); null with position at the end of the
// listing when the directory has no visible entry.
const dir_entry* walk_to_directory(ext_volume& source, const char* path, find_handle& handle, DWORD& error)
{
    handle.entry_index = 0;
    handle.listing.reset();
    handle.names.reset();
    handle.directory = root_directory_inode;
    handle.chain.assign(1, root_directory_inode);
    path_components components = components_after_folder(path);
    const char* component = nullptr;
    size_t length = 0;
    // A component that names nothing, or names no folder, leaves the search with no folder to list: a host asking
    // for a folder that has gone must not be shown another one.
    while (next_component(components, component, length)) {
        enter_result entered = enter_folder(source, handle.chain, std::string_view(component, length), handle.view);
        if (entered != enter_result::entered) {
            path_components rest = components;
            error = search_error_of(entered, !next_component(rest, component, length));
            return nullptr;
        }
    }
    uint32_t directory = handle.chain.back();
    handle.directory = directory;
    handle.listing = load_folder(source, directory);
    if (!handle.listing) {
        error = search_error_of(folder_failure(source, directory), true);
        return nullptr;
    }
    handle.names = names_of_folder(handle.listing, handle.view);
    int32_t order = -1;
    uint32_t position = 0;
    const dir_entry* first = next_visible_entry(*handle.listing, order, position);
    handle.entry_index = first ? order : static_cast<int32_t>(handle.listing->by_inode.size());
    return first;
}

HANDLE find_first_root(const shared_context& shared, const char* path, WIN32_FIND_DATAA& record)
{
    const plugin_context& context = *shared;
    // A root with no volume folder is an empty folder.
    if (context.volumes.empty())
        return failed_search(ERROR_NO_MORE_FILES);
    auto handle = new (std::nothrow) find_handle;
    if (handle == nullptr)
        return failed_search(ERROR_NOT_ENOUGH_MEMORY);
    fill_root_entry(record, context, 0);
    std::strncpy(handle->search_path, path, host_path_size - 1);
    std::memcpy(handle->last_name, record.cFileName, host_path_size);
    handle->listing_mode = listing_mode_root;
    handle->volume_index = 0;
    handle->context = shared;
    return handle;
}

BOOL find_next_root(const plugin_context& context, find_handle& handle, WIN32_FIND_DATAA& record)
{
    int index = handle.volume_index + 1;
    if (index >= static_cast<int>(context.volumes.size()))
        return FALSE;
    handle.volume_index = index;
    fill_root_entry(record, context, index);
    std::memcpy(handle.last_name, record.cFileName, host_path_size);
    return TRUE;
}

HANDLE find_first_directory(const shared_context& shared, const std::string& path, const name_view& view,
                            WIN32_FIND_DATAA& record, std::string& name)
{
    const plugin_context& context = *shared;
    int index = -1;
    if (parse_partition_folder(context, path.c_str(), index) < 0)
        return failed_search(ERROR_PATH_NOT_FOUND);
    // Before anything of the volume is shown: what it shows may lack changes that its journal holds.
    tell_incomplete_recovery(context, context.volumes[static_cast<size_t>(index)]);
    auto handle = new (std::nothrow) find_handle;
    if (handle == nullptr)
        return failed_search(ERROR_NOT_ENOUGH_MEMORY);
    handle->view = view;
    ext_volume& source = volume_at(context, index);
    DWORD error = ERROR_READ_FAULT;
    const dir_entry* first = walk_to_directory(source, path.c_str(), *handle, error);
    if (first) {
        fill_directory_entry(record, source, *handle, *first);
        name = name_shown(*handle->listing, handle->listing->by_inode[static_cast<size_t>(handle->entry_index)],
                          *handle->names);
    } else if (!handle->listing) {
        // A folder that cannot be read (damaged, beyond the listing bounds, encrypted) is not an empty one.
        delete handle;
        return failed_search(error);
    } else {
        fill_parent_placeholder(record, source, handle->directory);
        name = "..";
    }
    std::strncpy(handle->search_path, path.c_str(), host_path_size - 1);
    handle->listing_mode = listing_mode_directory;
    handle->volume_index = index;
    handle->context = shared;
    return handle;
}

BOOL find_next_directory(const plugin_context& context, find_handle& handle, WIN32_FIND_DATAA& record,
                         std::string& name)
{
    if (!handle.listing || !handle.names)
        return FALSE;
    uint32_t position = 0;
    const dir_entry* entry = next_visible_entry(*handle.listing, handle.entry_index, position);
    if (entry == nullptr)
        return FALSE;
    fill_directory_entry(record, volume_at(context, handle.volume_index), handle, *entry);
    name = name_shown(*handle.listing, position, *handle.names);
    return TRUE;
}

// Both records hold a name of host_text_limit characters and its NUL, however long the paths are: a name shown as
// it is on disk has at most 255 bytes and so at most 255 UTF-16 units, and a changed one is cut to
// changed_name_limit before its number.
static_assert(sizeof(WIN32_FIND_DATAA::cFileName) == host_text_limit + 1, "the ANSI record's name field");
static_assert(sizeof(WIN32_FIND_DATAW::cFileName) / sizeof(WCHAR) == host_text_limit + 1, "the wide record's");

// The host's record of an entry: the fields, and the name as the export carries it, cut to the host's field (a
// shown name always fits it; see changed_name_limit).
void deliver(const WIN32_FIND_DATAA& fields, const std::string& name, WIN32_FIND_DATAA& out)
{
    out = fields;
    std::string ansi = ansi_from_utf8(name);
    size_t length = std::min(ansi.size(), host_text_limit);
    std::memcpy(out.cFileName, ansi.data(), length);
    out.cFileName[length] = '\0';
}

void deliver(const WIN32_FIND_DATAA& fields, const std::string& name, WIN32_FIND_DATAW& out)
{
    std::memset(&out, 0, sizeof out);
    out.dwFileAttributes = fields.dwFileAttributes;
    out.ftCreationTime = fields.ftCreationTime;
    out.ftLastAccessTime = fields.ftLastAccessTime;
    out.ftLastWriteTime = fields.ftLastWriteTime;
    out.nFileSizeHigh = fields.nFileSizeHigh;
    out.nFileSizeLow = fields.nFileSizeLow;
    out.dwReserved0 = fields.dwReserved0;
    out.dwReserved1 = fields.dwReserved1;
    wide_string wide = wide_from_utf8(name);
    size_t length = std::min(wide.size(), host_text_limit);
    std::memcpy(out.cFileName, wide.data(), length * sizeof(WCHAR));
    out.cFileName[length] = 0;
}

// FsFindFirst and FsFindFirstW from the path in UTF-8.
// Listing the root is when drives attached or removed since the last look are noticed.
template <class record_type>
HANDLE find_first(shared_context context, const std::string& path, host_text_kind kind, record_type& out)
{
    WIN32_FIND_DATAA record;
    std::memset(&record, 0, sizeof record);
    std::string name;
    HANDLE handle = INVALID_HANDLE_VALUE;
    bool root = path.size() == 1 && path[0] == host_path_separator;
    if (root)
        context = refreshed_context();
    if (context == nullptr || context->disk_count <= 0)
        return failed_search(root ? ERROR_NO_MORE_FILES : ERROR_PATH_NOT_FOUND);
    if (root) {
        tell_storage_notices(*context);
        handle = find_first_root(context, path.c_str(), record);
        name = record.cFileName;
    } else {
        handle = find_first_directory(context, path, name_view{context->host_rules, kind}, record, name);
    }
    if (handle != INVALID_HANDLE_VALUE)
        deliver(record, name, out);
    return handle;
}

template <class record_type>
BOOL find_next(find_handle& search, record_type& out)
{
    if (search.context == nullptr)
        return FALSE;
    const plugin_context& context = *search.context;
    WIN32_FIND_DATAA record;
    std::memset(&record, 0, sizeof record);
    std::string name;
    BOOL found = FALSE;
    if (search.listing_mode == listing_mode_root) {
        found = find_next_root(context, search, record);
        name = record.cFileName;
    } else {
        found = find_next_directory(context, search, record, name);
    }
    if (found)
        deliver(record, name, out);
    return found;
}

}  // namespace

TARNWICK_EXPORT HANDLE TARNWICK_CALL FsFindFirst(char* path, WIN32_FIND_DATAA* find_data)
{
    try {
        shared_context context = initialised_context();
        if (context == nullptr || path == nullptr || find_data == nullptr)
            return failed_search(path == nullptr || find_data == nullptr ? ERROR_INVALID_PARAMETER
                                                                         : ERROR_PATH_NOT_FOUND);
        size_t length = std::strlen(path);
        if (length > host_text_limit)
            return failed_search(ERROR_PATH_NOT_FOUND);
        std::memset(find_data, 0, sizeof *find_data);
        return find_first(context, utf8_from_ansi(std::string_view(path, length)), host_text_kind::ansi,
                          *find_data);
    } catch (const std::bad_alloc&) {
        return failed_search(ERROR_NOT_ENOUGH_MEMORY);
    } catch (...) {
        return failed_search(ERROR_READ_FAULT);
    }
}

TARNWICK_EXPORT HANDLE TARNWICK_CALL FsFindFirstW(WCHAR* path, WIN32_FIND_DATAW* find_data)
{
    try {
        shared_context context = initialised_context();
        if (context == nullptr || path == nullptr || find_data == nullptr)
            return failed_search(path == nullptr || find_data == nullptr ? ERROR_INVALID_PARAMETER
                                                                         : ERROR_PATH_NOT_FOUND);
        size_t length = wide_length(path, wide_path_limit);
        if (length > wide_path_limit)
            return failed_search(ERROR_PATH_NOT_FOUND);
        std::memset(find_data, 0, sizeof *find_data);
        return find_first(context, utf8_from_wide(path, length), host_text_kind::wide, *find_data);
    } catch (const std::bad_alloc&) {
        return failed_search(ERROR_NOT_ENOUGH_MEMORY);
    } catch (...) {
        return failed_search(ERROR_READ_FAULT);
    }
}

TARNWICK_EXPORT BOOL TARNWICK_CALL FsFindNext(HANDLE handle, WIN32_FIND_DATAA* find_data)
{
    try {
        if (handle == INVALID_HANDLE_VALUE || handle == nullptr || find_data == nullptr)
            return FALSE;
        return find_next(*static_cast<find_handle*>(handle), *find_data);
    } catch (...) {
        return FALSE;
    }
}

TARNWICK_EXPORT BOOL TARNWICK_CALL FsFindNextW(HANDLE handle, WIN32_FIND_DATAW* find_data)
{
    try {
        if (handle == INVALID_HANDLE_VALUE || handle == nullptr || find_data == nullptr)
            return FALSE;
        return find_next(*static_cast<find_handle*>(handle), *find_data);
    } catch (...) {
        return FALSE;
    }
}

TARNWICK_EXPORT int TARNWICK_CALL FsFindClose(HANDLE handle)
{
    if (handle != INVALID_HANDLE_VALUE && handle != nullptr)
        delete static_cast<find_handle*>(handle);
    return 0;
}
