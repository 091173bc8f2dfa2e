// Start-up: the administrator check, the drive scan, the volumes shown by name, and the exported FsInit.
#include "disk/partition.h"
#include "plugin/plugin_context.h"
#include "plugin_support.h"

#include <dlfcn.h>

namespace {

class start_up_test : public stand_in_test {};

}  // namespace

TEST_F(start_up_test, volumes_are_found_by_the_names_linux_gives_them)
{
    test_control::add_drive_memory(disk_with_volumes({1}, true).bytes);
    memory_disk empty(512, 8);
    empty.sign(0);
    test_control::add_drive_memory(empty.bytes);
    test_control::add_drive_memory(disk_with_volumes({2}, false).bytes);

    ASSERT_EQ(FsInit(7, nullptr, nullptr, nullptr), 0);
    shared_context held = current_context();
    const plugin_context& context = *held;
    EXPECT_TRUE(context.initialised);
    EXPECT_EQ(context.plugin_number, 7);
    EXPECT_EQ(context.disk_count, 3);
    EXPECT_EQ(volume_index(context, "sda1"), 0);
    EXPECT_EQ(volume_index(context, "sda5"), 1);
    EXPECT_EQ(volume_index(context, "sdc2"), 2);
    // Names of no ext partition.
    for (const char* name : {"sda", "sda2", "sda6", "sdb1", "sdc1", "sdd1", ""})
        EXPECT_EQ(volume_index(context, name), -1) << name;
}

TEST_F(start_up_test, fixture_disks_keep_their_drive_numbers_whatever_they_hold)
{
    for (const char* name : {"main.img", "bare.img", "gpt.img", "broken.img"})
        test_control::add_drive_file(fixture_path(name));
    ASSERT_EQ(FsInit(0, nullptr, nullptr, nullptr), 0);
    shared_context held = current_context();
    const plugin_context& context = *held;
    ASSERT_EQ(context.disk_count, 4);
    std::vector<std::string> names;
    for (const shown_volume& shown : context.volumes)
        names.push_back(shown.name);
    // The whole-drive volume of bare.img is named by its drive alone; the broken chain shows nothing.
    EXPECT_EQ(names, (std::vector<std::string>{"sda1", "sda5", "sda6", "sdb", "sdc1"}));
    EXPECT_EQ(volume_index(context, "sda6"), 2);
    EXPECT_EQ(volume_index(context, "sdb"), 3);
    EXPECT_EQ(volume_index(context, "sdc1"), 4);
}

TEST_F(start_up_test, drives_without_ext_partitions_show_no_volume)
{
    memory_disk empty(512, 8);
    empty.sign(0);
    test_control::add_drive_memory(empty.bytes);
    test_control::add_drive_memory(std::vector<uint8_t>(4096));
    ASSERT_EQ(FsInit(0, nullptr, nullptr, nullptr), 0);
    EXPECT_EQ(current_context()->disk_count, 2);
    EXPECT_TRUE(current_context()->volumes.empty());
}

TEST_F(start_up_test, no_drive_at_all_starts_without_a_volume)
{
    test_control::use_no_drives();
    ASSERT_EQ(FsInit(0, nullptr, nullptr, nullptr), 0);
    EXPECT_TRUE(current_context()->initialised);
    EXPECT_EQ(current_context()->disk_count, 0);
    EXPECT_TRUE(current_context()->volumes.empty());
}

TEST_F(start_up_test, a_non_administrator_gets_one_message_and_no_drive_is_touched)
{
    test_control::add_drive_file(fixture_path("main.img"));
    test_control::set_administrator(false);
    EXPECT_EQ(FsInit(3, nullptr, nullptr, nullptr), -1);
    EXPECT_EQ(test_control::message_boxes(), std::vector<std::string>{"INFO: You are not admin"});
    EXPECT_EQ(test_control::read_counters().drive_opens, 0);
    EXPECT_FALSE(current_context()->initialised);
    EXPECT_EQ(initialised_context(), nullptr);
    EXPECT_EQ(current_context()->disk_count, 0);
}

TEST_F(start_up_test, the_shared_library_exports_fs_init_and_starts)
{
    void* library = dlopen(TARNWICK_PLUGIN_PATH, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(library, nullptr) << dlerror();
    auto fs_init = reinterpret_cast<int (*)(int, progress_proc, log_proc, request_proc)>(dlsym(library, "FsInit"));
    ASSERT_NE(fs_init, nullptr);
    std::string disks = fixture_path("main.img");
    setenv("TARNWICK_DISKS", disks.c_str(), 1);
    EXPECT_EQ(fs_init(1, nullptr, nullptr, nullptr), 0);
    unsetenv("TARNWICK_DISKS");
    dlclose(library);
}

TEST_F(start_up_test, the_plugin_names_its_folder_within_the_hosts_buffer_and_takes_default_params)
{
    char name[64];
    FsGetDefRootName(name, sizeof name);
    EXPECT_STREQ(name, "Linux ext");
    char short_buffer[6] = "?????";
    FsGetDefRootName(short_buffer, 4);
    EXPECT_STREQ(short_buffer, "Lin");
    EXPECT_EQ(short_buffer[4], '?');
    default_params params{static_cast<int>(sizeof(default_params)), 3, 2, "/tmp/settings.ini"};
    FsSetDefaultParams(&params);
    FsSetDefaultParams(nullptr);
}
