// md arrays: candidates grouped by array UUID, each RAID1 group shown over its freshest in-sync member.
#include "md/md_arrays.h"

#include "md/md_superblock.h"

#include <algorithm>
#include <cstring>
#include <memory>

namespace {

struct md_member {
    size_t candidate = 0;  // index into the candidates
    md_member_info info;
};

// The members found of one array UUID, in candidate order; at most max_md_array_members.
struct md_group {
    uint8_t uuid[16] = {};
    std::vector<md_member> members;
};

std::string level_name(int32_t level)
{
    switch (level) {
    case -4:
        return "multipath";
    case -1:
        return "linear";
    case 0:
    case 1:
    case 4:
    case 5:
    case 6:
    case 10:
        return "RAID" + std::to_string(level);
    default:
        return "level " + std::to_string(level);
    }
}

std::string member_names(const md_group& group, const std::vector<named_source>& candidates)
{
    std::string names;
    for (const md_member& member : group.members)
        names += (names.empty() ? "" : ", ") + candidates[member.candidate].name;
    return names;
}

// The array's event count: the highest any member carries, spares included, as the kernel takes the freshest
// superblock of all.
uint64_t array_events(const md_group& group)
{
    uint64_t events = 0;
    for (const md_member& member : group.members)
        events = std::max(events, member.info.events);
    return events;
}

// The member to read: in sync, of the freshest events and a RAID1 superblock; of those the first without a bad-block
// log, else the first. Null when none is. Notes every other member that is not a mirror in sync.
const md_member* choose_member(const md_group& group, const std::vector<named_source>& candidates,
                               const std::string& array, std::vector<std::string>& notices)
{
    const uint64_t events = array_events(group);
    const md_member* chosen = nullptr;
    for (const md_member& member : group.members) {
        const std::string& name = candidates[member.candidate].name;
        const md_member_info& info = member.info;
        if (info.state == md_state::spare) {
            notices.push_back(name + ": spare of " + array + ", not read");
        } else if (info.state == md_state::faulty) {
            notices.push_back(name + ": faulty member of " + array + ", not read");
        } else if (info.events < events) {
            notices.push_back(name + ": stale member of " + array + " (events " + std::to_string(info.events) +
                              ", the array is at " + std::to_string(events) + "), not read");
        } else if (info.level != 1) {
            notices.push_back(name + ": member of " + array + " says " + level_name(info.level) + ", not read");
        } else if (!chosen || ((chosen->info.feature_map & md_1::feature_bad_blocks) &&
                               !(info.feature_map & md_1::feature_bad_blocks))) {
            chosen = &member;
        }
    }
    return chosen;
}

// Shows one RAID1 group as the next array, or says why not.
void show_array(const md_group& group, const std::vector<named_source>& candidates, md_assembly& assembly)
{
    const std::string array = "md array " + format_md_uuid(group.uuid);
    const md_member* chosen = choose_member(group, candidates, array, assembly.notices);
    if (!chosen) {
        assembly.notices.push_back(array + " (" + member_names(group, candidates) +
                                   "): no in-sync RAID1 member is up to date, not shown");
        return;
    }
    const named_source& member = candidates[chosen->candidate];
    if (chosen->info.array_bytes == 0) {
        assembly.notices.push_back(array + " (" + member.name + "): its size is 0, not shown");
        return;
    }
    source_ref data = make_slice_source(member.source, chosen->info.data_offset, chosen->info.array_bytes);
    if (!data) {
        assembly.notices.push_back(array + " (" + member.name + "): its data does not lie within " + member.name +
                                   " or nests too deep, not shown");
        return;
    }
    const std::string name = "md" + std::to_string(127 - assembly.arrays.size());
    // The slice is new and not yet shared: it takes the array's name, as a drive carries its own.
    std::const_pointer_cast<block_source>(data)->drive_name = name;
    assembly.arrays.push_back({name, std::move(data)});
}

// The group of this UUID, a new one when there is room, else null.
md_group* group_of(std::vector<md_group>& groups, const uint8_t (&uuid)[16])
{
    for (md_group& group : groups)
        if (std::memcmp(group.uuid, uuid, sizeof uuid) == 0)
            return &group;
    if (groups.size() >= max_md_arrays)
        return nullptr;
    groups.emplace_back();
    std::memcpy(groups.back().uuid, uuid, sizeof uuid);
    return &groups.back();
}

}  // namespace

md_assembly assemble_md_arrays(const std::vector<named_source>& candidates)
{
    md_assembly assembly;
    std::vector<md_group> groups;
    for (size_t i = 0; i < candidates.size(); ++i) {
        const named_source& candidate = candidates[i];
        if (!candidate.source)
            continue;
        md_member_info info;
        std::string why;
        const md_parse found = probe_md_member(*candidate.source, info, why);
        if (found == md_parse::refused)
            assembly.notices.push_back(candidate.name + ": md superblock refused, not a member: " + why);
        if (found != md_parse::valid)
            continue;
        // A member is never shown on its own, even when its array cannot be: a 0.90 or 1.0 member holds the
        // array's file system at its first byte, and one half of a mirror must not pass for a volume.
        assembly.claimed.push_back(candidate.source->id);
        md_group* group = group_of(groups, info.set_uuid);
        if (!group) {
            assembly.notices.push_back(candidate.name + ": member of a md array past the first " +
                                       std::to_string(max_md_arrays) + ", not read");
        } else if (group->members.size() >= max_md_array_members) {
            assembly.notices.push_back(candidate.name + ": member of md array " + format_md_uuid(info.set_uuid) +
                                       " past its first " + std::to_string(max_md_array_members) + ", not read");
        } else {
            group->members.push_back({i, info});
        }
    }
    for (const md_group& group : groups) {
        // The array's level is what its freshest superblock says.
        const uint64_t events = array_events(group);
        auto freshest = std::find_if(group.members.begin(), group.members.end(),
                                     [&](const md_member& m) { return m.info.events == events; });
        if (freshest->info.level == 1) {
            show_array(group, candidates, assembly);
            continue;
        }
        assembly.notices.push_back("md array " + format_md_uuid(group.uuid) + " (" +
                                   member_names(group, candidates) + "): " + level_name(freshest->info.level) +
                                   " is not read, its members are claimed");
    }
    return assembly;
}
