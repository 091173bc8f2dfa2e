// GUID partition tables and whole-drive volumes: which table is read, what the root shows, bounds, and copies.
#include "disk/byte_order.h"
#include "disk/gpt.h"
#include "ext/volume.h"
#include "disk/partition.h"
#include "plugin/plugin_context.h"
#include "plugin_support.h"

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

// The drive offset of the source of the volume shown at index.
uint64_t shown_offset(size_t index)
{
    return current_context()->volumes.at(index).volume->source->segments.at(0).targets.at(0).offset;
}

uint64_t read_le64(const uint8_t* p, size_t offset)
{
    return read_le32(p, offset) | (static_cast<uint64_t>(read_le32(p, offset + 4)) << 32);
}

void put_le64(uint8_t* p, uint64_t value)
{
    put_le32(p, static_cast<uint32_t>(value));
    put_le32(p + 4, static_cast<uint32_t>(value >> 32));
}

class gpt_test : public scratch_test {
protected:
    // The gpt_parts fixture in memory, and where its tables lie.
    std::vector<uint8_t> image = read_file_bytes(fixture_path("gpt_parts.img"));
    uint64_t primary() const { return 512; }
    uint64_t backup() const { return image.size() - 512; }
    uint64_t entries_of(uint64_t header) const { return read_le64(image.data() + header, 72) * 512; }
    uint8_t* entry(uint64_t header, int number) { return image.data() + entries_of(header) + 128 * (number - 1); }

    void rehash_header(uint64_t header)
    {
        uint8_t* h = image.data() + header;
        put_le32(h + 16, 0);
        put_le32(h + 16, gpt_crc32(h, read_le32(h, 12)));
    }

    void rehash_entries(uint64_t header)
    {
        uint8_t* h = image.data() + header;
        put_le32(h + 88, gpt_crc32(image.data() + entries_of(header), read_le32(h, 80) * read_le32(h, 84)));
        rehash_header(header);
    }

    // The root as the host sees it with the image as the only drive.
    std::vector<std::string> root(int64_t geometry = test_control::geometry_default)
    {
        test_control::reset();
        test_control::set_administrator(true);
        test_control::add_drive_memory(image, geometry);
        EXPECT_EQ(FsInit(0, nullptr, nullptr, nullptr), 0);
        return list_names("/");
    }

    // Copies every file of the source tree from the folder and compares it byte by byte; returns how many.
    size_t copy_tree_from(const std::string& folder, const fs::path& tree)
    {
        size_t copied = 0;
        for (const auto& item : fs::recursive_directory_iterator(tree)) {
            if (!item.is_regular_file())
                continue;
            std::string remote = folder + "/" + item.path().lexically_relative(tree).string();
            std::string local = (scratch / "copy").string();
            std::vector<char> r(remote.begin(), remote.end());
            r.push_back('\0');
            std::vector<char> l(local.begin(), local.end());
            l.push_back('\0');
            EXPECT_EQ(FsGetFile(r.data(), l.data(), 0, nullptr), file_result_ok) << remote;
            EXPECT_EQ(read_file_bytes(local), read_file_bytes(item.path().string())) << remote;
            fs::remove(local);
            ++copied;
        }
        return copied;
    }

};

}  // namespace

TEST_F(gpt_test, crc32_is_the_common_one)
{
    const char check[] = "123456789";
    EXPECT_EQ(gpt_crc32(reinterpret_cast<const uint8_t*>(check), 9), 0xCBF43926u);
    EXPECT_EQ(gpt_crc32(nullptr, 0), 0u);
}

TEST_F(gpt_test, linux_and_basic_data_ext_entries_show_by_entry_number_and_copy_byte_exact)
{
    test_control::add_drive_file(fixture_path("gpt_parts.img"));
    auto disk = open_physical_disk("\\\\.\\PhysicalDrive0");
    ASSERT_EQ(scan_partition_tables(*disk), 0);
    std::vector<std::tuple<int, uint64_t, uint64_t, bool>> found;
    for (auto& p : disk->partition_list)
        found.emplace_back(p.number, p.byte_offset, p.sector_count, may_hold_volume(p));
    // Entry 4 is unused; 2 (swap) is not a candidate; 5 and 6 are candidates but hold nothing.
    std::vector<std::tuple<int, uint64_t, uint64_t, bool>> expected;
    for (const layout_entry& e : read_layout("gpt_parts.img"))
        expected.emplace_back(e.number, uint64_t{e.start} * 512, e.size,
                              e.type != "swap");
    EXPECT_EQ(found, expected);
    std::vector<int> mounted;
    for (auto& [number, volume] : mounted_partitions(*disk))
        mounted.push_back(number);
    EXPECT_EQ(mounted, (std::vector<int>{1, 3}));
    disk.reset();

    test_control::reset();
    test_control::set_administrator(true);
    test_control::add_drive_memory(read_file_bytes(fixture_path("main.img")));
    test_control::add_drive_file(fixture_path("gpt_parts.img"));
    ASSERT_EQ(FsInit(0, nullptr, nullptr, nullptr), 0);
    EXPECT_EQ(list_names("/"), (std::vector<std::string>{"sda1", "sda5", "sda6", "sdb1", "sdb3"}));
    EXPECT_EQ(list_names("/sdb3/a/b"), std::vector<std::string>{"deep.bin"});
    EXPECT_EQ(copy_tree_from("/sdb1", fixture_path("trees/gpt_parts1")), 3u);
    EXPECT_EQ(copy_tree_from("/sdb3", fixture_path("trees/gpt_parts3")), 3u);
    EXPECT_EQ(list_names("/sdb2"), std::vector<std::string>{"<invalid>"});
}

TEST_F(gpt_test, a_damaged_primary_falls_back_to_the_backup)
{
    const std::vector<std::string> both{"sda1", "sda3"};
    const std::vector<uint8_t> pristine = image;
    ASSERT_EQ(root(), both);

    // The header's CRC no longer matches, and its array is gone: only the backup can give the entries.
    image[primary() + 60] ^= 0x01;
    std::memset(image.data() + 2 * 512, 0, 32 * 512);
    EXPECT_EQ(root(), both);
    // Where the drive's size is unknown, the backup is found where the primary's header says it is.
    EXPECT_EQ(root(test_control::geometry_fails), both);

    // A primary array whose CRC fails: entry 3 marked unused there would hide sda3, were the array taken.
    image = pristine;
    std::memset(entry(primary(), 3), 0, 16);
    EXPECT_EQ(root(), both);

    // With the backup's array damaged too, no GUID table checks out: the protective MBR shows nothing.
    image[entries_of(backup()) + 200] ^= 0x40;
    EXPECT_EQ(root(), std::vector<std::string>{"<invalid>"});
}

TEST_F(gpt_test, sectors_of_4096_bytes_count_every_lba_in_them)
{
    // The gpt_parts disk recounted in 4096-byte sectors: its partitions start and end on multiples of 8 of its
    // 512-byte sectors, so only the tables move.
    const uint64_t sectors = image.size() / 4096;
    std::vector<uint8_t> disk(image.size(), 0);
    std::copy(image.begin() + 34 * 512, image.end() - 33 * 512, disk.begin() + 34 * 512);
    std::copy(image.begin(), image.begin() + 512, disk.begin());  // the protective MBR
    std::vector<uint8_t> entries(128 * 128, 0);
    for (int number = 1; number <= 128; ++number) {
        const uint8_t* from = entry(primary(), number);
        uint8_t* to = entries.data() + 128 * (number - 1);
        std::copy(from, from + 128, to);
        if (read_le64(from, 32) != 0) {
            put_le64(to + 32, read_le64(from, 32) / 8);
            put_le64(to + 40, (read_le64(from, 40) + 1) / 8 - 1);
        }
    }
    auto write_table = [&](uint64_t header_lba, uint64_t alternate_lba, uint64_t entries_lba) {
        std::copy(entries.begin(), entries.end(), disk.begin() + entries_lba * 4096);
        uint8_t* h = disk.data() + header_lba * 4096;
        std::copy(image.begin() + primary(), image.begin() + primary() + 92, h);
        put_le64(h + 24, header_lba);
        put_le64(h + 32, alternate_lba);
        put_le64(h + 40, 6);
        put_le64(h + 48, sectors - 6);
        put_le64(h + 72, entries_lba);
        put_le32(h + 88, gpt_crc32(entries.data(), entries.size()));
        put_le32(h + 16, 0);
        put_le32(h + 16, gpt_crc32(h, 92));
    };
    write_table(1, sectors - 1, 2);
    write_table(sectors - 1, 1, sectors - 5);
    image = disk;
    // Entry 1's blocks of 1 KiB are not whole sectors: only entry 3 mounts.
    EXPECT_EQ(root(4096), std::vector<std::string>{"sda3"});
    EXPECT_EQ(shown_offset(0), uint64_t{2344} * 512);
    EXPECT_EQ(copy_tree_from("/sda3", fixture_path("trees/gpt_parts3")), 3u);
    // The same bytes read in 512-byte sectors hold no GUID table.
    EXPECT_EQ(root(), std::vector<std::string>{"<invalid>"});
}

TEST_F(gpt_test, a_hybrid_mbr_is_read_as_an_mbr)
{
    memory_disk mbr(512, 1);
    mbr.bytes.assign(image.begin(), image.begin() + 512);
    mbr.set_entry(0, 2, 0x83, 2344, 2048);
    std::copy(mbr.bytes.begin(), mbr.bytes.end(), image.begin());
    EXPECT_EQ(root(), std::vector<std::string>{"sda2"});
}

TEST_F(gpt_test, entries_outside_the_usable_range_or_reversed_are_passed_over_and_keep_their_numbers)
{
    uint64_t last_usable = read_le64(image.data() + primary(), 48);
    put_le64(entry(primary(), 1) + 40, last_usable + 1);
    uint8_t* third = entry(primary(), 3);
    put_le64(third + 40, read_le64(third, 32) - 1);
    put_le64(entry(primary(), 6) + 32, 0);  // before the first usable LBA
    rehash_entries(primary());
    EXPECT_EQ(root(), std::vector<std::string>{"<invalid>"});
    std::vector<int> numbers;
    for (auto& p : current_context()->disks[0]->partition_list)
        numbers.push_back(p.number);
    EXPECT_EQ(numbers, (std::vector<int>{2, 5}));
}

TEST_F(gpt_test, header_fields_are_checked_before_use)
{
    const uint64_t drive_sectors = image.size() / 512;
    // The header sector, with room after it so that a header size past the sector stays inside the buffer.
    std::vector<uint8_t> header(image.begin() + primary(), image.begin() + primary() + 512);
    header.resize(1024);
    auto parses_with = [&](size_t offset, uint32_t value, int width = 4) {
        std::vector<uint8_t> sector = header;
        if (width == 8)
            put_le64(sector.data() + offset, value);
        else
            put_le32(sector.data() + offset, value);
        put_le32(sector.data() + 16, 0);
        put_le32(sector.data() + 16, gpt_crc32(sector.data(), read_le32(sector.data(), 12)));
        return parse_gpt_header(sector.data(), 512, 1, drive_sectors).has_value();
    };
    ASSERT_TRUE(parse_gpt_header(header.data(), 512, 1, drive_sectors));
    EXPECT_FALSE(parse_gpt_header(header.data(), 512, 2, drive_sectors));  // my-LBA
    header[20] ^= 1;  // reserved, but covered by the CRC
    EXPECT_FALSE(parse_gpt_header(header.data(), 512, 1, drive_sectors));
    header[20] ^= 1;

    EXPECT_TRUE(parses_with(80, 1024));
    EXPECT_FALSE(parses_with(80, 1025));
    EXPECT_TRUE(parses_with(84, 256));
    for (uint32_t size : {0u, 64u, 192u, 8192u})
        EXPECT_FALSE(parses_with(84, size)) << "entry size " << size;
    EXPECT_FALSE(parses_with(8, 0x00020000));                              // revision 2.0
    EXPECT_FALSE(parses_with(12, 91));                                     // header sizes
    EXPECT_FALSE(parses_with(12, 513));
    EXPECT_FALSE(parses_with(40, 6200, 8));                                // first usable after last usable
    EXPECT_FALSE(parses_with(48, static_cast<uint32_t>(drive_sectors), 8));  // last usable off the drive
    EXPECT_FALSE(parses_with(72, static_cast<uint32_t>(drive_sectors - 1), 8));  // array off the drive
    EXPECT_FALSE(parses_with(72, 0, 8));
    EXPECT_FALSE(parses_with(40, 1, 8));                                   // usable range over the header
}

TEST_F(gpt_test, a_partition_beyond_2_tib_is_read_at_its_64_bit_offset)
{
    const uint64_t start = (uint64_t{1} << 32) + 2048;
    std::vector<uint8_t> volume = read_file_bytes(fixture_path("volume_ext2_1k.img"));
    std::string path = (scratch / "big.img").string();
    run_command("truncate -s 3T '" + path + "' && printf 'label: gpt\\nstart=" + std::to_string(start) +
                ", size=" + std::to_string(volume.size() / 512) +
                ", type=0FC63DAF-8483-4772-8E79-3D69D8477DE4\\n' | PATH=$PATH:/usr/sbin:/sbin sfdisk -q '" + path +
                "' && dd if='" + fixture_path("volume_ext2_1k.img") + "' of='" + path +
                "' bs=512 seek=" + std::to_string(start) + " conv=notrunc status=none");
    ASSERT_EQ(fs::file_size(path), 3ull << 40);
    test_control::add_drive_file(path);
    ASSERT_EQ(FsInit(0, nullptr, nullptr, nullptr), 0);
    ASSERT_EQ(list_names("/"), std::vector<std::string>{"sda1"});
    EXPECT_EQ(shown_offset(0), start * 512);
    EXPECT_EQ(copy_tree_from("/sda1", fixture_path("trees/small")), 1u);
}

TEST_F(gpt_test, a_volume_on_the_whole_drive_is_listed_as_the_drive_and_copies_byte_exact)
{
    test_control::add_drive_file(fixture_path("bare.img"));
    ASSERT_EQ(FsInit(0, nullptr, nullptr, nullptr), 0);
    EXPECT_EQ(list_names("/"), std::vector<std::string>{"sda"});
    std::vector<std::string> top = list_names("/sda");
    std::sort(top.begin(), top.end());
    EXPECT_EQ(top, (std::vector<std::string>{"file.txt", "lost+found"}));
    EXPECT_EQ(copy_tree_from("/sda", fixture_path("trees/bare")), 1u);
    EXPECT_EQ(list_names("/sda1"), std::vector<std::string>{"<invalid>"});
}

TEST_F(gpt_test, only_a_drive_without_a_used_table_entry_is_taken_for_a_volume)
{
    std::vector<uint8_t> volume = read_file_bytes(fixture_path("volume_ext2_1k.img"));
    auto scanned = [&](const memory_disk& drive, int64_t geometry = test_control::geometry_default) {
        test_control::reset();
        test_control::add_drive_memory(drive.bytes, geometry);
        auto disk = open_physical_disk("\\\\.\\PhysicalDrive0");
        int result = scan_partition_tables(*disk);
        std::vector<int> numbers;
        for (auto& p : disk->partition_list)
            numbers.push_back(p.number);
        return std::make_pair(result, numbers);
    };
    memory_disk drive(512, 0);
    drive.place(0, volume);
    EXPECT_EQ(scanned(drive), std::make_pair(0, std::vector<int>{0}));
    // The volume's boot sector may carry the signature, with no entry.
    drive.sign(0);
    EXPECT_EQ(scanned(drive), std::make_pair(0, std::vector<int>{0}));
    EXPECT_EQ(scanned(drive, 4096), std::make_pair(0, std::vector<int>{0}));
    // Without a known size nothing bounds the volume.
    EXPECT_EQ(scanned(drive, test_control::geometry_fails), std::make_pair(0, std::vector<int>{}));
    // A used entry makes it an MBR disk, whatever lies at byte 1024.
    drive.set_entry(0, 3, 0x83, 8, 100);
    EXPECT_EQ(scanned(drive), std::make_pair(0, std::vector<int>{3}));
    // Neither a table nor a superblock: taken whole, what it holds is read, and nothing mounts.
    memory_disk blank(512, 64);
    EXPECT_EQ(scanned(blank), std::make_pair(0, std::vector<int>{0}));
    auto disk = open_physical_disk("\\\\.\\PhysicalDrive0");
    ASSERT_EQ(scan_partition_tables(*disk), 0);
    EXPECT_TRUE(mounted_partitions(*disk).empty());
}

TEST_F(gpt_test, what_an_entry_holds_is_read_from_it_not_from_its_type)
{
    test_control::add_drive_file(fixture_path("gpt_systemd.img"));
    test_control::add_drive_file(fixture_path("mbr_types.img"));
    ASSERT_EQ(FsInit(0, nullptr, nullptr, nullptr), 0);
    // The systemd root entry and the type-0x07 entry show; the swap-typed entry holds ext but is never read.
    EXPECT_EQ(list_names("/"), (std::vector<std::string>{"sda1", "sdb1"}));
    EXPECT_EQ(copy_tree_from("/sda1", fixture_path("trees/gpt_systemd1")), 2u);
    EXPECT_EQ(copy_tree_from("/sdb1", fixture_path("trees/mbr_types1")), 2u);
    EXPECT_EQ(list_names("/sdb2"), std::vector<std::string>{"<invalid>"});
}
