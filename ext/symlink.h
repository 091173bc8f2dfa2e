// Symbolic links: the target path an ext link inode holds.
#pragma once

#include "ext/inode_cache.h"

#include <cstdint>
#include <string>

struct ext_volume;

// The longest target a link can hold: Linux refuses a path of PATH_MAX (4 096) bytes with its terminator, and a
// link's target fits in one block besides.
inline constexpr uint64_t link_target_limit = 4095;

inline bool is_symlink(const ext_inode& inode)
{
    return (inode.i_mode & mode_type_mask) == mode_symlink;
}

// Reads the target of a link inode of a mounted partition: from i_block for a fast link (under 60 bytes, no extent
// tree), from the inode's inline data, or from the first block of its content. The target ends at its size or at a
// NUL byte, whichever comes first. False when the inode is not a link, its size is 0 or beyond link_target_limit
// or its block, its content is encrypted, or the block cannot be mapped or read.
bool read_link_target(ext_volume& source, const ext_inode& inode, std::string& target);
