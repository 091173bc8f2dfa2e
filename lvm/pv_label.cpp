// Reading LVM2's label, PV header, metadata area header and metadata text, each checked as it is read.
#include "lvm/pv_label.h"

#include "disk/byte_order.h"
#include "lvm/config_text.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <new>

namespace {

constexpr size_t sector_bytes = 512;

// Label header: "LABELONE", sector number (u64), CRC of bytes 20-511 (u32), offset of the PV header (u32), type.
constexpr size_t label_id = 0;
constexpr size_t label_sector = 8;
constexpr size_t label_crc = 16;
constexpr size_t label_offset = 20;
constexpr size_t label_type = 24;
constexpr size_t label_header_size = 32;

// PV header: UUID (32 bytes), device size (u64), then {offset, size} pairs of u64.
constexpr size_t pv_uuid_length = 32;
constexpr size_t pv_device_size = 32;
constexpr size_t pv_areas = 40;

// Metadata area header: CRC of bytes 4-511, magic (16 bytes), version (u32), start (u64), size (u64), then raw
// locations of {offset u64, size u64, checksum u32, flags u32}, offsets relative to the area's start.
constexpr size_t mda_crc = 0;
constexpr size_t mda_magic = 4;
constexpr size_t mda_version = 20;
constexpr size_t mda_start = 24;
constexpr size_t mda_size = 32;
constexpr size_t mda_locations = 40;
constexpr size_t raw_location_size = 24;
constexpr uint32_t raw_location_ignored = 1;
constexpr char mda_magic_text[] = " LVM2 x[5A%r0N*>";

const std::array<uint32_t, 256>& crc_table()
{
    static const std::array<uint32_t, 256> table = [] {
        std::array<uint32_t, 256> t{};
        for (uint32_t i = 0; i < 256; ++i) {
            uint32_t c = i;
            for (int k = 0; k < 8; ++k)
                c = (c >> 1) ^ (0xEDB88320u & (0u - (c & 1)));
            t[i] = c;
        }
        return t;
    }();
    return table;
}

uint64_t read_le64(const uint8_t* p, size_t offset)
{
    return static_cast<uint64_t>(read_le32(p, offset)) | (static_cast<uint64_t>(read_le32(p, offset + 4)) << 32);
}

// Reads a zero-terminated list of {offset, size} pairs at *at, leaving *at after its terminator. False when the
// list runs past the sector or holds more than max_pv_areas entries.
bool read_area_list(const uint8_t* sector, size_t& at, std::vector<pv_area>& areas)
{
    for (;;) {
        if (at + 16 > sector_bytes)
            return false;
        pv_area area{read_le64(sector, at), read_le64(sector, at + 8)};
        at += 16;
        if (area.offset == 0)
            return true;
        if (areas.size() == max_pv_areas)
            return false;
        areas.push_back(area);
    }
}

bool parse_pv_header(const uint8_t* sector, size_t offset, pv_label& label)
{
    if (offset < label_header_size || offset > sector_bytes - pv_areas)
        return false;
    const uint8_t* header = sector + offset;
    label.uuid.assign(reinterpret_cast<const char*>(header), pv_uuid_length);
    for (char c : label.uuid)
        if (c <= ' ' || c > '~')
            return false;
    label.device_size = read_le64(header, pv_device_size);
    size_t at = offset + pv_areas;
    return read_area_list(sector, at, label.data_areas) && read_area_list(sector, at, label.metadata_areas);
}

}  // namespace

uint32_t lvm_crc(uint32_t initial, const uint8_t* data, size_t length)
{
    const auto& table = crc_table();
    uint32_t crc = initial;
    for (size_t i = 0; i < length; ++i)
        crc = table[(crc ^ data[i]) & 0xff] ^ (crc >> 8);
    return crc;
}

label_result read_pv_label(const block_source& source)
{
    label_result result;
    if (source.size < lvm_label_sectors * sector_bytes)
        return result;
    uint8_t sectors[lvm_label_sectors * sector_bytes];
    if (!read_source(source, 0, sizeof sectors, sectors))
        return result;
    for (uint64_t s = 0; s < lvm_label_sectors; ++s) {
        const uint8_t* sector = sectors + s * sector_bytes;
        if (std::memcmp(sector + label_id, "LABELONE", 8) != 0 || read_le64(sector, label_sector) != s)
            continue;
        if (read_le32(sector, label_crc) != lvm_crc(lvm_crc_initial, sector + label_offset, sector_bytes - label_offset))
            continue;
        if (std::memcmp(sector + label_type, "LVM2 001", 8) != 0)
            continue;
        result.status = label_status::damaged;
        result.label.sector = s;
        if (!parse_pv_header(sector, read_le32(sector, label_offset), result.label)) {
            result.why = "its PV header does not check out";
            result.label = pv_label{};
            return result;
        }
        result.status = label_status::valid;
        return result;
    }
    return result;
}

std::optional<std::string> read_metadata_text(const block_source& source, const pv_area& area, std::string& why)
{
    uint8_t header[sector_bytes];
    if (area.size <= lvm_mda_header_size || area.offset > source.size || area.size > source.size - area.offset ||
        !read_source(source, area.offset, sector_bytes, header)) {
        why = "its metadata area lies outside the device";
        return std::nullopt;
    }
    if (read_le32(header, mda_crc) != lvm_crc(lvm_crc_initial, header + 4, sector_bytes - 4) ||
        std::memcmp(header + mda_magic, mda_magic_text, 16) != 0 || read_le32(header, mda_version) != 1 ||
        read_le64(header, mda_start) != area.offset || read_le64(header, mda_size) != area.size) {
        why = "its metadata area header does not check out";
        return std::nullopt;
    }
    for (size_t at = mda_locations; at + raw_location_size <= sector_bytes; at += raw_location_size) {
        uint64_t offset = read_le64(header, at);
        uint64_t size = read_le64(header, at + 8);
        uint32_t checksum = read_le32(header, at + 16);
        uint32_t flags = read_le32(header, at + 20);
        if (offset == 0)
            break;
        if (flags & raw_location_ignored)
            continue;
        // The text starts inside the buffer, fits in it once, and is no larger than the parser takes (+ its NUL).
        if (offset < lvm_mda_header_size || offset >= area.size || size == 0 ||
            size > area.size - lvm_mda_header_size || size > max_config_text + 1) {
            why = "its metadata text location is out of range";
            return std::nullopt;
        }
        uint64_t first = std::min(size, area.size - offset);
        uint64_t wrapped = size - first;
        try {
            std::string text(size, '\0');
            auto* bytes = reinterpret_cast<uint8_t*>(text.data());
            if (!read_source(source, area.offset + offset, first, bytes) ||
                (wrapped > 0 &&
                 !read_source(source, area.offset + lvm_mda_header_size, wrapped, bytes + first))) {
                why = "its metadata text cannot be read";
                return std::nullopt;
            }
            if (lvm_crc(lvm_crc_initial, bytes, size) != checksum) {
                why = "its metadata text checksum does not match";
                return std::nullopt;
            }
            text.resize(std::min(text.size(), text.find('\0')));
            return text;
        } catch (const std::bad_alloc&) {
            why = "no memory for its metadata text";
            return std::nullopt;
        }
    }
    why = "its metadata area holds no metadata";
    return std::nullopt;
}
