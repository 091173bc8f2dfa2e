// Inode access: the fields of an on-disk inode, and the process-wide cache of inode-table pieces.
#pragma once

#include "ext/xattr.h"

#include <array>
#include <cstdint>
#include <optional>
#include <vector>

struct ext_volume;

inline constexpr uint32_t root_directory_inode = 2;
// The first inode that is not reserved: s_first_ino of every volume mke2fs makes, and the least Linux mounts.
inline constexpr uint32_t first_ordinary_inode = 11;

// Whether a directory record's inode may be opened through its name: the root folder's, or an ordinary inode. The
// kernel refuses a name that leads to any other reserved inode (the journal's, the resize inode, ...) as corruption
// (ext4_lookup, ext4_valid_inum); readdir still lists it, and so does a listing here, as an entry that does not open.
inline bool record_inode_openable(uint32_t inode)
{
    return inode == root_directory_inode || inode >= first_ordinary_inode;
}
inline constexpr uint32_t inode_flag_extents = 0x80000;
// The content lies in the inode itself: i_block, then the system.data attribute (ext/inline_data.h).
inline constexpr uint32_t inode_flag_inline_data = 0x10000000;
// Content no reader can turn back into the file's bytes: encrypted (the key is not ours). The compression flags
// are not among them. ext4 has no compression: it keeps the 0x4 "compress" attribute (chattr +c) and reports the
// 0x200 "compressed clusters" flag, but no path of fs/ext4 reads either, so a file or folder carrying them is read
// as it lies on disk, and e2fsck no longer looks at them. Clusters really compressed (by the out-of-tree e2compr
// patches) come with the compression incompatible feature, which keeps the volume from mounting at all.
inline constexpr uint32_t inode_flag_encrypted = 0x800;
// i_blocks counts volume blocks, not 512-byte sectors (only on a volume with the huge_file feature).
inline constexpr uint32_t inode_flag_huge_file = 0x40000;
// The first 128 bytes of every inode; i_extra_isize, at offset 128, counts the fields after them.
inline constexpr uint32_t good_old_inode_size = 128;
inline constexpr uint16_t mode_type_mask = 0xF000;
inline constexpr uint16_t mode_regular = 0x8000;
inline constexpr uint16_t mode_directory = 0x4000;
inline constexpr uint16_t mode_symlink = 0xA000;
// The other types a mode can name: FIFO, character and block device, socket.
inline constexpr uint16_t mode_fifo = 0x1000;
inline constexpr uint16_t mode_character_device = 0x2000;
inline constexpr uint16_t mode_block_device = 0x6000;
inline constexpr uint16_t mode_socket = 0xC000;
// Inode tables are cached in pieces: an aligned 64 KiB of a group's table (or the table's rest), so that a walk
// over neighbouring inodes costs one request per piece, and no access ever reads a whole multi-megabyte table.
inline constexpr uint32_t inode_table_piece_bytes = 64u << 10;
// The pieces of every partition share one least-recently-used cache of at most this many bytes (each piece
// charged its length plus a fixed bookkeeping cost), whatever the number and size of the volumes: 8 MiB is 128
// pieces of 256 inodes of 256 bytes, enough for a listing's sizes and a copy's walk to hit, and a small part of the
// plugin's memory bound (see ext/folder_cache.h).
inline constexpr size_t inode_cache_budget = 8u << 20;

// A time of an inode: seconds since 1970 (with the epoch bits of a large inode's extra field, 1901 to 2446) and
// nanoseconds (0 where the inode has no extra field).
struct inode_time {
    int64_t seconds = 0;
    uint32_t nanoseconds = 0;
};

// The inode fields the reader uses, converted from the on-disk inode.
struct ext_inode {
    uint32_t number = 0;  // the inode's number, as get_inode gives it; 0 for an inode made up elsewhere
    uint16_t i_mode = 0;
    uint32_t i_uid = 0;  // owner: the low 16 bits, with the high 16 of the Linux-specific field above them
    uint32_t i_gid = 0;  // group, likewise
    uint16_t i_links_count = 0;
    // Space allocated: i_blocks_lo, with l_i_blocks_high above it; what unit it counts (512-byte sectors, or
    // blocks under the huge-file flag) and whether the high word counts at all depend on the volume (see
    // allocated_bytes in plugin/entry_fields.h).
    uint64_t i_blocks = 0;
    uint32_t i_size_lo = 0;
    uint32_t i_flags = 0;
    std::array<uint8_t, 60> i_block{};  // 15 block numbers, or the root node of an extent tree
    uint32_t i_size_high = 0;
    inode_time access_time;
    inode_time change_time;
    inode_time modification_time;
    inode_time creation_time;
    bool has_creation_time = false;  // only a large inode whose extra space reaches i_crtime has one
    // The in-inode extended-attribute area (after 128 + i_extra_isize, to the end of the on-disk inode), copied
    // for inline-data inodes only; empty for every other inode, and where the extra size leaves no area.
    std::vector<uint8_t> attribute_area;
    // Linux refuses the inode (ext4_iget): its i_extra_isize is not whole words or reaches past the inode, or its
    // attribute area fails the checks of ibody_xattrs_sound. Its fields are listed, but its content is not read.
    bool attributes_damaged = false;

    uint64_t size() const { return (static_cast<uint64_t>(i_size_high) << 32) | i_size_lo; }
    bool has_inline_data() const { return (i_flags & inode_flag_inline_data) != 0; }
    bool content_readable() const { return (i_flags & inode_flag_encrypted) == 0; }
    bool uses_extents() const { return (i_flags & inode_flag_extents) != 0; }
    bool is_regular() const { return (i_mode & mode_type_mask) == mode_regular; }
    bool is_directory() const { return (i_mode & mode_type_mask) == mode_directory; }
    // An inode the kernel loads at all (__ext4_iget): its mode names one of the seven file types (a zeroed or
    // never-used inode has mode 0), and it does not claim both inline data and an extent tree. Nothing else of an
    // inode that fails this can be trusted: it is neither listed as a folder nor opened.
    bool well_formed() const;
    // An inode a name may lead to: the kernel refuses one whose link count is 0 as deleted (__ext4_iget, ESTALE),
    // and e2fsck clears a name that leads to it. Its content may already belong to another file.
    bool linked() const { return i_links_count != 0; }
};

// Parses an on-disk inode of inode_size bytes (128 or more); the extra fields of a large inode are read only as far
// as both inode_size and its i_extra_isize reach. The attribute area is checked under the volume's rules.
ext_inode parse_inode(const uint8_t* bytes, uint32_t inode_size, const xattr_rules& rules);

// Inode n of a mounted partition, as a copy: as the volume's fast commits replayed it, else from the piece of its
// group's inode table that holds it, which is read on a miss and kept in the cache. Nothing for inode 0, a number
// beyond the volume's inodes, an unmounted partition, a table outside the volume or a failed read. Safe to call
// from several threads at once. Its size is the one the kernel reads (ext4_isize): i_size_high counts for a regular
// file, and for other inodes only on a volume with the largedir feature; elsewhere the word (a folder's i_dir_acl in
// older revisions) is left out, and reads 0.
std::optional<ext_inode> get_inode(ext_volume& source, uint32_t n);

// The on-disk bytes of inode n (inode_size of them, into target) through the same cache, before any fast commit:
// what the fast-commit replay starts from. False as get_inode.
bool read_inode_bytes(ext_volume& source, uint32_t n, uint8_t* target);

// Drops every cached piece of the partition's inode tables (for a partition that goes away).
void forget_inode_tables(const ext_volume& source);

// Bytes the cache holds now, as charged against its budget.
size_t inode_cache_bytes();

// Sets the cache's budget, dropping pieces until it holds; returns the previous budget. For tests, to put the cache
// under pressure; the plugin runs with inode_cache_budget.
size_t set_inode_cache_budget(size_t bytes);
