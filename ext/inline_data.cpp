// Inline data: the system.data attribute found in the checked in-inode attribute area, and the content it completes.
#include "ext/inline_data.h"

#include "disk/byte_order.h"
#include "ext/xattr.h"

#include <algorithm>
#include <new>

namespace {

constexpr size_t ibody_header = 4;  // the magic; entries follow it
constexpr size_t entry_head = 16;   // name length, name index, value offset, value inode, value size, hash
constexpr uint8_t name_index_system = 7;
constexpr char data_name[] = {'d', 'a', 't', 'a'};

}  // namespace

bool find_system_data(const uint8_t* area, size_t area_size, size_t& value_offset, size_t& value_size)
{
    // The whole table is checked first, as Linux checks it before looking anything up; only then are its entries
    // walked, each inside the area and before the end marker.
    if (area_size < ibody_header + 4 || read_le32(area, 0) != xattr_magic ||
        !ibody_xattrs_sound(area, area_size, nullptr))
        return false;
    const uint8_t* first = area + ibody_header;
    // Every entry is at least 16 bytes: the walk ends within area_size / 16 entries.
    for (size_t offset = 0; read_le32(first, offset) != 0;
         offset += (entry_head + first[offset] + 3) & ~size_t{3}) {
        const uint8_t* entry = first + offset;
        uint8_t name_len = entry[0];
        if (entry[1] != name_index_system || name_len != sizeof data_name ||
            !std::equal(data_name, data_name + sizeof data_name, entry + entry_head))
            continue;
        // Linux refuses inline data kept in an inode of its own.
        if (read_le32(entry, 4) != 0)
            return false;
        value_offset = ibody_header + read_le16(entry, 2);
        value_size = read_le32(entry, 8);
        // A value of no bytes has no place to check; it adds nothing.
        if (value_size == 0)
            value_offset = ibody_header;
        return true;
    }
    return false;
}

bool inline_content(const std::array<uint8_t, 60>& i_block, const std::vector<uint8_t>& area,
                    std::vector<uint8_t>& content)
{
    size_t value_offset = 0;
    size_t value_size = 0;
    if (!find_system_data(area.data(), area.size(), value_offset, value_size))
        return false;
    try {
        content.assign(i_block.begin(), i_block.end());
        content.insert(content.end(), area.begin() + static_cast<std::ptrdiff_t>(value_offset),
                       area.begin() + static_cast<std::ptrdiff_t>(value_offset + value_size));
    } catch (const std::bad_alloc&) {
        content.clear();
        return false;
    }
    return true;
}
