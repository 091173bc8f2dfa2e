// Assembly of the named sources from the drives' partition records, and source identities.
#include "storage/assembly.h"

#include "disk/partition.h"
#include "lvm/volume_groups.h"
#include "md/md_arrays.h"

#include <algorithm>
#include <limits>

namespace {

void remove_claimed(std::vector<named_source>& sources, const std::vector<uint64_t>& claimed)
{
    sources.erase(std::remove_if(sources.begin(), sources.end(),
                                 [&](const named_source& s) {
                                     return std::find(claimed.begin(), claimed.end(), s.source->id) != claimed.end();
                                 }),
                  sources.end());
}

// The md arrays and then the LVM volume groups made from the candidates, in Linux's order of assembly: an array
// may be a physical volume, never the other way round. Each layer takes out the sources it claims, so that a
// member or a physical volume is never probed as a volume itself, and adds the sources it makes after those left.
void assemble_arrays_and_volume_groups(storage_assembly& result)
{
    md_assembly arrays = assemble_md_arrays(result.sources);
    remove_claimed(result.sources, arrays.claimed);
    result.sources.insert(result.sources.end(), arrays.arrays.begin(), arrays.arrays.end());
    result.notices.insert(result.notices.end(), arrays.notices.begin(), arrays.notices.end());

    lvm_assembly groups = assemble_volume_groups(result.sources);
    remove_claimed(result.sources, groups.claimed);
    result.sources.insert(result.sources.end(), groups.volumes.begin(), groups.volumes.end());
    result.notices.insert(result.notices.end(), groups.notices.begin(), groups.notices.end());
}

void describe(const block_source& source, std::string& out)
{
    if (source.segments.empty()) {
        out += "drive:" + std::to_string(source.id);
        return;
    }
    out += '[';
    for (const source_segment& segment : source.segments) {
        out += std::to_string(segment.start) + '+' + std::to_string(segment.length) + '/' +
               std::to_string(segment.stripe_bytes) + '(';
        for (const source_target& where : segment.targets) {
            describe(*where.below, out);
            out += '@' + std::to_string(where.offset) + ';';
        }
        out += ')';
    }
    out += ']';
}

}  // namespace

std::string linux_source_name(int drive, int number)
{
    if (drive < 0 || number < 0)
        return std::string();
    std::string letters;
    for (unsigned n = static_cast<unsigned>(drive) + 1; n > 0; n /= 26) {
        --n;
        letters.insert(letters.begin(), static_cast<char>('a' + n % 26));
    }
    std::string name = "sd" + letters;
    if (number != 0)
        name += std::to_string(number);
    return name;
}

std::vector<named_source> partition_candidates(const drive_list& drives)
{
    std::vector<named_source> candidates;
    for (size_t d = 0; d < drives.size() && d <= static_cast<size_t>(std::numeric_limits<int>::max()); ++d) {
        if (!drives[d])
            continue;
        for (const partition_record& record : candidate_partitions(*drives[d]))
            candidates.push_back({linux_source_name(static_cast<int>(d), record.number), record.source});
    }
    return candidates;
}

storage_assembly assemble_sources(const drive_list& drives)
{
    storage_assembly result;
    result.sources = partition_candidates(drives);
    assemble_arrays_and_volume_groups(result);
    return result;
}

std::string source_identity(const block_source& source)
{
    std::string out;
    describe(source, out);
    return out;
}
