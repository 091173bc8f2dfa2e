// In-inode extended attributes: the entry table and values checked as Linux checks them.
#include "ext/xattr.h"

#include "disk/byte_order.h"
#include "ext/inode_cache.h"

#include <cstring>

namespace {

constexpr size_t header_size = 4;        // the magic; the first entry follows
constexpr size_t entry_head = 16;        // name length, name index, value offset, value inode, value size, hash
constexpr size_t end_marker = 4;         // four zero bytes end the table
constexpr uint32_t max_value_size = 1u << 24;

// An entry's length in the table: its head and name, padded to 4 bytes.
size_t entry_length(uint8_t name_len)
{
    return (entry_head + name_len + 3) & ~size_t{3};
}

}  // namespace

bool ibody_xattrs_sound(const uint8_t* area, size_t area_size, const xattr_rules* rules)
{
    // Linux looks for attributes only where the magic and an end marker fit.
    if (area_size < header_size + end_marker || read_le32(area, 0) != xattr_magic)
        return true;
    const uint8_t* first = area + header_size;
    const size_t space = area_size - header_size;  // from the first entry to the area's end

    // The names: each entry, and room for the 4 bytes after it, lie inside the area. Every entry is at least 16
    // bytes, so the walk ends within space / 16 entries.
    size_t end = 0;  // offset of the end marker from the first entry
    while (read_le32(first, end) != 0) {
        uint8_t name_len = first[end];
        size_t next = end + entry_length(name_len);
        if (next > space || space - next < end_marker)
            return false;
        if (std::memchr(first + end + entry_head, 0, name_len) != nullptr)
            return false;
        end = next;
    }

    // The values: the same entries, each checked against the table's end.
    for (size_t offset = 0; offset < end; offset += entry_length(first[offset])) {
        const uint8_t* entry = first + offset;
        uint16_t value_offset = read_le16(entry, 2);
        uint32_t value_inode = read_le32(entry, 4);
        uint32_t value_size = read_le32(entry, 8);
        if (rules != nullptr && value_inode != 0 &&
            (!rules->ea_inode || value_inode < first_ordinary_inode || value_inode > rules->inodes_count ||
             value_size == 0))
            return false;
        if (value_size > max_value_size)
            return false;
        if (value_size == 0 || value_inode != 0)
            continue;
        // The value starts after the end marker, and its padded size ends inside the area.
        uint64_t padded = (uint64_t{value_size} + 3) & ~uint64_t{3};
        if (value_offset > space || value_offset < end + end_marker || padded > space - value_offset)
            return false;
    }
    return true;
}
