// Symbolic links through the exports: links inside a partition list, open and copy as their targets; the rest stay
// links that copy with result 6.
#include "plugin/exports.h"
#include "plugin_support.h"

#include <filesystem>
#include <functional>
#include <set>
#include <sys/stat.h>

namespace fs = std::filesystem;

namespace {

constexpr DWORD folder_bit = 0x10;

class symlink_test : public scratch_test {
protected:
    void SetUp() override
    {
        scratch_test::SetUp();
        test_control::add_drive_file(fixture_path("links.img"));
        test_control::add_drive_file(fixture_path("features.img"));
        ASSERT_EQ(FsInit(0, nullptr, nullptr, nullptr), 0);
    }

    // The entry that path names, from its folder's listing.
    static std::optional<listed_entry> entry_at(const std::string& path)
    {
        size_t slash = path.rfind('/');
        auto entries = list_entries(path.substr(0, slash));
        auto found = entries.find(path.substr(slash + 1));
        if (found == entries.end())
            return std::nullopt;
        return found->second;
    }

    // Copies remote and compares it with the source file.
    void expect_copy(const std::string& remote, const fs::path& source)
    {
        fs::path local = scratch / "copy";
        ASSERT_EQ(copy_out(remote, local.string()), file_result_ok) << remote;
        EXPECT_TRUE(read_file_bytes(local.string()) == read_file_bytes(source.string())) << remote;
        fs::remove(local);
    }

    const fs::path tree = fixture_path("trees/links");
};

TEST_F(symlink_test, links_inside_the_partition_list_and_copy_as_their_targets)
{
    const std::map<std::string, std::string> files = {
        {"to_file", "data/file.txt"},         {"absolute", "data/sub/inner.txt"},
        {"data/sub/up", "data/file.txt"},     {"long_target", "data/big.bin"},
        {"chain/n01", "data/file.txt"},       {"to_folder/sub/inner.txt", "data/sub/inner.txt"},
        {"chain_1/up", "data/file.txt"},      {"absolute_folder/inner.txt", "data/sub/inner.txt"},
    };
    const std::map<std::string, std::string> folders = {
        {"to_folder", "data"}, {"absolute_folder", "data/sub"}, {"chain_1", "data/sub"}, {"to_folder/sub", "data/sub"}};
    for (const char* partition : {"/sda1", "/sda2"}) {
        for (const auto& [link, target] : files) {
            std::string remote = partition + ("/" + link);
            std::optional<listed_entry> entry = entry_at(remote);
            ASSERT_TRUE(entry) << remote;
            struct stat source {};
            ASSERT_EQ(stat((tree / target).c_str(), &source), 0);
            EXPECT_EQ(entry->attributes & folder_bit, 0u) << remote;
            EXPECT_EQ(entry->size, static_cast<uint64_t>(source.st_size)) << remote;
            EXPECT_EQ(entry->mode, source.st_mode) << remote;
            expect_copy(remote, tree / target);
        }
        for (const auto& [link, target] : folders) {
            std::string remote = partition + ("/" + link);
            std::optional<listed_entry> entry = entry_at(remote);
            ASSERT_TRUE(entry) << remote;
            EXPECT_NE(entry->attributes & folder_bit, 0u) << remote;
            EXPECT_EQ(entry->mode & 0xF000u, 0x4000u) << remote;
            std::set<std::string> names;
            for (const auto& [name, listed] : list_entries(remote))
                names.insert(name);
            std::set<std::string> expected;
            for (const auto& source : fs::directory_iterator(tree / target))
                expected.insert(source.path().filename().string());
            EXPECT_EQ(names, expected) << remote;
        }
    }
    // A link kept in the inode's system.data attribute, on a volume with inline data.
    expect_copy("/sdb1/small/long_link", fixture_path("trees/features1/small/nested/deeper/c.txt"));
}

TEST_F(symlink_test, links_that_lead_nowhere_in_the_partition_stay_links_and_copy_with_result_6)
{
    for (const char* partition : {"/sda1", "/sda2"}) {
        for (const char* link : {"dangling", "self", "loop_a", "here", "data/sub/back", "to_folder/sub/back",
                                 "above_root", "chain/n00", "file_as_folder"}) {
            std::string remote = partition + std::string("/") + link;
            std::optional<listed_entry> entry = entry_at(remote);
            ASSERT_TRUE(entry) << remote;
            EXPECT_EQ(entry->attributes & folder_bit, 0u) << remote;
            EXPECT_EQ(entry->mode & 0xF000u, 0xA000u) << remote;
            EXPECT_EQ(entry->size, fs::read_symlink(tree / fs::path(link).lexically_normal()).string().size())
                << remote;
            EXPECT_EQ(copy_out(remote, (scratch / "copy").string()), file_result_not_supported) << remote;
            EXPECT_FALSE(fs::exists(scratch / "copy")) << remote;
            EXPECT_TRUE(list_entries(remote).empty()) << remote;
        }
    }
}

TEST_F(symlink_test, a_folder_copy_through_every_link_and_every_damaged_record_ends)
{
    // A record naming the root folder again lists as a folder that does not open.
    EXPECT_NE(list_entries("/sda1/damaged").at("root_again").attributes & folder_bit, 0u);
    EXPECT_EQ(list_names("/sda1/damaged/root_again"), std::vector<std::string>{"<invalid>"});
    EXPECT_EQ(copy_out("/sda1/damaged/root_again/data/file.txt", (scratch / "copy").string()), file_result_read_error);

    // Every folder a host reaches from the partition folder, entering each listed folder as a recursive copy does.
    std::set<std::string> reached;
    std::function<void(const std::string&)> walk = [&](const std::string& folder) {
        ASSERT_LT(reached.size(), 100u);
        reached.insert(folder);
        for (const auto& [name, entry] : list_entries("/sda1" + folder))
            if ((entry.attributes & folder_bit) != 0 && name != "..")
                walk(folder + "/" + name);
    };
    walk("");
    EXPECT_EQ(reached, (std::set<std::string>{"", "/absolute_folder", "/chain", "/chain_1", "/chain_2", "/damaged",
                                               "/damaged/root_again", "/data", "/data/sub", "/lost+found",
                                               "/to_folder", "/to_folder/sub"}));
}

}  // namespace
