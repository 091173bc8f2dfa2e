// Physical drives: counting, opening, sector size, and guarded reads.
#include "disk/physical_disk.h"

#include "disk/partition.h"

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
    return disk;
}

sector_buffer read_drive_bytes(HANDLE device, uint64_t position, uint32_t length)
{
    if (device == INVALID_HANDLE_VALUE || length == 0 ||
        position > static_cast<uint64_t>(std::numeric_limits<LONGLONG>::max()))
        return nullptr;
    LARGE_INTEGER where;
    where.QuadPart = static_cast<LONGLONG>(position);
    if (!SetFilePointerEx(device, where, nullptr, FILE_BEGIN))
        return nullptr;
    sector_buffer buffer(new (std::nothrow) uint8_t[length]);
    if (!buffer)
        return nullptr;
    DWORD done = 0;
    if (!ReadFile(device, buffer.get(), length, &done, nullptr) || done != length)
        return nullptr;
    return buffer;
}

sector_buffer read_sectors(const partition& source, uint64_t index, uint32_t count)
{
    if (source.device == INVALID_HANDLE_VALUE || count == 0)
        return nullptr;
    uint64_t length = static_cast<uint64_t>(count) * source.sector_size;
    if (length > std::numeric_limits<uint32_t>::max())
        return nullptr;
    if (index > source.sector_count || count > source.sector_count - index)
        return nullptr;
    // index < 2^32 here, so the product and the sum stay far below 2^64.
    uint64_t position = index * source.sector_size + source.byte_offset;
    if (source.drive_bytes != 0 && (position > source.drive_bytes || length > source.drive_bytes - position))
        return nullptr;
    return read_drive_bytes(source.device, position, static_cast<uint32_t>(length));
}
