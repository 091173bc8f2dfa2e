// Partitions: MBR and EBR table scan, GUID tables and whole-drive volumes, partition objects, and the disk's
// mounted ext partitions.
#include "disk/partition.h"

#include "disk/byte_order.h"
#include "disk/fs_signatures.h"
#include "disk/gpt.h"
#include "ext/volume.h"

#include <algorithm>
#include <limits>
#include <new>

partition::~partition() = default;

partition_linux_ext2::partition_linux_ext2() = default;

partition_linux_ext2::~partition_linux_ext2() = default;

namespace {

constexpr size_t first_entry_offset = 446;
constexpr size_t entry_size = 16;
constexpr size_t signature_offset = 510;
constexpr uint64_t superblock_offset = 1024;
constexpr uint64_t superblock_bytes = 1024;
constexpr size_t magic_offset = 56;  // within the superblock

bool has_table_signature(const uint8_t* sector)
{
    return read_le16(sector, signature_offset) == 0xAA55;
}

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

void set_location(partition_record& record, const physical_disk& disk, uint32_t first_sector, int32_t number)
{
    record.byte_offset = static_cast<uint64_t>(first_sector) * disk.sector_size;
    record.sector_size = disk.sector_size;
    record.device = disk.device;
    record.drive_bytes = disk.drive_bytes;
    record.number = number;
}

bool is_extended(uint8_t type)
{
    return type == partition_type_extended_chs || type == partition_type_extended_lba;
}

// Appends the logical partitions of the EBR chain that starts at the extended start. 0 when the chain ended,
// -1 on a failed read or a bad signature (which empties the whole list).
int walk_ebr_chain(physical_disk& disk, uint32_t extended_start)
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
        if (!has_table_signature(ebr.get())) {
            destroy_partition_list(disk.partition_list);
            return -1;
        }

        const uint8_t* first = ebr.get() + first_entry_offset;
        fill_from_entry(record, first);
        record.primary = 0;
        // Sums of 32-bit table fields stay 32-bit, as the table's own sector numbers are.
        set_location(record, disk, static_cast<uint32_t>(record.lba_start + link_offset + extended_start),
                     5 + logical);
        append_partition(disk.partition_list, record);

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
        set_location(record, disk, static_cast<uint32_t>(extended_start + record.lba_start), 0);
        append_partition(disk.partition_list, record);
        link_offset = next_link;
        visited_links.push_back(next_link);
    }
    return 0;
}

// One type-0x83 partition, numbered 0, over the whole drive. False when the drive's size is unknown, since nothing
// else bounds the volume.
bool append_whole_drive(physical_disk& disk)
{
    if (disk.drive_bytes < disk.sector_size ||
        (!holds_ext_superblock(disk, 0, disk.drive_bytes) && !holds_ext_superblock_copy(disk, 0, disk.drive_bytes)))
        return false;
    partition_record record;
    record.type = partition_type_linux;
    record.sector_count = disk.drive_bytes / disk.sector_size;
    set_location(record, disk, 0, 0);
    append_partition(disk.partition_list, record);
    return true;
}

bool has_used_entry(const uint8_t* mbr)
{
    for (size_t slot = 0; slot < 4; ++slot)
        if (mbr[first_entry_offset + entry_size * slot + 4] != partition_type_empty)
            return true;
    return false;
}

}  // namespace

bool holds_ext_superblock(const physical_disk& disk, uint64_t byte_offset, uint64_t area_bytes)
{
    if (disk.device == INVALID_HANDLE_VALUE || area_bytes < superblock_offset * 2 ||
        byte_offset > std::numeric_limits<uint64_t>::max() - superblock_offset)
        return false;
    // The sector that holds the magic: sectors are 512 to 4096 bytes, so it is the superblock's first.
    uint64_t first = (byte_offset + superblock_offset) / disk.sector_size * disk.sector_size;
    sector_buffer sector = read_drive_bytes(disk.device, first, disk.sector_size);
    if (!sector)
        return false;
    size_t at = static_cast<size_t>(byte_offset + superblock_offset - first) + magic_offset;
    return at + 2 <= disk.sector_size && read_le16(sector.get(), at) == ext_magic;
}

bool holds_ext_superblock_copy(const physical_disk& disk, uint64_t byte_offset, uint64_t area_bytes)
{
    if (disk.device == INVALID_HANDLE_VALUE)
        return false;
    uint32_t span = static_cast<uint32_t>(std::min<uint64_t>(foreign_signature_span, area_bytes) / disk.sector_size *
                                          disk.sector_size);
    sector_buffer start = span == 0 ? nullptr : read_drive_bytes(disk.device, byte_offset, span);
    if (!start || holds_foreign_signature(start.get(), span))
        return false;
    // One read per block size, of the sector holding the copy's first bytes: sectors are 512 to 4096 bytes and
    // the copy starts on a multiple of 1024, so the 92 bytes probed lie in that sector.
    for (uint32_t log = 0; log <= max_log_backup_block_size; ++log) {
        uint64_t offset = group1_superblock_block(log) << (10 + log);
        if (offset + superblock_bytes > area_bytes || byte_offset > std::numeric_limits<uint64_t>::max() - offset)
            continue;
        uint64_t position = byte_offset + offset;
        uint64_t first = position / disk.sector_size * disk.sector_size;
        sector_buffer sector = read_drive_bytes(disk.device, first, disk.sector_size);
        if (sector && looks_like_group1_superblock(sector.get() + (position - first), log))
            return true;
    }
    return false;
}

void append_partition(std::vector<std::unique_ptr<partition>>& list, const partition_record& record)
{
    std::unique_ptr<partition> item;
    if (record.type == partition_type_linux)
        item = std::make_unique<partition_linux_ext2>();
    else
        item = std::make_unique<partition>();
    static_cast<partition_record&>(*item) = record;
    list.push_back(std::move(item));
}

void destroy_partition_list(std::vector<std::unique_ptr<partition>>& list)
{
    list.clear();
}

int scan_partition_tables(physical_disk& disk)
{
    try {
        if (disk.device == INVALID_HANDLE_VALUE)
            return -1;
        sector_buffer mbr = read_drive_bytes(disk.device, 0, disk.sector_size);
        if (!mbr)
            return -1;
        // A drive whose first sector carries the signature and a used entry is always read by its tables, never
        // taken for a volume; an ext volume's own first sector may carry the signature, with nothing in its entries.
        if (!has_table_signature(mbr.get()) || !has_used_entry(mbr.get())) {
            if (append_whole_drive(disk))
                return 0;
            return has_table_signature(mbr.get()) ? 0 : -1;
        }
        uint8_t types[4];
        for (size_t slot = 0; slot < 4; ++slot)
            types[slot] = mbr[first_entry_offset + entry_size * slot + 4];
        if (is_protective_mbr(types) && scan_gpt(disk) == 0)
            return 0;

        partition_record record;
        bool extended_seen = false;
        uint32_t extended_start = 0;
        for (int32_t slot = 1; slot <= 4; ++slot) {
            fill_from_entry(record, mbr.get() + first_entry_offset + entry_size * (slot - 1));
            if (record.type == partition_type_empty)
                continue;
            set_location(record, disk, static_cast<uint32_t>(record.lba_start), slot);
            append_partition(disk.partition_list, record);
            // Of several extended entries, the chain of the last one is walked.
            if (is_extended(record.type)) {
                extended_start = static_cast<uint32_t>(record.lba_start);
                extended_seen = true;
            }
        }
        mbr.reset();
        if (!extended_seen)
            return 0;
        return walk_ebr_chain(disk, extended_start);
    } catch (const std::bad_alloc&) {
        return -1;
    }
}

int count_ext_partitions(physical_disk& disk)
{
    if (disk.partition_list.empty()) {
        disk.ext_count = 0;
        return -1;
    }
    int32_t count = 0;
    for (auto& item : disk.partition_list) {
        if (item->type == partition_type_linux && mount_volume(static_cast<partition_linux_ext2&>(*item)))
            ++count;
    }
    disk.ext_count = count;
    return count;
}

std::vector<partition_linux_ext2*> collect_ext_partitions(physical_disk& disk)
{
    std::vector<partition_linux_ext2*> mounted;
    if (count_ext_partitions(disk) < 1)
        return mounted;
    for (auto& item : disk.partition_list) {
        if (item->type != partition_type_linux)
            continue;
        auto& candidate = static_cast<partition_linux_ext2&>(*item);
        if (is_mounted(candidate))
            mounted.push_back(&candidate);
    }
    return mounted;
}
