// Why a copy or listing fails, as the host is told it: a drive's read error or damage on the path is a read error
// (FsGetFile 3, FsFindFirst ERROR_READ_FAULT), only a truly absent name is "not found", an encrypted folder is
// not supported. On the damaged disk, whose damage e2fsck -fn reports.
#include "plugin/exports.h"
#include "plugin_support.h"

#include <filesystem>
#include <map>

namespace fs = std::filesystem;

namespace {

class failure_reasons_test : public served_disk_test {
protected:
    void SetUp() override
    {
        served_disk_test::SetUp();
        serve(read_file_bytes(fixture_path("damaged.img")));
    }

    // The disk with nothing of it cached: a start keeps the drives it knew before that still read the same, so a
    // start with no drive comes first.
    void serve_cold(const std::string& image)
    {
        test_control::reset();
        test_control::use_no_drives();
        FsInit(0, nullptr, nullptr, nullptr);
        static std::map<std::string, std::vector<uint8_t>> images;
        if (!images.count(image))
            images[image] = read_file_bytes(fixture_path(image));
        serve(images[image]);
    }

    // 0 when FsFindFirst lists the folder, else the error it leaves for GetLastError.
    static DWORD search_error(const std::string& path)
    {
        std::vector<char> host_path(path.begin(), path.end());
        host_path.push_back('\0');
        WIN32_FIND_DATAA record;
        SetLastError(0);
        HANDLE handle = FsFindFirst(host_path.data(), &record);
        if (handle == INVALID_HANDLE_VALUE)
            return GetLastError() != 0 ? GetLastError() : 0xFFFFFFFFu;
        FsFindClose(handle);
        return 0;
    }
};

}  // namespace

TEST_F(failure_reasons_test, a_drive_read_error_anywhere_on_the_path_is_a_read_error_never_not_found)
{
    // Each read a cold copy or listing makes fails in turn: whichever it is (the root's inode, a folder's block, the
    // file's inode or data), the call fails as a read error, and once past the call's reads, works.
    const std::string image = "damaged.img";
    const std::string file = "/sda1/type_lie/file.bin";
    const std::string folder = "/sda1/type_lie";
    int copy_failures = 0, search_failures = 0;
    for (long n = 1; n <= 20; ++n) {
        serve_cold(image);
        test_control::fail_nth_read(n);
        int result = copy(file);
        copy_failures += result != file_result_ok;
        EXPECT_TRUE(result == file_result_ok || result == file_result_read_error) << n << ": " << result;

        serve_cold(image);
        test_control::fail_nth_read(n);
        DWORD error = search_error(folder);
        search_failures += error != 0;
        EXPECT_TRUE(error == 0 || error == ERROR_READ_FAULT) << n << ": " << error;
    }
    // Some read of each call failed it.
    EXPECT_GT(copy_failures, 0);
    EXPECT_GT(search_failures, 0);
    // The failure is not kept: the same calls read again work.
    EXPECT_EQ(copy(file), file_result_ok);
    EXPECT_EQ(search_error(folder), 0u);
}

TEST_F(failure_reasons_test, a_bad_sector_under_a_folder_on_the_path_is_a_read_error_never_not_found)
{
    // type_lie's one block, where debugfs places it, reads nowhere: a folder that stays unreadable however often
    // it is read again. The root beside it reads, and a name truly absent from it is not found.
    uint64_t start = uint64_t{read_layout("damaged.img").at(0).start} * 512;
    debugfs_inode folder = parse_debugfs_stat(
        debugfs_batch(fixture_path("damaged.img"), start, {"stat /type_lie"}).at(0));
    ASSERT_EQ(folder.runs.size(), 1u);
    serve_cold("damaged.img");
    test_control::fail_reads_of(start + folder.runs[0].physical * 1024, 1024);
    EXPECT_EQ(copy("/sda1/type_lie/file.bin"), file_result_read_error);
    EXPECT_EQ(copy("/sda1/type_lie/absent.bin"), file_result_read_error);
    EXPECT_EQ(search_error("/sda1/type_lie"), ERROR_READ_FAULT);
    EXPECT_EQ(search_error("/sda1/type_lie/deeper"), ERROR_READ_FAULT);
    EXPECT_EQ(copy("/sda1/absent/file.bin"), file_result_not_found);
    EXPECT_EQ(search_error("/sda1/absent"), ERROR_PATH_NOT_FOUND);
    EXPECT_EQ(copy("/sda1/hello.txt"), file_result_ok);
}

TEST_F(failure_reasons_test, damage_on_the_path_is_a_read_error_and_only_an_absent_name_is_not_found)
{
    // A folder record the kernel refuses ("directory corrupted", "invalid inode #"): the name may be in the part that
    // cannot be read.
    for (const std::string folder : {"/sda2/bad_rec_len", "/sda2/bad_inode_number"}) {
        EXPECT_EQ(copy(folder + "/file.txt"), file_result_read_error) << folder;
        EXPECT_EQ(copy(folder + "/absent.txt"), file_result_read_error) << folder;
        EXPECT_EQ(search_error(folder), ERROR_READ_FAULT) << folder;
    }
    // A zeroed folder, entered by its record or through a link, and a partition whose root inode is zeroed.
    EXPECT_EQ(copy("/sda1/zeroed_dir/inner.txt"), file_result_read_error);
    EXPECT_EQ(copy("/sda1/to_zeroed_dir/inner.txt"), file_result_read_error);
    EXPECT_EQ(search_error("/sda1/zeroed_dir"), ERROR_READ_FAULT);
    EXPECT_EQ(search_error("/sda1/to_zeroed_dir"), ERROR_READ_FAULT);
    EXPECT_EQ(search_error("/sda3"), ERROR_READ_FAULT);
    EXPECT_EQ(copy("/sda3/file.txt"), file_result_read_error);

    // Names that are truly absent beside sound folders, and paths through a file.
    EXPECT_EQ(copy("/sda2/good/absent.txt"), file_result_not_found);
    EXPECT_EQ(copy("/sda2/absent/file.txt"), file_result_not_found);
    EXPECT_EQ(copy("/sda2/good/file.txt/more"), file_result_not_found);
    EXPECT_EQ(search_error("/sda2/absent"), ERROR_PATH_NOT_FOUND);
    EXPECT_EQ(search_error("/sda2/absent/deeper"), ERROR_PATH_NOT_FOUND);
    EXPECT_EQ(search_error("/sda2/good/file.txt/deeper"), ERROR_PATH_NOT_FOUND);
    EXPECT_EQ(search_error("/sda9"), ERROR_PATH_NOT_FOUND);
    // A file asked to be listed is no folder name, as Windows says of "file\*".
    EXPECT_EQ(search_error("/sda2/good/file.txt"), ERROR_DIRECTORY);
    EXPECT_EQ(search_error("/sda2/good"), 0u);
}

TEST_F(failure_reasons_test, an_encrypted_folder_is_not_supported)
{
    // The encrypt flag set on a sound folder with debugfs: its names are ciphertext, neither listed nor looked up.
    fs::path image = scratch / "encrypted.img";
    fs::copy_file(fixture_path("damaged.img"), image);
    uint64_t offset = uint64_t{read_layout("damaged.img").at(1).start} * 512;
    debugfs_inode good = parse_debugfs_stat(debugfs_batch(image.string(), offset, {"stat /good"}).at(0));
    std::string flags = std::to_string(good.flags | 0x800);
    run_command("debugfs -w -R 'sif /good flags " + flags + "' '" + image.string() + "?offset=" +
                std::to_string(offset) + "' 2>/dev/null");
    good = parse_debugfs_stat(debugfs_batch(image.string(), offset, {"stat /good"}).at(0));
    ASSERT_EQ(good.flags & 0x800, 0x800u);
    serve(read_file_bytes(image.string()));
    EXPECT_EQ(search_error("/sda2/good"), ERROR_NOT_SUPPORTED);
    EXPECT_EQ(copy("/sda2/good/file.txt"), file_result_not_supported);
    EXPECT_EQ(search_error("/sda2/good/sub"), ERROR_NOT_SUPPORTED);
}
