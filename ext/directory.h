// Directory reading: every record of a directory inode's blocks, in on-disk order.
#pragma once

#include <cstddef>
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

// A directory is read only up to these bounds, whatever its inode and blocks say. A record takes 264 bytes in a
// listing but can take as little as 8 on disk, so a crafted directory could make a listing 33 times its own size;
// the record cap holds one listing to 132 MiB. Real directories stay far below it: half a million entries is
// already more than a file manager's panel can usefully show. The block cap bounds the walk over the directory's
// blocks, holes included (a crafted size makes that walk long while adding no records): an ext4 directory stops
// at 2^31 bytes, and one of 2^20 blocks filled even a quarter would hold more records than the cap.
inline constexpr size_t max_directory_records = 1u << 19;
inline constexpr uint64_t max_directory_blocks = 1u << 20;

// Reads every record of the directory, block after block, with no filtering ("." and "..", and records of
// inode 0, included). A hole block is passed over; a record whose length is below 8, too short for its name or
// running past its block ends that block. False, with the listing empty, when the inode or a block cannot be
// read or mapped, or when the directory is larger than the bounds above.
bool read_directory(partition_linux_ext2& source, uint32_t inode_number, dir_listing& listing);
