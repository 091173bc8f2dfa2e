// FsFindFirst, FsFindNext and FsFindClose: the root's partition folders, and directory listings below them.
#include "plugin/find.h"

#include "disk/partition.h"
#include "ext/inode_cache.h"

#include <cstring>
#include <new>

namespace {

constexpr uint8_t file_type_unknown = 0;

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
void fill_directory_entry(WIN32_FIND_DATAA& record, partition_linux_ext2& source, const dir_entry& entry)
{
    std::memset(&record, 0, sizeof record);
    uint8_t type = entry_file_type(source, entry);
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
    int written = convert_code_page(disk_code_page, entry.name, entry.name_len, host_code_page, record.cFileName);
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
bool is_visible(const dir_entry& entry)
{
    if (entry.inode == 0 || entry.name_len == 0)
        return false;
    if (entry.name_len == 1 && entry.name[0] == '.')
        return false;
    return !(entry.name_len == 2 && entry.name[0] == '.' && entry.name[1] == '.');
}

// The first visible entry after position, moving position to it; null (position unchanged) when there is none.
const dir_entry* next_visible_entry(const dir_listing& listing, int32_t& position)
{
    for (size_t i = static_cast<size_t>(position) + 1; i < listing.size(); ++i) {
        if (is_visible(listing[i])) {
            position = static_cast<int32_t>(i);
            return &listing[i];
        }
    }
    return nullptr;
}

// Walks from the partition's root directory down the path's components into the handle's listing and returns
// the directory's first visible entry. Components that name no directory are passed over. Null, with position at
// the end of the listing, when the directory has no visible entry or a directory on the way cannot be read.
const dir_entry* walk_to_directory(partition_linux_ext2& source, const char* path, find_handle& handle)
{
    dir_listing& listing = handle.listing;
    handle.entry_index = 0;
    if (!read_directory(source, root_directory_inode, listing))
        return nullptr;
    path_components components = components_after_folder(path);
    const char* component = nullptr;
    size_t length = 0;
    while (next_component(components, component, length)) {
        const dir_entry* entry = find_entry(listing, component, length);
        if (entry == nullptr || entry_file_type(source, *entry) != file_type_directory)
            continue;
        uint32_t inode = entry->inode;
        if (!read_directory(source, inode, listing))
            return nullptr;
    }
    int32_t position = -1;
    const dir_entry* first = next_visible_entry(listing, position);
    handle.entry_index = first ? position : static_cast<int32_t>(listing.size());
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
    if (first)
        fill_directory_entry(record, source, *first);
    else
        fill_parent_placeholder(record);
    std::strncpy(handle->search_path, path, host_path_size - 1);
    handle->listing_mode = listing_mode_directory;
    handle->disk_index = drive;
    handle->partition_slot = slot;
    return handle;
}

BOOL find_next_directory(const plugin_context& context, find_handle& handle, WIN32_FIND_DATAA& record)
{
    const dir_entry* entry = next_visible_entry(handle.listing, handle.entry_index);
    if (entry == nullptr)
        return FALSE;
    fill_directory_entry(record, partition_at(context, handle.disk_index, handle.partition_slot), *entry);
    return TRUE;
}

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

uint8_t entry_file_type(partition_linux_ext2& source, const dir_entry& entry)
{
    if (entry.file_type != file_type_unknown)
        return entry.file_type;
    std::optional<ext_inode> inode = get_inode(source, entry.inode);
    if (!inode)
        return file_type_unknown;
    if (inode->is_directory())
        return file_type_directory;
    if (inode->is_regular())
        return file_type_regular;
    return file_type_unknown;
}

const dir_entry* find_entry(const dir_listing& listing, const char* name, size_t length)
{
    for (const dir_entry& entry : listing) {
        if (entry.name_len == length && std::memcmp(entry.name, name, length) == 0)
            return &entry;
    }
    return nullptr;
}

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
