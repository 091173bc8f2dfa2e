// Block sources: making them with their ranges checked once, and the one guarded read through them.
#include "disk/block_source.h"

#include "disk/physical_disk.h"

#include <algorithm>
#include <atomic>
#include <limits>
#include <new>

namespace {

// A positioned read reaches at most this far into a drive.
constexpr uint64_t largest_drive_position = static_cast<uint64_t>(std::numeric_limits<int64_t>::max());
// A leaf read is split into pieces no longer than this, so every piece fits the drive read's 32-bit length.
constexpr uint64_t largest_drive_read = uint64_t{1} << 30;

bool inside(uint64_t offset, uint64_t length, uint64_t size)
{
    return offset <= size && length <= size - offset;
}

bool read_leaf(const block_source& source, uint64_t offset, uint64_t length, uint8_t* target)
{
    while (length > 0) {
        uint64_t piece = std::min(length, largest_drive_read);
        if (!read_drive_into(source.device, offset, static_cast<uint32_t>(piece), target))
            return false;
        offset += piece;
        target += piece;
        length -= piece;
    }
    return true;
}

// Reads [offset, offset + length) of one segment, the range being inside it.
bool read_segment(const source_segment& segment, uint64_t offset, uint64_t length, uint8_t* target)
{
    uint64_t within = offset - segment.start;
    if (segment.targets.size() == 1)
        return read_source(*segment.targets[0].below, segment.targets[0].offset + within, length, target);
    const uint64_t stripe = segment.stripe_bytes;
    const uint64_t count = segment.targets.size();
    while (length > 0) {
        uint64_t chunk = within / stripe;
        uint64_t in_chunk = within % stripe;
        uint64_t piece = std::min(length, stripe - in_chunk);
        const source_target& where = segment.targets[chunk % count];
        if (!read_source(*where.below, where.offset + (chunk / count) * stripe + in_chunk, piece, target))
            return false;
        within += piece;
        target += piece;
        length -= piece;
    }
    return true;
}

// The bytes a striped segment's target must hold: its share of the stripe rows.
bool segment_fits(const source_segment& segment)
{
    const size_t count = segment.targets.size();
    if (count == 0 || count > max_segment_stripes || segment.length == 0)
        return false;
    uint64_t per_target = segment.length;
    if (count > 1) {
        const uint64_t row = segment.stripe_bytes * count;
        if (segment.stripe_bytes == 0 || segment.stripe_bytes % 512 != 0 || row / count != segment.stripe_bytes ||
            segment.length % row != 0)
            return false;
        per_target = segment.length / count;
    }
    for (const source_target& where : segment.targets)
        if (!where.below || where.below->depth >= max_source_depth ||
            !inside(where.offset, per_target, where.below->size))
            return false;
    return true;
}

}  // namespace

uint64_t new_source_id()
{
    static std::atomic<uint64_t> last{0};
    return ++last;
}

source_ref make_drive_source(HANDLE device, uint32_t sector_size, uint64_t drive_bytes, std::string drive_name)
{
    auto source = std::make_shared<block_source>();
    source->device = device;
    source->size = drive_bytes != 0 ? std::min(drive_bytes, largest_drive_position) : largest_drive_position;
    source->sector_size = sector_size;
    source->id = new_source_id();
    source->drive_name = std::move(drive_name);
    return source;
}

source_ref make_slice_source(const source_ref& below, uint64_t offset, uint64_t length)
{
    if (!below || length == 0)
        return nullptr;
    source_segment segment;
    segment.length = length;
    segment.targets.push_back({below, offset});
    std::vector<source_segment> segments;
    segments.push_back(std::move(segment));
    source_ref made = make_segmented_source(std::move(segments), below->sector_size);
    if (!made)
        return nullptr;
    // A slice is part of the same drive or array and carries its name.
    auto named = std::const_pointer_cast<block_source>(made);
    named->drive_name = below->drive_name;
    return made;
}

source_ref make_segmented_source(std::vector<source_segment> segments, uint32_t sector_size)
{
    if (segments.empty() || segments.size() > max_source_segments)
        return nullptr;
    uint64_t next = 0;
    int depth = 0;
    for (const source_segment& segment : segments) {
        if (segment.start != next || !segment_fits(segment) ||
            segment.length > std::numeric_limits<uint64_t>::max() - next)
            return nullptr;
        next += segment.length;
        for (const source_target& where : segment.targets)
            depth = std::max(depth, where.below->depth + 1);
    }
    auto source = std::make_shared<block_source>();
    source->size = next;
    source->sector_size = sector_size;
    source->depth = depth;
    source->id = new_source_id();
    source->segments = std::move(segments);
    return source;
}

bool read_source(const block_source& source, uint64_t offset, uint64_t length, uint8_t* target)
{
    if (length == 0 || target == nullptr || !inside(offset, length, source.size))
        return false;
    if (source.segments.empty())
        return source.device != INVALID_HANDLE_VALUE && read_leaf(source, offset, length, target);
    // The first segment that ends after offset; segments are contiguous, so the read walks on from it.
    auto at = std::upper_bound(source.segments.begin(), source.segments.end(), offset,
                               [](uint64_t value, const source_segment& s) { return value < s.start + s.length; });
    while (length > 0 && at != source.segments.end()) {
        uint64_t piece = std::min(length, at->start + at->length - offset);
        if (!read_segment(*at, offset, piece, target))
            return false;
        offset += piece;
        target += piece;
        length -= piece;
        ++at;
    }
    return length == 0;
}

std::unique_ptr<uint8_t[]> read_source_bytes(const block_source& source, uint64_t offset, uint64_t length)
{
    if (length == 0 || length > std::numeric_limits<uint32_t>::max() || !inside(offset, length, source.size))
        return nullptr;
    std::unique_ptr<uint8_t[]> buffer(new (std::nothrow) uint8_t[length]);
    if (!buffer || !read_source(source, offset, length, buffer.get()))
        return nullptr;
    return buffer;
}
