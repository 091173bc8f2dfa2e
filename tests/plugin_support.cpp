// Helpers of the tests that drive the plugin through its exports.
#include "plugin_support.h"

#include <filesystem>

memory_disk disk_with_volumes(const std::vector<int>& primary_slots, bool logical)
{
    std::vector<uint8_t> volume = read_file_bytes(fixture_path("volume_ext2_1k.img"));
    uint32_t volume_sectors = static_cast<uint32_t>(volume.size() / 512);
    memory_disk image(512, 8);
    uint32_t next = 8;
    for (int slot : primary_slots) {
        image.set_entry(0, slot, 0x83, next, volume_sectors);
        image.place(next, volume);
        next += volume_sectors;
    }
    if (logical) {
        image.set_entry(0, 4, 0x05, next, volume_sectors + 8);
        image.set_entry(next, 1, 0x83, 8, volume_sectors);
        image.sign(next);
        image.place(next + 8, volume);
    }
    image.sign(0);
    return image;
}

std::vector<std::string> list_names(const std::string& path)
{
    std::vector<char> host_path(path.begin(), path.end());
    host_path.push_back('\0');
    WIN32_FIND_DATAA record;
    HANDLE handle = FsFindFirst(host_path.data(), &record);
    if (handle == INVALID_HANDLE_VALUE)
        return {"<invalid>"};
    std::vector<std::string> names{record.cFileName};
    while (FsFindNext(handle, &record))
        names.emplace_back(record.cFileName);
    FsFindClose(handle);
    return names;
}

int64_t unix_seconds(const FILETIME& time)
{
    uint64_t ticks = (static_cast<uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
    return static_cast<int64_t>(ticks / 10000000) - 11644473600;
}

std::map<std::string, listed_entry> list_entries(const std::string& path)
{
    std::map<std::string, listed_entry> entries;
    std::vector<char> host_path(path.begin(), path.end());
    host_path.push_back('\0');
    WIN32_FIND_DATAA record;
    HANDLE handle = FsFindFirst(host_path.data(), &record);
    if (handle == INVALID_HANDLE_VALUE)
        return entries;
    do {
        entries[record.cFileName] = {record.dwFileAttributes,
                                     (uint64_t(record.nFileSizeHigh) << 32) | record.nFileSizeLow,
                                     record.dwReserved0, unix_seconds(record.ftLastWriteTime)};
    } while (FsFindNext(handle, &record));
    FsFindClose(handle);
    return entries;
}

int copy_out(const std::string& remote, const std::string& local, int flags)
{
    std::vector<char> r(remote.begin(), remote.end());
    r.push_back('\0');
    std::vector<char> l(local.begin(), local.end());
    l.push_back('\0');
    return FsGetFile(r.data(), l.data(), flags, nullptr);
}

void served_disk_test::serve(std::vector<uint8_t> disk)
{
    test_control::reset();
    test_control::set_administrator(true);
    test_control::add_drive_memory(std::move(disk));
    ASSERT_EQ(FsInit(0, nullptr, nullptr, nullptr), 0);
}

int served_disk_test::copy(const std::string& remote, const std::string& source)
{
    std::filesystem::path local = scratch / "copy";
    int result = copy_out(remote, local.string());
    EXPECT_EQ(std::filesystem::exists(local), result == file_result_ok) << remote;
    if (result == file_result_ok && !source.empty()) {
        EXPECT_TRUE(read_file_bytes(local.string()) == read_file_bytes(fixture_path("trees/" + source))) << remote;
    }
    std::filesystem::remove(local);
    return result;
}
