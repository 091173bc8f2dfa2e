// Drives attached and removed while the host runs: the root listing looks for them again.
#include "ext/folder_cache.h"
#include "ext/inode_cache.h"
#include "plugin/plugin_context.h"
#include "plugin_support.h"

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <thread>
#include <unistd.h>

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

class drive_rescan_test : public scratch_test {
protected:
    void SetUp() override
    {
        scratch_test::SetUp();
        set_rescan_interval(0ms);
    }

    void TearDown() override
    {
        set_rescan_interval(default_rescan_interval);
        scratch_test::TearDown();
    }

    static int get(const std::string& remote, const fs::path& local) { return copy_out(remote, local.string()); }

    static std::string contents(const fs::path& path)
    {
        std::ifstream in(path, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }
};

using names = std::vector<std::string>;

}  // namespace

TEST_F(drive_rescan_test, a_drive_attached_later_shows_at_the_first_root_listing_after_the_interval)
{
    test_control::add_drive_file(fixture_path("bare.img"));
    ASSERT_EQ(FsInit(0, nullptr, nullptr, nullptr), 0);
    set_rescan_interval(1h);
    test_control::add_drive_file(fixture_path("main.img"));
    EXPECT_EQ(list_names("/"), names{"sda"});
    EXPECT_EQ(list_names("/sdb1"), names{"<invalid>"});

    set_rescan_interval(0ms);
    EXPECT_EQ(list_names("/"), (names{"sda", "sdb1", "sdb5", "sdb6"}));
    EXPECT_EQ(get("/sdb1/hello.txt", scratch / "hello"), file_result_ok);
    EXPECT_EQ(contents(scratch / "hello"), contents(fixture_path("trees/main1/hello.txt")));

    // A start without any drive still finds one plugged in later.
    test_control::reset();
    test_control::use_no_drives();
    ASSERT_EQ(FsInit(0, nullptr, nullptr, nullptr), 0);
    EXPECT_EQ(list_names("/"), names{"<invalid>"});
    test_control::attach_drive_file(0, fixture_path("gpt.img"));
    EXPECT_EQ(list_names("/"), names{"sda1"});
}

TEST_F(drive_rescan_test, an_unchanged_drive_keeps_its_objects_and_a_changed_one_is_read_afresh)
{
    test_control::add_drive_file(fixture_path("main.img"));
    test_control::add_drive_file(fixture_path("bare.img"));
    ASSERT_EQ(FsInit(0, nullptr, nullptr, nullptr), 0);
    shared_context before = current_context();
    EXPECT_EQ(list_names("/"), (names{"sda1", "sda5", "sda6", "sdb"}));
    shared_context after = current_context();
    ASSERT_EQ(after->disk_count, 2);
    EXPECT_EQ(after->disks[0], before->disks[0]);
    EXPECT_EQ(after->disks[1], before->disks[1]);

    // Another drive under number 1.
    test_control::attach_drive_file(1, fixture_path("gpt.img"));
    EXPECT_EQ(list_names("/"), (names{"sda1", "sda5", "sda6", "sdb1"}));
    EXPECT_EQ(current_context()->disks[0], before->disks[0]);
    EXPECT_NE(current_context()->disks[1], before->disks[1]);
    EXPECT_EQ(list_names("/sdb"), names{"<invalid>"});
    EXPECT_EQ(list_names("/sdb1"), (names{"lost+found", "file.txt"}));
}

TEST_F(drive_rescan_test, a_removed_drive_disappears_while_its_open_listing_finishes_and_then_is_forgotten)
{
    test_control::add_drive_file(fixture_path("bare.img"));
    test_control::add_drive_file(fixture_path("main.img"));
    test_control::add_drive_file(fixture_path("gpt.img"));
    ASSERT_EQ(FsInit(0, nullptr, nullptr, nullptr), 0);

    char many[] = "/sdb5/many";
    WIN32_FIND_DATAA record;
    HANDLE open_search = FsFindFirst(many, &record);
    ASSERT_NE(open_search, INVALID_HANDLE_VALUE);
    size_t listed = 1;
    size_t folders = folder_cache_count();

    test_control::detach_drive(1);
    // The drive after the gap keeps its name.
    EXPECT_EQ(list_names("/"), (names{"sda", "sdc1"}));
    EXPECT_EQ(list_names("/sdb5"), names{"<invalid>"});
    EXPECT_EQ(get("/sdb5/one_byte.bin", scratch / "one"), file_result_not_found);
    EXPECT_FALSE(fs::exists(scratch / "one"));

    while (FsFindNext(open_search, &record))
        ++listed;
    EXPECT_EQ(listed, 300u);
    // The search held the drive; once it is closed, the caches keep nothing of its partitions (the root folder
    // and "many" of sdb5).
    EXPECT_EQ(folder_cache_count(), folders);
    size_t inode_bytes = inode_cache_bytes();
    FsFindClose(open_search);
    EXPECT_EQ(folder_cache_count(), folders - 2);
    EXPECT_LT(inode_cache_bytes(), inode_bytes);
    EXPECT_EQ(list_names("/sdc1"), (names{"lost+found", "file.txt"}));

    // The last drive going leaves no empty place behind it.
    test_control::detach_drive(2);
    EXPECT_EQ(list_names("/"), names{"sda"});
    EXPECT_EQ(current_context()->disk_count, 1);
}

// Root listings on two threads, a directory listing and a copy from a drive that is pulled out and plugged in again
// meanwhile: every answer is one of the right ones, and nothing is freed under a reader.
TEST_F(drive_rescan_test, listings_and_copies_run_on_while_a_drive_comes_and_goes)
{
    std::string main_image = fixture_path("main.img");
    test_control::add_drive_file(main_image);
    test_control::add_drive_file(main_image);
    ASSERT_EQ(FsInit(0, nullptr, nullptr, nullptr), 0);
    const names one = {"sda1", "sda5", "sda6"};
    const names both = {"sda1", "sda5", "sda6", "sdb1", "sdb5", "sdb6"};
    const std::string three = contents(fixture_path("trees/main5/three_megabytes.bin"));

    std::atomic<bool> running{true};
    std::mutex failure_lock;
    std::vector<std::string> failures;
    auto fail = [&](const std::string& what) {
        std::lock_guard<std::mutex> guard(failure_lock);
        failures.push_back(what);
    };
    std::vector<std::thread> threads;
    for (int i = 0; i < 2; ++i) {
        threads.emplace_back([&] {
            while (running) {
                names root = list_names("/");
                if (root != one && root != both)
                    fail("root listing of " + std::to_string(root.size()));
            }
        });
    }
    threads.emplace_back([&] {
        while (running) {
            names listed = list_names("/sdb5/many");
            if (listed != names{"<invalid>"} && listed.size() != 300u)
                fail("a listing of " + std::to_string(listed.size()));
        }
    });
    std::atomic<int> copies{0};
    threads.emplace_back([&] {
        for (int n = 0; running; ++n) {
            fs::path local = scratch / ("copy" + std::to_string(n));
            int result = get("/sdb5/three_megabytes.bin", local);
            if (result == file_result_ok) {
                ++copies;
                if (contents(local) != three)
                    fail("copy bytes");
            } else if ((result != file_result_not_found && result != file_result_read_error) || fs::exists(local)) {
                fail("copy result " + std::to_string(result));
            }
            fs::remove(local);
        }
    });
    for (int cycle = 0; cycle < 8; ++cycle) {
        std::this_thread::sleep_for(30ms);
        test_control::detach_drive(1);
        std::this_thread::sleep_for(30ms);
        test_control::attach_drive_file(1, main_image);
    }
    running = false;
    for (std::thread& thread : threads)
        thread.join();
    EXPECT_TRUE(failures.empty()) << failures.size() << " failures, the first: " << failures.front();

    EXPECT_EQ(list_names("/"), both);
    EXPECT_EQ(get("/sdb5/three_megabytes.bin", scratch / "last"), file_result_ok);
    EXPECT_EQ(contents(scratch / "last"), three);
}
