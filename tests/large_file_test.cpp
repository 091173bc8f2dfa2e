// Files beyond 4 GiB, content in the triple-indirect range, large contiguous files read in large requests, and
// names as long as the format allows.
#include "disk/partition.h"
#include "ext/stream.h"
#include "plugin/exports.h"
#include "plugin_support.h"

#include <atomic>
#include <filesystem>
#include <fstream>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

class large_file_test : public scratch_test {
protected:
    void SetUp() override
    {
        scratch_test::SetUp();
        test_control::add_drive_file(fixture_path("big.img"));
        ASSERT_EQ(FsInit(0, nullptr, nullptr, nullptr), 0);
    }

    static int get(const std::string& remote, const std::string& local) { return copy_out(remote, local); }

    // True when the first length bytes of both files are equal; reads them a mebibyte at a time.
    static bool same_prefix(const fs::path& a, const fs::path& b, uint64_t length)
    {
        std::ifstream in_a(a, std::ios::binary), in_b(b, std::ios::binary);
        std::vector<char> chunk_a(1 << 20), chunk_b(1 << 20);
        while (length > 0) {
            auto n = static_cast<std::streamsize>(std::min<uint64_t>(length, chunk_a.size()));
            if (!in_a.read(chunk_a.data(), n) || !in_b.read(chunk_b.data(), n))
                return false;
            if (!std::equal(chunk_a.begin(), chunk_a.begin() + n, chunk_b.begin()))
                return false;
            length -= static_cast<uint64_t>(n);
        }
        return true;
    }
};

}  // namespace

TEST_F(large_file_test, a_five_gib_file_lists_with_both_size_words_and_copies_exactly)
{
    char path[] = "/sda1";
    WIN32_FIND_DATAA record;
    HANDLE handle = FsFindFirst(path, &record);
    ASSERT_NE(handle, INVALID_HANDLE_VALUE);
    bool seen = false;
    do {
        if (std::string(record.cFileName) == "five_gib.bin") {
            seen = true;
            EXPECT_EQ(record.nFileSizeHigh, 1u);
            EXPECT_EQ(record.nFileSizeLow, 1073741824u);
        }
    } while (FsFindNext(handle, &record));
    FsFindClose(handle);
    ASSERT_TRUE(seen);

    fs::path source = fixture_path("trees/big1/five_gib.bin");
    ASSERT_EQ(get("/sda1/five_gib.bin", (scratch / "five").string()), file_result_ok);
    ASSERT_EQ(fs::file_size(scratch / "five"), fs::file_size(source));
    EXPECT_TRUE(same_prefix(scratch / "five", source, fs::file_size(source)));
}

TEST_F(large_file_test, content_in_the_triple_indirect_range_copies_exactly)
{
    // With 1 KiB blocks the double-indirect range ends after 65804 blocks; this file has data at 80 MiB.
    fs::path source = fixture_path("trees/big2/past_double.bin");
    ASSERT_EQ(get("/sda2/past_double.bin", (scratch / "past").string()), file_result_ok);
    ASSERT_EQ(fs::file_size(scratch / "past"), fs::file_size(source));
    EXPECT_TRUE(same_prefix(scratch / "past", source, fs::file_size(source)));
}

TEST_F(large_file_test, a_255_byte_name_is_listed_but_its_path_is_too_long_to_copy)
{
    std::string name = std::string(251, 'n') + ".txt";
    auto names = list_names("/sda1");
    EXPECT_NE(std::find(names.begin(), names.end(), name), names.end());
    EXPECT_EQ(get("/sda1/" + name, (scratch / "long").string()), file_result_not_found);
    EXPECT_FALSE(fs::exists(scratch / "long"));
}

namespace {

class stream_request_test : public fixture_partition_test {};

}  // namespace

TEST_F(stream_request_test, contiguous_files_are_read_in_few_large_requests_and_copy_exactly)
{
    // ext4 with extents, ext2 with 1 KiB blocks, ext3 with 4 KiB block maps.
    for (int number : {1, 5, 6}) {
        SCOPED_TRACE(number);
        debugfs_inode expected = debugfs_stat_path("main.img", number, "/three_megabytes.bin");
        ext_volume* p = open("main.img", number);
        ASSERT_TRUE(p);
        fs::path local = fs::path(testing::TempDir()) / ("tarnwick_stream_" + std::to_string(getpid()));
        HANDLE output = CreateFileA(local.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
        ASSERT_NE(output, INVALID_HANDLE_VALUE);
        std::atomic<int32_t> status{1}, abort{0};
        std::atomic<uint64_t> written{0};
        ASSERT_TRUE(get_inode(*p, expected.number));  // the inode's own read is not the copy's
        long before = drive_reads();
        stream_file(*p, expected.number, output, &status, &abort, &written);
        long reads = drive_reads() - before;
        CloseHandle(output);
        EXPECT_EQ(status, 0);
        EXPECT_EQ(written, expected.size);
        std::vector<uint8_t> copy = read_file_bytes(local.string());
        fs::remove(local);
        EXPECT_TRUE(copy == read_file_bytes(fixture_path("trees/main" + std::to_string(number) + "/three_megabytes.bin")));
        // At most 4 data requests per MiB begun, besides the map's own blocks and the short run of the direct blocks.
        long mebibytes = static_cast<long>((expected.size + (1 << 20) - 1) >> 20);
        EXPECT_LE(reads, 4 * mebibytes + static_cast<long>(expected.map_blocks.size()) + 1);
    }
}

TEST_F(stream_request_test, an_abort_set_before_the_start_writes_nothing)
{
    debugfs_inode expected = debugfs_stat_path("main.img", 1, "/three_megabytes.bin");
    ext_volume* p = open("main.img", 1);
    ASSERT_TRUE(p);
    fs::path local = fs::path(testing::TempDir()) / ("tarnwick_stream_abort_" + std::to_string(getpid()));
    HANDLE output = CreateFileA(local.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    ASSERT_NE(output, INVALID_HANDLE_VALUE);
    std::atomic<int32_t> status{0}, abort{1};
    std::atomic<uint64_t> written{7};
    stream_file(*p, expected.number, output, &status, &abort, &written);
    CloseHandle(output);
    EXPECT_EQ(status, -1);
    EXPECT_EQ(written, 0u);
    EXPECT_EQ(fs::file_size(local), 0u);
    fs::remove(local);
}
