// Physical drives: counting, sector sizes, and the guarded sector reads.
#include "disk/partition.h"
#include "disk/physical_disk.h"
#include "ext/volume.h"
#include "plugin_support.h"
#include "test_support.h"

#include <atomic>
#include <cstdio>
#include <fstream>
#include <numeric>
#include <thread>
#include <unistd.h>

namespace {

class physical_disk_test : public stand_in_test {};

// A drive whose every byte tells its own position, so a read shows where it came from.
std::vector<uint8_t> counting_bytes(size_t size)
{
    std::vector<uint8_t> bytes(size);
    for (size_t i = 0; i < size; ++i)
        bytes[i] = static_cast<uint8_t>(i * 7 + i / 251);
    return bytes;
}

std::unique_ptr<partition_record> partition_on(const physical_disk& disk, uint64_t byte_offset, uint32_t sector_count)
{
    auto p = std::make_unique<partition_record>();
    p->device = disk.device;
    p->sector_size = disk.sector_size;
    p->byte_offset = byte_offset;
    p->sector_count = sector_count;
    return p;
}

}  // namespace

TEST_F(physical_disk_test, drives_are_counted_up_to_the_first_that_cannot_be_opened)
{
    for (int i = 0; i < 3; ++i)
        test_control::add_drive_memory(std::vector<uint8_t>(4096));
    EXPECT_EQ(count_drives(), 3);
    EXPECT_EQ(test_control::read_counters().drive_opens, 3);

    test_control::reset();
    test_control::use_no_drives();
    EXPECT_EQ(count_drives(), 0);
}

TEST_F(physical_disk_test, sector_size_is_the_geometry_answer_and_other_answers_refuse_the_drive)
{
    // 0 stands for a refused drive: it is not read at all.
    const int64_t answers[] = {4096, 512, 2048, test_control::geometry_fails, 0, 256, 1536, 8192, 520};
    const uint32_t expected[] = {4096, 512, 2048, 512, 0, 0, 0, 0, 0};
    for (int64_t answer : answers)
        test_control::add_drive_memory(std::vector<uint8_t>(8192), answer);
    for (size_t i = 0; i < std::size(answers); ++i) {
        char name[30];
        format_device_name(name, static_cast<int>(i));
        auto disk = open_physical_disk(name);
        if (expected[i] == 0) {
            EXPECT_EQ(disk->device, INVALID_HANDLE_VALUE) << "answer " << answers[i];
            EXPECT_EQ(scan_partition_tables(*disk), -1);
            continue;
        }
        EXPECT_NE(disk->device, INVALID_HANDLE_VALUE);
        EXPECT_EQ(disk->sector_size, expected[i]) << "answer " << answers[i];
    }
    auto missing = open_physical_disk("\\\\.\\PhysicalDrive9");
    EXPECT_EQ(missing->device, INVALID_HANDLE_VALUE);
    EXPECT_EQ(missing->sector_size, 512u);
}

TEST_F(physical_disk_test, sectors_are_counted_from_the_partition_start)
{
    std::vector<uint8_t> drive = counting_bytes(2 * 1024 * 1024);
    test_control::add_drive_memory(drive);
    test_control::add_drive_memory(drive, 4096);
    auto disk512 = open_physical_disk("\\\\.\\PhysicalDrive0");
    auto disk4096 = open_physical_disk("\\\\.\\PhysicalDrive1");

    auto p = partition_on(*disk512, 1048576, 2048);
    sector_buffer buffer = read_sectors(*p, 2, 2);
    ASSERT_TRUE(buffer);
    EXPECT_TRUE(std::equal(buffer.get(), buffer.get() + 1024, drive.begin() + 1049600));

    auto q = partition_on(*disk4096, 4096, 64);
    buffer = read_sectors(*q, 1, 3);
    ASSERT_TRUE(buffer);
    EXPECT_TRUE(std::equal(buffer.get(), buffer.get() + 12288, drive.begin() + 8192));
}

TEST_F(physical_disk_test, reads_outside_the_partition_or_the_drive_fail_cleanly)
{
    test_control::add_drive_memory(counting_bytes(64 * 512));
    auto disk = open_physical_disk("\\\\.\\PhysicalDrive0");
    auto p = partition_on(*disk, 512, 40);
    auto huge = partition_on(*disk, 0, UINT32_MAX);
    // A partition that the drive ends inside: the short read is a failure.
    auto past_end = partition_on(*disk, 60 * 512, 100);
    struct request {
        const partition_record* source;
        uint64_t index;
        uint32_t count;
        bool ok;
    };
    const request requests[] = {{p.get(), 39, 1, true},         {p.get(), 40, 1, false},
                                {p.get(), 39, 2, false},        {p.get(), UINT64_MAX, 1, false},
                                {p.get(), 0, 0, false},         {huge.get(), 0, 8388608, false},  // beyond 32 bits
                                {past_end.get(), 2, 4, false}};
    // The allocating and the caller's-buffer forms answer alike.
    std::vector<uint8_t> target(64 * 512);
    for (const request& r : requests) {
        EXPECT_EQ(read_sectors(*r.source, r.index, r.count) != nullptr, r.ok) << r.index << " " << r.count;
        if (r.count <= 64) {
            EXPECT_EQ(read_sectors_into(*r.source, r.index, r.count, target.data()), r.ok) << r.index << " " << r.count;
        }
    }
    std::vector<uint8_t> drive = counting_bytes(64 * 512);
    ASSERT_TRUE(read_sectors_into(*p, 3, 2, target.data()));
    EXPECT_TRUE(std::equal(target.begin(), target.begin() + 1024, drive.begin() + 4 * 512));
}

TEST_F(physical_disk_test, a_failed_read_and_an_unopened_drive_give_nothing)
{
    test_control::add_drive_memory(counting_bytes(64 * 512));
    auto disk = open_physical_disk("\\\\.\\PhysicalDrive0");
    auto p = partition_on(*disk, 0, 64);
    std::vector<uint8_t> target(512);
    test_control::fail_nth_read(1);
    EXPECT_FALSE(read_sectors(*p, 0, 1));
    test_control::fail_nth_read(1);
    EXPECT_FALSE(read_sectors_into(*p, 0, 1, target.data()));
    EXPECT_TRUE(read_sectors(*p, 0, 1));

    auto closed = partition_on(*disk, 0, 64);
    closed->device = INVALID_HANDLE_VALUE;
    long before = test_control::read_counters().drive_reads;
    EXPECT_FALSE(read_sectors(*closed, 0, 1));
    EXPECT_FALSE(read_sectors_into(*closed, 0, 1, target.data()));
    EXPECT_EQ(test_control::read_counters().drive_reads, before);
}

TEST_F(physical_disk_test, threads_reading_one_drive_at_once_each_get_their_own_bytes)
{
    // Reads carry their own position: with a shared file pointer, one thread's read could land at another's place.
    std::vector<uint8_t> drive = counting_bytes(4 * 1024 * 1024);
    std::string path = testing::TempDir() + "tarnwick_positioned_" + std::to_string(getpid());
    {
        std::ofstream out(path, std::ios::binary);
        out.write(reinterpret_cast<const char*>(drive.data()), static_cast<std::streamsize>(drive.size()));
    }
    test_control::add_drive_file(path);
    test_control::add_drive_memory(drive);
    for (const char* name : {"\\\\.\\PhysicalDrive0", "\\\\.\\PhysicalDrive1"}) {
        SCOPED_TRACE(name);
        auto disk = open_physical_disk(name);
        auto p = partition_on(*disk, 0, static_cast<uint32_t>(drive.size() / 512));
        std::atomic<int> wrong{0};
        auto reader = [&](uint64_t seed) {
            std::vector<uint8_t> target(64 * 512);
            for (uint64_t i = 0; i < 400; ++i) {
                uint64_t index = (seed * 7919 + i * 104729) % (drive.size() / 512 - 64);
                uint32_t count = 1 + static_cast<uint32_t>((i + seed) % 64);
                if (!read_sectors_into(*p, index, count, target.data()) ||
                    !std::equal(target.begin(), target.begin() + count * 512, drive.begin() + index * 512))
                    ++wrong;
            }
        };
        std::thread first(reader, 1), second(reader, 2);
        first.join();
        second.join();
        EXPECT_EQ(wrong, 0);
    }
    std::remove(path.c_str());
}

TEST_F(physical_disk_test, a_drive_of_1536_byte_sectors_keeps_its_number_and_shows_nothing)
{
    memory_disk image(512, 8);
    std::vector<uint8_t> volume = read_file_bytes(fixture_path("volume_ext4.img"));
    image.set_entry(0, 1, 0x83, 8, static_cast<uint32_t>(volume.size() / 512));
    image.sign(0);
    image.place(8, volume);
    test_control::add_drive_memory(image.bytes, 1536);
    test_control::add_drive_memory(image.bytes, 512);
    ASSERT_EQ(FsInit(0, nullptr, nullptr, nullptr), 0);
    EXPECT_EQ(list_names("/"), std::vector<std::string>{"sdb1"});

    // A volume whose blocks are not a whole number of sectors is refused, whatever gave it that sector size.
    auto disk = open_physical_disk("\\\\.\\PhysicalDrive1");
    for (uint32_t sector_size : {1536u, 3072u}) {
        source_ref drive = make_drive_source(disk->device, sector_size, disk->drive_bytes, "sdb");
        std::unique_ptr<ext_volume> odd =
            make_ext_volume(make_slice_source(drive, 8 * 512, volume.size() / sector_size * sector_size));
        ASSERT_TRUE(odd);
        EXPECT_FALSE(mount_volume(*odd)) << sector_size;
    }
}
