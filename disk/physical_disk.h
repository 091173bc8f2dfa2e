// Physical drives: counting and opening them, and the one guarded path by which every byte is read from a drive.
#pragma once

#include "disk/block_source.h"
#include "disk/partition_record.h"
#include "platform/platform.h"

#include <cstdint>
#include <memory>
#include <vector>


// A buffer read from a drive; it belongs to the caller.
using sector_buffer = std::unique_ptr<uint8_t[]>;

// One per drive, created at start-up and kept until the process ends.
struct physical_disk {
    HANDLE device = INVALID_HANDLE_VALUE;  // read-only; INVALID_HANDLE_VALUE when the drive did not open
    uint32_t sector_size = 512;            // logical sector size, never below 512
    uint64_t drive_bytes = 0;              // the drive's size as the geometry query gives it; 0 when unknown
    source_ref source;  // the whole drive as a block source; null when the device did not open
    std::vector<partition_record> partition_list;  // every table entry, in table order (scan_partition_tables)

    physical_disk() = default;
    physical_disk(const physical_disk&) = delete;
    physical_disk& operator=(const physical_disk&) = delete;
    ~physical_disk();  // closes the device; the host's process normally ends first
};

// Drives that can be opened, counted from drive 0 up to the first that cannot. No handle is left open.
int count_drives();

// Opens a drive by its device name and learns its sector size and size. Always yields a disk; one whose device did not
// open has INVALID_HANDLE_VALUE and every read of it fails. A drive whose geometry answers a sector size other than a
// power of two from 512 to 4096 is closed again and yields such a disk; a failed query leaves 512 and no size.
std::unique_ptr<physical_disk> open_physical_disk(const char* device_name);

// Formats "\\.\PhysicalDrive" + number into a buffer of 30 characters.
void format_device_name(char (&name)[30], int number);

// Reads length bytes at an absolute drive position into target, which holds at least length bytes. The read is
// positioned: it moves no position shared by the handle, so any number of threads may read one drive at once.
// False for a failed or short read, a position that overflows, or a length of 0; target's content is then undefined.
// This is the one function through which every byte of a drive is read.
bool read_drive_into(HANDLE device, uint64_t position, uint32_t length, uint8_t* target);

// As read_drive_into, into a new buffer; null on any failure.
sector_buffer read_drive_bytes(HANDLE device, uint64_t position, uint32_t length);

// Reads count sectors starting index sectors after the partition's first byte into target, which holds at least
// count sectors. Refused when the request does not fit in 32 bits of bytes or reaches past the end of the partition
// or, when its size is known, of the drive; false on any failure.
bool read_sectors_into(const partition_record& source, uint64_t index, uint32_t count, uint8_t* target);

// As read_sectors_into, into a new buffer that is allocated only once the request has passed every check (so that
// no buffer is ever sized by a table or superblock beyond what the drive holds); null on any failure.
sector_buffer read_sectors(const partition_record& source, uint64_t index, uint32_t count);

// Sets a filled record's place on the drive from its first sector and its number, with the drive's handle and size
// and, unless its type is empty, its slice of the drive's source (null when the slice does not lie on the drive).
void place_partition(partition_record& record, const physical_disk& disk, uint64_t first_sector, int32_t number);
