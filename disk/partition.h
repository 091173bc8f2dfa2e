// Partitions: the choice of table (a GUID table behind a protective MBR, else the MBR and its EBR chain, else the
// whole drive), and which of the records found may hold a volume.
#pragma once

#include "disk/physical_disk.h"

#include <vector>

// Reads the drive's partitions into its partition_list: the GUID table when the MBR only protects one (falling back
// to the MBR when the GUID table does not check out), else the MBR and the EBR chain of its last extended entry.
// A drive without a table (no signature, or no used entry) whose size is known is one record of type 0x83
// numbered 0 over the whole drive: what it holds is found by reading it.
// 0 when the tables were read or the drive was taken whole; -1 on failure (a bad EBR signature also empties the
// list).
int scan_partition_tables(physical_disk& disk);

// True when what the record holds is found by reading it, as Linux does: every used entry except the types known
// to hold something else (MBR extended 0x05, 0x0F and 0x85, swap 0x82, EFI 0xEF, protective 0xEE; GUID EFI system,
// Microsoft reserved, BIOS boot and Linux swap) and the EBR chain's links.
bool may_hold_volume(const partition_record& record);

// The records of a scanned drive that may hold a volume and have a slice of the drive, in table order.
std::vector<partition_record> candidate_partitions(const physical_disk& disk);
