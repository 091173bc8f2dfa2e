// Volume-group metadata text into records: what LVM's text import reads for plain volumes, checked field by field.
#include "lvm/vg_metadata.h"

#include "lvm/config_text.h"

#include <algorithm>
#include <new>

namespace {

std::optional<uint64_t> unsigned_number(const config_node& section, std::string_view name)
{
    std::optional<int64_t> value = config_number(section, name);
    if (!value || *value < 0)
        return std::nullopt;
    return static_cast<uint64_t>(*value);
}

bool read_pv(const config_node& node, pv_record& pv)
{
    pv.name = node.name;
    std::optional<std::string> id = config_string(node, "id");
    std::optional<uint64_t> pe_start = unsigned_number(node, "pe_start");
    std::optional<uint64_t> pe_count = unsigned_number(node, "pe_count");
    if (!id || !pe_start || !pe_count)
        return false;
    pv.uuid = undashed(*id);
    pv.pe_start = *pe_start;
    pv.pe_count = *pe_count;
    return true;
}

// One segment; an empty string when it is usable, else what is wrong with it.
std::string read_segment(const config_node& node, segment_record& segment)
{
    std::optional<uint64_t> start = unsigned_number(node, "start_extent");
    std::optional<uint64_t> count = unsigned_number(node, "extent_count");
    std::optional<std::string> type = config_string(node, "type");
    if (!start || !count || !type || *count == 0)
        return "a segment without its extents or type";
    segment.start_extent = *start;
    segment.extent_count = *count;
    segment.type = *type;
    if (segment.type == "snapshot") {
        segment.cow_store = config_string(node, "cow_store").value_or("");
        segment.origin = config_string(node, "origin").value_or("");
    }
    if (segment.type != "striped")
        return {};
    std::optional<uint64_t> stripes = unsigned_number(node, "stripe_count");
    const config_node* list = config_child(node, "stripes", false);
    if (!stripes || *stripes == 0 || *stripes > max_lv_stripes || !list || !list->is_list ||
        list->values.size() != *stripes * 2 || *count % *stripes != 0)
        return "a striped segment whose stripe list does not check out";
    if (*stripes > 1) {
        std::optional<uint64_t> size = unsigned_number(node, "stripe_size");
        if (!size || *size == 0)
            return "a striped segment without its stripe size";
        segment.stripe_size = *size;
    }
    for (size_t i = 0; i < list->values.size(); i += 2) {
        const config_value& name = list->values[i];
        const config_value& extent = list->values[i + 1];
        if (name.type != config_value::kind::text || extent.type != config_value::kind::number || extent.number < 0)
            return "a stripe that is not a volume name and an extent";
        segment.areas.push_back({name.text, static_cast<uint64_t>(extent.number)});
    }
    return {};
}

void read_lv(const config_node& node, lv_record& lv)
{
    lv.name = node.name;
    lv.visible = config_list_has(node, "status", "VISIBLE");
    for (const config_node& child : node.children) {
        if (!child.is_section)
            continue;
        if (lv.segments.size() == max_lv_segments) {
            lv.damage = "more segments than " + std::to_string(max_lv_segments);
            return;
        }
        lv.segments.emplace_back();
        std::string damage = read_segment(child, lv.segments.back());
        if (!damage.empty()) {
            lv.damage = damage;
            return;
        }
    }
    if (lv.segments.empty()) {
        lv.damage = "no segments";
        return;
    }
    std::stable_sort(lv.segments.begin(), lv.segments.end(),
                     [](const segment_record& a, const segment_record& b) { return a.start_extent < b.start_extent; });
    uint64_t next = 0;
    for (const segment_record& segment : lv.segments) {
        if (segment.start_extent != next) {
            lv.damage = "segments that leave a gap or overlap";
            return;
        }
        next = segment.start_extent + segment.extent_count;
        if (next < segment.start_extent) {
            lv.damage = "segments past the largest extent number";
            return;
        }
    }
}

std::optional<vg_record> read_group(const config_node& root, std::string& why)
{
    const config_node* group = nullptr;
    for (const config_node& child : root.children)
        if (child.is_section) {
            group = &child;
            break;
        }
    if (!group) {
        why = "the metadata names no volume group";
        return std::nullopt;
    }
    vg_record vg;
    vg.name = group->name;
    std::optional<std::string> id = config_string(*group, "id");
    std::optional<uint64_t> seqno = unsigned_number(*group, "seqno");
    std::optional<uint64_t> extent_size = unsigned_number(*group, "extent_size");
    const config_node* pvs = config_child(*group, "physical_volumes", true);
    if (!id || !seqno || !extent_size || *extent_size == 0 || !pvs) {
        why = "the metadata lacks the group's id, seqno, extent size or physical volumes";
        return std::nullopt;
    }
    vg.id = undashed(*id);
    vg.seqno = *seqno;
    vg.extent_size = *extent_size;
    for (const config_node& node : pvs->children) {
        if (!node.is_section)
            continue;
        if (vg.pvs.size() == max_vg_pvs) {
            why = "more physical volumes than " + std::to_string(max_vg_pvs);
            return std::nullopt;
        }
        vg.pvs.emplace_back();
        if (!read_pv(node, vg.pvs.back())) {
            why = "a physical volume without its id, pe_start or pe_count";
            return std::nullopt;
        }
    }
    // A group may have no logical volumes at all.
    if (const config_node* lvs = config_child(*group, "logical_volumes", true)) {
        for (const config_node& node : lvs->children) {
            if (!node.is_section)
                continue;
            if (vg.lvs.size() == max_vg_lvs) {
                why = "more logical volumes than " + std::to_string(max_vg_lvs);
                return std::nullopt;
            }
            vg.lvs.emplace_back();
            read_lv(node, vg.lvs.back());
        }
    }
    return vg;
}

}  // namespace

std::string undashed(std::string_view id)
{
    std::string out;
    for (char c : id)
        if (c != '-')
            out.push_back(c);
    return out;
}

std::optional<vg_record> read_vg_metadata(std::string_view text, std::string& why)
{
    std::optional<config_node> root = parse_config_text(text, &why);
    if (!root)
        return std::nullopt;
    try {
        return read_group(*root, why);
    } catch (const std::bad_alloc&) {
        why = "no memory for the group's records";
        return std::nullopt;
    }
}
