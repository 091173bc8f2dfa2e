// Block maps: the runs of an inode mapped by the fifteen block numbers in i_block (direct, single-, double- and
// triple-indirect blocks), walked with the indirect blocks kept while the walk stays under them.
#pragma once

#include "ext/volume.h"
#include "ext/block_run.h"
#include "ext/inode_cache.h"

#include <array>
#include <cstdint>

// An indirect block read during a walk, with the volume block it came from.
struct held_indirect_block {
    uint64_t number = 0;
    block_buffer data;  // null when nothing is held
};

// The state of one walk over a block map. held[0] is the indirect block whose entries are data blocks, held[1] the
// one above it, held[2] the triple-indirect block: at most three blocks are held at any time.
struct block_map_walk {
    ext_volume* partition = nullptr;
    std::array<uint8_t, 60> i_block{};
    uint32_t per_block = 0;  // block numbers in one indirect block
    std::array<held_indirect_block, 3> held;
};

block_map_walk open_block_map(ext_volume& source, const ext_inode& inode);

// The run that begins at logical block: consecutive entries of the direct blocks, or of one indirect block, that
// name consecutive volume blocks form one data run; zero entries, and whole indirect blocks that are absent (0),
// form hole runs. False for a number outside the volume, an unreadable indirect block, or a logical block beyond
// the triple-indirect range. Any order of calls gives right answers; an in-order walk reads each indirect block
// once.
bool block_map_run(block_map_walk& walk, uint32_t logical, block_run& run);

// The logical blocks a block map can address: 12 direct, then per_block, per_block^2 and per_block^3.
uint64_t block_map_capacity(uint32_t block_size);
