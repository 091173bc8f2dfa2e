// md arrays: gathering RAID1 members among the sources below into one block source per array, as Linux assembles
// arrays it finds without a configuration.
#pragma once

#include "disk/block_source.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// Arrays named md127 down to md0, as Linux names them; members of any array past that are claimed and not read.
inline constexpr size_t max_md_arrays = 128;
// Members of one array weighed; more with the same UUID are claimed and not read. Above 0.90's 27 descriptors and
// any mirror anyone builds, and it bounds the work one UUID can cause.
inline constexpr size_t max_md_array_members = 64;

struct md_assembly {
    std::vector<named_source> arrays;   // RAID1 arrays shown, named md127, md126, ... in the order found
    std::vector<uint64_t> claimed;      // ids of candidate sources that are md members: never shown themselves
    std::vector<std::string> notices;   // one line per array or member not used, and why (for the host's log)
};

// Reads every candidate's md superblock (md/md_superblock.h) and assembles the arrays they belong to. Members with
// the same array UUID form one array, named in the order its first member comes among the candidates. A RAID1
// array is shown over its in-sync member with the highest event count (the first of them in candidate order),
// from that member's data offset for the array's size; spare, faulty and stale members are never read, and an
// array with one member left is shown all the same. Members of any other level, and every member of an array
// that cannot be shown, are claimed with a notice. A candidate whose superblock is refused is not claimed: as
// Linux, it is no member then, and its notice says why.
md_assembly assemble_md_arrays(const std::vector<named_source>& candidates);
