// ext volume mount: the superblock, the volume geometry derived from it, and the group descriptor table.
#pragma once

#include "disk/physical_disk.h"
#include "ext/fast_commit.h"
#include "ext/journal.h"

#include <cstdint>
#include <memory>
#include <vector>

class partition_linux_ext2;

inline constexpr uint16_t ext_magic = 0xEF53;

// Incompatible features: a volume using one changes its on-disk format in a way a reader must understand, so a
// volume holding any bit outside incompat_readable is not mounted. Read-only-compatible features only matter to a
// writer, so they are not checked at all; bigalloc (clusters of blocks) is one of them.
//   filetype          directory records carry a file type byte (read; without it the type comes from the inode)
//   recover           the journal needs replaying; read with it (the journal is replayed in memory, when it
//                     checks out)
//   meta_bg           the descriptor table is spread over the groups
//   extents           files are mapped by extent trees
//   64bit             block numbers and descriptors of 64 bits
//   mmp               multiple-mount protection: a block only a writer takes, nothing for a reader
//   flex_bg           group metadata may lie in other groups; every location comes from the descriptors anyway
//   ea_inode          large extended-attribute values live in inodes of their own: a matter of xattrs only
//   csum_seed         the checksum seed lives in the superblock; checksums are not what a reader needs
//   largedir          directories beyond 2 GiB and three-level hash trees; they are read linearly anyway
//   inline_data       small files and folders kept in the inode
//   encrypt           files and names may be encrypted: mounted, and an encrypted inode is refused by itself
//   casefold          name lookups may ignore case: names are listed as stored and looked up by exact bytes
// Refused:
//   compression       blocks compressed by a scheme no released kernel reads
//   journal_dev       the volume is an external journal and holds no files
//   dirdata           directory records carry extra data after the name
// and every bit not named here.
inline constexpr uint32_t incompat_compression = 0x1;
inline constexpr uint32_t incompat_filetype = 0x2;
inline constexpr uint32_t incompat_recover = 0x4;
inline constexpr uint32_t incompat_journal_dev = 0x8;
inline constexpr uint32_t incompat_meta_bg = 0x10;
inline constexpr uint32_t incompat_extents = 0x40;
inline constexpr uint32_t incompat_64bit = 0x80;
inline constexpr uint32_t incompat_mmp = 0x100;
inline constexpr uint32_t incompat_flex_bg = 0x200;
inline constexpr uint32_t incompat_ea_inode = 0x400;
inline constexpr uint32_t incompat_dirdata = 0x1000;
inline constexpr uint32_t incompat_csum_seed = 0x2000;
inline constexpr uint32_t incompat_largedir = 0x4000;
inline constexpr uint32_t incompat_inline_data = 0x8000;
inline constexpr uint32_t incompat_encrypt = 0x10000;
inline constexpr uint32_t incompat_casefold = 0x20000;
inline constexpr uint32_t incompat_readable = incompat_filetype | incompat_recover | incompat_meta_bg |
                                              incompat_extents | incompat_64bit | incompat_mmp | incompat_flex_bg |
                                              incompat_ea_inode | incompat_csum_seed | incompat_largedir |
                                              incompat_inline_data | incompat_encrypt | incompat_casefold;

inline constexpr uint32_t ro_compat_sparse_super = 0x1;
// Blocks are allocated in clusters of 2^(s_log_cluster_size - s_log_block_size) blocks; the group's bitmaps
// count clusters, while extents and block numbers still count blocks.
inline constexpr uint32_t ro_compat_bigalloc = 0x200;

// The superblock fields the reader uses, converted from the 1024 on-disk bytes.
struct ext_superblock {
    uint32_t s_inodes_count = 0;
    uint32_t s_blocks_count_lo = 0;
    uint32_t s_blocks_count_hi = 0;  // meaningful only with the 64-bit feature
    uint32_t s_first_data_block = 0;
    uint32_t s_log_block_size = 0;
    uint32_t s_log_cluster_size = 0;  // meaningful only with bigalloc
    uint32_t s_blocks_per_group = 0;
    uint32_t s_clusters_per_group = 0;  // meaningful only with bigalloc
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
    uint32_t blocks_per_cluster = 1;  // above 1 only with bigalloc
    uint64_t blocks_count = 0;       // with the high word where the 64-bit feature is set

    // Blocks that committed transactions of the journal give new contents, for a volume whose journal needs
    // recovery; empty otherwise. Built by the mount and never changed afterwards.
    replay_map replay;
    // What the fast commits after the regular log change (inodes, mappings, folder entries), when there are any
    // the mount applied; null otherwise. Built by the mount and never changed afterwards.
    std::unique_ptr<const fast_commit_overlay> fast_commits;
    // The journal holds committed changes that the volume is shown without: fast commits the mount could not
    // apply. Set by the mount only.
    bool journal_changes_not_applied = false;
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
