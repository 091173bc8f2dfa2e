// A volume group as its metadata text describes it: physical volumes, logical volumes and their segments, read
// from the parsed text into plain records with every count bounded.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// More physical or logical volumes in one group, segments in one logical volume, or stripes in one segment than
// these is taken as damage and the group (or the volume) is not read.
inline constexpr size_t max_vg_pvs = 1024;
inline constexpr size_t max_vg_lvs = 4096;
inline constexpr size_t max_lv_segments = 1024;
inline constexpr size_t max_lv_stripes = 128;

struct pv_record {
    std::string name;   // "pv0": what segments refer to
    std::string uuid;   // without dashes, as the PV header stores it
    uint64_t pe_start = 0;  // sectors from the start of the device to extent 0
    uint64_t pe_count = 0;
};

// An area a segment lies on: a physical volume (or, for stacked types, another logical volume) and its first
// extent there.
struct area_record {
    std::string name;
    uint64_t first_extent = 0;
};

struct segment_record {
    uint64_t start_extent = 0;
    uint64_t extent_count = 0;
    std::string type;            // "striped" for linear and striped; anything else is not read
    uint64_t stripe_size = 0;    // sectors; only with more than one stripe
    std::vector<area_record> areas;  // the stripes, for "striped"
    std::string cow_store;       // for "snapshot": the logical volume holding the copied blocks
    std::string origin;          // for "snapshot": the logical volume it is a snapshot of
};

struct lv_record {
    std::string name;
    bool visible = false;
    std::vector<segment_record> segments;  // in order of start_extent
    std::string damage;                    // why the volume's own records cannot be used; empty when they can
};

struct vg_record {
    std::string name;
    std::string id;     // without dashes
    uint64_t seqno = 0;
    uint64_t extent_size = 0;  // sectors
    std::vector<pv_record> pvs;
    std::vector<lv_record> lvs;  // in the order of the text
};

// The identifier with LVM's dashes taken out ("abc-def" -> "abcdef"), for comparing a PV header's UUID with a PV's
// id in the text.
std::string undashed(std::string_view id);

// The group the text describes: its first top-level section. Nothing, with why set, when the text does not parse,
// lacks the group's id, seqno, extent size or volume lists, or breaks a bound. A logical volume whose own records
// are damaged is kept with its damage said, so that it can be named in a notice.
std::optional<vg_record> read_vg_metadata(std::string_view text, std::string& why);
