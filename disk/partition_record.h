// The record every partition-table parser returns: one table entry, where it lies, and the drive slice it names.
#pragma once

#include "disk/block_source.h"
#include "platform/platform.h"

#include <array>
#include <cstdint>

using gpt_guid = std::array<uint8_t, 16>;  // as stored on disk (the first three groups little-endian)

// The fields of one partition table entry, with where the entry lies on the drive. Every record a parser makes
// ends within the drive (where its size is known) and within the reach of a signed 64-bit seek: byte_offset +
// sector_count * sector_size is below 2^63.
struct partition_record {
    int32_t bootable = 0;  // 1 when the status byte is exactly 0x80
    int32_t primary = 1;   // 1 for an MBR or GUID entry, 0 for an EBR entry
    uint32_t sector_size = 512;
    uint8_t type = 0;      // the MBR type byte; partition_type_gpt for a GUID entry
    gpt_guid gpt_type{};   // a GUID entry's type; zero for an MBR entry
    uint32_t start_head = 0;
    uint32_t end_head = 0;
    uint8_t start_sector = 0;  // bits 0 to 5 of the sector byte
    uint8_t end_sector = 0;
    uint32_t start_cylinder = 0;  // the low 8 cylinder bits only
    uint32_t end_cylinder = 0;
    // As stored: absolute, relative to its EBR, or relative to the extended start; a GUID entry's first LBA.
    uint64_t lba_start = 0;
    uint64_t sector_count = 0;  // 32 bits in an MBR or EBR, 64 in a GUID table
    uint64_t byte_offset = 0;   // absolute drive position of the area the entry describes
    // As Linux numbers it: 1-4 primary slots, 5 up logical partitions, 0 chain links; a GUID entry's index + 1; 0
    // for a volume that fills the whole drive (the only partition of its drive then).
    int32_t number = 0;
    HANDLE device = INVALID_HANDLE_VALUE;  // the disk's handle; not owned
    uint64_t drive_bytes = 0;              // the disk's size in bytes; 0 when unknown
    // The entry's bytes as a slice of the drive's source; null for an empty entry or one that reaches past the
    // drive's end.
    source_ref source;

    uint64_t byte_length() const { return sector_count * sector_size; }
};

inline constexpr uint8_t partition_type_empty = 0x00;
inline constexpr uint8_t partition_type_extended_chs = 0x05;
inline constexpr uint8_t partition_type_extended_lba = 0x0F;
inline constexpr uint8_t partition_type_extended_linux = 0x85;
inline constexpr uint8_t partition_type_linux_swap = 0x82;
inline constexpr uint8_t partition_type_linux = 0x83;
inline constexpr uint8_t partition_type_gpt_protective = 0xEE;
inline constexpr uint8_t partition_type_efi = 0xEF;
// The type byte of every GUID entry: its type is the GUID.
inline constexpr uint8_t partition_type_gpt = 0xEE;
