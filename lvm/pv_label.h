// LVM2 physical volumes on disk: the label in the first four sectors, the PV header after it, the metadata area
// headers and the newest metadata text in each area's circular buffer.
#pragma once

#include "disk/block_source.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

// The label lies in one of the first four 512-byte sectors.
inline constexpr uint64_t lvm_label_sectors = 4;
// A PV header lists at most this many data areas and this many metadata areas (LVM writes one and up to two);
// more is taken as damage.
inline constexpr size_t max_pv_areas = 8;
// A metadata area's header is its first 512 bytes; the circular text buffer follows it.
inline constexpr uint64_t lvm_mda_header_size = 512;
// LVM's CRC seed: its checksums are the reflected CRC-32 (polynomial 0xEDB88320) from this value, not inverted.
inline constexpr uint32_t lvm_crc_initial = 0xf597a6cf;

// Byte range of an area on the physical volume.
struct pv_area {
    uint64_t offset = 0;
    uint64_t size = 0;  // 0 for a data area means "to the end of the device"
};

// A checked label and PV header.
struct pv_label {
    uint64_t sector = 0;          // where the label was found
    std::string uuid;             // 32 characters, as the PV header stores it (no dashes)
    uint64_t device_size = 0;     // bytes, as pvcreate saw the device
    std::vector<pv_area> data_areas;
    std::vector<pv_area> metadata_areas;
};

// What a candidate holds at its start.
enum class label_status {
    none,          // no LVM label: not a physical volume
    damaged,       // a label whose PV header does not check out (still an LVM physical volume)
    valid,
};

struct label_result {
    label_status status = label_status::none;
    pv_label label;
    std::string why;  // for damaged
};

// The CRC LVM puts on labels, metadata area headers and metadata text, continued from initial.
uint32_t lvm_crc(uint32_t initial, const uint8_t* data, size_t length);

// Looks for "LABELONE" in sectors 0-3 with the sector number it records, its CRC (bytes 20-511 of the sector) and
// type "LVM2 001"; then reads the PV header it points to: UUID, device size, and the zero-terminated data and
// metadata area lists, each within the sector and within max_pv_areas.
label_result read_pv_label(const block_source& source);

// The newest metadata text of one metadata area: its header's checksum, magic, version 1 and start, then the first
// raw location that is not marked ignored, whose text (possibly wrapping from the end of the area back to just
// after the header) is read and its checksum checked. The text comes back without its NUL terminator. Nothing, with
// why set, when the area holds no usable text; a text longer than max_config_text is refused.
std::optional<std::string> read_metadata_text(const block_source& source, const pv_area& area, std::string& why);
