// Inode access: inodes as debugfs reports them, read in table pieces through a cache that keeps to its budget.
#include "disk/partition.h"
#include "ext/inode_cache.h"
#include "ext/volume.h"
#include "test_support.h"

#include <cstring>

namespace {

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

// Sets the inode cache's budget for one test and restores it after.
struct budget_override {
    size_t previous;
    explicit budget_override(size_t bytes) : previous(set_inode_cache_budget(bytes)) {}
    ~budget_override() { set_inode_cache_budget(previous); }
};

// A budget of n pieces of 64 KiB with their bookkeeping.
size_t pieces(size_t n)
{
    return n * (inode_table_piece_bytes + 1024);
}

class inode_cache_test : public fixture_partition_test {
protected:
    // Reads inodes first to last in order; the drive reads it took, or -1 when one fails.
    static long walk(ext_volume& p, uint32_t first, uint32_t last)
    {
        long before = drive_reads();
        for (uint32_t n = first; n <= last; ++n)
            if (!get_inode(p, n))
                return -1;
        return drive_reads() - before;
    }
};

}  // namespace

TEST_F(inode_cache_test, every_inode_of_the_fixture_volumes_reads_as_debugfs_reports_it_under_any_budget)
{
    for (const char* image : {"main.img", "reader.img"}) {
        std::vector<fixture_volume> volumes = fixture_volumes(image);
        ASSERT_EQ(volumes.size(), 3u) << image;
        // The plugin's budget, then room for a single small piece: every answer misses and is read alone.
        for (size_t budget : {inode_cache_budget, size_t{4096}}) {
            budget_override guard(budget);
            for (const fixture_volume& volume : volumes) {
                ext_volume* p = open(image, volume.number);
                ASSERT_TRUE(p) << image << " " << volume.number;
                for (const auto& [path, expected] : volume.inodes) {
                    SCOPED_TRACE(std::string(image) + " " + std::to_string(volume.number) + " " + path);
                    std::optional<ext_inode> inode = get_inode(*p, expected.number);
                    ASSERT_TRUE(inode);
                    EXPECT_EQ(type_name(*inode), expected.type);
                    EXPECT_EQ(inode->size(), expected.size);
                    EXPECT_EQ(inode->i_flags, expected.flags);
                    EXPECT_LE(inode_cache_bytes(), budget);
                }
            }
        }
    }
}

TEST_F(inode_cache_test, a_walk_reads_each_table_piece_once_and_a_second_walk_reads_nothing)
{
    // reader.img 1: 4 groups of 3000 inodes of 256 bytes, 750 KiB tables of 12 pieces each.
    ext_volume* p = open("reader.img", 1);
    ASSERT_TRUE(p);
    ASSERT_EQ(p->volume_info->inodes_per_group, 3000u);
    ASSERT_EQ(p->volume_info->group_count, 4u);
    EXPECT_LE(walk(*p, 1, 12000), 4 * 12);
    EXPECT_EQ(walk(*p, 1, 12000), 0);

    // reader.img 3: 112 groups of 16 inodes, a 2 KiB table each.
    p = open("reader.img", 3);
    ASSERT_TRUE(p);
    ASSERT_EQ(p->volume_info->group_count, 112u);
    EXPECT_LE(walk(*p, 1, 1792), 112);
    EXPECT_EQ(walk(*p, 1, 1792), 0);
}

TEST_F(inode_cache_test, under_pressure_walks_still_read_each_piece_a_few_times_at_most)
{
    budget_override guard(pieces(3));
    ext_volume* p = open("reader.img", 1);
    ASSERT_TRUE(p);
    // In order: every pass reads each piece once, and the cache never holds more than its budget.
    for (int pass = 0; pass < 2; ++pass) {
        EXPECT_LE(walk(*p, 1, 12000), 4 * 12);
        EXPECT_LE(inode_cache_bytes(), pieces(3));
    }
    // Alternating between the first and the last group: two pieces in use at a time, each read once.
    long before = drive_reads();
    for (uint32_t i = 0; i < 3000; ++i) {
        ASSERT_TRUE(get_inode(*p, 1 + i));
        ASSERT_TRUE(get_inode(*p, 9001 + i));
    }
    EXPECT_LE(drive_reads() - before, 2 * 12);
}

TEST_F(inode_cache_test, numbers_outside_the_volume_give_nothing_without_a_read)
{
    ext_volume* p = open("reader.img", 3);
    ASSERT_TRUE(p);
    long before = drive_reads();
    for (uint32_t n : {0u, 1792u + 1, 0x80000000u, 0xFFFFFFFFu}) {
        EXPECT_FALSE(get_inode(*p, n)) << n;
    }
    EXPECT_EQ(drive_reads(), before);
    EXPECT_TRUE(get_inode(*p, 1792));

    // Not mounted: nothing, and nothing read.
    ext_volume* unmounted = partition_volume(*disk, disk->partition_list[0].number);
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

TEST_F(inode_cache_test, a_failed_read_gives_nothing_and_the_next_access_reads_again)
{
    ext_volume* p = open("reader.img", 1);
    ASSERT_TRUE(p);
    std::optional<ext_inode> root = get_inode(*p, 2);
    ASSERT_TRUE(root);
    test_control::fail_nth_read(1);
    EXPECT_FALSE(get_inode(*p, 3001));
    long before = drive_reads();
    std::optional<ext_inode> again = get_inode(*p, 3001);
    EXPECT_TRUE(again);
    EXPECT_EQ(drive_reads() - before, 1);
    // The piece read before the failure still answers without a read.
    before = drive_reads();
    ASSERT_TRUE(get_inode(*p, 2));
    EXPECT_EQ(get_inode(*p, 2)->i_mode, root->i_mode);
    EXPECT_EQ(drive_reads(), before);
}

TEST_F(inode_cache_test, forgetting_a_partition_drops_its_pieces_and_no_other)
{
    { budget_override empty(0); }  // whatever earlier tests left is gone
    disk = open_fixture_disk("reader.img");
    ext_volume* first = mounted_partition(*disk, 1);
    ext_volume* third = mounted_partition(*disk, 3);
    ASSERT_TRUE(first && third);
    ASSERT_GE(walk(*first, 1, 300), 0);
    ASSERT_GE(walk(*third, 1, 300), 0);
    size_t both = inode_cache_bytes();
    forget_inode_tables(*first);
    EXPECT_LT(inode_cache_bytes(), both);
    EXPECT_EQ(walk(*third, 1, 300), 0);
    EXPECT_GT(walk(*first, 1, 300), 0);
    EXPECT_EQ(inode_cache_bytes(), both);
}
