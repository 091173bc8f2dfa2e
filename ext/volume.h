// ext volume mount: the superblock, the volume geometry derived from it, and the group descriptor table.
#pragma once

#include "disk/physical_disk.h"
#include "ext/journal.h"

#include <cstdint>
#include <vector>

class partition_linux_ext2;

inline constexpr uint16_t ext_magic = 0xEF53;
inline constexpr uint32_t incompat_meta_bg = 0x10;
inline constexpr uint32_t incompat_64bit = 0x80;
inline constexpr uint32_t ro_compat_sparse_super = 0x1;

// The superblock fields the reader uses, converted from the 1024 on-disk bytes.
struct ext_superblock {
    uint32_t s_inodes_count = 0;
    uint32_t s_blocks_count_lo = 0;
    uint32_t s_blocks_count_hi = 0;  // meaningful only with the 64-bit feature
    uint32_t s_first_data_block = 0;
    uint32_t s_log_block_size = 0;
    uint32_t s_blocks_per_group = 0;
    uint32_t s_inodes_per_group = 0;
    uint16_t s_magic = 0;
    uint16_t s_inode_size = 0;
    uint32_t s_feature_incompat = 0;
    uint32_t s_feature_ro_compat = 0;
    uint16_t s_desc_size = 0;
    uint32_t s_first_meta_bg = 0;
    uint32_t s_feature_compat = 0;
    uint32_t s_journal_inum = 0;  // the inode of an internal journal; 0 when the journal is on another device
};

ext_superblock parse_superblock(const uint8_t* bytes);

// The fields of one group descriptor the reader uses.
struct group_descriptor {
    uint64_t inode_table = 0;  // first block of the group's inode table
};

// One per mounted partition, owned by the partition.
struct ext2_volume_info {
    uint32_t desc_size = 0;  // bytes per on-disk descriptor
    uint32_t inodes_per_group = 0;
    uint32_t desc_table_blocks = 0;
    uint32_t descs_per_block = 0;
    uint32_t group_count = 0;
    ext_superblock superblock;
    std::vector<group_descriptor> descriptors;  // per group

    // Geometry derived once from the superblock.
    uint32_t block_size = 0;         // 1024 << s_log_block_size
    uint32_t sectors_per_block = 0;  // block_size / sector size, at least 1 on a mounted volume
    uint32_t inode_size = 0;         // s_inode_size, 128 where the superblock says 0
    uint64_t blocks_count = 0;       // with the high word where the 64-bit feature is set

    // Blocks that committed transactions of the journal give new contents, for a volume whose journal needs
    // recovery; empty otherwise. Built by the mount and never changed afterwards.
    replay_map replay;
};

// Mounts the partition once: true when it is mounted afterwards. A partition that already has volume info is not
// read again. On failure the partition keeps no volume info and nothing of the attempt is left.
bool mount_volume(partition_linux_ext2& target);

bool is_mounted(const partition_linux_ext2& target);

// Reads the descriptor table into the volume info's descriptors: in one request where the table follows the
// superblock, block by block where meta_bg spreads it over the groups.
bool load_group_descriptors(partition_linux_ext2& target);

// True when count blocks starting at block lie inside the volume.
bool blocks_in_volume(const ext2_volume_info& volume, uint64_t block, uint64_t count);
