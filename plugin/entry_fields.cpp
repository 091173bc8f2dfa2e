// Finding an entry by host path, its Linux fields and those of its volume, and the properties message.
#include "plugin/entry_fields.h"

#include "ext/journal.h"
#include "ext/symlink.h"
#include "ext/volume.h"
#include "plugin/exports.h"
#include "plugin/link_follow.h"
#include "plugin/owner_names.h"
#include "plugin/path_lookup.h"
#include "plugin/virtual_paths.h"

#include <algorithm>
#include <cstdio>
#include <iterator>
#include <vector>

namespace {

constexpr field_info field_table[field_count] = {
    {"Owner", ft_string},        {"Group", ft_string},      {"Permissions", ft_string},
    {"Inode", ft_numeric_64},    {"Links", ft_numeric_32},  {"Link target", ft_string},
    {"Changed", ft_datetime},    {"Created", ft_datetime},  {"Allocated", ft_numeric_64},
    {"File system", ft_string},  {"Label", ft_string},      {"UUID", ft_string},
    {"Volume size", ft_numeric_64}, {"Free space", ft_numeric_64}, {"State", ft_string},
};

// Features a volume may have and still be called ext3 (or ext2 without a journal), as blkid decides.
constexpr uint32_t ext3_incompat = incompat_filetype | incompat_recover | incompat_meta_bg;
constexpr uint32_t ext3_ro_compat = 0x1 | 0x2 | 0x4;  // sparse_super, large_file, btree_dir
constexpr uint32_t ro_compat_huge_file = 0x8;

const char* type_name(uint16_t mode)
{
    switch (mode & mode_type_mask) {
    case mode_regular: return "regular file";
    case mode_directory: return "folder";
    case mode_symlink: return "symbolic link";
    case mode_fifo: return "FIFO";
    case mode_character_device: return "character device";
    case mode_block_device: return "block device";
    case mode_socket: return "socket";
    }
    return "unknown";
}

std::string with_id(const std::string& name, uint32_t id)
{
    return name == std::to_string(id) ? name : name + " (" + std::to_string(id) + ")";
}

std::string byte_text(uint64_t bytes)
{
    static const char* units[] = {"bytes", "KiB", "MiB", "GiB", "TiB", "PiB"};
    double value = static_cast<double>(bytes);
    size_t unit = 0;
    while (value >= 1024 && unit + 1 < std::size(units)) {
        value /= 1024;
        ++unit;
    }
    char text[64];
    if (unit == 0)
        std::snprintf(text, sizeof text, "%llu bytes", static_cast<unsigned long long>(bytes));
    else
        std::snprintf(text, sizeof text, "%.1f %s (%llu bytes)", value, units[unit],
                      static_cast<unsigned long long>(bytes));
    return text;
}

void add_line(std::string& text, const char* name, const std::string& value)
{
    text += name;
    text += ": ";
    text += value;
    text += '\n';
}

void add_volume_lines(std::string& text, const volume_fields& volume)
{
    add_line(text, "File system", volume.file_system);
    add_line(text, "Label", volume.label);
    add_line(text, "UUID", volume.uuid);
    add_line(text, "Volume size", byte_text(volume.size));
    add_line(text, "Free space", byte_text(volume.free_space));
    add_line(text, "State", volume.state);
}

}  // namespace

const field_info& info_of(field_id field)
{
    return field_table[static_cast<int>(field)];
}

std::optional<located_entry> locate_entry(const plugin_context& context, const std::string& path,
                                          const name_view& view)
{
    located_entry found;
    if (path.find_first_not_of(host_path_separator) == std::string::npos) {
        found.root = true;
        return found;
    }
    if (parse_partition_folder(context, path.c_str(), found.volume_index) < 0)
        return std::nullopt;
    ext_volume& source = *context.volumes[static_cast<size_t>(found.volume_index)].volume;
    path_components components = components_after_folder(path.c_str());
    std::vector<uint32_t> chain(1, root_directory_inode);
    const char* component = nullptr;
    size_t length = 0;
    std::string_view last;
    while (next_component(components, component, length)) {
        if (!last.empty() && enter_folder(source, chain, last, view) != enter_result::entered)
            return std::nullopt;
        last = std::string_view(component, length);
    }
    if (last.empty()) {
        found.volume_folder = true;
        found.inode_number = root_directory_inode;
        return found;
    }
    entry_match match;
    if (find_shown(source, chain.back(), last, view, match) != lookup_result::found)
        return std::nullopt;
    found.inode_number = match.inode;
    return found;
}

std::string permission_text(uint16_t mode)
{
    char type = '?';
    switch (mode & mode_type_mask) {
    case mode_regular: type = '-'; break;
    case mode_directory: type = 'd'; break;
    case mode_symlink: type = 'l'; break;
    case mode_fifo: type = 'p'; break;
    case mode_character_device: type = 'c'; break;
    case mode_block_device: type = 'b'; break;
    case mode_socket: type = 's'; break;
    }
    std::string text(1, type);
    // Each class: read, write, execute, where the special bit of its class (setuid, setgid, sticky) shows in the
    // execute place, lower case when execute is set too.
    const char special_letter[3] = {'s', 's', 't'};
    for (int who = 0; who < 3; ++who) {
        int shift = 6 - 3 * who;
        bool special = (mode & (0x800 >> who)) != 0;
        bool execute = (mode & (1 << shift)) != 0;
        text += (mode & (4 << shift)) ? 'r' : '-';
        text += (mode & (2 << shift)) ? 'w' : '-';
        if (special)
            text += execute ? special_letter[who] : static_cast<char>(special_letter[who] - 'a' + 'A');
        else
            text += execute ? 'x' : '-';
    }
    return text;
}

uint64_t allocated_bytes(const ext_inode& inode, const ext2_volume_info& volume)
{
    if ((volume.superblock.s_feature_ro_compat & ro_compat_huge_file) == 0)
        return (inode.i_blocks & 0xFFFFFFFFu) * 512;
    if (inode.i_flags & inode_flag_huge_file)
        return inode.i_blocks * volume.block_size;
    return inode.i_blocks * 512;
}

std::string time_text(const inode_time& time)
{
    // Days since 1970 to a civil date (proleptic Gregorian), so that no C library's time zone or range applies.
    int64_t days = time.seconds >= 0 ? time.seconds / 86400 : (time.seconds - 86399) / 86400;
    int64_t rest = time.seconds - days * 86400;
    days += 719468;
    int64_t era = (days >= 0 ? days : days - 146096) / 146097;
    int64_t day_of_era = days - era * 146097;
    int64_t year_of_era = (day_of_era - day_of_era / 1460 + day_of_era / 36524 - day_of_era / 146096) / 365;
    int64_t day_of_year = day_of_era - (365 * year_of_era + year_of_era / 4 - year_of_era / 100);
    int64_t month_index = (5 * day_of_year + 2) / 153;
    int64_t day = day_of_year - (153 * month_index + 2) / 5 + 1;
    int64_t month = month_index < 10 ? month_index + 3 : month_index - 9;
    int64_t year = year_of_era + era * 400 + (month <= 2 ? 1 : 0);
    char text[128];
    std::snprintf(text, sizeof text, "%04lld-%02lld-%02lld %02lld:%02lld:%02lld UTC", static_cast<long long>(year),
                  static_cast<long long>(month), static_cast<long long>(day), static_cast<long long>(rest / 3600),
                  static_cast<long long>(rest / 60 % 60), static_cast<long long>(rest % 60));
    return text;
}

std::optional<entry_fields> fields_of_entry(ext_volume& source, uint32_t inode_number)
{
    std::optional<ext_inode> inode = named_inode(source, inode_number);
    if (!inode || !inode->well_formed())
        return std::nullopt;
    std::shared_ptr<const owner_names> names = names_of_owners(source);
    entry_fields fields;
    fields.uid = inode->i_uid;
    fields.gid = inode->i_gid;
    fields.owner = owner_name(names->users, inode->i_uid);
    fields.group = owner_name(names->groups, inode->i_gid);
    fields.permissions = permission_text(inode->i_mode);
    fields.inode = inode_number;
    fields.links = inode->i_links_count;
    fields.changed = inode->change_time;
    fields.modified = inode->modification_time;
    fields.accessed = inode->access_time;
    if (inode->has_creation_time)
        fields.created = inode->creation_time;
    fields.allocated = allocated_bytes(*inode, *source.volume_info);
    fields.size = inode->size();
    std::string target;
    if (is_symlink(*inode) && read_link_target(source, *inode, target))
        fields.link_target = std::move(target);
    return fields;
}

volume_fields fields_of_volume(const ext2_volume_info& volume)
{
    const ext_superblock& sb = volume.superblock;
    volume_fields fields;
    bool beyond_ext3 = (sb.s_feature_incompat & ~ext3_incompat) != 0 || (sb.s_feature_ro_compat & ~ext3_ro_compat) != 0;
    fields.file_system = beyond_ext3 ? "ext4" : (sb.s_feature_compat & compat_has_journal) ? "ext3" : "ext2";
    for (uint8_t byte : sb.s_volume_name) {
        if (byte == 0)
            break;
        fields.label += static_cast<char>(byte);
    }
    char uuid[40];
    const uint8_t* u = sb.s_uuid.data();
    std::snprintf(uuid, sizeof uuid, "%02x%02x%02x%02x-%02x%02x-%02x%02x-%02x%02x-%02x%02x%02x%02x%02x%02x", u[0],
                  u[1], u[2], u[3], u[4], u[5], u[6], u[7], u[8], u[9], u[10], u[11], u[12], u[13], u[14], u[15]);
    fields.uuid = uuid;
    fields.size = volume.blocks_count * volume.block_size;
    uint64_t free_blocks = sb.s_free_blocks_count_lo;
    if (sb.s_feature_incompat & incompat_64bit)
        free_blocks |= static_cast<uint64_t>(sb.s_free_blocks_count_hi) << 32;
    fields.free_space = std::min(free_blocks, volume.blocks_count) * volume.block_size;
    if (volume.journal_needed_recovery)
        fields.state = volume.journal_recovery.complete()
                           ? "recovered from its journal"
                           : "not cleanly unmounted (its journal could not be replayed in whole)";
    else
        fields.state = (sb.s_state & state_valid) ? "clean" : "not cleanly unmounted";
    if (sb.s_state & state_errors)
        fields.state += ", errors found";
    return fields;
}

std::string properties_text(const plugin_context& context, const std::string& path, const located_entry& entry)
{
    std::string text;
    if (entry.root) {
        text += "Volumes shown:\n";
        if (context.volumes.empty())
            text += "  none\n";
        for (const shown_volume& shown : context.volumes) {
            volume_fields volume = fields_of_volume(*shown.volume->volume_info);
            text += "  " + shown.name + ": " + volume.file_system + ", " + byte_text(volume.size) + ", " +
                    volume.state + (volume.label.empty() ? "" : ", label \"" + volume.label + "\"") + '\n';
        }
        if (!context.storage_notices.empty() || !context.unmounted.empty())
            text += "Not shown:\n";
        for (const std::string& notice : context.storage_notices)
            text += "  " + notice + '\n';
        for (const std::string& reason : context.unmounted_reasons)
            text += "  " + reason + '\n';
        return text;
    }
    const shown_volume& shown = context.volumes[static_cast<size_t>(entry.volume_index)];
    if (entry.volume_folder) {
        add_line(text, "Volume", shown.name);
        add_volume_lines(text, fields_of_volume(*shown.volume->volume_info));
    } else {
        add_line(text, "Path", path);
    }
    std::optional<entry_fields> fields = fields_of_entry(*shown.volume, entry.inode_number);
    if (!fields) {
        add_line(text, "Inode", std::to_string(entry.inode_number) + " (cannot be read)");
        return text;
    }
    std::optional<ext_inode> inode = get_inode(*shown.volume, entry.inode_number);
    add_line(text, "Type", inode ? type_name(inode->i_mode) : "unknown");
    add_line(text, "Size", byte_text(fields->size));
    add_line(text, "Allocated", byte_text(fields->allocated));
    add_line(text, "Owner", with_id(fields->owner, fields->uid));
    add_line(text, "Group", with_id(fields->group, fields->gid));
    char octal[16];
    std::snprintf(octal, sizeof octal, "%04o", inode ? inode->i_mode & 07777u : 0u);
    add_line(text, "Permissions", fields->permissions + " (" + octal + ")");
    add_line(text, "Inode", std::to_string(fields->inode));
    add_line(text, "Links", std::to_string(fields->links));
    if (fields->link_target)
        add_line(text, "Link target", *fields->link_target);
    add_line(text, "Modified", time_text(fields->modified));
    add_line(text, "Changed", time_text(fields->changed));
    add_line(text, "Accessed", time_text(fields->accessed));
    add_line(text, "Created", fields->created ? time_text(*fields->created) : "not recorded");
    return text;
}
