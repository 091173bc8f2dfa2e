// FsFindFirst, FsFindNext and FsFindClose: the root's partition folders, and directory listings below them.
#include "plugin/find.h"

#include "disk/partition.h"
#include "ext/inode_cache.h"
#include "plugin/path_lookup.h"

#include <cstring>
#include <new>

namespace {

void set_no_time(WIN32_FIND_DATAA& record)
{
    record.ftLastWriteTime.dwLowDateTime = no_time_low;
    record.ftLastWriteTime.dwHighDateTime = no_time_high;
}

partition_linux_ext2& partition_at(const plugin_context& context, int drive, int slot)
{
    return *context.disks[static_cast<size_t>(drive)]->ext_partitions[static_cast<size_t>(slot)];
}

// A partition folder of the root: attribute folder, no time, no size.
void fill_root_entry(WIN32_FIND_DATAA& record, const plugin_context& context, int drive, int slot)
{
    std::memset(&record, 0, sizeof record);
    record.dwFileAttributes = FILE_ATTRIBUTE_DIRECTORY;
    set_no_time(record);
    format_partition_folder(record.cFileName, drive, partition_at(context, drive, slot).number);
}

// A directory entry: folders have no size; other entries take theirs from the inode (0 when it cannot be read),
// regular files with the high word.
void fill_directory_entry(WIN32_FIND_DATAA& record, partition_linux_ext2& source, const dir_listing& listing,
                          const dir_entry& entry)
{
    std::memset(&record, 0, sizeof record);
    uint8_t type = effective_file_type(source, entry.inode, entry.file_type);
    if (type == file_type_directory) {
        record.dwFileAttributes = FILE_ATTRIBUTE_DIRECTORY;
    } else {
        record.dwFileAttributes = FILE_ATTRIBUTE_NORMAL;
        if (std::optional<ext_inode> inode = get_inode(source, entry.inode)) {
            record.nFileSizeLow = inode->i_size_lo;
            if (type == file_type_regular)
                record.nFileSizeHigh = inode->i_size_high;
        }
    }
    std::string_view name = entry_name(listing, entry);
    int written = convert_code_page(disk_code_page, name.data(), static_cast<int>(name.size()), host_code_page,
                                    record.cFileName);
    record.cFileName[written > 0 ? written - 1 : 0] = '\0';
    set_no_time(record);
}

// What a directory shows when it has no visible entry.
void fill_parent_placeholder(WIN32_FIND_DATAA& record)
{
    std::memset(&record, 0, sizeof record);
    record.dwFileAttributes = FILE_ATTRIBUTE_DIRECTORY;
    record.cFileName[0] = '.';
    record.cFileName[1] = '.';
    set_no_time(record);
}

// Entries the host sees: they name an inode, and their name is neither empty, "." nor "..".
bool is_visible(const dir_listing& listing, const dir_entry& entry)
{
    std::string_view name = entry_name(listing, entry);
    return entry.inode != 0 && !name.empty() && name != "." && name != "..";
}

// The first visible entry after position, moving position to it; null (position unchanged) when there is none.
const dir_entry* next_visible_entry(const dir_listing& listing, int32_t& position)
{
    for (size_t i = static_cast<size_t>(position) + 1; i < listing.entries.size(); ++i) {
        if (is_visible(listing, listing.entries[i])) {
            position = static_cast<int32_t>(i);
            return &listing.entries[i];
        }
    }
    return nullptr;
}

// Walks from the partition's root directory down the path's components, looking each up in the folder reached so
// far, then loads the listing of the folder reached into the handle and returns its first visible entry.
// Components that name no directory are passed over. Null, with position at the end of the listing, when the
// directory has no visible entry or a directory on the way cannot be read.
const dir_entry* walk_to_directory(partition_linux_ext2& source, const char* path, find_handle& handle)
{
    handle.entry_index = 0;
    handle.listing.reset();
    uint32_t directory = root_directory_inode;
    path_components components = components_after_folder(path);
    const char* component = nullptr;
    size_t length = 0;
    while (next_component(components, component, length)) {
        entry_match match;
        lookup_result result = find_in_folder(source, directory, component, length, match);
        if (result == lookup_result::failed)
            return nullptr;
        if (result == lookup_result::found &&
            effective_file_type(source, match.inode, match.file_type) == file_type_directory)
            directory = match.inode;
    }
    handle.listing = load_folder(source, directory);
    if (!handle.listing)
        return nullptr;
    int32_t position = -1;
    const dir_entry* first = next_visible_entry(*handle.listing, position);
    handle.entry_index = first ? position : static_cast<int32_t>(handle.listing->entries.size());
    return first;
}

HANDLE find_first_root(const plugin_context& context, const char* path, WIN32_FIND_DATAA& record)
{
    for (int drive = 0; drive < context.disk_count; ++drive) {
        if (context.disks[static_cast<size_t>(drive)]->ext_count <= 0)
            continue;
        auto handle = new (std::nothrow) find_handle;
        if (handle == nullptr)
            return INVALID_HANDLE_VALUE;
        fill_root_entry(record, context, drive, 0);
        std::strncpy(handle->search_path, path, host_path_size - 1);
        std::memcpy(handle->last_name, record.cFileName, host_path_size);
        handle->listing_mode = listing_mode_root;
        handle->disk_index = drive;
        handle->partition_slot = 0;
        return handle;
    }
    return INVALID_HANDLE_VALUE;
}

BOOL find_next_root(const plugin_context& context, find_handle& handle, WIN32_FIND_DATAA& record)
{
    int drive = handle.disk_index;
    int slot = handle.partition_slot + 1;
    for (; drive < context.disk_count; ++drive, slot = 0) {
        if (slot < context.disks[static_cast<size_t>(drive)]->ext_count)
            break;
    }
    if (drive >= context.disk_count)
        return FALSE;
    handle.disk_index = drive;
    handle.partition_slot = slot;
    fill_root_entry(record, context, drive, slot);
    std::memcpy(handle.last_name, record.cFileName, host_path_size);
    return TRUE;
}

HANDLE find_first_directory(const plugin_context& context, const char* path, const char* converted,
                            WIN32_FIND_DATAA& record)
{
    int drive = 0;
    int number = 0;
    if (parse_partition_folder(context, path, drive, number) < 0)
        return INVALID_HANDLE_VALUE;
    int slot = ext_index(context, drive, number);
    if (slot < 0)
        return INVALID_HANDLE_VALUE;
    auto handle = new (std::nothrow) find_handle;
    if (handle == nullptr)
        return INVALID_HANDLE_VALUE;
    partition_linux_ext2& source = partition_at(context, drive, slot);
    const dir_entry* first = walk_to_directory(source, converted, *handle);
    if (first) {
        fill_directory_entry(record, source, *handle->listing, *first);
    } else if (!handle->listing) {
        // A folder that cannot be read (damaged, beyond the listing bounds, encrypted) is not an empty one.
        delete handle;
        return INVALID_HANDLE_VALUE;
    } else {
        fill_parent_placeholder(record);
    }
    std::strncpy(handle->search_path, path, host_path_size - 1);
    handle->listing_mode = listing_mode_directory;
    handle->disk_index = drive;
    handle->partition_slot = slot;
    return handle;
}

BOOL find_next_directory(const plugin_context& context, find_handle& handle, WIN32_FIND_DATAA& record)
{
    if (!handle.listing)
        return FALSE;
    const dir_entry* entry = next_visible_entry(*handle.listing, handle.entry_index);
    if (entry == nullptr)
        return FALSE;
    fill_directory_entry(record, partition_at(context, handle.disk_index, handle.partition_slot), *handle.listing,
                         *entry);
    return TRUE;
}

}  // namespace

TARNWICK_EXPORT HANDLE TARNWICK_CALL FsFindFirst(char* path, WIN32_FIND_DATAA* find_data)
{
    try {
        const plugin_context* context = initialised_context();
        if (context == nullptr || context->partition_index_table.empty() || path == nullptr || find_data == nullptr)
            return INVALID_HANDLE_VALUE;
        size_t length = std::strlen(path);
        if (length >= host_path_size)
            return INVALID_HANDLE_VALUE;
        char converted[host_path_size];
        int written = convert_code_page(host_code_page, path, static_cast<int>(length), disk_code_page, converted);
        converted[written > 0 ? written - 1 : 0] = '\0';
        std::memset(find_data, 0, sizeof *find_data);
        if (converted[0] == host_path_separator && converted[1] == '\0')
            return find_first_root(*context, path, *find_data);
        return find_first_directory(*context, path, converted, *find_data);
    } catch (...) {
        return INVALID_HANDLE_VALUE;
    }
}

TARNWICK_EXPORT BOOL TARNWICK_CALL FsFindNext(HANDLE handle, WIN32_FIND_DATAA* find_data)
{
    try {
        const plugin_context* context = initialised_context();
        if (context == nullptr || handle == INVALID_HANDLE_VALUE || handle == nullptr || find_data == nullptr)
            return FALSE;
        auto& search = *static_cast<find_handle*>(handle);
        if (search.listing_mode == listing_mode_root)
            return find_next_root(*context, search, *find_data);
        return find_next_directory(*context, search, *find_data);
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
