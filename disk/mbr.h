// MBR partition tables: the four primary entries of sector 0 and the EBR chain of the last extended entry.
#pragma once

#include "disk/physical_disk.h"

#include <cstdint>
#include <vector>

// A chain of more logical partitions than this is taken to be damaged and ends there.
inline constexpr int max_logical_partitions = 256;

// True when a sector ends in the 0x55AA table signature.
bool has_mbr_signature(const uint8_t* sector);

// True when any of the four primary entries of a table sector has a type other than empty.
bool has_used_mbr_entry(const uint8_t* sector);

// The four primary entries' type bytes of a table sector.
void mbr_entry_types(const uint8_t* sector, uint8_t (&types)[4]);

// Appends the entries of the MBR in mbr (the drive's first sector, signed) to records in table order: each used
// primary slot numbered 1-4, then the EBR chain of the last extended entry, each logical partition numbered from 5
// on and each chain link (numbered 0) after the partition of its EBR. Each record gets its slice of the drive.
// 0 when the table was read; -1 on a failed read or a bad EBR signature, which empties records.
int read_mbr_table(const physical_disk& disk, const uint8_t* mbr, std::vector<partition_record>& records);

