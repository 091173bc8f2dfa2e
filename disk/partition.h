// Partitions: the table scan (MBR and EBRs, a GUID table behind a protective MBR, or a volume on the whole drive),
// the partition objects, and the gathering of mounted ext partitions.
#pragma once

#include "disk/physical_disk.h"

#include <atomic>
#include <cstdint>
#include <memory>

struct ext2_volume_info;

// The fields of one partition table entry, with where the entry lies on the drive. Every record made by the scan
// ends within the drive and within the reach of a signed 64-bit seek: byte_offset + sector_count * sector_size
// is below 2^63.
struct partition_record {
    int32_t bootable = 0;  // 1 when the status byte is exactly 0x80
    int32_t primary = 1;   // 1 for an MBR entry, 0 for an EBR entry
    uint32_t sector_size = 512;
    uint8_t type = 0;
    uint32_t start_head = 0;
    uint32_t end_head = 0;
    uint8_t start_sector = 0;  // bits 0 to 5 of the sector byte
    uint8_t end_sector = 0;
    uint32_t start_cylinder = 0;  // the low 8 cylinder bits only
    uint32_t end_cylinder = 0;
    // As stored: absolute, relative to its EBR, or relative to the extended start; a GUID entry's first LBA.
    uint64_t lba_start = 0;
    uint64_t sector_count = 0;  // 32 bits in an MBR or EBR, 64 in a GUID table
    uint64_t byte_offset = 0;  // absolute drive position of the area the entry describes
    // 1-4 primary slots, 5 up logical partitions, 0 chain links; a GUID entry's index + 1; 0 for a volume that
    // fills the whole drive (the only partition of its drive then).
    int32_t number = 0;
    HANDLE device = INVALID_HANDLE_VALUE;  // the disk's handle; not owned
    uint64_t drive_bytes = 0;              // the disk's size in bytes; 0 when unknown
};

class partition : public partition_record {
public:
    partition() = default;
    partition(const partition&) = delete;
    partition& operator=(const partition&) = delete;
    virtual ~partition();
};

// A number that no other partition object of the process has had or will have.
inline uint64_t new_partition_cache_id()
{
    static std::atomic<uint64_t> last{0};
    return ++last;
}

// A type-0x83 partition, which can carry an ext volume.
class partition_linux_ext2 : public partition {
public:
    partition_linux_ext2();
    ~partition_linux_ext2() override;

    // Keys this partition's entries in the process-wide caches. Unique for the process's life, so that entries
    // left by a partition that is gone can never answer for a new one at the same address.
    const uint64_t cache_id = new_partition_cache_id();
    std::unique_ptr<ext2_volume_info> volume_info;  // null until mounted
};

inline constexpr uint8_t partition_type_empty = 0x00;
inline constexpr uint8_t partition_type_extended_chs = 0x05;
inline constexpr uint8_t partition_type_extended_lba = 0x0F;
inline constexpr uint8_t partition_type_linux = 0x83;
inline constexpr uint8_t partition_type_gpt_protective = 0xEE;
// The type byte given to a used GUID entry that is not read: it is not 0x83, so it is never mounted.
inline constexpr uint8_t partition_type_gpt_other = 0xEE;

// A chain of more logical partitions than this is taken to be damaged and ends there.
inline constexpr int max_logical_partitions = 256;

// Reads the drive's partitions into its partition_list: the GUID table when the MBR only protects one (falling back
// to the MBR when the GUID table does not check out), else the MBR and the EBR chain of its last extended entry.
// A drive without a table (no signature, or no used entry) whose ext superblock lies at byte 1024, or whose
// primary is gone but holds_ext_superblock_copy, is one type-0x83 partition numbered 0 over the whole drive, when
// the drive's size is known.
// 0 when the tables were read; -1 on failure (a bad EBR signature also empties the list).
int scan_partition_tables(physical_disk& disk);

// True when the area of area_bytes at byte_offset of the drive holds the ext magic where a superblock would be.
// A probe only: the mount checks the superblock.
bool holds_ext_superblock(const physical_disk& disk, uint64_t byte_offset, uint64_t area_bytes);

// True when the area's start carries no other file system's signature (disk/fs_signatures.h) and a superblock copy
// that says it is group 1's lies where mke2fs puts it for one of the block sizes (ext/volume.h
// group1_superblock_block): a volume whose primary superblock is gone. A probe only, as above.
bool holds_ext_superblock_copy(const physical_disk& disk, uint64_t byte_offset, uint64_t area_bytes);

// Creates the object for a filled record (a partition_linux_ext2 for type 0x83) and appends it.
void append_partition(std::vector<std::unique_ptr<partition>>& list, const partition_record& record);

void destroy_partition_list(std::vector<std::unique_ptr<partition>>& list);

// Mounts the type-0x83 partitions and stores how many are mounted in ext_count. -1 when the list is empty.
int count_ext_partitions(physical_disk& disk);

// The mounted type-0x83 partitions in list order; empty when none is mounted.
std::vector<partition_linux_ext2*> collect_ext_partitions(physical_disk& disk);
