// The Linux fields of an entry or a volume folder (owner, permissions, inode, volume state...): found by host path,
// as columns for the host and as the text of a properties message.
#pragma once

#include "ext/inode_cache.h"
#include "plugin/plugin_context.h"
#include "plugin/shown_names.h"

#include <cstdint>
#include <optional>
#include <string>

struct ext_volume;
struct ext2_volume_info;

// The fields, in the order the host is told them (their index is the host's field index).
enum class field_id {
    owner, group, permissions, inode, links, link_target, changed, created, allocated,
    file_system, label, uuid, volume_size, free_space, state,
};
inline constexpr int field_count = 15;

struct field_info {
    const char* name;
    int type;  // ft_string, ft_numeric_32, ft_numeric_64 or ft_datetime
};
const field_info& info_of(field_id field);

// What a host path names: the root, a volume folder (with its root directory's inode) or an entry below it, the
// last component not followed when it is a link.
struct located_entry {
    bool root = false;
    int volume_index = -1;
    bool volume_folder = false;
    uint32_t inode_number = 0;
};

// Finds a UTF-8 host path; nothing when it names nothing that can be read. A walk as a listing of its folder makes:
// the folder's listing and the entry's inode come from the caches a listing fills.
std::optional<located_entry> locate_entry(const plugin_context& context, const std::string& path,
                                          const name_view& view);

// The fields of an inode. The link target is read only for a link (from the inode for a short one, else its one
// block, which following the link when it was listed read as well).
struct entry_fields {
    std::string owner;
    std::string group;
    std::string permissions;
    uint64_t inode = 0;
    uint32_t links = 0;
    std::optional<std::string> link_target;
    inode_time changed;
    std::optional<inode_time> created;
    uint64_t allocated = 0;
    uint64_t size = 0;
    inode_time modified;
    inode_time accessed;
    uint32_t uid = 0;
    uint32_t gid = 0;
};
std::optional<entry_fields> fields_of_entry(ext_volume& source, uint32_t inode_number);

// The fields of a mounted volume.
struct volume_fields {
    std::string file_system;  // ext2, ext3 or ext4, as blkid names it by its features
    std::string label;
    std::string uuid;  // 8-4-4-4-12 lower-case hex
    uint64_t size = 0;
    uint64_t free_space = 0;
    std::string state;
};
volume_fields fields_of_volume(const ext2_volume_info& volume);

// The mode as `ls -l` shows it: type letter and nine permission letters with s/S and t/T.
std::string permission_text(uint16_t mode);

// Bytes allocated to an inode: i_blocks in 512-byte sectors, or in blocks under the huge-file flag; its high word
// counts only on a volume with the huge_file feature.
uint64_t allocated_bytes(const ext_inode& inode, const ext2_volume_info& volume);

// An inode time as "YYYY-MM-DD HH:MM:SS UTC".
std::string time_text(const inode_time& time);

// The properties message for a located path: the fields one a line as "Name: value"; for the root, the volumes
// shown and the sources found that are not shown, with why.
std::string properties_text(const plugin_context& context, const std::string& path, const located_entry& entry);
