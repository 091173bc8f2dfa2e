// GUID partition tables: header and entry-array checks, CRC32, and the used entries as partition records.
#include "disk/gpt.h"

#include "disk/byte_order.h"

#include <cstring>
#include <limits>
#include <new>

namespace {

constexpr char signature[8] = {'E', 'F', 'I', ' ', 'P', 'A', 'R', 'T'};
constexpr size_t header_crc_offset = 16;

// Every byte position must stay a valid signed 64-bit seek position.
constexpr uint64_t max_position = static_cast<uint64_t>(std::numeric_limits<int64_t>::max());

constexpr std::array<uint32_t, 256> make_crc_table()
{
    std::array<uint32_t, 256> table{};
    for (uint32_t n = 0; n < 256; ++n) {
        uint32_t c = n;
        for (int k = 0; k < 8; ++k)
            c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
        table[n] = c;
    }
    return table;
}

constexpr std::array<uint32_t, 256> crc_table = make_crc_table();

uint64_t read_lba(const uint8_t* p, size_t offset)
{
    return static_cast<uint64_t>(read_le32(p, offset)) | (static_cast<uint64_t>(read_le32(p, offset + 4)) << 32);
}

// One entry of the array.
struct gpt_entry {
    gpt_guid type{};
    uint64_t first_lba = 0;
    uint64_t last_lba = 0;  // inclusive
};

gpt_entry parse_gpt_entry(const uint8_t* bytes)
{
    gpt_entry entry;
    std::memcpy(entry.type.data(), bytes, entry.type.size());
    entry.first_lba = read_lba(bytes, 32);
    entry.last_lba = read_lba(bytes, 40);
    return entry;
}

bool is_unused_entry(const gpt_entry& entry)
{
    return entry.type == gpt_guid{};
}

// Sectors the entry array of a checked header occupies.
uint64_t array_sectors(const gpt_header& header, uint32_t sector_size)
{
    uint64_t bytes = static_cast<uint64_t>(header.entry_count) * header.entry_size;
    return (bytes + sector_size - 1) / sector_size;
}

// The header at lba with its entry array, both checked; nothing when either fails. array receives the entries.
std::optional<gpt_header> read_table(const physical_disk& disk, uint64_t lba, uint64_t drive_sectors,
                                     sector_buffer& array)
{
    if (lba > max_position / disk.sector_size)
        return std::nullopt;
    sector_buffer sector = read_drive_bytes(disk.device, lba * disk.sector_size, disk.sector_size);
    if (!sector)
        return std::nullopt;
    std::optional<gpt_header> header = parse_gpt_header(sector.get(), disk.sector_size, lba, drive_sectors);
    if (!header)
        return std::nullopt;
    uint32_t bytes = header->entry_count * header->entry_size;  // at most 4 MiB by the header checks
    if (bytes == 0) {
        array.reset();
        return gpt_crc32(nullptr, 0) == header->entries_crc ? header : std::nullopt;
    }
    uint64_t sectors = array_sectors(*header, disk.sector_size);
    array = read_drive_bytes(disk.device, header->entries_lba * disk.sector_size,
                             static_cast<uint32_t>(sectors * disk.sector_size));
    if (!array || gpt_crc32(array.get(), bytes) != header->entries_crc)
        return std::nullopt;
    return header;
}

// A used entry inside the header's usable range becomes a record numbered by its index + 1.
void append_entries(const physical_disk& disk, const gpt_header& header, const uint8_t* array,
                    std::vector<partition_record>& records)
{
    for (uint32_t index = 0; index < header.entry_count; ++index) {
        gpt_entry entry = parse_gpt_entry(array + static_cast<size_t>(index) * header.entry_size);
        if (is_unused_entry(entry))
            continue;
        if (entry.first_lba > entry.last_lba || entry.first_lba < header.first_usable_lba ||
            entry.last_lba > header.last_usable_lba)
            continue;
        partition_record record;
        record.primary = 1;
        record.type = partition_type_gpt;
        record.gpt_type = entry.type;
        record.lba_start = entry.first_lba;
        record.sector_count = entry.last_lba - entry.first_lba + 1;
        // Below 2^63: the usable range was checked against the drive and a seek's reach.
        place_partition(record, disk, entry.first_lba, static_cast<int32_t>(index) + 1);
        records.push_back(record);
    }
}

}  // namespace

uint32_t gpt_crc32(const uint8_t* data, size_t length)
{
    uint32_t crc = 0xFFFFFFFFu;
    for (size_t i = 0; i < length; ++i)
        crc = crc_table[(crc ^ data[i]) & 0xFF] ^ (crc >> 8);
    return crc ^ 0xFFFFFFFFu;
}

std::optional<gpt_header> parse_gpt_header(const uint8_t* sector, uint32_t sector_size, uint64_t lba,
                                           uint64_t drive_sectors)
{
    if (std::memcmp(sector, signature, sizeof signature) != 0)
        return std::nullopt;
    if (read_le32(sector, 8) >> 16 != 1)  // revision 1.x
        return std::nullopt;
    uint32_t header_size = read_le32(sector, 12);
    uint8_t copy[4096];
    if (header_size < gpt_min_header_size || header_size > sector_size || header_size > sizeof copy)
        return std::nullopt;
    // The CRC covers header_size bytes with its own field taken as zero.
    std::memcpy(copy, sector, header_size);
    std::memset(copy + header_crc_offset, 0, 4);
    if (gpt_crc32(copy, header_size) != read_le32(sector, header_crc_offset))
        return std::nullopt;

    gpt_header header;
    header.my_lba = read_lba(sector, 24);
    header.alternate_lba = read_lba(sector, 32);
    header.first_usable_lba = read_lba(sector, 40);
    header.last_usable_lba = read_lba(sector, 48);
    header.entries_lba = read_lba(sector, 72);
    header.entry_count = read_le32(sector, 80);
    header.entry_size = read_le32(sector, 84);
    header.entries_crc = read_le32(sector, 88);
    if (header.my_lba != lba)
        return std::nullopt;
    if (header.entry_count > gpt_max_entries || header.entry_size < gpt_min_entry_size ||
        header.entry_size > gpt_max_entry_size || header.entry_size % gpt_min_entry_size != 0)
        return std::nullopt;

    // Where the drive's size is unknown, the usable range is bounded only by what a seek can reach.
    uint64_t sector_limit = max_position / sector_size;
    if (drive_sectors != 0 && drive_sectors < sector_limit)
        sector_limit = drive_sectors;
    if (header.first_usable_lba > header.last_usable_lba || header.last_usable_lba >= sector_limit)
        return std::nullopt;
    // The usable range never holds the protective MBR or the header itself.
    if (header.first_usable_lba == 0 || (lba >= header.first_usable_lba && lba <= header.last_usable_lba))
        return std::nullopt;
    uint64_t sectors = array_sectors(header, sector_size);
    if (header.entries_lba == 0 || header.entries_lba >= sector_limit || sectors > sector_limit - header.entries_lba)
        return std::nullopt;
    return header;
}

bool is_protective_mbr(const uint8_t (&types)[4])
{
    bool protective = false;
    for (uint8_t type : types) {
        if (type == partition_type_gpt_protective)
            protective = true;
        else if (type != partition_type_empty)
            return false;
    }
    return protective;
}

int read_gpt_table(const physical_disk& disk, std::vector<partition_record>& records)
{
    try {
        if (disk.device == INVALID_HANDLE_VALUE)
            return -1;
        uint64_t drive_sectors = disk.drive_bytes / disk.sector_size;
        sector_buffer array;
        std::optional<gpt_header> header = read_table(disk, 1, drive_sectors, array);
        if (!header) {
            // The backup lies at the drive's last LBA; where the size is unknown, where the primary points.
            uint64_t backup_lba = 0;
            if (drive_sectors > 2) {
                backup_lba = drive_sectors - 1;
            } else if (drive_sectors == 0) {
                sector_buffer primary = read_drive_bytes(disk.device, disk.sector_size, disk.sector_size);
                if (primary && std::memcmp(primary.get(), signature, sizeof signature) == 0)
                    backup_lba = read_lba(primary.get(), 32);
            }
            if (backup_lba > 1)
                header = read_table(disk, backup_lba, drive_sectors, array);
        }
        if (!header)
            return -1;
        std::vector<partition_record> found;
        append_entries(disk, *header, array.get(), found);
        records.insert(records.end(), found.begin(), found.end());
        return 0;
    } catch (const std::bad_alloc&) {
        return -1;
    }
}
