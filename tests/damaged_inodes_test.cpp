// Inodes and directory records that say other than what the kernel reads, through the exports: each shape of the
// damaged disk is listed, entered and copied as the kernel's ext4 driver reads it, or refused where it refuses it.
// What is damaged is what e2fsck -fn reports for the disk's volumes.
#include "disk/byte_order.h"
#include "ext/volume.h"
#include "plugin/exports.h"
#include "plugin_support.h"

#include <algorithm>
#include <filesystem>

namespace fs = std::filesystem;

namespace {

const std::vector<std::string> refused{"<invalid>"};

bool is_folder(const listed_entry& entry)
{
    return (entry.attributes & 0x10) != 0;
}

class damaged_inodes_test : public served_disk_test {
protected:
    void SetUp() override
    {
        served_disk_test::SetUp();
        serve(read_file_bytes(fixture_path("damaged.img")));
    }

    // The folder lists exactly the source tree's folder, and each of its files copies byte-exact.
    void expect_folder(const std::string& remote, const std::string& source)
    {
        std::vector<std::string> listed = list_names(remote), expected;
        for (const auto& entry : fs::directory_iterator(fixture_path("trees/" + source)))
            expected.push_back(entry.path().filename().string());
        std::sort(listed.begin(), listed.end());
        std::sort(expected.begin(), expected.end());
        EXPECT_EQ(listed, expected) << remote;
        for (const std::string& name : expected)
            EXPECT_EQ(copy(remote + "/" + name, source + "/" + name), file_result_ok);
    }
};

}  // namespace

TEST_F(damaged_inodes_test, an_entry_is_what_its_inode_says_and_a_record_the_kernel_refuses_fails_its_folder)
{
    // file.bin's record says folder ("incorrect filetype (was 2, should be 1)"): it is the file its inode says,
    // directly and through a link.
    EXPECT_FALSE(is_folder(list_entries("/sda1/type_lie").at("file.bin")));
    expect_folder("/sda1/type_lie", "damaged1/type_lie");
    EXPECT_EQ(list_names("/sda1/type_lie/file.bin"), refused);
    auto root = list_entries("/sda1");
    EXPECT_EQ(root.at("to_type_lie_file").size, 2500u);
    EXPECT_EQ(copy("/sda1/to_type_lie_file", "damaged1/type_lie/file.bin"), file_result_ok);
    // A "deleted/unused inode" (mode 0) and an "invalid mode (030644)": listed with nothing of their inodes, and
    // neither copied nor entered.
    for (const std::string name : {"zeroed.txt", "bad_mode.txt"}) {
        EXPECT_FALSE(is_folder(root.at(name))) << name;
        EXPECT_EQ(root.at(name).size, 0u) << name;
        EXPECT_EQ(root.at(name).mode, 0u) << name;
        EXPECT_EQ(copy("/sda1/" + name), file_result_read_error);
        EXPECT_EQ(list_names("/sda1/" + name), refused) << name;
    }
    // "Root inode is not a directory": the partition does not list, rather than listing empty.
    EXPECT_EQ(list_names("/"), (std::vector<std::string>{"sda1", "sda2", "sda3"}));
    EXPECT_EQ(list_names("/sda3"), refused);
    // "Invalid inode #" and "directory corrupted" (a record length of 1001): the kernel reads nothing more of
    // those blocks, and the folders do not list; a sound folder beside them does.
    EXPECT_EQ(list_names("/sda2/bad_inode_number"), refused);
    EXPECT_EQ(list_names("/sda2/bad_rec_len"), refused);
    expect_folder("/sda2/good", "damaged2/good");
}

TEST_F(damaged_inodes_test, a_folder_whose_extent_is_unwritten_is_read_as_its_blocks_lie_on_disk)
{
    // "Directory inode has extent marked uninitialized": ext4_bread reads the mapped block whatever its state.
    EXPECT_TRUE(is_folder(list_entries("/sda1").at("unwritten_dir")));
    expect_folder("/sda1/unwritten_dir", "damaged1/unwritten_dir");
}

TEST_F(damaged_inodes_test, a_zeroed_folder_reached_by_its_record_or_a_link_never_opens_as_one)
{
    // zeroed_dir's record says folder; its inode is unused (mode 0). Links to and through it stay links.
    auto root = list_entries("/sda1");
    EXPECT_FALSE(is_folder(root.at("zeroed_dir")));
    EXPECT_EQ(list_names("/sda1/zeroed_dir"), refused);
    EXPECT_EQ(copy("/sda1/zeroed_dir"), file_result_read_error);
    EXPECT_EQ(copy("/sda1/zeroed_dir/inner.txt"), file_result_read_error);
    for (const std::string link : {"to_zeroed_dir", "through_zeroed_dir"}) {
        EXPECT_EQ(root.at(link).mode & 0xF000u, 0xA000u) << link;
        EXPECT_EQ(list_names("/sda1/" + link), refused) << link;
        EXPECT_EQ(copy("/sda1/" + link), file_result_read_error);
    }
    EXPECT_EQ(copy("/sda1/to_zeroed_dir/inner.txt"), file_result_read_error);
}

TEST_F(damaged_inodes_test, a_folder_size_takes_its_high_word_only_on_a_largedir_volume)
{
    // "i_size_high ... is 1, should be zero": ext4_isize leaves that word out of a folder's size without largedir.
    expect_folder("/sda1/high_size_dir", "damaged1/high_size_dir");
    // With largedir the folder is 4 GiB, more than its volume holds: damage, and no listing.
    std::vector<uint8_t> disk = read_file_bytes(fixture_path("damaged.img"));
    uint8_t* superblock = disk.data() + uint64_t{read_layout("damaged.img").at(0).start} * 512 + 1024;
    put_le32(superblock + 96, read_le32(superblock, 96) | incompat_largedir);
    serve(std::move(disk));
    EXPECT_EQ(list_names("/sda1/high_size_dir"), refused);
    expect_folder("/sda1/unwritten_dir", "damaged1/unwritten_dir");
}

TEST_F(damaged_inodes_test, the_compressed_clusters_flag_changes_no_reading)
{
    // No path of fs/ext4 reads the 0x200 flag, and e2fsck -fn says nothing of it: folder and file read as stored.
    expect_folder("/sda1/comprblk_dir", "damaged1/comprblk_dir");
    EXPECT_EQ(copy("/sda1/comprblk.bin", "damaged1/comprblk.bin"), file_result_ok);
}
