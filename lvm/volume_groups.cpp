// Volume groups from physical volumes: the newest metadata of each group, and a segmented source per plain volume.
#include "lvm/volume_groups.h"

#include "lvm/pv_label.h"
#include "lvm/vg_metadata.h"

#include <algorithm>
#include <limits>
#include <map>
#include <new>
#include <optional>

namespace {

constexpr uint64_t lvm_sector = 512;

// The newest copy of one group's metadata seen so far, and where it came from.
struct group_copy {
    vg_record vg;
    std::string seen_on;
};

// What a volume's segment types say about why it is not read; empty for plain striped segments.
std::string kind_not_read(const lv_record& lv)
{
    for (const segment_record& segment : lv.segments) {
        const std::string& type = segment.type;
        if (type == "striped")
            continue;
        if (type == "snapshot")
            return "a snapshot volume";
        if (type == "thin")
            return "a thin volume";
        if (type == "thin-pool")
            return "a thin pool";
        if (type == "cache" || type == "cache-pool" || type == "writecache")
            return "a cached volume";
        if (type == "mirror")
            return "a mirrored volume";
        if (type.rfind("raid", 0) == 0)
            return "a RAID volume";
        if (type == "vdo" || type == "vdo-pool")
            return "a VDO volume";
        return "a volume of segment type \"" + type.substr(0, 32) + "\"";
    }
    return {};
}

bool multiply(uint64_t a, uint64_t b, uint64_t& out)
{
    if (a != 0 && b > std::numeric_limits<uint64_t>::max() / a)
        return false;
    out = a * b;
    return true;
}

// The source of one plain volume, or an empty source with why set.
source_ref build_volume(const vg_record& vg, const lv_record& lv, const std::map<std::string, const pv_record*>& pvs,
                        const std::map<std::string, source_ref>& by_uuid, std::string& why)
{
    std::vector<source_segment> segments;
    uint32_t sector_size = 512;
    uint64_t extent_bytes = 0;
    if (!multiply(vg.extent_size, lvm_sector, extent_bytes)) {
        why = "its extent size is out of range";
        return nullptr;
    }
    for (const segment_record& record : lv.segments) {
        source_segment segment;
        uint64_t per_area = record.extent_count / record.areas.size();
        if (!multiply(record.start_extent, extent_bytes, segment.start) ||
            !multiply(record.extent_count, extent_bytes, segment.length) ||
            !multiply(record.stripe_size, lvm_sector, segment.stripe_bytes)) {
            why = "its extents are out of range";
            return nullptr;
        }
        for (const area_record& area : record.areas) {
            auto pv = pvs.find(area.name);
            if (pv == pvs.end()) {
                why = "it lies on another logical volume (" + area.name.substr(0, 64) + ")";
                return nullptr;
            }
            auto below = by_uuid.find(pv->second->uuid);
            if (below == by_uuid.end()) {
                why = "its physical volume " + pv->first + " is missing";
                return nullptr;
            }
            uint64_t at = 0;
            uint64_t first_byte = 0;
            if (area.first_extent > pv->second->pe_count || per_area > pv->second->pe_count - area.first_extent ||
                !multiply(area.first_extent, extent_bytes, at) ||
                !multiply(pv->second->pe_start, lvm_sector, first_byte) ||
                at > std::numeric_limits<uint64_t>::max() - first_byte) {
                why = "its extents lie past the end of " + pv->first;
                return nullptr;
            }
            segment.targets.push_back({below->second, first_byte + at});
            sector_size = std::max(sector_size, below->second->sector_size);
        }
        if (segment.targets.size() == 1)
            segment.stripe_bytes = 0;
        segments.push_back(std::move(segment));
    }
    source_ref made = make_segmented_source(std::move(segments), sector_size);
    if (!made)
        why = "its extents do not fit on its physical volumes";
    return made;
}

// Every visible volume of the group: shown when plain and complete, else one notice.
void assemble_group(const vg_record& vg, const std::map<std::string, source_ref>& by_uuid, lvm_assembly& out)
{
    std::map<std::string, const pv_record*> pvs;
    for (const pv_record& pv : vg.pvs)
        pvs.emplace(pv.name, &pv);
    // LVM keeps a snapshot as a hidden volume of segment type "snapshot" naming its copy store and origin; the
    // copy store is what lvs shows as the snapshot, visible when its origin is.
    std::map<std::string, std::string> origins;  // copy store -> origin
    std::map<std::string, bool> visible;
    for (const lv_record& lv : vg.lvs) {
        visible.emplace(lv.name, lv.visible);
        for (const segment_record& segment : lv.segments)
            if (segment.type == "snapshot")
                origins.emplace(segment.cow_store, segment.origin);
    }
    for (const lv_record& lv : vg.lvs) {
        std::string name = mapper_name(vg.name, lv.name);
        auto store = origins.find(lv.name);
        if (store != origins.end()) {
            auto origin = visible.find(store->second);
            if (origin == visible.end() || origin->second)
                out.notices.push_back(name + ": a snapshot volume, not read");
            continue;
        }
        // The hidden snapshot volume itself: its copy store carries the notice.
        bool names_store = std::any_of(lv.segments.begin(), lv.segments.end(), [](const segment_record& s) {
            return s.type == "snapshot" && !s.cow_store.empty();
        });
        if (!lv.visible || names_store)
            continue;
        std::string why = lv.damage.empty() ? kind_not_read(lv) : "its metadata is damaged: " + lv.damage;
        if (why.empty()) {
            if (source_ref source = build_volume(vg, lv, pvs, by_uuid, why)) {
                auto made = std::const_pointer_cast<block_source>(source);
                made->drive_name = name;
                out.volumes.push_back({name, source});
                continue;
            }
        }
        out.notices.push_back(name + ": " + why + ", not read");
    }
}

void assemble(const std::vector<named_source>& candidates, lvm_assembly& out)
{
    std::map<std::string, source_ref> by_uuid;  // the first candidate carrying each PV uuid
    std::map<std::string, group_copy> groups;   // by VG id
    for (const named_source& candidate : candidates) {
        if (!candidate.source)
            continue;
        label_result label = read_pv_label(*candidate.source);
        if (label.status == label_status::none)
            continue;
        out.claimed.push_back(candidate.source->id);
        if (label.status == label_status::damaged) {
            out.notices.push_back(candidate.name + ": an LVM physical volume, " + label.why + ", not read");
            continue;
        }
        by_uuid.emplace(label.label.uuid, candidate.source);
        std::string failure;
        for (const pv_area& area : label.label.metadata_areas) {
            std::optional<std::string> text = read_metadata_text(*candidate.source, area, failure);
            if (!text)
                continue;
            std::optional<vg_record> vg = read_vg_metadata(*text, failure);
            text.reset();
            if (!vg) {
                failure = "its metadata does not parse (" + failure + ")";
                continue;
            }
            failure.clear();
            const std::string id = vg->id;
            auto known = groups.find(id);
            if (known == groups.end() || known->second.vg.seqno < vg->seqno)
                groups[id] = {std::move(*vg), candidate.name};
        }
        if (!failure.empty())
            out.notices.push_back(candidate.name + ": an LVM physical volume, " + failure);
    }
    // Groups in order of name; a second group with a name already taken is left out, as Linux cannot show both.
    std::vector<const group_copy*> ordered;
    for (const auto& entry : groups)
        ordered.push_back(&entry.second);
    std::stable_sort(ordered.begin(), ordered.end(),
                     [](const group_copy* a, const group_copy* b) { return a->vg.name < b->vg.name; });
    for (size_t i = 0; i < ordered.size(); ++i) {
        if (i > 0 && ordered[i]->vg.name == ordered[i - 1]->vg.name) {
            out.notices.push_back(ordered[i]->vg.name + ": a second volume group of this name (on " +
                                  ordered[i]->seen_on + "), not read");
            continue;
        }
        assemble_group(ordered[i]->vg, by_uuid, out);
    }
}

}  // namespace

std::string mapper_name(const std::string& vg, const std::string& lv)
{
    std::string name;
    for (char c : vg) {
        name.push_back(c);
        if (c == '-')
            name.push_back('-');
    }
    name.push_back('-');
    for (char c : lv) {
        name.push_back(c);
        if (c == '-')
            name.push_back('-');
    }
    return name;
}

lvm_assembly assemble_volume_groups(const std::vector<named_source>& candidates)
{
    lvm_assembly out;
    try {
        assemble(candidates, out);
    } catch (const std::bad_alloc&) {
        out.volumes.clear();
        out.notices.push_back("LVM: out of memory while assembling volume groups; no logical volume shown");
    }
    return out;
}
