// Block sources: a readable byte range made of pieces of one or more drives (a partition, a whole drive, an md
// array's data area, a logical volume's segments), and the one guarded read by which every layer above reads it.
#pragma once

#include "platform/platform.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

struct block_source;
using source_ref = std::shared_ptr<const block_source>;

// Sources nest: a drive at the bottom, then a partition on it, an md array on partitions, a logical volume on
// arrays or partitions. Deeper nesting than this is refused when a source is made, so no read recurses further.
inline constexpr int max_source_depth = 8;
// A source made of more segments than this, or a segment striped over more targets, is refused when it is made.
inline constexpr size_t max_source_segments = 4096;
inline constexpr size_t max_segment_stripes = 128;

// Where a segment's bytes lie: at offset bytes into the source below.
struct source_target {
    source_ref below;
    uint64_t offset = 0;
};

// Bytes [start, start + length) of the source. With one target they lie in order from that target's offset on;
// with several, in chunks of stripe_bytes taken round-robin from the targets (chunk k on target k mod n, at the
// target's offset + (k / n) * stripe_bytes), as device-mapper's striped target lays them out.
struct source_segment {
    uint64_t start = 0;
    uint64_t length = 0;
    uint64_t stripe_bytes = 0;  // 0 with one target
    std::vector<source_target> targets;
};

// A byte range. A drive is a leaf (device set, no segments); every other source is segments over sources below.
// Immutable once made; shared by the layers that read it, so it lives as long as its longest reader.
struct block_source {
    HANDLE device = INVALID_HANDLE_VALUE;  // a leaf's drive; not owned
    uint64_t size = 0;                     // bytes; every read must end within it
    uint32_t sector_size = 512;            // the unit a file system's geometry and a table's LBAs use
    int depth = 0;                         // 0 for a leaf; one more than the deepest source below
    // Unique for the process's life: it keys caches, so an entry left by a source that is gone can never answer
    // for a new one.
    uint64_t id = 0;
    std::string drive_name;                      // the name Linux gives the whole drive (sda) or the array (md127)
    std::vector<source_segment> segments;        // in order of start, without gaps, together exactly size bytes
};

// A source with the name Linux gives it: "sda1" for a partition, "sdb" for a whole drive, "md127" for an array,
// "vg0-root" for a logical volume. What the storage layers hand each other and, at the top, the file systems.
struct named_source {
    std::string name;
    source_ref source;
};

// A number that no other source of the process has had or will have.
uint64_t new_source_id();

// A leaf over an open drive of drive_bytes bytes. A drive whose size is unknown (0) is given the largest size a
// positioned read can reach, so that only the drive itself limits reads.
source_ref make_drive_source(HANDLE device, uint32_t sector_size, uint64_t drive_bytes, std::string drive_name);

// length bytes at offset of below, as a source of their own (a partition, an md array's data area). Null when the
// range does not lie inside below, or below is null or already at max_source_depth.
source_ref make_slice_source(const source_ref& below, uint64_t offset, uint64_t length);

// A source made of these segments. Null unless they start at 0, follow each other without gap or overlap, each has
// targets (at most max_segment_stripes, striped ones with stripe_bytes a nonzero multiple of 512 and a length
// that is a whole number of stripe rows), every target's bytes lie inside its source, and the count and depth are
// within their bounds.
source_ref make_segmented_source(std::vector<source_segment> segments, uint32_t sector_size);

// Reads length bytes at offset of the source into target. The read is positioned all the way down, so any number
// of threads may read one source at once. False for a length of 0, a range that does not lie inside the source,
// or a failed or short read of any drive below; target's content is then undefined.
bool read_source(const block_source& source, uint64_t offset, uint64_t length, uint8_t* target);

// As read_source, into a new buffer that is allocated only once the range has been checked against the source, so
// no buffer is sized by on-disk data beyond what the source holds; null on any failure or when length exceeds
// 2^32 - 1.
std::unique_ptr<uint8_t[]> read_source_bytes(const block_source& source, uint64_t offset, uint64_t length);
