// GUID partition tables: the header, the entry array, their CRC32s, and the used entries as partition records.
#pragma once

#include "disk/physical_disk.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

// A header's entry count above this is taken as damage: the array is never read.
inline constexpr uint32_t gpt_max_entries = 1024;
// Entry sizes are multiples of this, from this up to gpt_max_entry_size.
inline constexpr uint32_t gpt_min_entry_size = 128;
inline constexpr uint32_t gpt_max_entry_size = 4096;
inline constexpr uint32_t gpt_min_header_size = 92;

// Entry types known to hold something other than a volume, in their on-disk byte order.
// C12A7328-F81F-11D2-BA4B-00A0C93EC93B: EFI system partition.
inline constexpr gpt_guid gpt_type_efi_system = {0x28, 0x73, 0x2A, 0xC1, 0x1F, 0xF8, 0xD2, 0x11,
                                                 0xBA, 0x4B, 0x00, 0xA0, 0xC9, 0x3E, 0xC9, 0x3B};
// E3C9E316-0B5C-4DB8-817D-F92DF00215AE: Microsoft reserved.
inline constexpr gpt_guid gpt_type_microsoft_reserved = {0x16, 0xE3, 0xC9, 0xE3, 0x5C, 0x0B, 0xB8, 0x4D,
                                                         0x81, 0x7D, 0xF9, 0x2D, 0xF0, 0x02, 0x15, 0xAE};
// 21686148-6449-6E6F-744E-656564454649: BIOS boot.
inline constexpr gpt_guid gpt_type_bios_boot = {0x48, 0x61, 0x68, 0x21, 0x49, 0x64, 0x6F, 0x6E,
                                                0x74, 0x4E, 0x65, 0x65, 0x64, 0x45, 0x46, 0x49};
// 0657FD6D-A4AB-43C4-84E5-0933C84B4F4F: Linux swap.
inline constexpr gpt_guid gpt_type_linux_swap = {0x6D, 0xFD, 0x57, 0x06, 0xAB, 0xA4, 0xC4, 0x43,
                                                 0x84, 0xE5, 0x09, 0x33, 0xC8, 0x4B, 0x4F, 0x4F};

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

// Appends the drive's GUID partition table to records: the primary at LBA 1, else the backup at the drive's last
// LBA (or where the primary's header says it is). Each used entry inside the usable range becomes a record numbered
// by its index + 1, with its type GUID and its slice of the drive. 0 when a table checked out; -1 when neither did,
// with records left as they were.
int read_gpt_table(const physical_disk& disk, std::vector<partition_record>& records);
