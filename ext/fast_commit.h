// Fast commits: the tag log that ext4 keeps in the journal's fast-commit area, checked as the kernel's recovery
// scan checks it and replayed in memory into an overlay that inode reads, file maps and folder reads consult.
#pragma once

#include "ext/block_run.h"
#include "ext/journal.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <unordered_map>
#include <vector>

struct ext_volume;
struct ext2_volume_info;

// The ext4 superblock's compatible feature of fast commits. Recovery does not depend on it, as in the kernel: the
// journal's own feature (journal_incompat_fast_commit) says whether its last blocks are a fast-commit area.
inline constexpr uint32_t compat_fast_commit = 0x400;

// Tags of the fast-commit log (a 16-bit tag and a 16-bit value length, little-endian, then the value).
inline constexpr uint16_t fc_tag_add_range = 1;  // inode, then an extent as stored in a leaf (12 bytes)
inline constexpr uint16_t fc_tag_del_range = 2;  // inode, first logical block, block count
inline constexpr uint16_t fc_tag_creat = 3;      // parent, inode, name: the inode is new
inline constexpr uint16_t fc_tag_link = 4;       // parent, inode, name
inline constexpr uint16_t fc_tag_unlink = 5;     // parent, inode, name
inline constexpr uint16_t fc_tag_inode = 6;      // inode, then its on-disk bytes (128 up to the inode size)
inline constexpr uint16_t fc_tag_pad = 7;        // filler to the end of a block
inline constexpr uint16_t fc_tag_tail = 8;       // transaction, then the CRC of the tags since the previous tail
inline constexpr uint16_t fc_tag_head = 9;       // features, transaction: the first tag of the area

// The kernel writes fast commits into num_fc_blks blocks at the journal's end (256 when the superblock says 0) and
// recovery reads them until the log stops; a longer area is read only this far, and a log that has not stopped
// by then is not applied. mke2fs gives a journal of 1 GiB, the largest it makes unasked, 4096 of them.
inline constexpr uint32_t max_fast_commit_blocks = 4096;
// A log of more tags than this is not applied (a full area of 4096 blocks of 4 KiB holds about this many
// inode tags).
inline constexpr size_t max_fast_commit_tags = size_t{1} << 16;
// All the overlays of the process together take at most this many bytes (as estimated by the replay: an inode
// copy, a range or a name, each with its bookkeeping); a further volume whose fast commits would take more shows
// its changes as not applied.
inline constexpr size_t fast_commit_overlay_budget = size_t{8} << 20;

// The area as recovery walks it: blocks blocks, read through read with n counted from the area's first block.
struct fast_commit_area {
    uint32_t block_size = 0;
    uint32_t blocks = 0;
    uint32_t expected_tid = 0;  // the transaction the regular log expects next
    uint32_t inode_size = 0;    // the longest inode copy an inode tag may carry
    journal_block_reader read;
};

// One tag of the log; value points into the block being walked.
struct fast_commit_tag {
    uint16_t tag = 0;
    uint16_t length = 0;
    const uint8_t* value = nullptr;
};

enum class fast_commit_scan {
    nothing,   // no fast commit to replay: the area starts with no head, or with a head of another transaction
    found,     // tags counts the tags up to and including the last tail that checks out
    unusable,  // the area does not check out where the kernel's recovery fails, or it is beyond the bounds
};

struct fast_commit_count {
    fast_commit_scan result = fast_commit_scan::nothing;
    size_t tags = 0;
};

// Checks the area as the kernel's recovery scan does: the first block must start with a head of the expected
// transaction and known features; every tag must fit its block and have the length its kind allows; a tail counts
// when its transaction is the expected one and its CRC (CRC-32C from 0 over every tag since the previous tail and
// the tail's own tag and transaction) matches. The log ends at the first tag that does not check out once a tail
// has; before that, such a tag makes the area unusable, as do a read failure and a walk that reaches the area's end
// without the log ending (the kernel then reads past the journal).
fast_commit_count count_fast_commit_tags(const fast_commit_area& area);

// Hands the first count tags of the area to visit, in order (they were checked by count_fast_commit_tags). False
// when a block cannot be read or visit returns false.
bool walk_fast_commit_tags(const fast_commit_area& area, size_t count,
                           const std::function<bool(const fast_commit_tag&)>& visit);

// A stretch of an inode's logical blocks that fast commits map anew: data or unwritten from physical on, or a hole
// where they removed the blocks.
struct replayed_range {
    uint32_t length = 0;  // at least 1; logical + length stays within logical_block_limit
    uint64_t physical = 0;
    run_kind kind = run_kind::hole;
};

// By first logical block; the ranges are disjoint. They stand above the inode's own mapping.
using replayed_ranges = std::map<uint32_t, replayed_range>;

// What fast commits did to the records of one name in a folder, folded in tag order into one outcome.
struct replayed_name {
    bool replaces_disk = false;     // the name was added: no record of it in the folder's blocks stands
    std::vector<uint32_t> removed;  // otherwise: the inodes whose records of the name were removed
    uint32_t inode = 0;             // the entry added last and not removed since; 0 for none
    uint8_t file_type = 0;
};

struct replayed_folder {
    // Created by a fast commit: what its blocks hold is not its content. It has "." and ".." (to parent) and what
    // names adds, as the kernel's replay makes a new folder afresh.
    bool fresh = false;
    uint32_t parent = 0;
    std::map<std::string, replayed_name, std::less<>> names;
};

// What the fast commits of a volume change, kept beside its replay map and never changed after the mount. Its
// estimated size is counted against fast_commit_overlay_budget for as long as it is held.
struct fast_commit_overlay {
    std::unordered_map<uint32_t, std::vector<uint8_t>> inodes;  // whole on-disk inodes, as replayed
    std::unordered_map<uint32_t, replayed_ranges> ranges;
    std::unordered_map<uint32_t, replayed_folder> folders;
    size_t charged = 0;

    fast_commit_overlay() = default;
    fast_commit_overlay(const fast_commit_overlay&) = delete;
    fast_commit_overlay& operator=(const fast_commit_overlay&) = delete;
    ~fast_commit_overlay();
};

// Replays the fast commits of a mounted volume whose regular log has been laid over it (next_sequence is the
// transaction it expects next), as the kernel's recovery does after the log: the tags of the fast commits that
// check out, in order. Leaves the overlay in the volume info when there is one to apply; marks the volume's
// changes as not applied, and applies none of them, when the area does not check out, holds a change this reader
// cannot apply (ranges of a file mapped by block numbers, an inode the kernel could not read back), the journal
// cannot be read or the budget is spent.
void replay_fast_commits(ext_volume& target, uint32_t next_sequence);

// The overlay's lookups, for a volume that has one; null when fast commits left that inode, its mapping or that
// folder alone. A replayed inode is inode_size bytes.
const uint8_t* replayed_inode(const ext2_volume_info& volume, uint32_t inode);
const replayed_ranges* replayed_mapping(const ext2_volume_info& volume, uint32_t inode);
const replayed_folder* replayed_directory(const ext2_volume_info& volume, uint32_t directory);
