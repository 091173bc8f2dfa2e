// MBR and EBR table parsing: primary entries, the chain of logical partitions, and their drive slices.
#include "disk/mbr.h"

#include "disk/byte_order.h"

#include <algorithm>

namespace {

constexpr size_t first_entry_offset = 446;
constexpr size_t entry_size = 16;
constexpr size_t signature_offset = 510;

// Fills the ten fields that a 16-byte table entry carries; the others keep their values.
void fill_from_entry(partition_record& record, const uint8_t* entry)
{
    record.bootable = entry[0] == 0x80 ? 1 : 0;
    record.start_head = entry[1];
    record.start_sector = entry[2] & 0x3F;
    record.start_cylinder = entry[3];
    record.type = entry[4];
    record.end_head = entry[5];
    record.end_sector = entry[6] & 0x3F;
    record.end_cylinder = entry[7];
    record.lba_start = read_le32(entry, 8);
    record.sector_count = read_le32(entry, 12);
}

bool is_extended(uint8_t type)
{
    return type == partition_type_extended_chs || type == partition_type_extended_lba;
}

// Appends the logical partitions of the EBR chain that starts at the extended start. 0 when the chain ended,
// -1 on a failed read or a bad signature (which empties records).
int walk_ebr_chain(const physical_disk& disk, uint32_t extended_start, std::vector<partition_record>& records)
{
    partition_record record;
    uint32_t link_offset = 0;
    std::vector<uint32_t> visited_links{0};
    for (int32_t logical = 0; logical < max_logical_partitions; ++logical) {
        if (disk.device == INVALID_HANDLE_VALUE)
            return -1;
        uint32_t ebr_sector = extended_start + link_offset;
        sector_buffer ebr =
            read_drive_bytes(disk.device, static_cast<uint64_t>(ebr_sector) * disk.sector_size, disk.sector_size);
        if (!ebr)
            return -1;
        if (!has_mbr_signature(ebr.get())) {
            records.clear();
            return -1;
        }

        const uint8_t* first = ebr.get() + first_entry_offset;
        fill_from_entry(record, first);
        record.primary = 0;
        // Sums of 32-bit table fields stay 32-bit, as the table's own sector numbers are.
        place_partition(record, disk, static_cast<uint32_t>(record.lba_start + link_offset + extended_start),
                        5 + logical);
        records.push_back(record);

        const uint8_t* second = first + entry_size;
        if (second[4] != partition_type_extended_chs)
            return 0;
        uint32_t next_link = read_le32(second, 8);
        // A link back to an EBR already read would loop forever; the chain ends here.
        if (std::find(visited_links.begin(), visited_links.end(), next_link) != visited_links.end())
            return 0;
        if (logical + 1 == max_logical_partitions)
            return 0;
        fill_from_entry(record, second);
        record.primary = 0;
        place_partition(record, disk, static_cast<uint32_t>(extended_start + record.lba_start), 0);
        records.push_back(record);
        link_offset = next_link;
        visited_links.push_back(next_link);
    }
    return 0;
}

}  // namespace

bool has_mbr_signature(const uint8_t* sector)
{
    return read_le16(sector, signature_offset) == 0xAA55;
}

void mbr_entry_types(const uint8_t* sector, uint8_t (&types)[4])
{
    for (size_t slot = 0; slot < 4; ++slot)
        types[slot] = sector[first_entry_offset + entry_size * slot + 4];
}

bool has_used_mbr_entry(const uint8_t* sector)
{
    uint8_t types[4];
    mbr_entry_types(sector, types);
    return std::any_of(std::begin(types), std::end(types), [](uint8_t t) { return t != partition_type_empty; });
}

int read_mbr_table(const physical_disk& disk, const uint8_t* mbr, std::vector<partition_record>& records)
{
    partition_record record;
    bool extended_seen = false;
    uint32_t extended_start = 0;
    for (int32_t slot = 1; slot <= 4; ++slot) {
        fill_from_entry(record, mbr + first_entry_offset + entry_size * (slot - 1));
        if (record.type == partition_type_empty)
            continue;
        place_partition(record, disk, static_cast<uint32_t>(record.lba_start), slot);
        records.push_back(record);
        // Of several extended entries, the chain of the last one is walked.
        if (is_extended(record.type)) {
            extended_start = static_cast<uint32_t>(record.lba_start);
            extended_seen = true;
        }
    }
    if (!extended_seen)
        return 0;
    return walk_ebr_chain(disk, extended_start, records);
}
