// Inline data: the system.data attribute found in the in-inode attribute area, and the content it completes.
#include "ext/inline_data.h"

#include "disk/byte_order.h"

#include <algorithm>
#include <new>

namespace {

constexpr uint32_t ibody_magic = 0xEA020000;
constexpr size_t ibody_header = 4;  // the magic; entries follow it
constexpr size_t entry_head = 16;   // name length, name index, value offset, value inode, value size, hash
constexpr uint8_t name_index_system = 7;
constexpr char data_name[] = {'d', 'a', 't', 'a'};

}  // namespace

bool find_system_data(const uint8_t* area, size_t area_size, size_t& value_offset, size_t& value_size)
{
    if (area_size < ibody_header + 4 || read_le32(area, 0) != ibody_magic)
        return false;
    // Values are placed from the first entry on, and every entry is at least 16 bytes: the walk ends within
    // area_size / 16 entries.
    const uint8_t* first = area + ibody_header;
    const size_t space = area_size - ibody_header;
    size_t offset = 0;
    while (space - offset >= 4 && read_le32(first, offset) != 0) {
        if (space - offset < entry_head)
            return false;
        const uint8_t* entry = first + offset;
        uint8_t name_len = entry[0];
        size_t length = (entry_head + name_len + 3) & ~size_t{3};
        if (length > space - offset)
            return false;
        if (entry[1] == name_index_system && name_len == sizeof data_name &&
            std::equal(data_name, data_name + sizeof data_name, entry + entry_head)) {
            uint16_t offs = read_le16(entry, 2);
            uint32_t inum = read_le32(entry, 4);
            uint32_t size = read_le32(entry, 8);
            if (inum != 0 || offs > space || size > space - offs)
                return false;
            value_offset = ibody_header + offs;
            value_size = size;
            return true;
        }
        offset += length;
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
