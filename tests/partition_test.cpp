// Partition table scan: MBR slots, EBR chains, damaged chains, the candidates, and which of them mount.
#include "disk/mbr.h"
#include "disk/partition.h"
#include "ext/volume.h"
#include "storage/assembly.h"
#include "test_support.h"

namespace {

class partition_test : public stand_in_test {
protected:
    // Serves the memory disk as drive 0 and scans it.
    int scan(const memory_disk& image)
    {
        test_control::add_drive_memory(image.bytes, image.sector_size);
        disk = open_physical_disk("\\\\.\\PhysicalDrive0");
        return scan_partition_tables(*disk);
    }

    std::vector<int> numbers() const
    {
        std::vector<int> result;
        for (auto& p : disk->partition_list)
            result.push_back(p.number);
        return result;
    }

    std::unique_ptr<physical_disk> disk;
};

}  // namespace

TEST_F(partition_test, mbr_and_ebr_chain_give_the_partitions_in_table_order)
{
    memory_disk image(512, 8192);
    image.set_entry(0, 1, 0x83, 63, 1000, 0x80);
    image.set_entry(0, 2, 0x05, 2000, 4000);
    image.sign(0);
    image.set_entry(2000, 1, 0x83, 63, 900);
    image.set_entry(2000, 2, 0x05, 1000, 1000);
    image.sign(2000);
    image.set_entry(3000, 1, 0x82, 63, 500);
    image.sign(3000);
    ASSERT_EQ(scan(image), 0);

    ASSERT_EQ(numbers(), (std::vector<int>{1, 2, 5, 0, 6}));
    auto& list = disk->partition_list;
    EXPECT_EQ(list[0].type, 0x83);
    EXPECT_EQ(list[0].bootable, 1);
    EXPECT_EQ(list[0].primary, 1);
    EXPECT_TRUE(may_hold_volume(list[0]));
    EXPECT_EQ(list[1].type, 0x05);
    EXPECT_FALSE(may_hold_volume(list[1]));
    EXPECT_FALSE(may_hold_volume(list[3]));  // a chain link
    EXPECT_FALSE(may_hold_volume(list[4]));  // swap
    EXPECT_EQ(list[2].byte_offset, 2063u * 512);
    EXPECT_EQ(list[2].primary, 0);
    EXPECT_EQ(list[2].lba_start, 63u);
    EXPECT_EQ(list[3].byte_offset, 3000u * 512);
    EXPECT_EQ(list[4].type, 0x82);
    EXPECT_EQ(list[4].byte_offset, 3063u * 512);
    for (auto& p : list) {
        EXPECT_EQ(p.device, disk->device);
        EXPECT_EQ(p.sector_size, 512u);
        ASSERT_TRUE(p.source);
        EXPECT_EQ(p.source->size, p.sector_count * 512);
    }
}

TEST_F(partition_test, empty_slots_are_skipped_but_keep_their_numbers)
{
    memory_disk image(512, 64);
    image.sign(0);
    // A signed table without a used entry is no table: the drive is taken whole, and holds nothing.
    ASSERT_EQ(scan(image), 0);
    EXPECT_EQ(numbers(), std::vector<int>{0});
    EXPECT_TRUE(mounted_partitions(*disk).empty());

    test_control::reset();
    memory_disk slot3(512, 64);
    slot3.set_entry(0, 3, 0x83, 8, 16);
    slot3.sign(0);
    ASSERT_EQ(scan(slot3), 0);
    EXPECT_EQ(numbers(), std::vector<int>{3});
}

TEST_F(partition_test, entry_fields_are_decoded_as_stored)
{
    memory_disk image(512, 64);
    image.sign(0);
    const uint8_t entry[16] = {0x81, 0x12, 0xC5, 0x34, 0x83, 0x56, 0xFF, 0x78, 1, 2, 3, 4, 5, 6, 7, 8};
    std::copy(entry, entry + 16, image.bytes.begin() + 446);
    ASSERT_EQ(scan(image), 0);
    const partition_record& p = disk->partition_list.at(0);
    EXPECT_EQ(p.bootable, 0);  // only 0x80 is bootable
    EXPECT_EQ(p.start_head, 0x12u);
    EXPECT_EQ(p.start_sector, 0x05);
    EXPECT_EQ(p.start_cylinder, 0x34u);
    EXPECT_EQ(p.end_head, 0x56u);
    EXPECT_EQ(p.end_sector, 0x3F);
    EXPECT_EQ(p.end_cylinder, 0x78u);
    EXPECT_EQ(p.lba_start, 0x04030201u);
    EXPECT_EQ(p.sector_count, 0x08070605u);
}

TEST_F(partition_test, only_the_last_extended_entry_is_walked)
{
    memory_disk image(512, 4096);
    image.set_entry(0, 2, 0x05, 1000, 100);
    image.set_entry(0, 4, 0x0F, 2000, 100);
    image.sign(0);
    image.set_entry(2000, 1, 0x83, 1, 50);
    image.sign(2000);
    // The chain of the slot-2 entry would have a bad signature at sector 1000.
    ASSERT_EQ(scan(image), 0);
    EXPECT_EQ(numbers(), (std::vector<int>{2, 4, 5}));
    EXPECT_EQ(disk->partition_list[2].byte_offset, 2001u * 512);
}

TEST_F(partition_test, chain_ends_at_a_second_entry_that_is_not_type_5)
{
    memory_disk image(512, 4096);
    image.set_entry(0, 1, 0x05, 1000, 2000);
    image.sign(0);
    image.set_entry(1000, 1, 0x00, 0, 0);  // an empty first entry still takes a number
    image.set_entry(1000, 2, 0x0F, 500, 100);
    image.sign(1000);
    ASSERT_EQ(scan(image), 0);
    EXPECT_EQ(numbers(), (std::vector<int>{1, 5}));
    EXPECT_EQ(disk->partition_list[1].type, 0x00);
}

TEST_F(partition_test, a_bad_ebr_signature_destroys_the_whole_list)
{
    memory_disk image(512, 4096);
    image.set_entry(0, 1, 0x83, 8, 100);
    image.set_entry(0, 2, 0x05, 1000, 2000);
    image.sign(0);
    image.set_entry(1000, 1, 0x83, 1, 10);
    image.set_entry(1000, 2, 0x05, 100, 20);
    image.sign(1000);
    image.set_entry(1100, 1, 0x83, 1, 10);
    image.set_entry(1100, 2, 0x05, 200, 20);
    image.sign(1100);
    image.set_entry(1200, 1, 0x83, 1, 10);  // third EBR, unsigned
    EXPECT_EQ(scan(image), -1);
    EXPECT_TRUE(disk->partition_list.empty());
}

TEST_F(partition_test, a_failed_ebr_read_keeps_what_was_found)
{
    memory_disk image(512, 64);
    image.set_entry(0, 1, 0x83, 8, 10);
    image.set_entry(0, 2, 0x05, 5000, 10);  // beyond the end of the drive
    image.sign(0);
    EXPECT_EQ(scan(image), -1);
    EXPECT_EQ(numbers(), (std::vector<int>{1, 2}));
}

TEST_F(partition_test, a_chain_that_loops_back_ends_at_the_repeated_link)
{
    memory_disk image(512, 4096);
    image.set_entry(0, 1, 0x05, 1000, 2000);
    image.sign(0);
    image.set_entry(1000, 1, 0x83, 1, 10);
    image.set_entry(1000, 2, 0x05, 100, 20);
    image.sign(1000);
    image.set_entry(1100, 1, 0x83, 1, 10);
    image.set_entry(1100, 2, 0x05, 0, 20);  // back to the first EBR
    image.sign(1100);
    ASSERT_EQ(scan(image), 0);
    EXPECT_EQ(numbers(), (std::vector<int>{1, 5, 0, 6}));
}

TEST_F(partition_test, a_chain_stops_after_256_logical_partitions)
{
    memory_disk image(512, 1000 + 2 * 300 + 2);
    image.set_entry(0, 1, 0x05, 1000, 700);
    image.sign(0);
    for (uint32_t i = 0; i < 300; ++i) {
        image.set_entry(1000 + 2 * i, 1, 0x83, 1, 1);
        image.set_entry(1000 + 2 * i, 2, 0x05, 2 * (i + 1), 2);
        image.sign(1000 + 2 * i);
    }
    ASSERT_EQ(scan(image), 0);
    int logical = 0;
    for (auto& p : disk->partition_list)
        logical += p.number >= 5;
    EXPECT_EQ(logical, max_logical_partitions);
    EXPECT_EQ(disk->partition_list.back().number, 4 + max_logical_partitions);
}

TEST_F(partition_test, tables_without_the_signature_or_on_an_unopened_drive_give_nothing)
{
    memory_disk image(512, 64);
    image.set_entry(0, 1, 0x83, 8, 10);
    // Without the signature the drive is taken whole, and what it holds is read: nothing here.
    EXPECT_EQ(scan(image), 0);
    EXPECT_EQ(numbers(), std::vector<int>{0});
    EXPECT_TRUE(mounted_partitions(*disk).empty());

    physical_disk closed;
    EXPECT_EQ(scan_partition_tables(closed), -1);
}

TEST_F(partition_test, sectors_of_4096_bytes_take_the_signature_at_510)
{
    memory_disk image(4096, 64);
    image.set_entry(0, 1, 0x83, 4, 10);
    image.sign(0);
    ASSERT_EQ(scan(image), 0);
    EXPECT_EQ(disk->partition_list.at(0).byte_offset, 4u * 4096);
    EXPECT_EQ(disk->partition_list.at(0).sector_size, 4096u);
}

TEST_F(partition_test, fixture_disks_scan_as_sfdisk_wrote_them)
{
    for (const char* name : {"main.img", "gpt.img", "bare.img", "broken.img"}) {
        test_control::reset();
        test_control::add_drive_file(fixture_path(name));
        disk = open_physical_disk("\\\\.\\PhysicalDrive0");
        int result = scan_partition_tables(*disk);
        std::string image = name;
        if (image == "broken.img") {
            EXPECT_EQ(result, -1) << name;
            EXPECT_TRUE(candidate_partitions(*disk).empty());
            continue;
        }
        ASSERT_EQ(result, 0) << name;
        std::vector<std::pair<int, uint64_t>> expected;
        if (image == "bare.img") {
            expected.emplace_back(0, 0);  // the volume fills the drive
        } else if (image == "gpt.img") {
            expected.emplace_back(1, uint64_t{2048} * 512);  // the GUID entry, not the protective one
        } else {
            for (auto& e : read_layout(image))
                expected.emplace_back(e.number, uint64_t(e.start) * 512);
        }
        std::vector<std::pair<int, uint64_t>> found;
        for (auto& p : disk->partition_list)
            if (p.number != 0 || p.type == partition_type_linux)  // chain links are numbered 0
                found.emplace_back(p.number, p.byte_offset);
        EXPECT_EQ(found, expected) << name;
    }
}

TEST_F(partition_test, only_candidates_that_mount_are_collected)
{
    test_control::add_drive_file(fixture_path("main.img"));
    disk = open_physical_disk("\\\\.\\PhysicalDrive0");
    ASSERT_EQ(scan_partition_tables(*disk), 0);
    auto mounted = mounted_partitions(*disk);
    ASSERT_EQ(mounted.size(), 3u);
    EXPECT_EQ(mounted[0].first, 1);
    EXPECT_EQ(mounted[1].first, 5);
    EXPECT_EQ(mounted[2].first, 6);

    test_control::reset();
    test_control::add_drive_file(fixture_path("gpt.img"));
    disk = open_physical_disk("\\\\.\\PhysicalDrive0");
    ASSERT_EQ(scan_partition_tables(*disk), 0);
    ASSERT_EQ(disk->partition_list.size(), 1u);
    EXPECT_EQ(disk->partition_list[0].type, partition_type_gpt);
    EXPECT_EQ(mounted_partitions(*disk).size(), 1u);
}

TEST_F(partition_test, sources_are_named_as_linux_names_them_and_identified_by_their_bytes)
{
    EXPECT_EQ(linux_source_name(1, 0), "sdb");
    EXPECT_EQ(linux_source_name(26, 12), "sdaa12");
    EXPECT_EQ(linux_source_name(-1, 1), "");

    memory_disk image(512, 64);
    image.set_entry(0, 1, 0x07, 8, 16);
    image.set_entry(0, 2, 0x82, 24, 16);
    image.sign(0);
    ASSERT_EQ(scan(image), 0);
    drive_list drives{std::move(disk)};
    std::vector<named_source> found = assemble_sources(drives).sources;
    ASSERT_EQ(found.size(), 1u);  // the swap entry is no candidate
    EXPECT_EQ(found[0].name, "sda1");
    EXPECT_EQ(found[0].source->size, 16u * 512);

    // The same bytes of the same open drive are the same source, whoever made it; other bytes or another open
    // of the drive are not.
    const source_ref& drive = drives[0]->source;
    std::string identity = source_identity(*found[0].source);
    EXPECT_EQ(source_identity(*make_slice_source(drive, 8 * 512, 16 * 512)), identity);
    EXPECT_NE(source_identity(*make_slice_source(drive, 8 * 512, 15 * 512)), identity);
    EXPECT_NE(source_identity(*make_slice_source(drive, 9 * 512, 16 * 512)), identity);
    source_ref reopened = make_drive_source(drive->device, 512, drive->size, "sda");
    EXPECT_NE(source_identity(*make_slice_source(reopened, 8 * 512, 16 * 512)), identity);
}
