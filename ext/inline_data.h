// Inline data: the content of a small file or folder kept inside its inode, in i_block and the system.data
// extended attribute of the inode's extra space.
#pragma once

#include "ext/inode_cache.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

// The part of the content that i_block holds; the rest is the system.data value.
inline constexpr size_t inline_block_bytes = 60;
// An inline folder: i_block starts with the parent's inode number, then directory records fill the rest of
// i_block and, separately, the whole system.data value.
inline constexpr size_t inline_parent_bytes = 4;

// Where the system.data value lies in an inode's in-inode attribute area: the bytes from 128 + i_extra_isize to
// the end of the on-disk inode, starting with the area's magic. The whole table is checked first, as Linux checks
// it (ibody_xattrs_sound; other entries' value inodes are the caller's to check). False when the area has no
// magic or does not check out, holds no system.data, or keeps its value in an inode of its own.
bool find_system_data(const uint8_t* area, size_t area_size, size_t& value_offset, size_t& value_size);

// The inline content: i_block's 60 bytes followed by the system.data value (at most an inode's size). False as
// find_system_data, for an inode whose attributes Linux refuses, or when memory runs out.
bool inline_content(const std::array<uint8_t, 60>& i_block, const std::vector<uint8_t>& area,
                    std::vector<uint8_t>& content);
inline bool inline_content(const ext_inode& inode, std::vector<uint8_t>& content)
{
    return !inode.attributes_damaged && inline_content(inode.i_block, inode.attribute_area, content);
}
