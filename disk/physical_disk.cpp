// Physical drives: counting, opening, sector size, and guarded reads.
#include "disk/physical_disk.h"

#include <cstdio>
#include <limits>
#include <new>

void format_device_name(char (&name)[30], int number)
{
    std::snprintf(name, sizeof name, "%s%d", "\\\\.\\PhysicalDrive", number);
}

physical_disk::~physical_disk()
{
    partition_list.clear();
    if (device != INVALID_HANDLE_VALUE)
        CloseHandle(device);
}

// Sector sizes the reader takes from a drive: powers of two from 512 to 4096.
static bool is_supported_sector_size(uint32_t bytes)
{
    return bytes >= 512 && bytes <= 4096 && (bytes & (bytes - 1)) == 0;
}

static HANDLE open_drive(const char* device_name)
{
    return CreateFileA(device_name, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0,
                       nullptr);
}

int count_drives()
{
    // Drive numbers beyond int cannot be named; the count stops there.
    for (int n = 0; n < std::numeric_limits<int>::max(); ++n) {
        char name[30];
        format_device_name(name, n);
        HANDLE device = open_drive(name);
        if (device == INVALID_HANDLE_VALUE)
            return n;
        CloseHandle(device);
    }
    return std::numeric_limits<int>::max();
}

std::unique_ptr<physical_disk> open_physical_disk(const char* device_name)
{
    auto disk = std::make_unique<physical_disk>();
    disk->device = open_drive(device_name);
    DISK_GEOMETRY_EX geometry{};
    DWORD returned = 0;
    disk->sector_size = 512;
    if (disk->device != INVALID_HANDLE_VALUE &&
        DeviceIoControl(disk->device, IOCTL_DISK_GET_DRIVE_GEOMETRY_EX, nullptr, 0, &geometry, sizeof geometry,
                        &returned, nullptr)) {
        uint32_t answer = geometry.Geometry.BytesPerSector;
        if (!is_supported_sector_size(answer)) {
            // Every table and block offset of this drive would be computed in the wrong unit, so the drive is not
            // read at all: it keeps its number and yields no partitions.
            CloseHandle(disk->device);
            disk->device = INVALID_HANDLE_VALUE;
            return disk;
        }
        disk->sector_size = answer;
        disk->drive_bytes = geometry.DiskSize.QuadPart > 0 ? static_cast<uint64_t>(geometry.DiskSize.QuadPart) : 0;
    }
    if (disk->device != INVALID_HANDLE_VALUE)
        disk->source = make_drive_source(disk->device, disk->sector_size, disk->drive_bytes, std::string());
    return disk;
}

bool read_drive_into(HANDLE device, uint64_t position, uint32_t length, uint8_t* target)
{
    if (device == INVALID_HANDLE_VALUE || length == 0 || target == nullptr ||
        position > static_cast<uint64_t>(std::numeric_limits<LONGLONG>::max()))
        return false;
    // On a handle opened without FILE_FLAG_OVERLAPPED, ReadFile with an OVERLAPPED reads synchronously at the offset
    // it names; no shared file pointer is involved, so reads from several threads cannot interleave.
    OVERLAPPED where{};
    where.Offset = static_cast<DWORD>(position);
    where.OffsetHigh = static_cast<DWORD>(position >> 32);
    DWORD done = 0;
    return ReadFile(device, target, length, &done, &where) && done == length;
}

sector_buffer read_drive_bytes(HANDLE device, uint64_t position, uint32_t length)
{
    if (device == INVALID_HANDLE_VALUE || length == 0)
        return nullptr;
    sector_buffer buffer(new (std::nothrow) uint8_t[length]);
    if (!buffer || !read_drive_into(device, position, length, buffer.get()))
        return nullptr;
    return buffer;
}

namespace {

// The drive position and byte length of a sector request, when it passes every check: an open device, a count of
// at least 1, a length within 32 bits, the whole request inside the partition and, when the drive's size is known,
// inside the drive.
bool sector_request(const partition_record& source, uint64_t index, uint32_t count, uint64_t& position, uint32_t& length)
{
    if (source.device == INVALID_HANDLE_VALUE || count == 0)
        return false;
    uint64_t bytes = static_cast<uint64_t>(count) * source.sector_size;
    if (bytes > std::numeric_limits<uint32_t>::max())
        return false;
    if (index > source.sector_count || count > source.sector_count - index)
        return false;
    // index < 2^32 here, so the product and the sum stay far below 2^64.
    position = index * source.sector_size + source.byte_offset;
    if (source.drive_bytes != 0 && (position > source.drive_bytes || bytes > source.drive_bytes - position))
        return false;
    length = static_cast<uint32_t>(bytes);
    return true;
}

}  // namespace

bool read_sectors_into(const partition_record& source, uint64_t index, uint32_t count, uint8_t* target)
{
    uint64_t position = 0;
    uint32_t length = 0;
    return sector_request(source, index, count, position, length) &&
           read_drive_into(source.device, position, length, target);
}

sector_buffer read_sectors(const partition_record& source, uint64_t index, uint32_t count)
{
    uint64_t position = 0;
    uint32_t length = 0;
    if (!sector_request(source, index, count, position, length))
        return nullptr;
    return read_drive_bytes(source.device, position, length);
}

void place_partition(partition_record& record, const physical_disk& disk, uint64_t first_sector, int32_t number)
{
    record.byte_offset = first_sector * disk.sector_size;
    record.sector_size = disk.sector_size;
    record.device = disk.device;
    record.drive_bytes = disk.drive_bytes;
    record.number = number;
    record.source = record.type == partition_type_empty || !disk.source
                        ? nullptr
                        : make_slice_source(disk.source, record.byte_offset, record.byte_length());
}
