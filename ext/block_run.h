// Runs of logical blocks: what a stretch of an inode's content is and where it lies on the volume.
#pragma once

#include <cstdint>

// What a run of logical blocks is: volume blocks holding data, a hole (zeros, nothing on disk), or an extent that
// is allocated but not yet written (zeros as well).
enum class run_kind { data, hole, unwritten };

struct block_run {
    uint64_t physical = 0;  // data and unwritten: the volume block of the run's first logical block
    uint32_t length = 0;    // blocks in the run, at least 1 on success
    run_kind kind = run_kind::hole;
};

// The most logical blocks an inode can have: logical block numbers are 32 bits wide.
inline constexpr uint64_t logical_block_limit = uint64_t{1} << 32;

// A run length of up to span blocks from logical, kept within 32 bits and below logical_block_limit.
inline uint32_t clamp_run_length(uint32_t logical, uint64_t span)
{
    uint64_t room = logical_block_limit - logical;
    uint64_t length = span < room ? span : room;
    return length > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(length);
}
