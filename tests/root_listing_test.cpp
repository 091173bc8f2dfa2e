// The root listing and the partition folder names and paths the host sees.
#include "disk/partition.h"
#include "plugin/find.h"
#include "plugin/virtual_paths.h"
#include "storage/assembly.h"
#include "plugin_support.h"

#include <algorithm>
#include <cstring>

namespace {

class root_listing_test : public stand_in_test {};

// Drive 0 with ext partitions 1 and 5, drive 1 with none, drive 2 with ext partition 2.
void three_drives()
{
    test_control::add_drive_memory(disk_with_volumes({1}, true).bytes);
    memory_disk empty(512, 8);
    empty.sign(0);
    test_control::add_drive_memory(empty.bytes);
    test_control::add_drive_memory(disk_with_volumes({2}, false).bytes);
    ASSERT_EQ(FsInit(0, nullptr, nullptr, nullptr), 0);
}

// Parses the path and gives the name of the volume it names; drive and number are what the name spells, for the
// checks written against them.
int parse(const std::string& path, int& drive, int& number)
{
    int index = -1;
    int end = parse_partition_folder(*current_context(), path.c_str(), index);
    if (end < 0)
        return end;
    const std::string& name = current_context()->volumes.at(static_cast<size_t>(index)).name;
    size_t digits = name.find_first_of("0123456789");
    int letters = 0;
    for (size_t i = 2; i < std::min(digits, name.size()); ++i)
        letters = letters * 26 + (name[i] - 'a' + 1);
    drive = letters - 1;
    number = digits == std::string::npos ? 0 : std::stoi(name.substr(digits));
    EXPECT_EQ(linux_source_name(drive, number), name);
    return end;
}

}  // namespace

TEST_F(root_listing_test, root_lists_ext_partitions_in_drive_and_partition_order)
{
    three_drives();
    EXPECT_EQ(list_names("/"), (std::vector<std::string>{"sda1", "sda5", "sdc2"}));
}

TEST_F(root_listing_test, root_entries_are_folders_with_their_root_directorys_time_and_mode)
{
    three_drives();
    WIN32_FIND_DATAA record;
    std::memset(&record, 0xAB, sizeof record);
    char root[] = "/";
    HANDLE handle = FsFindFirst(root, &record);
    ASSERT_NE(handle, INVALID_HANDLE_VALUE);
    for (int entry = 0; entry < 3; ++entry) {
        EXPECT_EQ(record.dwFileAttributes, 0x80000010u);
        EXPECT_EQ(record.dwReserved0 & 0xF000u, 0x4000u);
        // A real time (after 2001), never the no-time marker, which some hosts cannot take.
        uint64_t ticks = (uint64_t(record.ftLastWriteTime.dwHighDateTime) << 32) | record.ftLastWriteTime.dwLowDateTime;
        EXPECT_GT(ticks, (11644473600ull + 1000000000ull) * 10000000ull);
        EXPECT_LT(ticks, 0xFFFFFFFE00000000ull);
        EXPECT_EQ(record.nFileSizeLow, 0u);
        EXPECT_EQ(record.nFileSizeHigh, 0u);
        EXPECT_EQ(record.cAlternateFileName[0], '\0');
        std::memset(&record, 0xAB, sizeof record);
        EXPECT_EQ(FsFindNext(handle, &record), entry < 2 ? TRUE : FALSE);
    }
    EXPECT_FALSE(FsFindNext(handle, &record));
    EXPECT_EQ(FsFindClose(handle), 0);
    EXPECT_EQ(FsFindClose(INVALID_HANDLE_VALUE), 0);
}

TEST_F(root_listing_test, root_handles_do_not_disturb_each_other)
{
    three_drives();
    WIN32_FIND_DATAA a, b;
    char root[] = "/";
    HANDLE first = FsFindFirst(root, &a);
    HANDLE second = FsFindFirst(root, &b);
    ASSERT_TRUE(FsFindNext(first, &a));
    EXPECT_STREQ(a.cFileName, "sda5");
    ASSERT_TRUE(FsFindNext(second, &b));
    EXPECT_STREQ(b.cFileName, "sda5");
    ASSERT_TRUE(FsFindNext(first, &a));
    EXPECT_STREQ(a.cFileName, "sdc2");
    FsFindClose(first);
    FsFindClose(second);
}

TEST_F(root_listing_test, no_listing_without_ext_partitions_drives_or_start_up)
{
    memory_disk empty(512, 8);
    empty.sign(0);
    test_control::add_drive_memory(empty.bytes);
    ASSERT_EQ(FsInit(0, nullptr, nullptr, nullptr), 0);
    EXPECT_EQ(list_names("/"), std::vector<std::string>{"<invalid>"});

    test_control::reset();
    test_control::use_no_drives();
    ASSERT_EQ(FsInit(0, nullptr, nullptr, nullptr), 0);
    EXPECT_EQ(list_names("/"), std::vector<std::string>{"<invalid>"});

    test_control::reset();
    test_control::add_drive_memory(disk_with_volumes({1}, false).bytes);
    test_control::set_administrator(false);
    EXPECT_EQ(FsInit(0, nullptr, nullptr, nullptr), -1);
    WIN32_FIND_DATAA record;
    std::memset(&record, 0x5A, sizeof record);
    char root[] = "/";
    EXPECT_EQ(FsFindFirst(root, &record), INVALID_HANDLE_VALUE);
    EXPECT_EQ(static_cast<unsigned char>(record.cFileName[0]), 0x5A);  // untouched
}

TEST_F(root_listing_test, fixture_disks_show_their_ext_partitions_and_whole_drive_volumes)
{
    test_control::add_drive_file(fixture_path("gpt.img"));
    test_control::add_drive_file(fixture_path("main.img"));
    test_control::add_drive_file(fixture_path("bare.img"));
    ASSERT_EQ(FsInit(0, nullptr, nullptr, nullptr), 0);
    EXPECT_EQ(list_names("/"), (std::vector<std::string>{"sda1", "sdb1", "sdb5", "sdb6", "sdc"}));
}

TEST_F(root_listing_test, a_whole_drive_volume_is_named_by_its_drive_alone)
{
    test_control::add_drive_file(fixture_path("bare.img"));
    test_control::add_drive_memory(disk_with_volumes({1}, false).bytes);
    ASSERT_EQ(FsInit(0, nullptr, nullptr, nullptr), 0);
    int drive = -7, number = -7;
    EXPECT_EQ(parse("/sda", drive, number), 4);
    EXPECT_EQ(drive, 0);
    EXPECT_EQ(number, 0);
    EXPECT_EQ(parse("/sda/lost+found", drive, number), 4);
    drive = number = -7;
    for (const char* bad : {"/sda0", "/sda1", "/sdb", "/sdb0", "/sd", "/sdc"})
        EXPECT_EQ(parse(bad, drive, number), -1) << bad;
    EXPECT_EQ(drive, -7);
    EXPECT_EQ(volume_index(*current_context(), "sda"), 0);
    EXPECT_EQ(volume_index(*current_context(), "sdb"), -1);
    EXPECT_EQ(volume_index(*current_context(), "sdb1"), 1);

    char name[host_path_size];
    format_partition_folder(name, 1, 0);
    EXPECT_STREQ(name, "sdb");
}

TEST_F(root_listing_test, partition_folders_parse_to_drive_and_number)
{
    test_control::add_drive_memory(disk_with_volumes({1}, true).bytes);
    test_control::add_drive_memory(disk_with_volumes({2}, false).bytes);
    ASSERT_EQ(FsInit(0, nullptr, nullptr, nullptr), 0);
    int drive = -7, number = -7;
    EXPECT_EQ(parse("/sda1", drive, number), 5);
    EXPECT_EQ(drive, 0);
    EXPECT_EQ(number, 1);
    EXPECT_EQ(parse("/sdb2/home/x", drive, number), 5);
    EXPECT_EQ(drive, 1);
    EXPECT_EQ(number, 2);
    EXPECT_EQ(parse("/other/sda5", drive, number), 11);  // the search is not anchored
    EXPECT_EQ(number, 5);

    drive = number = -7;
    for (const char* bad : {"/sda", "/sdab", "/sd1a", "/sda1x", "/sda-1", "/sdc1", "/sda6", "/sdA1", "/sd", "sda1",
                            "/sda0", "/sda2", "/sda3", "/sdb1", "/sda99999999999999999999", "/sdzzzzzzzzzzzzzz1", ""})
        EXPECT_EQ(parse(bad, drive, number), -1) << bad;
    EXPECT_EQ(drive, -7);
    EXPECT_EQ(number, -7);
}

TEST_F(root_listing_test, drives_from_26_on_are_named_with_several_letters_and_can_be_opened)
{
    for (int i = 0; i < 28; ++i) {
        memory_disk empty(512, 8);
        empty.sign(0);
        test_control::add_drive_memory(i == 27 ? disk_with_volumes({3}, false).bytes : empty.bytes);
    }
    ASSERT_EQ(FsInit(0, nullptr, nullptr, nullptr), 0);
    EXPECT_EQ(list_names("/"), std::vector<std::string>{"sdab3"});
    int drive = 0, number = 0;
    EXPECT_EQ(parse("/sdab3", drive, number), 6);
    EXPECT_EQ(drive, 27);
    EXPECT_EQ(number, 3);

    char name[host_path_size];
    format_partition_folder(name, 25, 1);
    EXPECT_STREQ(name, "sdz1");
    format_partition_folder(name, 26, 12);
    EXPECT_STREQ(name, "sdaa12");
    format_partition_folder(name, 26 + 26 * 26, 1);
    EXPECT_STREQ(name, "sdaaa1");
}

TEST_F(root_listing_test, names_convert_between_code_pages_into_260_bytes)
{
    char target[host_path_size];
    std::string text = "gr\xc3\xbc\xc3\x9f" "e";
    EXPECT_EQ(convert_code_page(65001, text.c_str(), -1, 0, target), 8);
    EXPECT_STREQ(target, text.c_str());
    // A counted source without a terminator still comes out terminated.
    EXPECT_EQ(convert_code_page(0, "abcdef", 3, 65001, target), 4);
    EXPECT_STREQ(target, "abc");
    EXPECT_EQ(convert_code_page(0, nullptr, 3, 65001, target), 0);
    EXPECT_EQ(convert_code_page(0, "abc", -1, 65001, nullptr), 4);
    EXPECT_EQ(convert_code_page(0, "abc", 3, 65001, nullptr), 3);
    // 130 two-byte characters need 261 bytes with the terminator.
    std::string wide_text;
    for (int i = 0; i < 130; ++i)
        wide_text += "\xc3\xa9";
    EXPECT_EQ(convert_code_page(0, wide_text.c_str(), static_cast<int>(wide_text.size()), 65001, target), 0);
    wide_text.resize(258);
    EXPECT_EQ(convert_code_page(0, wide_text.c_str(), static_cast<int>(wide_text.size()), 65001, target), 259);
}
