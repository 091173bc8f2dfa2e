// In-inode extended attributes: the checks Linux makes of an inode's attribute area before it uses any of it.
#pragma once

#include <cstddef>
#include <cstdint>

// The area's first four bytes when it holds attributes.
inline constexpr uint32_t xattr_magic = 0xEA020000;
// What the checks need to know of the volume: whether a value may live in an inode of its own (the ea_inode
// feature), and how many inodes the volume has.
struct xattr_rules {
    bool ea_inode = false;
    uint32_t inodes_count = 0;
};

// The attribute area of an inode (the bytes from 128 + i_extra_isize to the end of the on-disk inode), as Linux's
// check_xattrs (fs/ext4/xattr.c) takes it: true when it holds no attributes (no magic, or less than the 8 bytes a
// magic and an end marker need), or when the entry table ends (four zero bytes) inside it, no name holds a NUL, and
// every value held in the area starts after the end marker and, padded to 4 bytes, ends inside it. With rules, a
// value kept in an inode of its own must be allowed by the volume: ea_inode set, a number of an ordinary inode
// from 11 on (s_first_ino of every volume mke2fs makes) within inodes_count, a size other than 0. Without rules those numbers are not looked at (the
// caller checked them). Values of at most 16 MiB. At most area_size / 16 entries are walked.
bool ibody_xattrs_sound(const uint8_t* area, size_t area_size, const xattr_rules* rules);
