// Damaged volumes through the exports: files whose extents or attributes Linux refuses fail alone, and volumes
// whose primary superblock is gone are read through the copy in group 1.
#include "plugin/exports.h"
#include "plugin_support.h"

#include <filesystem>

namespace fs = std::filesystem;

namespace {

class damaged_volume_test : public scratch_test {
protected:
    void SetUp() override
    {
        scratch_test::SetUp();
        test_control::add_drive_file(fixture_path("rescue.img"));
        ASSERT_EQ(FsInit(0, nullptr, nullptr, nullptr), 0);
    }

    // Copies remote and compares it with the source file; the result of the copy.
    int copy_and_compare(const std::string& remote, const fs::path& source)
    {
        fs::path local = scratch / "copy";
        int result = copy_out(remote, local.string());
        if (result == file_result_ok) {
            EXPECT_EQ(read_file_bytes(local.string()), read_file_bytes(source.string())) << remote;
            fs::remove(local);
        } else {
            EXPECT_FALSE(fs::exists(local)) << remote;
        }
        return result;
    }

    // Every file of the source tree lists under folder with its size and copies byte-exact; the number of files.
    size_t expect_tree(const std::string& folder, const fs::path& tree)
    {
        size_t files = 0;
        for (auto it = fs::recursive_directory_iterator(tree); it != fs::recursive_directory_iterator(); ++it) {
            if (!it->is_regular_file())
                continue;
            fs::path relative = it->path().lexically_relative(tree);
            std::string remote = folder + "/" + relative.string();
            auto entries = list_entries(folder + "/" + relative.parent_path().string());
            auto entry = entries.find(relative.filename().string());
            EXPECT_TRUE(entry != entries.end() && entry->second.size == it->file_size()) << remote;
            EXPECT_EQ(copy_and_compare(remote, it->path()), file_result_ok) << remote;
            ++files;
        }
        return files;
    }
};

}  // namespace

TEST_F(damaged_volume_test, files_whose_extents_or_attributes_linux_refuses_fail_and_the_rest_copy)
{
    // The tree holds the intact files; the damaged ones are listed beside them.
    EXPECT_EQ(expect_tree("/sda1", fixture_path("trees/rescue1")), 3u);
    auto root = list_entries("/sda1");
    EXPECT_EQ(root.at("swapped.bin").size, 20u * 1024 + 100);
    EXPECT_EQ(root.at("inline_overlap.txt").size, 100u);
    EXPECT_EQ(root.at("attribute_overlap.bin").size, 3000u);
    // Out-of-order extents: the missed block would come out as zeros. A system.data value inside the attribute
    // entries: the entry's bytes would come out as content. A damaged user attribute: Linux refuses the inode,
    // though its data blocks are whole.
    for (const char* name : {"swapped.bin", "inline_overlap.txt", "attribute_overlap.bin"}) {
        EXPECT_EQ(copy_out(std::string("/sda1/") + name, (scratch / "copy").string()), file_result_read_error)
            << name;
        EXPECT_FALSE(fs::exists(scratch / "copy")) << name;
        fs::remove(scratch / "copy");
    }
}

TEST_F(damaged_volume_test, volumes_whose_primary_superblock_is_zapped_are_read_through_group_1s_copy)
{
    EXPECT_EQ(list_names("/"), (std::vector<std::string>{"sda1", "sda2", "sda3", "sda4"}));
    EXPECT_EQ(expect_tree("/sda2", fixture_path("trees/rescue2")), 3u);  // 1 KiB blocks: the copy at block 8193
    EXPECT_EQ(expect_tree("/sda3", fixture_path("trees/rescue3")), 2u);  // 4 KiB blocks: at block 32768
    // Its journal holds dir/new.txt, escaped.bin and new contents of changed.bin: as e2fsck runs it.
    EXPECT_EQ(expect_tree("/sda4", fixture_path("trees/journal4")), 35u);
}
