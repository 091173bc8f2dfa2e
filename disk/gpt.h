// GUID partition tables: the header, the entry array, their CRC32s, and the entries that can carry an ext volume.
#pragma once

#include "disk/physical_disk.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>

// A header's entry count above this is taken as damage: the array is never read.
inline constexpr uint32_t gpt_max_entries = 1024;
// Entry sizes are multiples of this, from this up to gpt_max_entry_size.
inline constexpr uint32_t gpt_min_entry_size = 128;
inline constexpr uint32_t gpt_max_entry_size = 4096;
inline constexpr uint32_t gpt_min_header_size = 92;

using gpt_guid = std::array<uint8_t, 16>;  // as stored on disk (the first three groups little-endian)

// The header fields the reader uses, checked.
struct gpt_header {
    uint64_t my_lba = 0;
    uint64_t alternate_lba = 0;
    uint64_t first_usable_lba = 0;
    uint64_t last_usable_lba = 0;
    uint64_t entries_lba = 0;
    uint32_t entry_count = 0;
    uint32_t entry_size = 0;
    uint32_t entries_crc = 0;
};

// The CRC-32 of the header and the entry array (reflected, polynomial 0xEDB88320, as zlib computes it).
uint32_t gpt_crc32(const uint8_t* data, size_t length);

// Checks the header in a sector read at lba of a drive of drive_sectors sectors (0 when the size is unknown):
// signature, revision 1.x, header size within the sector, its CRC, my-LBA, usable range, and an entry array of
// at most gpt_max_entries entries of a valid size that lies on the drive. Nothing when any check fails.
std::optional<gpt_header> parse_gpt_header(const uint8_t* sector, uint32_t sector_size, uint64_t lba,
                                           uint64_t drive_sectors);

// True when a drive whose MBR holds these four type bytes is protected by a GUID table: an 0xEE entry and no
// entry of another type. A hybrid table (0xEE among other entries) is read as an MBR.
bool is_protective_mbr(const uint8_t (&types)[4]);

// Reads the drive's GUID partition table into its partition_list: the primary at LBA 1, else the backup at the
// drive's last LBA (or where the primary's header says it is). Entries are numbered by their index + 1; a
// Linux-data entry, or a basic-data one that holds an ext superblock, becomes a type-0x83 partition, every other
// used entry a plain partition. 0 when a table checked out; -1 when neither did, with the list left empty.
int scan_gpt(physical_disk& disk);
