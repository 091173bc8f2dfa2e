// Volume mount: geometry from real superblocks, and the refusal of superblocks that make it meaningless.
#include "disk/partition.h"
#include "ext/file_map.h"
#include "ext/directory.h"
#include "ext/inode_cache.h"
#include "ext/volume.h"
#include "test_support.h"

#include "disk/byte_order.h"

#include <cstdio>
#include <cstring>
#include <functional>
#include <algorithm>
#include <map>

namespace {

constexpr uint32_t volume_sector = 8;  // where the tests place a volume on their memory disks

class volume_test : public stand_in_test {
protected:
    // Places a volume image on a memory disk as partition 1 (type 0x83), lets damage change the superblock
    // bytes, scans the disk and returns the partition.
    ext_volume* place(std::vector<uint8_t> volume, uint32_t sector_size = 512,
                                const std::function<void(uint8_t*)>& damage = {}, uint32_t partition_sectors = 0)
    {
        uint64_t sectors = volume_sector + volume.size() / sector_size;
        memory_disk image(sector_size, sectors);
        if (partition_sectors == 0)
            partition_sectors = static_cast<uint32_t>(volume.size() / sector_size);
        image.set_entry(0, 1, 0x83, volume_sector, partition_sectors);
        image.sign(0);
        if (damage)
            damage(volume.data() + 1024);
        image.place(volume_sector, volume);
        test_control::add_drive_memory(image.bytes, sector_size);
        disk = open_physical_disk("\\\\.\\PhysicalDrive0");
        if (scan_partition_tables(*disk) != 0 || disk->partition_list.empty())
            return nullptr;
        return partition_volume(*disk, disk->partition_list[0].number);
    }

    bool mounts(const std::string& volume, const std::function<void(uint8_t*)>& damage)
    {
        test_control::reset();
        ext_volume* target = place(read_file_bytes(fixture_path(volume)), 512, damage);
        if (!target)
            return false;
        bool mounted = mount_volume(*target);
        EXPECT_EQ(mounted, target->volume_info != nullptr);
        return mounted;
    }

    std::unique_ptr<physical_disk> disk;
};

// Fields of dumpe2fs's report for a volume at a byte offset of an image.
std::map<std::string, std::string> dumpe2fs_header(const std::string& image, uint64_t offset, int& groups)
{
    std::string command = "dumpe2fs '" + image + "?offset=" + std::to_string(offset) + "' 2>/dev/null";
    std::map<std::string, std::string> fields;
    groups = 0;
    FILE* pipe = popen(command.c_str(), "r");
    char line[4096];
    while (pipe && fgets(line, sizeof line, pipe)) {
        std::string text(line);
        if (text.rfind("Group ", 0) == 0 && text.find(": (Blocks") != std::string::npos)
            ++groups;
        size_t colon = text.find(':');
        if (colon == std::string::npos)
            continue;
        size_t value = text.find_first_not_of(" \t", colon + 1);
        fields.emplace(text.substr(0, colon), value == std::string::npos ? "" : text.substr(value, text.size() - value - 1));
    }
    if (pipe)
        pclose(pipe);
    return fields;
}

void set_le32(uint8_t* sb, size_t offset, uint32_t value)
{
    put_le32(sb + offset, value);
}

}  // namespace

TEST_F(volume_test, fixture_volumes_mount_with_the_geometry_dumpe2fs_reports)
{
    test_control::add_drive_file(fixture_path("main.img"));
    disk = open_physical_disk("\\\\.\\PhysicalDrive0");
    ASSERT_EQ(scan_partition_tables(*disk), 0);
    auto mounted = mounted_partitions(*disk);
    ASSERT_EQ(mounted.size(), 3u);
    for (auto [number, p] : mounted) {
        SCOPED_TRACE("partition " + std::to_string(number));
        int groups = 0;
        uint64_t byte_offset = p->source->segments.at(0).targets.at(0).offset;
        auto fields = dumpe2fs_header(fixture_path("main.img"), byte_offset, groups);
        const ext2_volume_info& v = *p->volume_info;
        EXPECT_EQ(std::to_string(v.block_size), fields["Block size"]);
        EXPECT_EQ(std::to_string(v.inodes_per_group), fields["Inodes per group"]);
        EXPECT_EQ(std::to_string(v.inode_size), fields["Inode size"]);
        EXPECT_EQ(std::to_string(v.blocks_count), fields["Block count"]);
        EXPECT_EQ(static_cast<int>(v.group_count), groups);
        EXPECT_EQ(v.descriptors.size(), v.group_count);
        bool is_64bit = fields["Filesystem features"].find("64bit") != std::string::npos;
        EXPECT_EQ(v.desc_size, is_64bit ? 64u : 32u);
        EXPECT_EQ(v.sectors_per_block, v.block_size / 512);
        EXPECT_TRUE(is_mounted(*p));
    }
}

TEST_F(volume_test, a_second_mount_reads_nothing)
{
    ext_volume* target = place(read_file_bytes(fixture_path("volume_ext2_1k.img")));
    ASSERT_TRUE(target);
    ASSERT_TRUE(mount_volume(*target));
    long reads = test_control::read_counters().drive_reads;
    EXPECT_TRUE(mount_volume(*target));
    EXPECT_EQ(test_control::read_counters().drive_reads, reads);
}

TEST_F(volume_test, superblock_and_table_are_found_on_4096_byte_sectors)
{
    ext_volume* target = place(read_file_bytes(fixture_path("volume_ext4.img")), 4096);
    ASSERT_TRUE(target);
    ASSERT_TRUE(mount_volume(*target));
    EXPECT_EQ(target->volume_info->block_size, 4096u);
    EXPECT_EQ(target->volume_info->sectors_per_block, 1u);

    // 1 KiB blocks cannot be addressed in 4096-byte sectors.
    test_control::reset();
    target = place(read_file_bytes(fixture_path("volume_ext2_1k.img")), 4096);
    ASSERT_TRUE(target);
    EXPECT_FALSE(mount_volume(*target));
    EXPECT_EQ(target->volume_info, nullptr);
}

TEST_F(volume_test, group_count_covers_the_blocks_after_the_first_data_block)
{
    // ext4 volume: 1024 blocks of 4 KiB, first data block 0.
    auto groups_of = [&](const std::string& volume, uint32_t blocks, uint32_t per_group) -> int64_t {
        test_control::reset();
        ext_volume* target = place(read_file_bytes(fixture_path(volume)), 512, [&](uint8_t* sb) {
            set_le32(sb, 4, blocks);
            set_le32(sb, 32, per_group);
        });
        if (!target || !mount_volume(*target))
            return -1;
        return target->volume_info->group_count;
    };
    EXPECT_EQ(groups_of("volume_ext4.img", 1024, 1024), 1);
    EXPECT_EQ(groups_of("volume_ext4.img", 1025, 1024), 2);
    // ext2 volume: first data block 1.
    EXPECT_EQ(groups_of("volume_ext2_1k.img", 2048, 2047), 1);
    EXPECT_EQ(groups_of("volume_ext2_1k.img", 2049, 2047), 2);
}

TEST_F(volume_test, descriptor_table_size_follows_descriptors_per_block)
{
    auto table_blocks = [&](uint32_t blocks, uint32_t per_group) -> int64_t {
        test_control::reset();
        ext_volume* target = place(read_file_bytes(fixture_path("volume_ext4.img")), 512, [&](uint8_t* sb) {
            set_le32(sb, 4, blocks);
            set_le32(sb, 32, per_group);
        });
        if (!target || !mount_volume(*target))
            return -1;
        EXPECT_EQ(target->volume_info->descs_per_block, 64u);
        return target->volume_info->desc_table_blocks;
    };
    EXPECT_EQ(table_blocks(1024, 16), 1);  // 64 groups
    EXPECT_EQ(table_blocks(1040, 16), 2);  // 65 groups
}

TEST_F(volume_test, descriptor_size_is_32_without_the_64bit_feature)
{
    ext_volume* target = place(read_file_bytes(fixture_path("volume_ext4.img")), 512, [](uint8_t* sb) {
        sb[96] &= static_cast<uint8_t>(~0x80);  // s_desc_size stays 64
    });
    ASSERT_TRUE(target);
    ASSERT_TRUE(mount_volume(*target));
    EXPECT_EQ(target->volume_info->desc_size, 32u);
    EXPECT_EQ(target->volume_info->descs_per_block, 128u);
}

TEST_F(volume_test, inode_table_block_takes_its_high_word_only_with_the_64bit_feature)
{
    // Group 0's descriptor is at the start of block 1; give its bg_inode_table_hi a value.
    auto inode_table = [&](bool is_64bit) -> uint64_t {
        test_control::reset();
        std::vector<uint8_t> volume = read_file_bytes(fixture_path("volume_ext4.img"));
        put_le32(volume.data() + 4096 + 40, 3);
        if (!is_64bit)
            volume[1024 + 96] &= static_cast<uint8_t>(~0x80);
        ext_volume* target = place(volume);
        if (!target || !mount_volume(*target))
            return 0;
        return target->volume_info->descriptors[0].inode_table;
    };
    uint64_t low = inode_table(false);
    ASSERT_NE(low, 0u);
    EXPECT_LT(low, 1024u);
    EXPECT_EQ(inode_table(true), (uint64_t(3) << 32) + low);
}

TEST_F(volume_test, superblocks_that_make_the_geometry_meaningless_are_refused)
{
    struct damage_case {
        const char* what;
        const char* volume;
        std::function<void(uint8_t*)> damage;
        bool mounts;
    };
    const damage_case cases[] = {
        {"undamaged ext2", "volume_ext2_1k.img", [](uint8_t*) {}, true},
        {"undamaged ext4", "volume_ext4.img", [](uint8_t*) {}, true},
        {"no magic", "volume_ext2_1k.img", [](uint8_t* sb) { put_le16(sb + 56, 0xEF52); }, false},
        {"blocks per group 0", "volume_ext2_1k.img", [](uint8_t* sb) { set_le32(sb, 32, 0); }, false},
        {"inodes per group 0", "volume_ext2_1k.img", [](uint8_t* sb) { set_le32(sb, 40, 0); }, false},
        {"more inodes per group than a bitmap holds", "volume_ext2_1k.img",
         [](uint8_t* sb) { set_le32(sb, 40, 8193); }, false},
        {"log block size 7", "volume_ext2_1k.img", [](uint8_t* sb) { set_le32(sb, 24, 7); }, false},
        {"log block size huge", "volume_ext2_1k.img", [](uint8_t* sb) { set_le32(sb, 24, 40); }, false},
        {"block count at first data block", "volume_ext2_1k.img", [](uint8_t* sb) { set_le32(sb, 4, 1); }, false},
        {"descriptor table beyond the partition", "volume_ext2_1k.img",
         [](uint8_t* sb) { set_le32(sb, 32, 1); set_le32(sb, 4, 0x00100000); }, false},
        {"descriptor table bytes beyond 32 bits", "volume_ext4.img",
         [](uint8_t* sb) { set_le32(sb, 32, 1); set_le32(sb, 4, 0xFFFFFFFF); put_le32(sb + 336, 0xFFFF); }, false},
        {"64-bit descriptor size 48", "volume_ext4.img", [](uint8_t* sb) { put_le16(sb + 254, 48); }, false},
        {"64-bit descriptor size 0", "volume_ext4.img", [](uint8_t* sb) { put_le16(sb + 254, 0); }, false},
        {"64-bit descriptor size 2048", "volume_ext4.img", [](uint8_t* sb) { put_le16(sb + 254, 2048); }, false},
        {"64-bit descriptor size 128", "volume_ext4.img", [](uint8_t* sb) { put_le16(sb + 254, 128); }, true},
        {"inode size 0 means 128", "volume_ext2_1k.img", [](uint8_t* sb) { put_le16(sb + 88, 0); }, true},
        {"inode size 64", "volume_ext2_1k.img", [](uint8_t* sb) { put_le16(sb + 88, 64); }, false},
        {"inode size 384", "volume_ext2_1k.img", [](uint8_t* sb) { put_le16(sb + 88, 384); }, false},
        {"inode size above the block size", "volume_ext2_1k.img", [](uint8_t* sb) { put_le16(sb + 88, 2048); },
         false},
        {"other incompat bits do not matter", "volume_ext2_1k.img", [](uint8_t* sb) { sb[96] |= 0x40; }, true},
    };
    for (const damage_case& c : cases)
        EXPECT_EQ(mounts(c.volume, c.damage), c.mounts) << c.what;
}

TEST_F(volume_test, partitions_too_small_for_the_superblock_or_table_are_not_mounted)
{
    std::vector<uint8_t> volume = read_file_bytes(fixture_path("volume_ext2_1k.img"));
    ext_volume* target = place(volume, 512, {}, 3);  // the superblock needs sectors 2 and 3
    ASSERT_TRUE(target);
    EXPECT_FALSE(mount_volume(*target));
    test_control::reset();
    target = place(volume, 512, {}, 5);  // the table, at block 2, needs sectors 4 and 5
    ASSERT_TRUE(target);
    EXPECT_FALSE(mount_volume(*target));
    test_control::reset();
    target = place(volume, 512, {}, 6);
    ASSERT_TRUE(target);
    EXPECT_TRUE(mount_volume(*target));
}

TEST_F(volume_test, a_failed_table_read_leaves_the_partition_unmounted)
{
    ext_volume* target = place(read_file_bytes(fixture_path("volume_ext2_1k.img")));
    ASSERT_TRUE(target);
    test_control::fail_nth_read(2);  // the superblock is read first, then the table
    EXPECT_FALSE(mount_volume(*target));
    EXPECT_EQ(target->volume_info, nullptr);
    EXPECT_TRUE(mount_volume(*target));
}

TEST_F(volume_test, meta_bg_descriptors_are_found_in_their_groups)
{
    ext_volume* target = place(read_file_bytes(fixture_path("volume_meta_bg.img")));
    ASSERT_TRUE(target);
    ASSERT_TRUE(mount_volume(*target));
    ASSERT_GT(target->volume_info->group_count, 32u);
    dir_listing root;
    ASSERT_TRUE(read_directory(*target, root_directory_inode, root));
    const dir_entry* many = find_in_listing(root, "many", 4);
    ASSERT_TRUE(many);
    dir_listing files;
    ASSERT_TRUE(read_directory(*target, many->inode, files));
    uint32_t highest = 0;
    size_t checked = 0;
    for (const dir_entry& entry : files.entries) {
        std::string name(entry_name(files, entry));
        if (name.empty() || name[0] != 'f')
            continue;
        highest = std::max(highest, entry.inode);
        std::vector<uint8_t> source = read_file_bytes(fixture_path("trees/meta_bg/many/") + name);
        std::optional<ext_inode> inode = get_inode(*target, entry.inode);
        ASSERT_TRUE(inode) << name;
        ASSERT_EQ(inode->size(), source.size()) << name;
        file_map map = open_file_map(*target, *inode);
        block_run run;
        ASSERT_TRUE(map_run(map, 0, run)) << name;
        ASSERT_EQ(run.kind, run_kind::data) << name;
        sector_buffer data = read_block(*target, run.physical);
        ASSERT_TRUE(data);
        EXPECT_TRUE(std::equal(source.begin(), source.end(), data.get())) << name;
        ++checked;
    }
    EXPECT_EQ(checked, 1100u);
    EXPECT_GT((highest - 1) / target->volume_info->inodes_per_group, 32u);
}

namespace {

// volume_backup.img: 10240 blocks of 1 KiB in two groups; group 1's superblock copy at block 8193.
constexpr size_t copy_at = size_t{8193} * 1024;

void zap_primary(std::vector<uint8_t>& volume)
{
    std::fill(volume.begin() + 1024, volume.begin() + 2048, uint8_t{0});
}

std::vector<uint64_t> inode_tables_of(const ext_volume& target)
{
    std::vector<uint64_t> tables;
    for (const group_descriptor& d : target.volume_info->descriptors)
        tables.push_back(d.inode_table);
    return tables;
}

// A volume mounted through the superblock copy at block 8193 finds the inode tables the primary gave, and its
// root lists.
void expect_mounted_through_copy(ext_volume& target, const std::vector<uint64_t>& inode_tables)
{
    EXPECT_EQ(target.volume_info->backup_superblock_block, 8193u);
    EXPECT_EQ(inode_tables_of(target), inode_tables);
    dir_listing root;
    ASSERT_TRUE(read_directory(target, root_directory_inode, root));
    EXPECT_TRUE(find_in_listing(root, "hello.txt", 9));
}

}  // namespace

TEST_F(volume_test, a_superblock_copy_stands_in_only_for_a_primary_that_is_gone_and_checks_out)
{
    const std::vector<uint8_t> pristine = read_file_bytes(fixture_path("volume_backup.img"));
    ASSERT_EQ(read_le16(pristine.data() + copy_at, 0x5A), 1);
    ext_volume* target = place(pristine);
    ASSERT_TRUE(target && mount_volume(*target));
    EXPECT_EQ(target->volume_info->backup_superblock_block, 0u);
    const std::vector<uint64_t> inode_tables = inode_tables_of(*target);
    ASSERT_EQ(inode_tables.size(), 2u);

    struct damage_case {
        const char* what;
        std::function<void(std::vector<uint8_t>&)> damage;
        bool through_copy;
        uint32_t partition_sectors = 0;
    };
    auto zapped_and = [](std::function<void(std::vector<uint8_t>&)> more) {
        return [more](std::vector<uint8_t>& v) {
            zap_primary(v);
            more(v);
        };
    };
    auto text_at = [](size_t offset, std::string text) {
        return [offset, text](std::vector<uint8_t>& v) { std::copy(text.begin(), text.end(), v.begin() + offset); };
    };
    const damage_case cases[] = {
        {"primary zapped", zap_primary, true},
        {"primary and its descriptors zapped",
         [](std::vector<uint8_t>& v) { std::fill(v.begin() + 1024, v.begin() + 3 * 1024, uint8_t{0}); }, true},
        {"primary's magic", [](std::vector<uint8_t>& v) { put_le16(v.data() + 1024 + 56, 0xEF52); }, true},
        {"primary's block size meaningless", [](std::vector<uint8_t>& v) { put_le32(v.data() + 1024 + 24, 9); }, true},
        {"primary names a feature the reader refuses",
         [](std::vector<uint8_t>& v) { v[1024 + 96 + 3] |= 0x01; }, false},
        {"copy says group 0", zapped_and([](std::vector<uint8_t>& v) { put_le16(v.data() + copy_at + 0x5A, 0); }),
         false},
        {"copy says group 2", zapped_and([](std::vector<uint8_t>& v) { put_le16(v.data() + copy_at + 0x5A, 2); }),
         false},
        {"copy's magic", zapped_and([](std::vector<uint8_t>& v) { put_le16(v.data() + copy_at + 56, 0); }), false},
        {"copy's groups put group 1 elsewhere",
         zapped_and([](std::vector<uint8_t>& v) { put_le32(v.data() + copy_at + 32, 4096); }), false},
        {"copy's geometry meaningless",
         zapped_and([](std::vector<uint8_t>& v) { put_le32(v.data() + copy_at + 40, 0); }), false},
        {"volume longer than its partition", zap_primary, false, 9000 * 2},
        {"NTFS at the start", zapped_and(text_at(3, "NTFS    ")), false},
        {"FAT32 at the start", zapped_and(text_at(0x52, "FAT32   ")), false},
        {"XFS at the start", zapped_and(text_at(0, "XFSB")), false},
        {"Linux swap at the start", zapped_and(text_at(0xFF6, "SWAPSPACE2")), false},
        {"Btrfs at the start", zapped_and(text_at(0x10040, "_BHRfS_M")), false},
    };
    for (const damage_case& c : cases) {
        SCOPED_TRACE(c.what);
        test_control::reset();
        std::vector<uint8_t> volume = pristine;
        c.damage(volume);
        target = place(volume, 512, {}, c.partition_sectors);
        ASSERT_TRUE(target);
        ASSERT_EQ(mount_volume(*target), c.through_copy);
        if (c.through_copy)
            expect_mounted_through_copy(*target, inode_tables);
    }
}

TEST_F(volume_test, a_whole_drive_whose_primary_superblock_is_gone_is_found_through_its_copy)
{
    std::vector<uint8_t> volume = read_file_bytes(fixture_path("volume_backup.img"));
    zap_primary(volume);
    for (bool foreign : {false, true}) {
        SCOPED_TRACE(foreign ? "with an NTFS signature" : "without a signature");
        test_control::reset();
        if (foreign)
            std::memcpy(volume.data() + 3, "NTFS    ", 8);
        test_control::add_drive_memory(volume);
        disk = open_physical_disk("\\\\.\\PhysicalDrive0");
        // The drive has no table: it is taken whole, and what it holds is read.
        ASSERT_EQ(scan_partition_tables(*disk), 0);
        EXPECT_EQ(holds_ext_superblock_copy(*disk->source), !foreign);
        auto mounted = mounted_partitions(*disk);
        if (foreign) {
            EXPECT_TRUE(mounted.empty());
            continue;
        }
        ASSERT_EQ(mounted.size(), 1u);
        EXPECT_EQ(mounted[0].first, 0);
        EXPECT_EQ(mounted[0].second->volume_info->backup_superblock_block, 8193u);
    }
}

TEST_F(volume_test, under_meta_bg_a_superblock_copy_takes_its_descriptors_from_the_meta_groups_second_group)
{
    // volume_backup_meta_bg.img: meta_bg from descriptor block 0, which lies in block 2 and, copied, in block 8194.
    std::vector<uint8_t> volume = read_file_bytes(fixture_path("volume_backup_meta_bg.img"));
    ext_volume* target = place(volume);
    ASSERT_TRUE(target && mount_volume(*target));
    ASSERT_NE(target->volume_info->superblock.s_feature_incompat & incompat_meta_bg, 0u);
    ASSERT_EQ(target->volume_info->superblock.s_first_meta_bg, 0u);
    const std::vector<uint64_t> inode_tables = inode_tables_of(*target);

    test_control::reset();
    std::fill(volume.begin() + 1024, volume.begin() + 3 * 1024, uint8_t{0});
    target = place(volume);
    ASSERT_TRUE(target && mount_volume(*target));
    expect_mounted_through_copy(*target, inode_tables);
}
