// Assembly of the named sources from the drives' partition records, and source identities.
#include "storage/assembly.h"

#include "disk/partition.h"

#include <algorithm>
#include <limits>

namespace {

// The md arrays and LVM volume groups made from the candidates, each taking out the sources it claims. Both layers
// plug in here, md first (an array may be a physical volume), then LVM. Until they do, the candidates pass through.
std::vector<named_source> assemble_arrays_and_volume_groups(std::vector<named_source> candidates)
{
    // ---- md arrays, then LVM volume groups, go here: each is called as
    //          assembled_sources found = assemble_<layer>(candidates);
    //          remove_claimed(candidates, found.claimed);
    //          append found.made to candidates;
    //      so that a member or physical volume is never probed as a volume itself.
    return candidates;
}

[[maybe_unused]] void remove_claimed(std::vector<named_source>& sources, const std::vector<uint64_t>& claimed)
{
    sources.erase(std::remove_if(sources.begin(), sources.end(),
                                 [&](const named_source& s) {
                                     return std::find(claimed.begin(), claimed.end(), s.source->id) != claimed.end();
                                 }),
                  sources.end());
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

std::vector<named_source> assemble_sources(const drive_list& drives)
{
    return assemble_arrays_and_volume_groups(partition_candidates(drives));
}

std::string source_identity(const block_source& source)
{
    std::string out;
    describe(source, out);
    return out;
}
