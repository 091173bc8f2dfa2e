// Volume features: which incompatible features mount, bigalloc geometry, inline data, and inodes whose content
// cannot be read.
#include "disk/byte_order.h"
#include "disk/partition.h"
#include "ext/inline_data.h"
#include "ext/inode_cache.h"
#include "ext/xattr.h"
#include "ext/volume.h"
#include "plugin/exports.h"
#include "plugin_support.h"

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

class features_test : public scratch_test {
protected:
    // A fixture volume, its superblock changed by damage, on a memory disk: does it mount?
    bool mounts(const std::string& volume_name, const std::function<void(uint8_t*)>& change)
    {
        test_control::reset();
        std::vector<uint8_t> volume = read_file_bytes(fixture_path(volume_name));
        change(volume.data() + 1024);
        disk = open_memory_volume(volume);
        return disk && mounted_partition(*disk, 1) != nullptr;
    }

    // Every folder of the source tree lists exactly its entries (and the partition folder the extra ones besides),
    // and every file copies byte-exact. The number of files compared.
    size_t expect_tree(const std::string& folder, const fs::path& tree, const std::vector<std::string>& extra = {})
    {
        size_t files = 0;
        std::vector<fs::path> folders{tree};
        for (auto it = fs::recursive_directory_iterator(tree); it != fs::recursive_directory_iterator(); ++it)
            if (it->is_directory() && !it->is_symlink())
                folders.push_back(it->path());
        for (const fs::path& source : folders) {
            fs::path relative = source.lexically_relative(tree);
            std::string remote = folder + (relative == "." ? "" : "/" + relative.string());
            auto entries = list_entries(remote);
            entries.erase("lost+found");
            entries.erase("..");
            for (const std::string& name : relative == "." ? extra : std::vector<std::string>{}) {
                EXPECT_EQ(entries.erase(name), 1u) << name;
            }
            std::vector<std::string> expected;
            for (const auto& entry : fs::directory_iterator(source))
                expected.push_back(entry.path().filename().string());
            std::sort(expected.begin(), expected.end());
            std::vector<std::string> names;
            for (const auto& [name, entry] : entries)
                names.push_back(name);
            EXPECT_EQ(names, expected) << remote;
            for (const auto& entry : fs::directory_iterator(source)) {
                if (!entry.is_regular_file() || entry.is_symlink())
                    continue;
                std::string name = entry.path().filename().string();
                EXPECT_EQ(entries[name].size, entry.file_size()) << remote << "/" << name;
                fs::path local = scratch / "copy";
                int result = copy_out(remote + "/" + name, local.string());
                EXPECT_EQ(result, file_result_ok) << remote << "/" << name;
                if (result == file_result_ok) {
                    EXPECT_TRUE(read_file_bytes(local.string()) == read_file_bytes(entry.path().string()))
                        << remote << "/" << name;
                }
                fs::remove(local);
                ++files;
            }
        }
        return files;
    }

    std::unique_ptr<physical_disk> disk;
};

void set_incompat(uint8_t* sb, uint32_t bits)
{
    put_le32(sb + 96, read_le32(sb, 96) | bits);
}

}  // namespace

TEST_F(features_test, volumes_mount_only_with_incompatible_features_the_reader_knows)
{
    const std::pair<uint32_t, bool> cases[] = {
        {incompat_recover, true},       {incompat_mmp, true},          {incompat_flex_bg, true},
        {incompat_ea_inode, true},      {incompat_csum_seed, true},    {incompat_largedir, true},
        {incompat_inline_data, true},   {incompat_encrypt, true},      {incompat_casefold, true},
        {incompat_compression, false},  {incompat_journal_dev, false}, {incompat_dirdata, false},
        {0x20, false},                  {0x800, false},                {0x40000, false},
        {0x80000000, false},
    };
    for (const auto& [bit, mounts_with_it] : cases)
        EXPECT_EQ(mounts("volume_ext4.img", [&](uint8_t* sb) { set_incompat(sb, bit); }), mounts_with_it)
            << std::hex << bit;
    // Read-only-compatible features are a writer's concern.
    EXPECT_TRUE(mounts("volume_ext4.img", [](uint8_t* sb) { put_le32(sb + 100, 0xFFFFFFFF & ~ro_compat_bigalloc); }));
}

TEST_F(features_test, bigalloc_groups_count_clusters_in_their_bitmaps)
{
    // volume_ext2_1k.img: 1 KiB blocks, one group of 8192 blocks. As bigalloc with clusters of 16 blocks.
    auto as_bigalloc = [](uint32_t log_cluster, uint32_t clusters_per_group, uint32_t blocks_per_group) {
        return [=](uint8_t* sb) {
            put_le32(sb + 100, read_le32(sb, 100) | ro_compat_bigalloc);
            put_le32(sb + 28, log_cluster);
            put_le32(sb + 32, blocks_per_group);
            put_le32(sb + 36, clusters_per_group);
        };
    };
    EXPECT_TRUE(mounts("volume_ext2_1k.img", as_bigalloc(4, 8192, 8192 * 16)));
    EXPECT_EQ(mounted_partition(*disk, 1)->volume_info->blocks_per_cluster, 16u);
    EXPECT_FALSE(mounts("volume_ext2_1k.img", as_bigalloc(4, 8193, 8193 * 16)));  // more than a bitmap holds
    EXPECT_FALSE(mounts("volume_ext2_1k.img", as_bigalloc(4, 8192, 8192 * 8)));   // the two counts disagree
    EXPECT_FALSE(mounts("volume_ext2_1k.img", as_bigalloc(21, 1, 1u << 21)));     // clusters beyond 1 GiB
    EXPECT_FALSE(mounts("volume_ext4.img", [](uint8_t* sb) {  // clusters smaller than a block
        put_le32(sb + 100, read_le32(sb, 100) | ro_compat_bigalloc);
        put_le32(sb + 28, 1);
        put_le32(sb + 36, read_le32(sb, 32));
    }));
    // Without bigalloc, blocks per group beyond a bitmap's bits are refused as before.
    EXPECT_FALSE(mounts("volume_ext2_1k.img", [](uint8_t* sb) { put_le32(sb + 32, 8192 * 16); }));
}

TEST_F(features_test, system_data_is_found_only_inside_its_area)
{
    // An area: the magic, then an entry "user.x" with a 4-byte value, then system.data with a 6-byte value.
    std::vector<uint8_t> area(96, 0);
    put_le32(area.data(), 0xEA020000);
    auto entry = [&](size_t at, uint8_t index, const char* name, uint16_t value_offs, uint32_t value_size) {
        area[at] = static_cast<uint8_t>(std::strlen(name));
        area[at + 1] = index;
        put_le16(area.data() + at + 2, value_offs);
        put_le32(area.data() + at + 8, value_size);
        std::memcpy(area.data() + at + 16, name, std::strlen(name));
    };
    entry(4, 1, "x", 60, 4);
    entry(24, 7, "data", 70, 6);
    std::memcpy(area.data() + 4 + 70, "inline", 6);
    std::array<uint8_t, 60> i_block{};
    i_block[0] = 'A';
    i_block[59] = 'Z';

    std::vector<uint8_t> content;
    ASSERT_TRUE(inline_content(i_block, area, content));
    ASSERT_EQ(content.size(), 66u);
    EXPECT_EQ(content[0], 'A');
    EXPECT_EQ(content[59], 'Z');
    EXPECT_EQ(std::string(content.begin() + 60, content.end()), "inline");

    auto found = [&](const std::function<void(std::vector<uint8_t>&)>& change) {
        std::vector<uint8_t> damaged = area;
        change(damaged);
        size_t offset = 0, size = 0;
        bool result = find_system_data(damaged.data(), damaged.size(), offset, size);
        if (result) {
            EXPECT_LE(offset + size, damaged.size());
        }
        return result;
    };
    EXPECT_TRUE(found([](std::vector<uint8_t>&) {}));
    EXPECT_FALSE(found([](std::vector<uint8_t>& a) { a[0] ^= 1; }));                        // no magic
    EXPECT_FALSE(found([](std::vector<uint8_t>& a) { put_le16(a.data() + 26, 90); }));      // value past the end
    EXPECT_FALSE(found([](std::vector<uint8_t>& a) { put_le32(a.data() + 32, 0xFFFFFFF0); }));  // size wraps
    EXPECT_FALSE(found([](std::vector<uint8_t>& a) { put_le32(a.data() + 28, 12); }));      // value in an inode
    EXPECT_FALSE(found([](std::vector<uint8_t>& a) { a[4] = 200; }));                        // entry past the end
    EXPECT_FALSE(found([](std::vector<uint8_t>& a) { a.resize(40); }));                      // cut inside the entry
    EXPECT_FALSE(found([](std::vector<uint8_t>& a) { put_le32(a.data() + 24, 0); }));       // list ends before it
    EXPECT_FALSE(found([](std::vector<uint8_t>& a) { a[25] = 1; }));                         // user.data
    EXPECT_FALSE(found([](std::vector<uint8_t>& a) { a.resize(4); }));

    // The whole table is checked before system.data is taken, as Linux's check_xattrs checks it: the entries end
    // (4 zero bytes) before the area does, names hold no NUL, values (padded to 4 bytes) start after the end
    // marker and stay inside, a value kept in an inode is named only where the volume allows it.
    EXPECT_FALSE(found([](std::vector<uint8_t>& a) { put_le16(a.data() + 26, 8); }));       // value inside entries
    EXPECT_FALSE(found([](std::vector<uint8_t>& a) { put_le16(a.data() + 26, 40); }));      // over the end marker
    EXPECT_TRUE(found([](std::vector<uint8_t>& a) { put_le16(a.data() + 26, 44); }));       // just after it
    EXPECT_FALSE(found([](std::vector<uint8_t>& a) { put_le16(a.data() + 26, 86); }));      // padded past the end
    EXPECT_TRUE(found([](std::vector<uint8_t>& a) { put_le16(a.data() + 26, 81); }));       // unaligned, padded in
    EXPECT_FALSE(found([](std::vector<uint8_t>& a) { put_le16(a.data() + 6, 90); }));       // user.x outside
    EXPECT_FALSE(found([](std::vector<uint8_t>& a) { put_le16(a.data() + 6, 8); }));        // user.x inside entries
    EXPECT_FALSE(found([](std::vector<uint8_t>& a) { a[20] = 0; }));                         // a NUL in user.x's name
}

TEST_F(features_test, attribute_areas_linux_refuses_make_their_inodes_unreadable)
{
    // A 256-byte inode: i_extra_isize 32, then the area with "user.x" (value inode 0) and system.data.
    std::vector<uint8_t> bytes(256, 0);
    put_le16(bytes.data(), 0x81A4);
    put_le32(bytes.data() + 32, inode_flag_inline_data);
    put_le16(bytes.data() + 128, 32);
    uint8_t* area = bytes.data() + 160;
    put_le32(area, 0xEA020000);
    area[4] = 1;
    area[5] = 1;
    area[20] = 'x';
    area[24] = 4;
    area[25] = 7;
    put_le16(area + 26, 60);
    put_le32(area + 32, 8);
    std::memcpy(area + 40, "data", 4);
    const xattr_rules plain{false, 1000};
    const xattr_rules with_ea_inodes{true, 1000};
    auto damaged = [&](const std::function<void(std::vector<uint8_t>&)>& change, const xattr_rules& rules) {
        std::vector<uint8_t> copy = bytes;
        change(copy);
        return parse_inode(copy.data(), 256, rules).attributes_damaged;
    };
    EXPECT_FALSE(damaged([](std::vector<uint8_t>&) {}, plain));
    EXPECT_FALSE(damaged([](std::vector<uint8_t>& b) { b[160] = 0; }, plain));         // no magic: no attributes
    EXPECT_FALSE(damaged([](std::vector<uint8_t>& b) { put_le16(b.data() + 128, 0); }, plain));  // no extra space
    EXPECT_TRUE(damaged([](std::vector<uint8_t>& b) { put_le16(b.data() + 128, 34); }, plain));  // not whole words
    EXPECT_TRUE(damaged([](std::vector<uint8_t>& b) { put_le16(b.data() + 128, 132); }, plain)); // past the inode
    EXPECT_FALSE(damaged([](std::vector<uint8_t>& b) { put_le16(b.data() + 128, 124); }, plain)); // no room for any
    auto x_value_at = [](uint16_t offset) {
        return [offset](std::vector<uint8_t>& b) {
            put_le16(b.data() + 160 + 6, offset);
            put_le32(b.data() + 160 + 12, 4);
        };
    };
    EXPECT_TRUE(damaged(x_value_at(2), plain));  // inside the entries
    EXPECT_FALSE(damaged(x_value_at(48), plain));
    // A value in an inode of its own: only with ea_inode, never the root, within the inode count, not empty.
    auto value_inode = [&](uint32_t inode, uint32_t size) {
        return [inode, size](std::vector<uint8_t>& b) {
            put_le32(b.data() + 160 + 8, inode);
            put_le32(b.data() + 160 + 12, size);
        };
    };
    EXPECT_TRUE(damaged(value_inode(20, 100), plain));
    EXPECT_FALSE(damaged(value_inode(20, 100), with_ea_inodes));
    EXPECT_TRUE(damaged(value_inode(2, 100), with_ea_inodes));
    EXPECT_TRUE(damaged(value_inode(1001, 100), with_ea_inodes));
    EXPECT_TRUE(damaged(value_inode(20, 0), with_ea_inodes));

    // The same damage in an inode without inline data: Linux refuses the inode all the same.
    EXPECT_TRUE(damaged([&](std::vector<uint8_t>& b) {
        put_le32(b.data() + 32, inode_flag_extents);
        x_value_at(2)(b);
    }, plain));
}

TEST_F(features_test, inline_and_bigalloc_volumes_list_and_copy_their_trees_byte_exact)
{
    test_control::add_drive_file(fixture_path("features.img"));
    ASSERT_EQ(FsInit(0, nullptr, nullptr, nullptr), 0);
    // Partition 3 names an incompatible feature no reader knows: it is not shown, nor reachable.
    EXPECT_EQ(list_names("/"), (std::vector<std::string>{"sda1", "sda2"}));
    EXPECT_EQ(list_names("/sda3"), std::vector<std::string>{"<invalid>"});

    EXPECT_GE(expect_tree("/sda1", fixture_path("trees/features1"), {"encrypted.txt", "compressed.bin"}), 16u);
    EXPECT_GE(expect_tree("/sda2", fixture_path("trees/features2")), 300u);
}

TEST_F(features_test, encrypted_inodes_copy_as_not_supported_and_compressed_ones_as_stored)
{
    test_control::add_drive_file(fixture_path("features.img"));
    ASSERT_EQ(FsInit(0, nullptr, nullptr, nullptr), 0);
    auto root = list_entries("/sda1");
    EXPECT_EQ(root.at("encrypted.txt").size, 9u);
    EXPECT_EQ(root.at("compressed.bin").size, 3000u);
    EXPECT_EQ(copy_out("/sda1/encrypted.txt", (scratch / "copy").string()), file_result_not_supported);
    EXPECT_FALSE(fs::exists(scratch / "copy"));
    // No kernel reads the compressed-clusters flag: the file is its blocks, as debugfs dumps them.
    fs::path expected = scratch / "expected";
    run_command("debugfs -R 'dump /compressed.bin " + expected.string() + "' '" + fixture_path("features.img") +
                "?offset=" + std::to_string(2048 * 512) + "' 2>/dev/null");
    ASSERT_EQ(copy_out("/sda1/compressed.bin", (scratch / "copy").string()), file_result_ok);
    EXPECT_EQ(fs::file_size(expected), 3000u);
    EXPECT_TRUE(read_file_bytes((scratch / "copy").string()) == read_file_bytes(expected.string()));
}

TEST_F(features_test, a_folder_beyond_the_listing_bounds_fails_to_list_rather_than_listing_empty)
{
    std::string image = fixture_path("volume_ext2_1k.img");
    std::string where = run_command("debugfs -R 'imap /dir' '" + image + "' 2>/dev/null");
    unsigned block = 0, offset = 0;
    ASSERT_EQ(std::sscanf(where.substr(where.find("located")).c_str(), "located at block %u, offset %x", &block,
                          &offset), 2);
    std::vector<uint8_t> volume = read_file_bytes(image);
    put_le32(volume.data() + block * 1024 + offset + 4, 0x7FFFFFFF);  // more blocks than the volume holds
    memory_disk disk_image(512, 8);
    disk_image.set_entry(0, 1, 0x83, 8, static_cast<uint32_t>(volume.size() / 512));
    disk_image.place(8, volume);
    disk_image.sign(0);
    test_control::add_drive_memory(disk_image.bytes);
    ASSERT_EQ(FsInit(0, nullptr, nullptr, nullptr), 0);
    EXPECT_EQ(list_names("/sda1/dir"), std::vector<std::string>{"<invalid>"});
    EXPECT_EQ(list_names("/sda1/dir/deeper"), std::vector<std::string>{"<invalid>"});
    auto root = list_entries("/sda1");
    EXPECT_EQ(root.count("dir"), 1u);
    EXPECT_EQ(root.count("file.txt"), 1u);
}
