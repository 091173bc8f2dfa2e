// Inode access: the fields of an on-disk inode, and the per-partition first-in first-out cache of inode tables.
#pragma once

#include <array>
#include <cstdint>
#include <optional>

class partition_linux_ext2;

inline constexpr uint32_t root_directory_inode = 2;
inline constexpr uint32_t inode_flag_extents = 0x80000;
inline constexpr uint16_t mode_type_mask = 0xF000;
inline constexpr uint16_t mode_regular = 0x8000;
inline constexpr uint16_t mode_directory = 0x4000;
// Inode tables of at most this many groups stay cached per partition; the oldest loaded goes first.
inline constexpr size_t max_cached_groups = 100;
// The cached tables of one partition also stay within this many bytes. A table is inodes_per_group * inode_size
// bytes, which a superblock can push to gigabytes; a common one (8192 inodes of 256 bytes) is 2 MiB, so the budget
// still holds all 100 of those. A table larger than the whole budget is never loaded: each of its inodes is read
// alone, with the block that holds it.
inline constexpr uint64_t max_cached_table_bytes = 256u << 20;

// The inode fields the reader uses, converted from the on-disk inode.
struct ext_inode {
    uint16_t i_mode = 0;
    uint32_t i_size_lo = 0;
    uint32_t i_flags = 0;
    std::array<uint8_t, 60> i_block{};  // 15 block numbers, or the root node of an extent tree
    uint32_t i_size_high = 0;

    uint64_t size() const { return (static_cast<uint64_t>(i_size_high) << 32) | i_size_lo; }
    bool uses_extents() const { return (i_flags & inode_flag_extents) != 0; }
    bool is_regular() const { return (i_mode & mode_type_mask) == mode_regular; }
    bool is_directory() const { return (i_mode & mode_type_mask) == mode_directory; }
};

ext_inode parse_inode(const uint8_t* bytes);

// Inode n of a mounted partition, loading its group's whole inode table on the first access to the group.
// Nothing for inode 0, a number beyond the volume's inodes, an unmounted partition or a failed read.
std::optional<ext_inode> get_inode(partition_linux_ext2& source, uint32_t n);
