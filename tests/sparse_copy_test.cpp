// Copies of files with holes and unwritten extents: byte-exact, sparse on a target that can be, zeros otherwise.
#include "plugin/exports.h"
#include "plugin_support.h"

#include <fcntl.h>
#include <random>
#include <sys/stat.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

constexpr uint64_t mib = 1u << 20;

// A disk with one ext4 partition at 1 MiB holding sparse.bin: holes at its start, in its middle (one of them short,
// inside data) and at its end, and an unwritten extent in a middle hole. The file the volume was made from is kept
// in the scratch folder as the expected content.
class sparse_copy_test : public scratch_test {
protected:
    void SetUp() override
    {
        scratch_test::SetUp();
        fs::create_directories(scratch / "tree");
        source = scratch / "tree" / "sparse.bin";
        int fd = open(source.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        ASSERT_GE(fd, 0);
        std::mt19937 random(7);
        // (offset, bytes) of the data; everything else is a hole.
        for (auto [offset, bytes] : {std::pair<uint64_t, uint64_t>{6 * mib, 3 * mib / 2},
                                     {20 * mib, 2 * mib + 4096}, {20 * mib + 2 * mib + 12288, 4096}}) {
            std::vector<uint8_t> data(bytes);
            for (auto& byte : data)
                byte = static_cast<uint8_t>(random() | 1);  // no zero block, which would become a hole
            ASSERT_EQ(pwrite(fd, data.data(), data.size(), static_cast<off_t>(offset)), static_cast<ssize_t>(bytes));
        }
        ASSERT_EQ(ftruncate(fd, static_cast<off_t>(file_size)), 0);
        close(fd);

        image = (scratch / "sparse.img").string();
        std::string volume = image + "?offset=1048576";
        run_command("truncate -s 128M " + image + " && printf 'label: dos\\nstart=2048, type=83\\n' | sfdisk -q " +
                    image + " && mke2fs -q -F -t ext4 -b 4096 -E offset=1048576 -d " + (scratch / "tree").string() +
                    " " + image + " 32000 2>&1");
        // Blocks 3072-4095 (12-16 MiB), inside the middle hole, become an unwritten extent.
        run_command("debugfs -w -R 'fallocate /sparse.bin 3072 4095' '" + volume + "' 2>&1");
        std::string extents = run_command("debugfs -R 'ex /sparse.bin' '" + volume + "' 2>/dev/null");
        ASSERT_NE(extents.find("Uninit"), std::string::npos) << extents;
        test_control::add_drive_file(image);
        ASSERT_EQ(FsInit(0, nullptr, nullptr, nullptr), 0);
    }

    static constexpr uint64_t file_size = 40 * mib + 1234;  // ends inside a block of the final hole
    static constexpr uint64_t data_bytes = 3 * mib / 2 + 2 * mib + 8192;
    fs::path source;
    std::string image;
};

uint64_t allocated_bytes(const fs::path& path)
{
    struct stat st {};
    EXPECT_EQ(stat(path.c_str(), &st), 0);
    return static_cast<uint64_t>(st.st_blocks) * 512;
}

}  // namespace

// Holes and the unwritten extent are skipped: the copy has the right bytes and size and takes about its data's
// space. A target that refuses to be made sparse gets the same bytes with every hole written as zeros.
TEST_F(sparse_copy_test, holes_are_skipped_where_the_target_can_be_sparse_and_written_as_zeros_elsewhere)
{
    for (bool refuse : {false, true}) {
        SCOPED_TRACE(refuse ? "target refuses sparse files" : "sparse target");
        test_control::refuse_sparse(refuse);
        fs::path local = scratch / (refuse ? "dense.bin" : "sparse.bin");
        ASSERT_EQ(copy_out("/sda1/sparse.bin", local.string()), file_result_ok);
        EXPECT_EQ(fs::file_size(local), file_size);
        EXPECT_TRUE(read_file_bytes(local.string()) == read_file_bytes(source.string()));
        if (refuse)
            EXPECT_GE(allocated_bytes(local), file_size - 4096);
        else
            EXPECT_LE(allocated_bytes(local), data_bytes + mib);
    }
    EXPECT_EQ(test_control::read_counters().threads_running, 0);
}

// A read that fails part way through a copy run by a reader thread ends the copy as a read error, with the reader
// gone and no file under the target's name.
TEST_F(sparse_copy_test, a_failed_read_part_way_ends_the_copy_and_its_reader)
{
    // The second data stretch lies at 20 MiB of the file; its blocks are found through the extent tree.
    std::string blocks = run_command("debugfs -R 'bmap /sparse.bin 5120' '" + image + "?offset=1048576' 2>/dev/null");
    uint64_t block = std::stoull(blocks);
    test_control::fail_reads_of(1048576 + block * 4096 + mib, 4096);
    EXPECT_EQ(copy_out("/sda1/sparse.bin", (scratch / "out.bin").string()), file_result_read_error);
    EXPECT_FALSE(fs::exists(scratch / "out.bin"));
    EXPECT_EQ(test_control::read_counters().threads_running, 0);
}
