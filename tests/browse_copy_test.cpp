// Browsing and copying out through the exports, against the fixture disks and their source trees.
#include "plugin/exports.h"
#include "plugin_support.h"

#include <atomic>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <mutex>
#include <thread>
#include <sys/stat.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

constexpr DWORD unix_mode = 0x80000000u;

struct stat status_of(const fs::path& path)
{
    struct stat st {};
    lstat(path.c_str(), &st);
    return st;
}

class browse_copy_test : public scratch_test {
protected:
    void SetUp() override
    {
        scratch_test::SetUp();
        test_control::add_drive_file(fixture_path("main.img"));
        ASSERT_EQ(FsInit(0, progress, nullptr, nullptr), 0);
        progress_reports.clear();
        abort_after = -1;
    }

    void TearDown() override
    {
        nested_work = nullptr;
        scratch_test::TearDown();
    }

    // Reports are recorded from whichever thread copies; nested_work, when set, runs inside each report of an
    // outermost copy (a host that lists or copies from its progress callback).
    static int TARNWICK_CALL progress(int, char*, char*, int percent)
    {
        thread_local int depth = 0;
        if (nested_work && depth == 0) {
            ++depth;
            nested_work();
            --depth;
        }
        std::lock_guard<std::mutex> guard(progress_lock);
        progress_reports.push_back(percent);
        return abort_after >= 0 && static_cast<int>(progress_reports.size()) > abort_after ? 1 : 0;
    }

    static std::map<std::string, listed_entry> list(const std::string& path) { return list_entries(path); }

    int get(const std::string& remote, const fs::path& local, int flags = 0)
    {
        return copy_out(remote, local.string(), flags);
    }

    static std::string contents(const fs::path& path)
    {
        std::ifstream in(path, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }

    static inline std::vector<int> progress_reports;
    static inline int abort_after = -1;
    static inline std::mutex progress_lock;
    static inline std::function<void()> nested_work;
};

}  // namespace

TEST_F(browse_copy_test, every_file_of_every_partition_lists_as_its_tree_holds_it_and_copies_byte_exact)
{
    size_t copies = 0;
    for (const char* partition : {"1", "5", "6"}) {
        fs::path tree = fixture_path(std::string("trees/main") + partition);
        size_t files = 0;
        for (auto it = fs::recursive_directory_iterator(tree); it != fs::recursive_directory_iterator(); ++it) {
            fs::path relative = it->path().lexically_relative(tree);
            std::string remote = std::string("/sda") + partition + "/" + relative.string();
            std::string parent = relative.has_parent_path() ? "/" + relative.parent_path().string() : "";
            auto entries = list(std::string("/sda") + partition + parent);
            auto found = entries.find(relative.filename().string());
            ASSERT_NE(found, entries.end()) << remote;
            // Permissions and kind as the tree holds them, and its modification time to the second; a link to a
            // file is shown as that file.
            struct stat source = status_of(it->path());
            if (it->is_symlink())
                stat(it->path().c_str(), &source);
            EXPECT_EQ(found->second.mode, source.st_mode) << remote;
            EXPECT_EQ(found->second.modified, source.st_mtime) << remote;
            if (it->is_directory()) {
                EXPECT_EQ(found->second.attributes, unix_mode | 16u) << remote;
            } else {
                EXPECT_EQ(found->second.attributes, unix_mode | 128u) << remote;
                EXPECT_EQ(found->second.size, fs::file_size(it->path())) << remote;
                ++files;
                fs::path local = scratch / ("copy" + std::to_string(copies++));
                ASSERT_EQ(get(remote, local), file_result_ok) << remote;
                EXPECT_TRUE(contents(local) == contents(it->path())) << remote;
                EXPECT_EQ(status_of(local).st_mtime, source.st_mtime) << remote;
            }
        }
        EXPECT_GT(files, 10u);
    }
}

TEST_F(browse_copy_test, paths_list_the_directory_they_reach)
{
    auto root = list("/sda1");
    EXPECT_TRUE(root.count("hello.txt"));
    EXPECT_FALSE(root.count("."));
    EXPECT_FALSE(root.count(".."));
    EXPECT_EQ(list("/sda1/"), root);
    EXPECT_EQ(list("/sda1//"), root);
    // A component that names nothing, or a file, fails the search: the host must not get another folder's entries.
    for (const char* path : {"/sda1/missing", "/sda1/hello.txt", "/sda1/home/missing/user", "/sda1/missing/home"})
        EXPECT_EQ(list_names(path), std::vector<std::string>{"<invalid>"}) << path;
    auto user = list("/sda1/home/user");
    EXPECT_TRUE(user.count("docs"));
    EXPECT_EQ(list("/sda1/home/user/.."), list("/sda1/home"));
    EXPECT_TRUE(list("/sda5/many").count("entry_300"));
    EXPECT_EQ(list("/sda5/many").size(), 300u);
}

TEST_F(browse_copy_test, an_empty_directory_shows_only_the_parent_placeholder)
{
    char path[] = "/sda6/empty_dir";
    WIN32_FIND_DATAA record;
    HANDLE handle = FsFindFirst(path, &record);
    ASSERT_NE(handle, INVALID_HANDLE_VALUE);
    EXPECT_STREQ(record.cFileName, "..");
    EXPECT_EQ(record.dwFileAttributes, unix_mode | 16u);
    EXPECT_EQ(record.dwReserved0 & 0xF000u, 0x4000u);
    EXPECT_EQ(unix_seconds(record.ftLastWriteTime), status_of(fixture_path("trees/main6/empty_dir")).st_mtime);
    EXPECT_FALSE(FsFindNext(handle, &record));
    FsFindClose(handle);
}

TEST_F(browse_copy_test, nested_searches_each_return_their_own_directory)
{
    char parent_path[] = "/sda1/home/user";
    char child_path[] = "/sda1/home/user/docs";
    WIN32_FIND_DATAA parent, child;
    HANDLE outer = FsFindFirst(parent_path, &parent);
    ASSERT_NE(outer, INVALID_HANDLE_VALUE);
    HANDLE inner = FsFindFirst(child_path, &child);
    ASSERT_NE(inner, INVALID_HANDLE_VALUE);
    EXPECT_STREQ(child.cFileName, "notes.txt");
    EXPECT_FALSE(FsFindNext(inner, &child));
    EXPECT_STREQ(parent.cFileName, "docs");
    EXPECT_FALSE(FsFindNext(outer, &parent));
    FsFindClose(inner);
    FsFindClose(outer);
}

TEST_F(browse_copy_test, utf8_names_are_listed_as_the_tree_holds_them)
{
    auto root = list("/sda1");
    EXPECT_TRUE(root.count("gr\xc3\xbc\xc3\x9f" "e-\xe6\x97\xa5\xe6\x9c\xac-\xf0\x9f\x98\x80.txt"));
}

TEST_F(browse_copy_test, paths_of_260_bytes_or_more_are_refused)
{
    // The root of sda1 reached through "." components, 259 bytes long; one more byte is refused.
    std::string long_path = "/sda1";
    while (long_path.size() < 259)
        long_path += long_path.size() + 2 <= 259 ? "/." : "/";
    ASSERT_EQ(long_path.size(), 259u);
    EXPECT_EQ(list(long_path), list("/sda1"));
    long_path += ".";
    std::vector<char> path(long_path.begin(), long_path.end());
    path.push_back('\0');
    WIN32_FIND_DATAA record;
    EXPECT_EQ(FsFindFirst(path.data(), &record), INVALID_HANDLE_VALUE);
    EXPECT_EQ(get(long_path, scratch / "long"), file_result_not_found);
}

TEST_F(browse_copy_test, result_codes_tell_what_went_wrong)
{
    EXPECT_EQ(get("/sda1/missing.txt", scratch / "a"), file_result_not_found);
    EXPECT_EQ(get("/sda1/home", scratch / "a"), file_result_not_found);
    EXPECT_EQ(get("/sda1", scratch / "a"), file_result_not_found);
    EXPECT_EQ(get("/sda1/", scratch / "a"), file_result_not_found);
    EXPECT_EQ(get("/sda1/missing/hello.txt", scratch / "a"), file_result_not_found);
    EXPECT_EQ(get("/sda1/hello.txt/x", scratch / "a"), file_result_not_found);
    EXPECT_EQ(get("/sda9/hello.txt", scratch / "a"), file_result_not_found);
    EXPECT_FALSE(fs::exists(scratch / "a"));
    EXPECT_EQ(get("/sda1/hello.txt", scratch / "no_such_folder" / "a"), file_result_write_error);

    ASSERT_EQ(get("/sda1/hello.txt", scratch / "b"), file_result_ok);
    std::ofstream(scratch / "b") << "keep me";
    EXPECT_EQ(get("/sda1/hello.txt", scratch / "b"), file_result_exists);
    EXPECT_EQ(contents(scratch / "b"), "keep me");
    EXPECT_EQ(get("/sda1/hello.txt", scratch / "b", copy_flag_overwrite), file_result_ok);
    EXPECT_EQ(contents(scratch / "b"), contents(fixture_path("trees/main1/hello.txt")));
    // A folder of the target's name is an existing entry too, for a small file as for a large one.
    fs::create_directory(scratch / "folder");
    EXPECT_EQ(get("/sda1/hello.txt", scratch / "folder"), file_result_exists);
    EXPECT_EQ(get("/sda5/three_megabytes.bin", scratch / "folder"), file_result_exists);
    EXPECT_TRUE(fs::is_directory(scratch / "folder"));
}

TEST_F(browse_copy_test, progress_runs_from_0_to_100_and_an_abort_leaves_no_file)
{
    ASSERT_EQ(get("/sda5/double_indirect.bin", scratch / "a"), file_result_ok);
    ASSERT_GE(progress_reports.size(), 2u);
    EXPECT_EQ(progress_reports.front(), 0);
    EXPECT_EQ(progress_reports.back(), 100);
    for (size_t i = 1; i + 1 < progress_reports.size(); ++i) {
        EXPECT_GE(progress_reports[i], 0);
        EXPECT_LT(progress_reports[i], 100);
    }

    progress_reports.clear();
    ASSERT_EQ(get("/sda1/empty.txt", scratch / "empty"), file_result_ok);
    EXPECT_EQ(progress_reports, (std::vector<int>{0, 100}));
    EXPECT_EQ(fs::file_size(scratch / "empty"), 0u);

    // An abort at any report, the last one included, leaves nothing under the target's name and an existing
    // target as it was.
    for (int reports : {0, 1}) {
        progress_reports.clear();
        abort_after = reports;
        EXPECT_EQ(get("/sda5/double_indirect.bin", scratch / "c"), file_result_aborted);
        EXPECT_FALSE(fs::exists(scratch / "c"));
        std::ofstream(scratch / "d") << "keep me";
        EXPECT_EQ(get("/sda5/double_indirect.bin", scratch / "d", copy_flag_overwrite), file_result_aborted);
        EXPECT_EQ(contents(scratch / "d"), "keep me");
    }
    abort_after = -1;
    EXPECT_EQ(get("/sda5/double_indirect.bin", scratch / "d", copy_flag_overwrite), file_result_ok);
    EXPECT_EQ(contents(scratch / "d"), contents(fixture_path("trees/main5/double_indirect.bin")));
    EXPECT_EQ(std::distance(fs::directory_iterator(scratch), fs::directory_iterator()), 3);  // a, empty, d
}

TEST_F(browse_copy_test, a_failure_during_the_copy_is_a_read_error_and_leaves_no_file)
{
    // The same copy twice reads the same way once the caches are warm; failing the last read of the second
    // pattern fails the copy's last read, after it has written the rest: the first mebibytes of the large file
    // (through a temporary file), or all but a run of the small one (a new file of at most a mebibyte is written
    // under its own name, and deleted as well).
    auto warm_reads = [&](const std::string& remote) {
        EXPECT_EQ(get(remote, scratch / "warm", copy_flag_overwrite), file_result_ok);
        long before = drive_reads();
        EXPECT_EQ(get(remote, scratch / "warm", copy_flag_overwrite), file_result_ok);
        return drive_reads() - before;
    };
    const std::string remote = "/sda5/three_megabytes.bin";
    for (const std::string& copied : {remote, std::string("/sda5/double_indirect.bin")}) {
        long reads = warm_reads(copied);
        ASSERT_GT(reads, 1) << copied;
        test_control::fail_nth_read(reads);
        EXPECT_EQ(get(copied, scratch / "a"), file_result_read_error) << copied;
        EXPECT_FALSE(fs::exists(scratch / "a")) << copied;
    }
    long reads = warm_reads(remote);
    std::ofstream(scratch / "b") << "keep me";
    test_control::fail_nth_read(reads);
    EXPECT_EQ(get(remote, scratch / "b", copy_flag_overwrite), file_result_read_error);
    EXPECT_EQ(contents(scratch / "b"), "keep me");

    // A file larger than a mebibyte is copied on a worker thread; one that cannot start fails the copy. Smaller
    // files are copied on the host's thread and need none.
    test_control::fail_create_thread(true);
    EXPECT_EQ(get(remote, scratch / "c"), file_result_read_error);
    EXPECT_EQ(get("/sda5/hello.txt", scratch / "d"), file_result_ok);
    fs::remove(scratch / "d");
    test_control::fail_create_thread(false);
    EXPECT_EQ(std::distance(fs::directory_iterator(scratch), fs::directory_iterator()), 2);  // warm and b
}

// A host lists on one thread while it copies on others: every copy byte-exact, every listing whole.
TEST_F(browse_copy_test, threads_copying_and_listing_at_once_get_right_bytes_and_listings)
{
    std::mutex failure_lock;
    std::vector<std::string> failures;
    auto fail = [&](const std::string& what) {
        std::lock_guard<std::mutex> guard(failure_lock);
        failures.push_back(what);
    };
    std::vector<std::thread> copiers;
    for (std::string partition : {"1", "5", "6"}) {
        copiers.emplace_back([&, partition] {
            fs::path tree = fixture_path("trees/main" + partition);
            int copies = 0;
            for (auto it = fs::recursive_directory_iterator(tree); it != fs::recursive_directory_iterator(); ++it) {
                if (it->is_symlink() || !it->is_regular_file())
                    continue;
                std::string remote = "/sda" + partition + "/" + it->path().lexically_relative(tree).string();
                fs::path local = scratch / (partition + "_" + std::to_string(copies++));
                if (get(remote, local) != file_result_ok || contents(local) != contents(it->path()))
                    fail(remote);
            }
        });
    }
    std::atomic<bool> copying{true};
    std::thread lister([&] {
        const auto user = list("/sda1/home/user");
        while (copying) {
            if (list("/sda1/home/user") != user || list("/sda5/many").size() != 300u)
                fail("a listing changed");
        }
    });
    for (std::thread& copier : copiers)
        copier.join();
    copying = false;
    lister.join();
    EXPECT_TRUE(failures.empty()) << failures.size() << " failures, the first: " << failures.front();
}

// The host's progress callback lists and copies while the copy it reports on runs, and another thread copies too.
TEST_F(browse_copy_test, a_progress_callback_that_lists_and_copies_during_a_copy_gets_right_answers)
{
    const auto user = list("/sda1/home/user");
    const std::string hello = contents(fixture_path("trees/main1/hello.txt"));
    std::atomic<int> nested{0};
    std::atomic<int> wrong{0};
    nested_work = [&] {
        int n = nested++;
        fs::path local = scratch / ("nested" + std::to_string(n));
        if (list("/sda1/home/user") != user || get("/sda1/hello.txt", local) != file_result_ok ||
            contents(local) != hello)
            ++wrong;
    };
    std::atomic<bool> copying{true};
    std::thread other([&] {
        const std::string three = contents(fixture_path("trees/main5/three_megabytes.bin"));
        for (int n = 0; copying; ++n) {
            fs::path local = scratch / ("other" + std::to_string(n));
            if (get("/sda5/three_megabytes.bin", local) != file_result_ok || contents(local) != three)
                ++wrong;
            fs::remove(local);
        }
    });
    for (const char* name : {"double_indirect.bin", "three_megabytes.bin"}) {
        ASSERT_EQ(get(std::string("/sda1/") + name, scratch / name), file_result_ok);
        EXPECT_EQ(contents(scratch / name), contents(fixture_path(std::string("trees/main1/") + name)));
    }
    copying = false;
    other.join();
    EXPECT_GE(nested.load(), 4);  // at least the first and the last report of both copies
    EXPECT_EQ(wrong.load(), 0);
}

// A file over a mebibyte is copied on a worker while the host's thread reports progress. An abort asked for at
// such a report (the drive made slow, so that the worker is still copying) stops the worker before it has read
// the file, ends the copy with the worker gone, and leaves neither a target nor a temporary file; a file it
// would have replaced stays as it was.
TEST_F(browse_copy_test, an_abort_while_the_worker_copies_stops_it_and_leaves_no_file)
{
    const std::string remote = "/sda5/three_megabytes.bin";
    ASSERT_EQ(get(remote, scratch / "whole"), file_result_ok);
    long before = drive_reads();
    ASSERT_EQ(get(remote, scratch / "whole", copy_flag_overwrite), file_result_ok);
    long whole_copy_reads = drive_reads() - before;
    ASSERT_GT(whole_copy_reads, 2);
    fs::remove(scratch / "whole");
    std::ofstream(scratch / "kept") << "keep me";

    // Each read takes far longer than the host's thread waits between reports.
    test_control::delay_reads(150);
    for (bool overwrite : {false, true}) {
        SCOPED_TRACE(overwrite ? "over an existing file" : "to a new file");
        progress_reports.clear();
        abort_after = 1;  // the report at 0 comes before the worker starts; the next is the host thread's watch
        fs::path target = scratch / (overwrite ? "kept" : "new");
        test_control::counters start = test_control::read_counters();
        EXPECT_EQ(get(remote, target, overwrite ? copy_flag_overwrite : 0), file_result_aborted);
        test_control::counters end = test_control::read_counters();
        EXPECT_EQ(end.threads_created - start.threads_created, 2);  // the copy's worker and its reader
        EXPECT_EQ(end.threads_running, 0);
        EXPECT_LT(end.drive_reads - start.drive_reads, whole_copy_reads);
        ASSERT_EQ(progress_reports.size(), 2u);
        EXPECT_EQ(progress_reports[0], 0);
        EXPECT_LT(progress_reports[1], 100);
    }
    test_control::delay_reads(0);
    EXPECT_EQ(contents(scratch / "kept"), "keep me");
    EXPECT_EQ(std::distance(fs::directory_iterator(scratch), fs::directory_iterator()), 1);  // kept
}

// The temporary file of a copy goes beside its target whatever the length of the target's folder, GetTempFileName's
// MAX_PATH - 14 included: an abort there leaves the file the copy would have replaced as it was, and no temporary.
TEST_F(browse_copy_test, a_copy_into_a_folder_near_max_path_goes_through_a_temporary_file)
{
    fs::path folder = scratch;
    while (folder.string().size() + 1 + 40 < 255)
        folder /= std::string(40, 'f');
    folder /= std::string(255 - folder.string().size() - 1, 'f');
    fs::create_directories(folder);
    fs::path target = folder / "x";  // 257 bytes
    std::ofstream(target) << "keep me";
    for (int reports : {0, 1}) {
        abort_after = reports;
        EXPECT_EQ(get("/sda5/double_indirect.bin", target, copy_flag_overwrite), file_result_aborted);
        EXPECT_EQ(contents(target), "keep me");
    }
    abort_after = -1;
    EXPECT_EQ(get("/sda5/double_indirect.bin", target, copy_flag_overwrite), file_result_ok);
    EXPECT_EQ(contents(target), contents(fixture_path("trees/main5/double_indirect.bin")));
    EXPECT_EQ(std::distance(fs::directory_iterator(folder), fs::directory_iterator()), 1);
}
