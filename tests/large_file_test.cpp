// Files beyond 4 GiB, content past what a block map reaches, and names as long as the format allows.
#include "plugin/exports.h"
#include "plugin_support.h"

#include <filesystem>
#include <fstream>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

class large_file_test : public stand_in_test {
protected:
    void SetUp() override
    {
        stand_in_test::SetUp();
        test_control::add_drive_file(fixture_path("big.img"));
        ASSERT_EQ(FsInit(0, nullptr, nullptr, nullptr), 0);
        scratch = fs::path(testing::TempDir()) / ("tarnwick_large_" + std::to_string(getpid()));
        fs::remove_all(scratch);
        fs::create_directories(scratch);
    }

    void TearDown() override
    {
        fs::remove_all(scratch);
        stand_in_test::TearDown();
    }

    static int get(std::string remote, std::string local)
    {
        return FsGetFile(remote.data(), local.data(), 0, nullptr);
    }

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

    fs::path scratch;
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

TEST_F(large_file_test, content_past_the_double_indirect_range_is_a_read_error_not_wrong_bytes)
{
    fs::path source = fixture_path("trees/big2/past_double.bin");
    ASSERT_EQ(get("/sda2/past_double.bin", (scratch / "past").string()), file_result_read_error);
    // Everything up to the end of the double-indirect range (12 + 256 + 256 * 256 blocks of 1 KiB) is right.
    uint64_t reachable = (12 + 256 + 256 * 256) * 1024ull;
    EXPECT_EQ(fs::file_size(scratch / "past"), reachable);
    EXPECT_TRUE(same_prefix(scratch / "past", source, reachable));
}

TEST_F(large_file_test, a_255_byte_name_is_listed_but_its_path_is_too_long_to_copy)
{
    std::string name = std::string(251, 'n') + ".txt";
    auto names = list_names("/sda1");
    EXPECT_NE(std::find(names.begin(), names.end(), name), names.end());
    EXPECT_EQ(get("/sda1/" + name, (scratch / "long").string()), file_result_not_found);
    EXPECT_FALSE(fs::exists(scratch / "long"));
}
