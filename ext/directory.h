// Directory reading: every record of a directory inode's blocks, in on-disk order.
#pragma once

#include <cstdint>
#include <vector>

class partition_linux_ext2;

inline constexpr uint8_t file_type_regular = 1;
inline constexpr uint8_t file_type_directory = 2;
inline constexpr uint8_t file_type_symlink = 7;

// One directory record: 8 bytes of head and up to 255 name bytes, kept NUL-terminated (264 bytes).
struct dir_entry {
    uint32_t inode = 0;  // 0: the record names nothing
    uint16_t rec_len = 0;
    uint8_t name_len = 0;
    uint8_t file_type = 0;
    char name[256] = {};  // name_len bytes of UTF-8, then NUL
};
static_assert(sizeof(dir_entry) == 264);

using dir_listing = std::vector<dir_entry>;

// Reads every record of the directory, block after block, with no filtering ("." and "..", and records of
// inode 0, included). A hole block is passed over; a record whose length is below 8, too short for its name or
// running past its block ends that block. False, with the listing empty, when the inode or a block cannot be
// read or mapped.
bool read_directory(partition_linux_ext2& source, uint32_t inode_number, dir_listing& listing);
