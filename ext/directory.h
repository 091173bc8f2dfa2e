// Directory reading: every record of a directory inode's blocks into a compact listing, and lookups of one name.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

struct ext_volume;
struct ext_inode;

// The file types of directory records. A record's type byte is only a hint the kernel passes on to readdir: what
// an entry is, and whether it opens as a folder, is what its inode's mode says (inode_file_type).
inline constexpr uint8_t file_type_unknown = 0;
inline constexpr uint8_t file_type_regular = 1;
inline constexpr uint8_t file_type_directory = 2;
inline constexpr uint8_t file_type_character_device = 3;
inline constexpr uint8_t file_type_block_device = 4;
inline constexpr uint8_t file_type_fifo = 5;
inline constexpr uint8_t file_type_socket = 6;
inline constexpr uint8_t file_type_symlink = 7;

// The file type an inode's mode gives; file_type_unknown for an inode that is not well formed (a zeroed inode,
// a mode of no type), which no lookup opens and no listing shows as a folder.
uint8_t inode_file_type(const ext_inode& inode);

// One directory record of a listing: its head, with its name kept in the listing's name buffer.
struct dir_entry {
    uint32_t inode = 0;        // 0: the record names nothing
    uint32_t name_offset = 0;  // where the name starts in the listing's names
    uint16_t rec_len = 0;      // as on disk
    uint8_t name_len = 0;
    uint8_t file_type = 0;     // the record's type byte, as on disk
};
static_assert(sizeof(dir_entry) == 12);

// The records of one directory in on-disk order, their names back to back in one buffer, and two indexes of the
// records that name an inode: by name (records of one name in on-disk order), for lookups; and by inode number
// (records of one inode in on-disk order), the order a listing is handed out in. A walk over a folder in hash order
// would read its inodes, and then the files' data, all over the disk: a folder of 100,000 files spans 25 MiB of
// inode table, far more than the inode cache keeps. By inode number, each piece of the table is read once, and as
// files are mostly allocated along with their inodes, their data is read the way it lies on disk too.
struct dir_listing {
    std::vector<dir_entry> entries;
    std::string names;
    std::vector<uint32_t> by_name;   // positions in entries
    std::vector<uint32_t> by_inode;  // positions in entries
};

inline std::string_view entry_name(const dir_listing& listing, const dir_entry& entry)
{
    return std::string_view(listing.names).substr(entry.name_offset, entry.name_len);
}

// A directory is read only up to these bounds, whatever its inode and blocks say. A record takes 12 bytes in a
// listing, 4 more in each index, and its name; the caps hold a finished listing to 6 + 2 + 2 + 24 = 34 MiB. Real directories
// stay far below them: half a million entries is already more than a file manager's panel can usefully show, and
// 24 MiB of names is 48 bytes for each of them. The block cap bounds the walk over the directory's blocks, holes
// included (a crafted size makes that walk long while adding no records): an ext4 directory stops at 2^31 bytes,
// and one of 2^20 blocks filled even a quarter would hold more records than the cap.
inline constexpr size_t max_directory_records = 1u << 19;
inline constexpr size_t max_directory_name_bytes = 24u << 20;
inline constexpr uint64_t max_directory_blocks = 1u << 20;

// Every record is checked as the kernel checks each one it reads (ext4_check_dir_entry): its length a multiple of
// 4, at least 12 and the room its name needs (8 bytes and the name, rounded up to 4), within its block and leaving
// either nothing or room for another record after it; its inode number within the volume's inodes. The kernel
// reports a record that fails as corruption and reads nothing more of that block.
//
// A directory's blocks are read as they lie on disk, the blocks of an unwritten extent too: the kernel maps a
// folder's blocks and reads them whatever the extent's state (ext4_bread), as an unwritten extent only means
// zeros to a file's reads. A hole block is passed over, as the kernel's readdir does.

// Reads every record of the directory, block after block, with no filtering ("." and "..", and records of
// inode 0, included), and builds the name index. False, with the listing empty, when the inode is not a well-formed
// directory whose content can be read, a block cannot be read or mapped, a record fails its checks (where the
// kernel's readdir drops the rest of that block, a listing without it would be a wrong one), or the directory is
// larger than the bounds above.
bool read_directory(ext_volume& source, uint32_t inode_number, dir_listing& listing);

// The first record of a listing that names an inode and whose name is exactly the given bytes, or null.
const dir_entry* find_in_listing(const dir_listing& listing, const char* name, size_t length);

enum class lookup_result { found, missing, failed };

// What a directory record names.
struct entry_match {
    uint32_t inode = 0;
    uint8_t file_type = 0;
};

// Looks for the first record of the directory that names an inode and whose name is exactly the given bytes,
// reading the directory's blocks in order only until it is found. Records of inode 0 (deleted entries) never
// match. As in the kernel's lookup, a block holding a record that fails its checks is searched up to that record,
// and the blocks after it still are; but a name found nowhere is then failed, not missing, as it may have been in
// the part that could not be read. failed as well when the inode is not a well-formed directory whose content can
// be read, a block read before the name cannot be read or mapped, or the directory is larger than the bounds above.
lookup_result lookup_entry(ext_volume& source, uint32_t directory, const char* name, size_t length,
                           entry_match& result);
