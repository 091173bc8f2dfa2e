// LVM2 volume groups assembled from the physical volumes among a list of sources: each plain logical volume (linear
// or striped segments over physical volumes on any drives) becomes a block source named as Linux names it.
#pragma once

#include "disk/block_source.h"

#include <cstdint>
#include <string>
#include <vector>

struct lvm_assembly {
    std::vector<named_source> volumes;  // the logical volumes shown, in a stable order (VG name, then LV order)
    std::vector<uint64_t> claimed;      // ids of candidate sources that are physical volumes: never shown
    std::vector<std::string> notices;   // one line per volume not shown, and why (for the host's log)
};

// The name device-mapper gives a logical volume: "VG-LV", every '-' inside either name doubled ("data-my--lv").
std::string mapper_name(const std::string& vg, const std::string& lv);

// Reads the LVM label of every candidate (partitions, whole drives, md arrays), claims each that carries one,
// groups the physical volumes by volume group across all candidates (the metadata copy with the highest seqno
// wins) and builds a source for every visible logical volume made only of striped segments whose physical volumes
// are all present. Snapshots, thin, cache, mirror, RAID and VDO volumes, and volumes with a missing physical
// volume or damaged records, are not shown; each gets one notice. Never fails: damage only leaves things out.
lvm_assembly assemble_volume_groups(const std::vector<named_source>& candidates);
