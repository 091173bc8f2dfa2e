// ext volume mount over a block source: the volume object that owns the mount, the superblock, the volume geometry
// derived from it, the group descriptor table, and the probes for a superblock in a source.
#pragma once

#include "disk/block_source.h"
#include "ext/block_read.h"
#include "ext/fast_commit.h"
#include "ext/journal.h"

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <vector>

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
    // A copy of the journal inode's map and size, kept for e2fsck: its 15 block words, then i_size_high and
    // i_size. Meaningful when s_jnl_backup_type is journal_backup_blocks.
    std::array<uint32_t, 17> s_jnl_blocks{};
    uint8_t s_jnl_backup_type = 0;
    // What the volume's properties show; nothing the reader relies on. The free count is the one the superblock
    // was last written with (Linux updates it lazily), the state's bits are state_valid and state_errors.
    uint32_t s_free_blocks_count_lo = 0;
    uint32_t s_free_blocks_count_hi = 0;  // meaningful only with the 64-bit feature
    uint16_t s_state = 0;
    std::array<uint8_t, 16> s_uuid{};
    std::array<uint8_t, 16> s_volume_name{};  // the label: up to 16 bytes, NUL-padded
};

// s_state: unmounted cleanly; errors were detected.
inline constexpr uint16_t state_valid = 0x1;
inline constexpr uint16_t state_errors = 0x2;

inline constexpr uint8_t journal_backup_blocks = 1;

ext_superblock parse_superblock(const uint8_t* bytes);

// The fields of one group descriptor the reader uses.
struct group_descriptor {
    uint64_t inode_table = 0;  // first block of the group's inode table
};

// One per mounted volume, owned by its ext_volume. The block geometry (block size, block count, replay map) is the
// part that whole-block reads use.
struct ext2_volume_info : block_geometry {
    uint32_t desc_size = 0;  // bytes per on-disk descriptor
    uint32_t inodes_per_group = 0;
    uint32_t desc_table_blocks = 0;
    uint32_t descs_per_block = 0;
    uint32_t group_count = 0;
    ext_superblock superblock;
    std::vector<group_descriptor> descriptors;  // per group

    // Geometry derived once from the superblock (block_size and blocks_count with it, in block_geometry).
    uint32_t sectors_per_block = 0;  // block_size / the source's sector size, at least 1 on a mounted volume
    uint32_t inode_size = 0;         // s_inode_size, 128 where the superblock says 0
    uint32_t blocks_per_cluster = 1;  // above 1 only with bigalloc
    // The block of group 1's superblock copy when the volume is read through it (its primary superblock is gone);
    // 0 when it is read through the primary.
    uint64_t backup_superblock_block = 0;

    // The superblock said that the journal needs recovery (the volume was not cleanly unmounted), and what the
    // mount could not apply of it. Set by the mount and never changed afterwards.
    bool journal_needed_recovery = false;
    journal_outcome journal_recovery;
    // Set by whoever first tells the user that the recovery is incomplete, so that it is told once per mount.
    mutable std::atomic<bool> journal_recovery_told{false};
    // What the fast commits after the regular log change (inodes, mappings, folder entries), when there are any
    // the mount applied; null otherwise. Built by the mount and never changed afterwards.
    std::unique_ptr<const fast_commit_overlay> fast_commits;
};

// True when the volume's journal needed recovery and not all of it could be applied: the volume shows an older
// state than the one Linux would show after recovery, or e2fsck would leave.
inline bool journal_recovery_incomplete(const ext2_volume_info& volume)
{
    return volume.journal_needed_recovery && !volume.journal_recovery.complete();
}

// An ext volume over a block source: what the file system owns of its mount. Made unmounted over a source (a
// partition, a whole drive, an array, a logical volume), mounted once by mount_volume, and read by every ext
// function through its source alone.
struct ext_volume {
    source_ref source;  // what the volume reads; null only in a volume that is never mounted
    // Keys this volume's entries in the process-wide caches. Unique for the process's life, so that entries left by
    // a volume that is gone can never answer for a new one over the same bytes.
    uint64_t cache_id = new_source_id();
    std::unique_ptr<ext2_volume_info> volume_info;  // null until mounted
};

// A volume over the source, not yet mounted; null for a null source.
std::unique_ptr<ext_volume> make_ext_volume(source_ref source);

// Reads count consecutive blocks of a mounted volume from block on into target, which holds count whole blocks; a
// block that the replay map holds reads as the journal's copy. False when any lies outside the volume or its
// source, the request exceeds 32 bits of bytes, or a read fails.
inline bool read_volume_blocks(const ext_volume& source, uint64_t block, uint32_t count, uint8_t* target)
{
    return read_geometry_blocks(*source.source, *source.volume_info, block, count, target);
}

// As read_volume_blocks, into a new buffer allocated once the request has passed its checks; null on failure.
inline block_buffer read_blocks(const ext_volume& source, uint64_t block, uint32_t count)
{
    return read_geometry_blocks(*source.source, *source.volume_info, block, count);
}

// Reads one whole block of the volume; null for a block outside the volume or a failed read.
inline block_buffer read_block(const ext_volume& source, uint64_t block)
{
    return read_blocks(source, block, 1);
}

// Reads count consecutive blocks from block on into target in one request to the source (plus one per block the
// journal replaces).
inline bool read_blocks_into(const ext_volume& source, uint64_t block, uint32_t count, uint8_t* target)
{
    return read_volume_blocks(source, block, count, target);
}

// True when the source holds the ext magic where a primary superblock would be (byte 1024 + 56). A probe only:
// the mount checks the superblock.
bool holds_ext_superblock(const block_source& source);

// True when the source's start carries no other file system's signature (disk/fs_signatures.h) and a superblock
// copy that says it is group 1's lies where mke2fs puts it for one of the block sizes (group1_superblock_block): a
// volume whose primary superblock is gone. A probe only, as above.
bool holds_ext_superblock_copy(const block_source& source);

// Mounts the volume once: true when it is mounted afterwards. A volume that already has volume info is not
// read again. On failure the volume keeps no volume info and nothing of the attempt is left.
// When the primary superblock has no ext magic or makes the geometry meaningless (not when it names a feature the
// reader refuses, nor when a read fails), the volume is read as e2fsck -b reads it: through group 1's superblock
// copy at a place mke2fs puts it (group1_superblock_block), with the descriptor table after that copy, provided the
// area's start carries no other file system's signature (disk/fs_signatures.h), the copy says it is group 1's and
// checks out, and the volume fits the source. Its journal, when it holds committed transactions, is laid over
// the blocks as e2fsck runs it for a volume opened through a copy, whose primary can no longer say whether it
// needs recovery.
bool mount_volume(ext_volume& target);

// The block of group 1's superblock copy as mke2fs places it with its default groups of 8 * block size blocks,
// for blocks of 1024 << log_block_size bytes: 8193 for 1 KiB blocks (block 0 lies before the first data block),
// 8 * block size for the others. e2fsck looks there for block sizes of 1 to 64 KiB (log 0 to 6).
uint64_t group1_superblock_block(uint32_t log_block_size);
inline constexpr uint32_t max_log_backup_block_size = 6;

// A probe of superblock bytes (at least the first 92) found at group1_superblock_block(log_block_size): the ext
// magic, that block size, a first data block and group size that put group 1 there, and s_block_group_nr 1.
bool looks_like_group1_superblock(const uint8_t* bytes, uint32_t log_block_size);

bool is_mounted(const ext_volume& target);

// Reads the descriptor table into the volume info's descriptors: in one request where the table follows the
// superblock, block by block where meta_bg spreads it over the groups.
bool load_group_descriptors(ext_volume& target);

// True when count blocks starting at block lie inside the volume.
bool blocks_in_volume(const ext2_volume_info& volume, uint64_t block, uint64_t count);

// True when count blocks (at least 1) starting at block may hold a file's data or tree nodes, as Linux's
// ext4_inode_block_valid decides: past the first data block, inside the volume, and clear of every superblock copy
// and the descriptor blocks that follow it (Linux skips the copies of groups 5 and up that are not the first of a
// flex group, for speed only: no sound volume has file blocks there). The bitmaps, inode tables and journal, which
// Linux keeps clear too, are not looked at. A call looks at the groups whose copy can reach the range: a few dozen
// at most with sparse_super, else at most the descriptor table's length in groups plus two.
bool valid_data_blocks(const ext2_volume_info& volume, uint64_t block, uint64_t count);
