// Inode access: inodes as debugfs reports them, and the first-in first-out cache of whole group inode tables.
#include "disk/partition.h"
#include "ext/inode_cache.h"
#include "ext/volume.h"
#include "test_support.h"

#include <cstdio>
#include <cstring>
#include <deque>

namespace {

constexpr uint32_t inodes_per_group = 16;  // reader.img partition 3: 112 groups of 16 inodes
constexpr uint32_t group_count = 112;

uint32_t first_of_group(uint32_t group)
{
    return group * inodes_per_group + 1;
}

const char* type_name(const ext_inode& inode)
{
    switch (inode.i_mode & mode_type_mask) {
    case mode_regular:
        return "regular";
    case mode_directory:
        return "directory";
    case 0xA000:
        return "symlink";
    default:
        return "other";
    }
}

class inode_cache_test : public fixture_partition_test {
protected:

    // Reads the first inode of each group in order; false when one fails.
    static bool load_groups(partition_linux_ext2& p, uint32_t first, uint32_t last)
    {
        for (uint32_t g = first; g <= last; ++g)
            if (!get_inode(p, first_of_group(g)))
                return false;
        return true;
    }

    static std::deque<uint32_t> range(uint32_t first, uint32_t last)
    {
        std::deque<uint32_t> groups;
        for (uint32_t g = first; g <= last; ++g)
            groups.push_back(g);
        return groups;
    }

};

}  // namespace

TEST_F(inode_cache_test, every_inode_of_the_fixture_volumes_reads_as_debugfs_reports_it)
{
    for (const char* image : {"main.img", "reader.img"}) {
        std::vector<fixture_volume> volumes = fixture_volumes(image);
        ASSERT_EQ(volumes.size(), 3u) << image;
        for (const fixture_volume& volume : volumes) {
            partition_linux_ext2* p = open(image, volume.number);
            ASSERT_TRUE(p) << image << " " << volume.number;
            for (const auto& [path, expected] : volume.inodes) {
                SCOPED_TRACE(std::string(image) + " " + std::to_string(volume.number) + " " + path);
                std::optional<ext_inode> inode = get_inode(*p, expected.number);
                ASSERT_TRUE(inode);
                EXPECT_EQ(type_name(*inode), expected.type);
                EXPECT_EQ(inode->size(), expected.size);
                EXPECT_EQ(inode->i_flags, expected.flags);
            }
        }
    }
}

TEST_F(inode_cache_test, each_group_table_is_read_once_on_its_first_inode)
{
    std::map<uint32_t, uint64_t> sizes;  // debugfs's sizes by inode number
    for (int i = 1; i <= 40; ++i) {
        char path[16];
        std::snprintf(path, sizeof path, "/files/f%02d", i);
        debugfs_inode inode = debugfs_stat_path("reader.img", 3, path);
        sizes[inode.number] = inode.size;
    }
    partition_linux_ext2* p = open("reader.img", 3);
    ASSERT_TRUE(p);
    ASSERT_EQ(p->volume_info->inodes_per_group, inodes_per_group);
    ASSERT_EQ(p->volume_info->group_count, group_count);
    // Group edges: the last inode of a group shares its table, the next one starts another.
    const struct {
        uint32_t number;
        long reads;
    } steps[] = {{16, 1}, {1, 0}, {17, 1}, {32, 0}, {16, 0}, {33, 1}, {48, 0}, {49, 1}, {52, 0}, {1792, 1}, {1777, 0}};
    for (const auto& step : steps) {
        long before = drive_reads();
        std::optional<ext_inode> inode = get_inode(*p, step.number);
        ASSERT_TRUE(inode) << step.number;
        EXPECT_EQ(drive_reads() - before, step.reads) << step.number;
        if (sizes.count(step.number)) {
            EXPECT_EQ(inode->size(), sizes[step.number]) << step.number;
        }
    }
    EXPECT_EQ(p->cached_groups, (std::deque<uint32_t>{0, 1, 2, 3, 111}));
}

TEST_F(inode_cache_test, numbers_outside_the_volume_give_nothing_without_a_read)
{
    partition_linux_ext2* p = open("reader.img", 3);
    ASSERT_TRUE(p);
    long before = drive_reads();
    for (uint32_t n : {0u, group_count * inodes_per_group + 1, 0x80000000u, 0xFFFFFFFFu}) {
        EXPECT_FALSE(get_inode(*p, n)) << n;
    }
    EXPECT_EQ(drive_reads(), before);
    EXPECT_TRUE(p->cached_groups.empty());
    EXPECT_TRUE(get_inode(*p, group_count * inodes_per_group));

    // Not mounted: nothing, and nothing read.
    auto* unmounted = dynamic_cast<partition_linux_ext2*>(disk->partition_list[0].get());
    ASSERT_TRUE(unmounted);
    ASSERT_FALSE(unmounted->volume_info);
    before = drive_reads();
    EXPECT_FALSE(get_inode(*unmounted, 2));
    EXPECT_EQ(drive_reads(), before);

    // A superblock counting more inodes than its groups hold: the numbers past the last group give nothing.
    disk.reset();
    crafted_volume volume;
    uint32_t per_group = 0;
    std::memcpy(&per_group, volume.block(1) + 40, 4);
    put_le32(volume.block(1), per_group + 1);
    p = volume.mount();
    ASSERT_TRUE(p);
    ASSERT_EQ(p->volume_info->group_count, 1u);
    before = drive_reads();
    EXPECT_FALSE(get_inode(*p, per_group + 1));
    EXPECT_EQ(drive_reads(), before);
    EXPECT_TRUE(get_inode(*p, per_group));
}

TEST_F(inode_cache_test, at_most_100_groups_stay_cached_first_in_first_out)
{
    partition_linux_ext2* p = open("reader.img", 3);
    ASSERT_TRUE(p);
    long before = drive_reads();
    ASSERT_TRUE(load_groups(*p, 0, 99));
    EXPECT_EQ(drive_reads() - before, 100);
    EXPECT_EQ(p->cached_groups, range(0, 99));

    // A hit neither reads nor makes its group any younger.
    before = drive_reads();
    ASSERT_TRUE(get_inode(*p, first_of_group(0) + 5));
    EXPECT_EQ(drive_reads(), before);
    EXPECT_EQ(p->cached_groups, range(0, 99));

    // The 101st group evicts the oldest; a reload of that one comes in as the newest.
    ASSERT_TRUE(get_inode(*p, first_of_group(100)));
    EXPECT_EQ(p->cached_groups, range(1, 100));
    EXPECT_FALSE(p->volume_info->inode_tables[0]);
    before = drive_reads();
    ASSERT_TRUE(get_inode(*p, first_of_group(0)));
    EXPECT_EQ(drive_reads() - before, 1);
    std::deque<uint32_t> expected = range(2, 100);
    expected.push_back(0);
    EXPECT_EQ(p->cached_groups, expected);
    EXPECT_FALSE(p->volume_info->inode_tables[1]);
    EXPECT_TRUE(p->volume_info->inode_tables[2]);

    before = drive_reads();
    ASSERT_TRUE(load_groups(*p, 2, 100));
    EXPECT_EQ(drive_reads(), before);
    ASSERT_TRUE(get_inode(*p, first_of_group(1)));
    EXPECT_EQ(drive_reads() - before, 1);
    EXPECT_EQ(p->cached_groups.front(), 3u);
    EXPECT_EQ(p->cached_groups.back(), 1u);
    EXPECT_EQ(p->cached_groups.size(), 100u);
}

TEST_F(inode_cache_test, a_failed_read_after_an_eviction_leaves_99_groups)
{
    partition_linux_ext2* p = open("reader.img", 3);
    ASSERT_TRUE(p);
    ASSERT_TRUE(load_groups(*p, 0, 99));
    test_control::fail_nth_read(1);
    EXPECT_FALSE(get_inode(*p, first_of_group(100)));
    EXPECT_EQ(p->cached_groups, range(1, 99));
    EXPECT_FALSE(p->volume_info->inode_tables[0]);
    EXPECT_FALSE(p->volume_info->inode_tables[100]);

    // The next attempt reads the table again; nothing more is evicted.
    long before = drive_reads();
    ASSERT_TRUE(get_inode(*p, first_of_group(100)));
    EXPECT_EQ(drive_reads() - before, 1);
    EXPECT_EQ(p->cached_groups, range(1, 100));
}
