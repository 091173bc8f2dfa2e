// Assembly: the layer between the partition tables and the file systems. From the opened drives it makes the list
// of sources that may hold a file system, each with the name Linux gives it, in the order they are shown.
#pragma once

#include "disk/block_source.h"
#include "disk/physical_disk.h"

#include <memory>
#include <string>
#include <vector>

using drive_list = std::vector<std::shared_ptr<physical_disk>>;  // element N is drive N

// The name Linux gives drive number drive ("sda"; drives 0 to 25 take one letter, from drive 26 on the letters count
// on in base 26: "sdaa" is drive 26) followed by the partition number ("sda1", "sdb5"); number 0 names the drive
// itself ("sdb"). Empty for a negative drive or number.
std::string linux_source_name(int drive, int number);

// Every partition of every drive that may hold a volume (disk/partition.h may_hold_volume), and a drive without a
// table taken whole, named as Linux names them, in drive order and then table order.
std::vector<named_source> partition_candidates(const drive_list& drives);

// The sources the file systems are probed on, in the order they are shown, and a line for each array, member or
// logical volume that is found and not shown, saying why (a snapshot, a stale mirror half, a missing physical
// volume, ...), for the user.
struct storage_assembly {
    std::vector<named_source> sources;
    std::vector<std::string> notices;
};

// The partition candidates, then the md arrays assembled from them and then the LVM logical volumes assembled from
// what is left (members and physical volumes taken out of the list).
storage_assembly assemble_sources(const drive_list& drives);

// A canonical description of where a source's bytes lie: its pieces down to the drives, each drive by the id of
// its source. Two sources with the same description read the same bytes of the same open drives, whichever
// assembly made them, so it says whether a source is unchanged across two assemblies (however many drives an
// array or a logical volume spans). Bounded as sources are (max_source_depth, max_source_segments).
std::string source_identity(const block_source& source);
