// Partitions: picking the table parser for a drive, the whole-drive volume, and the records that may hold a volume.
#include "disk/partition.h"

#include "disk/gpt.h"
#include "disk/mbr.h"

#include <new>

namespace {

// One type-0x83 record, numbered 0, over the whole drive. False when the drive's size is unknown, since nothing
// else bounds the volume.
bool append_whole_drive(physical_disk& disk)
{
    if (disk.drive_bytes < disk.sector_size)
        return false;
    partition_record record;
    record.type = partition_type_linux;
    record.sector_count = disk.drive_bytes / disk.sector_size;
    place_partition(record, disk, 0, 0);
    disk.partition_list.push_back(record);
    return true;
}

bool is_excluded_gpt_type(const gpt_guid& type)
{
    return type == gpt_type_efi_system || type == gpt_type_microsoft_reserved || type == gpt_type_bios_boot ||
           type == gpt_type_linux_swap;
}

}  // namespace

int scan_partition_tables(physical_disk& disk)
{
    try {
        disk.partition_list.clear();
        if (disk.device == INVALID_HANDLE_VALUE)
            return -1;
        sector_buffer mbr = read_drive_bytes(disk.device, 0, disk.sector_size);
        if (!mbr)
            return -1;
        // A drive whose first sector carries the signature and a used entry is always read by its tables, never
        // taken whole; an ext volume's own first sector may carry the signature, with nothing in its entries.
        bool signed_table = has_mbr_signature(mbr.get());
        if (!signed_table || !has_used_mbr_entry(mbr.get())) {
            if (append_whole_drive(disk))
                return 0;
            return signed_table ? 0 : -1;
        }
        uint8_t types[4];
        mbr_entry_types(mbr.get(), types);
        if (is_protective_mbr(types) && read_gpt_table(disk, disk.partition_list) == 0)
            return 0;
        return read_mbr_table(disk, mbr.get(), disk.partition_list);
    } catch (const std::bad_alloc&) {
        disk.partition_list.clear();
        return -1;
    }
}

bool may_hold_volume(const partition_record& record)
{
    if (record.type == partition_type_gpt && record.gpt_type != gpt_guid{})
        return !is_excluded_gpt_type(record.gpt_type);
    switch (record.type) {
    case partition_type_empty:
    case partition_type_extended_chs:
    case partition_type_extended_lba:
    case partition_type_extended_linux:
    case partition_type_linux_swap:
    case partition_type_efi:
    case partition_type_gpt_protective:
        return false;
    default:
        // A chain link is numbered 0 and is an extended entry; a whole drive is numbered 0 and type 0x83.
        return record.number > 0 || record.primary == 1;
    }
}

std::vector<partition_record> candidate_partitions(const physical_disk& disk)
{
    std::vector<partition_record> candidates;
    for (const partition_record& record : disk.partition_list)
        if (record.source && may_hold_volume(record))
            candidates.push_back(record);
    return candidates;
}
