// Extent trees: the reader fixture's trees, and trees built byte by byte on volume_ext2_1k.img.
#include "disk/byte_order.h"
#include "disk/partition.h"
#include "ext/extent.h"
#include "ext/file_map.h"
#include "ext/volume.h"
#include "test_support.h"

#include <algorithm>
#include <functional>

namespace {

void put_header(uint8_t* node, uint16_t entries, uint16_t max, uint16_t depth, uint16_t magic = extent_magic)
{
    put_le16(node, magic);
    put_le16(node + 2, entries);
    put_le16(node + 4, max);
    put_le16(node + 6, depth);
}

void put_extent(uint8_t* node, int i, uint32_t first, uint16_t length, uint64_t start)
{
    uint8_t* entry = node + 12 + 12 * i;
    put_le32(entry, first);
    put_le16(entry + 4, length);
    put_le16(entry + 6, static_cast<uint16_t>(start >> 32));
    put_le32(entry + 8, static_cast<uint32_t>(start));
}

void put_index(uint8_t* node, int i, uint32_t first, uint64_t child)
{
    uint8_t* entry = node + 12 + 12 * i;
    put_le32(entry, first);
    put_le32(entry + 4, static_cast<uint32_t>(child));
    put_le16(entry + 8, static_cast<uint16_t>(child >> 32));
}

ext_inode extent_inode()
{
    ext_inode inode;
    inode.i_mode = mode_regular | 0644;
    inode.i_flags = inode_flag_extents;
    inode.i_size_lo = 0xFFFFFFFF;
    return inode;
}


constexpr std::optional<run_kind> data = run_kind::data;
constexpr std::optional<run_kind> hole = run_kind::hole;
constexpr std::optional<run_kind> unwritten = run_kind::unwritten;
constexpr std::optional<run_kind> failed = std::nullopt;
constexpr uint64_t all_blocks = uint64_t{1} << 32;

// A hole from logical to the last logical block there can be.
constexpr uint32_t to_the_end(uint32_t logical)
{
    return static_cast<uint32_t>(std::min<uint64_t>(all_blocks - logical, UINT32_MAX));
}

// A tree of depth 2: the root's index entries lead to index nodes 1110 (from 0) and 1111 (from 1000); 1110 leads
// to the leaves 1120 (from 0) and 1121 (from 500), 1111 to the leaf 1122. Each leaf holds 10 blocks from its start,
// at 1300, 1400 and 1500.
ext_inode depth_2_tree(crafted_volume& volume)
{
    ext_inode inode = extent_inode();
    put_header(inode.i_block.data(), 2, 4, 2);
    put_index(inode.i_block.data(), 0, 0, 1110);
    put_index(inode.i_block.data(), 1, 1000, 1111);
    put_header(volume.block(1110), 2, 84, 1);
    put_index(volume.block(1110), 0, 0, 1120);
    put_index(volume.block(1110), 1, 500, 1121);
    put_header(volume.block(1111), 1, 84, 1);
    put_index(volume.block(1111), 0, 1000, 1122);
    const uint32_t firsts[] = {0, 500, 1000};
    for (int leaf = 0; leaf < 3; ++leaf) {
        put_header(volume.block(1120 + leaf), 1, 84, 0);
        put_extent(volume.block(1120 + leaf), 0, firsts[leaf], 10, 1300 + 100 * leaf);
    }
    return inode;
}

class extent_test : public stand_in_test {};

}  // namespace

TEST_F(extent_test, reader_fixture_trees_have_the_shapes_they_were_made_with)
{
    // Guards the fixture: the block map walk over it proves the reader's trees only where they have these shapes.
    std::map<std::string, debugfs_inode> inodes;
    for (const char* path : {"/extents/three.bin", "/extents/depth1.bin", "/extents/dense.bin",
                             "/extents/prealloc.bin", "/dirs/several", "/dirs/big"})
        inodes[path] = debugfs_stat_path("reader.img", 1, path);
    std::unique_ptr<physical_disk> disk = open_fixture_disk("reader.img");
    ext_volume* p = mounted_partition(*disk, 1);
    ASSERT_TRUE(p);
    auto depth_of = [&](const std::string& path) {
        std::optional<ext_inode> inode = get_inode(*p, inodes.at(path).number);
        return inode && inode->uses_extents() ? read_le16(inode->i_block.data(), 6) : -1;
    };
    EXPECT_EQ(depth_of("/extents/three.bin"), 0);
    EXPECT_EQ(inodes.at("/extents/three.bin").runs.size(), 3u);
    EXPECT_EQ(depth_of("/extents/depth1.bin"), 1);
    EXPECT_EQ(inodes.at("/extents/depth1.bin").runs.size(), 150u);
    EXPECT_EQ(depth_of("/extents/dense.bin"), 2);
    const debugfs_inode& dense = inodes.at("/extents/dense.bin");
    EXPECT_GT(dense.runs.size(), 336u);
    uint32_t next = 0;
    for (const debugfs_run& run : dense.runs) {
        EXPECT_EQ(run.logical, next);
        next = run.logical + run.count;
    }
    EXPECT_EQ(uint64_t{next} * 1024, dense.size);
    const debugfs_inode& prealloc = inodes.at("/extents/prealloc.bin");
    ASSERT_EQ(prealloc.runs.size(), 2u);
    EXPECT_FALSE(prealloc.runs[0].uninitialised);
    EXPECT_TRUE(prealloc.runs[1].uninitialised);
    for (const char* dir : {"/dirs/several", "/dirs/big"}) {
        EXPECT_TRUE(inodes.at(dir).flags & 0x1000) << dir << " is not indexed";
    }
}

TEST_F(extent_test, a_root_of_depth_0_chooses_its_extent_with_holes_before_between_and_after)
{
    crafted_volume volume;
    ext_volume* p = volume.mount();
    ASSERT_TRUE(p);
    ext_inode inode = extent_inode();
    put_header(inode.i_block.data(), 3, 4, 0);
    put_extent(inode.i_block.data(), 0, 10, 5, 1000);
    put_extent(inode.i_block.data(), 1, 100, 3, 1100);
    put_extent(inode.i_block.data(), 2, 200, 10, 1200);
    file_map map = open_file_map(*p, inode);
    expect_lookups(map, {{0, hole, 0, 10, 0},
                         {9, hole, 0, 1, 0},
                         {10, data, 1000, 5, 0},
                         {14, data, 1004, 1, 0},
                         {15, hole, 0, 85, 0},
                         {99, hole, 0, 1, 0},
                         {100, data, 1100, 3, 0},
                         {102, data, 1102, 1, 0},
                         {103, hole, 0, 97, 0},
                         {200, data, 1200, 10, 0},
                         {209, data, 1209, 1, 0},
                         {210, hole, 0, to_the_end(210), 0},
                         {0xFFFFFFFF, hole, 0, 1, 0}});

    // A root without entries is all hole; an extent that runs past the volume's end fails the whole root, as
    // Linux refuses the node, and one that ends at the volume's last block maps.
    put_header(inode.i_block.data(), 0, 4, 0);
    map = open_file_map(*p, inode);
    expect_lookups(map, {{0, hole, 0, to_the_end(0), 0}, {10, hole, 0, to_the_end(10), 0}});
    put_header(inode.i_block.data(), 1, 4, 0);
    put_extent(inode.i_block.data(), 0, 0, 4, 2046);
    map = open_file_map(*p, inode);
    expect_lookups(map, {{0, failed, 0, 0, 0}, {3, failed, 0, 0, 0}});
    put_extent(inode.i_block.data(), 0, 0, 2, 2046);
    map = open_file_map(*p, inode);
    expect_lookups(map, {{0, data, 2046, 2, 0}, {1, data, 2047, 1, 0}, {2, hole, 0, to_the_end(2), 0}});
}

TEST_F(extent_test, uninitialised_extents_are_unwritten_runs_and_start_blocks_take_their_high_word)
{
    crafted_volume volume;
    ext_volume* p = volume.mount();
    ASSERT_TRUE(p);
    // From block 2^33 on, groups 2^20 and up: none keeps a superblock copy before group 3^13.
    constexpr uint64_t far = uint64_t{1} << 33;
    ext_inode inode = extent_inode();
    put_header(inode.i_block.data(), 4, 4, 0);
    put_extent(inode.i_block.data(), 0, 0, 32768, far + 1000);       // the longest initialised extent
    put_extent(inode.i_block.data(), 1, 40000, 32769, far + 50000);  // uninitialised, 1 block
    put_extent(inode.i_block.data(), 2, 50000, 65535, far + 60000);  // uninitialised, 32767 blocks
    put_extent(inode.i_block.data(), 3, 90000, 4, (uint64_t{1} << 32) + 16);
    // Mapping reads nothing here, so the volume can claim 48 bits of blocks.
    p->volume_info->blocks_count = uint64_t{1} << 40;
    file_map map = open_file_map(*p, inode);
    expect_lookups(map, {{32767, data, far + 1000 + 32767, 1, 0},
                         {32768, hole, 0, 40000 - 32768, 0},
                         {40000, unwritten, far + 50000, 1, 0},
                         {40001, hole, 0, 9999, 0},
                         {50000 + 32766, unwritten, far + 60000 + 32766, 1, 0},
                         {90001, data, (uint64_t{1} << 32) + 17, 3, 0},
                         {90004, hole, 0, to_the_end(90004), 0}});
    // On the volume's real 2048 blocks the same root names blocks beyond it: every lookup fails.
    p->volume_info->blocks_count = 2048;
    map = open_file_map(*p, inode);
    expect_lookups(map, {{90001, failed, 0, 0, 0}, {0, failed, 0, 0, 0}});

    // An index entry's high word: the node it names lies beyond the volume and is not read.
    put_header(volume.block(1100), 1, 84, 0);
    put_extent(volume.block(1100), 0, 0, 1, 1300);
    inode = extent_inode();
    put_header(inode.i_block.data(), 1, 4, 1);
    put_index(inode.i_block.data(), 0, 0, (uint64_t{1} << 32) + 1100);
    p = volume.mount();
    ASSERT_TRUE(p);
    map = open_file_map(*p, inode);
    expect_lookups(map, {{0, failed, 0, 0, 0}});
    put_index(inode.i_block.data(), 0, 0, 1100);
    map = open_file_map(*p, inode);
    expect_lookups(map, {{0, data, 1300, 1, 1}});
}

TEST_F(extent_test, nodes_are_read_only_when_a_lookup_moves_to_another_one)
{
    crafted_volume volume;
    // Depth 1: leaves 1100 (from 0: 10 blocks at 1300, 5 at 1320 from 20) and 1101 (from 500).
    ext_inode shallow = extent_inode();
    put_header(shallow.i_block.data(), 2, 4, 1);
    put_index(shallow.i_block.data(), 0, 0, 1100);
    put_index(shallow.i_block.data(), 1, 500, 1101);
    put_header(volume.block(1100), 2, 84, 0);
    put_extent(volume.block(1100), 0, 0, 10, 1300);
    put_extent(volume.block(1100), 1, 20, 5, 1320);
    put_header(volume.block(1101), 1, 84, 0);
    put_extent(volume.block(1101), 0, 500, 10, 1400);
    ext_inode deep = depth_2_tree(volume);
    ext_volume* p = volume.mount();
    ASSERT_TRUE(p);

    file_map map = open_file_map(*p, shallow);
    expect_lookups(map, {{0, data, 1300, 10, 1},
                         {9, data, 1309, 1, 0},
                         {15, hole, 0, 5, 0},
                         {24, data, 1324, 1, 0},
                         {499, hole, 0, 1, 0},  // the leaf's range ends where the next index entry's begins
                         {500, data, 1400, 10, 1},
                         {600, hole, 0, to_the_end(600), 0},
                         {3, data, 1303, 7, 1}});

    map = open_file_map(*p, deep);
    expect_lookups(map, {{0, data, 1300, 10, 2},
                         {9, data, 1309, 1, 0},
                         {10, hole, 0, 490, 0},
                         {500, data, 1400, 10, 1},
                         {1000, data, 1500, 10, 2},
                         {1009, data, 1509, 1, 0},
                         {5000, hole, 0, to_the_end(5000), 0},
                         {505, data, 1405, 5, 2},
                         {1, data, 1301, 9, 1}});
}

TEST_F(extent_test, empty_leaves_are_holes_and_empty_index_nodes_fail)
{
    crafted_volume volume;
    ext_inode inode = depth_2_tree(volume);
    put_header(volume.block(1121), 0, 84, 0);
    ext_volume* p = volume.mount();
    ASSERT_TRUE(p);
    file_map map = open_file_map(*p, inode);
    expect_lookups(map, {{500, hole, 0, 500, 2}, {505, hole, 0, 495, 0}, {0, data, 1300, 10, 1}});

    put_header(volume.block(1111), 0, 84, 1);  // level 1
    p = volume.mount();
    ASSERT_TRUE(p);
    map = open_file_map(*p, inode);
    expect_lookups(map, {{1000, failed, 0, 0, 1}, {0, data, 1300, 10, 2}});
    put_header(inode.i_block.data(), 0, 4, 2);  // the root
    map = open_file_map(*p, inode);
    expect_lookups(map, {{0, failed, 0, 0, 0}});
}

TEST_F(extent_test, an_unreadable_node_is_not_held)
{
    crafted_volume volume;
    ext_inode inode = depth_2_tree(volume);
    ext_volume* p = volume.mount();
    ASSERT_TRUE(p);
    file_map map = open_file_map(*p, inode);
    test_control::fail_nth_read(2);  // the leaf
    expect_lookups(map, {{0, failed, 0, 0, 2}, {0, data, 1300, 10, 1}, {1, data, 1301, 9, 0}});
    test_control::fail_nth_read(1);  // index node 1111
    expect_lookups(map, {{1000, failed, 0, 0, 1}, {1000, data, 1500, 10, 2}});
}

TEST_F(extent_test, damaged_nodes_fail_wherever_they_are)
{
    struct damage_case {
        const char* what;
        std::function<void(ext_inode&, crafted_volume&)> damage;
        bool maps;
    };
    const damage_case cases[] = {
        {"undamaged", [](ext_inode&, crafted_volume&) {}, true},
        {"root magic", [](ext_inode& i, crafted_volume&) { put_header(i.i_block.data(), 2, 4, 2, 0xF30B); }, false},
        {"root max above 4", [](ext_inode& i, crafted_volume&) { put_header(i.i_block.data(), 2, 5, 2); }, false},
        {"root entries above max", [](ext_inode& i, crafted_volume&) { put_header(i.i_block.data(), 2, 1, 2); },
         false},
        {"index node magic", [](ext_inode&, crafted_volume& v) { put_header(v.block(1110), 2, 84, 1, 0); }, false},
        {"index node at depth 0", [](ext_inode&, crafted_volume& v) { put_header(v.block(1110), 2, 84, 0); }, false},
        {"index node at depth 2", [](ext_inode&, crafted_volume& v) { put_header(v.block(1110), 2, 84, 2); }, false},
        {"index node entries above max", [](ext_inode&, crafted_volume& v) { put_header(v.block(1110), 2, 1, 1); },
         false},
        {"leaf magic", [](ext_inode&, crafted_volume& v) { put_header(v.block(1120), 1, 84, 0, 0x0AF3); }, false},
        {"leaf at depth 1", [](ext_inode&, crafted_volume& v) { put_header(v.block(1120), 1, 84, 1); }, false},
        {"leaf max of a full block", [](ext_inode&, crafted_volume& v) { put_header(v.block(1120), 1, 84, 0); },
         true},
        {"leaf max above what fits", [](ext_inode&, crafted_volume& v) { put_header(v.block(1120), 1, 85, 0); },
         false},
        {"leaf entries above what fits", [](ext_inode&, crafted_volume& v) { put_header(v.block(1120), 85, 85, 0); },
         false},
        {"leaf entries above max", [](ext_inode&, crafted_volume& v) { put_header(v.block(1120), 2, 1, 0); }, false},
    };
    for (const damage_case& c : cases) {
        SCOPED_TRACE(c.what);
        crafted_volume volume;
        ext_inode inode = depth_2_tree(volume);
        c.damage(inode, volume);
        ext_volume* p = volume.mount();
        ASSERT_TRUE(p);
        file_map map = open_file_map(*p, inode);
        block_run run;
        EXPECT_EQ(map_run(map, 0, run), c.maps);
        // A damaged node is not held: the next lookup reads it again and fails again.
        if (!c.maps) {
            long before = drive_reads();
            EXPECT_FALSE(map_run(map, 1, run));
            EXPECT_EQ(drive_reads() - before, std::string(c.what).rfind("root", 0) == 0 ? 0 : 1);
        }
    }
}

TEST_F(extent_test, a_root_of_depth_5_is_followed_and_one_of_depth_6_refused)
{
    for (uint16_t depth : {5, 6}) {
        SCOPED_TRACE(depth);
        crafted_volume volume;
        // A chain of nodes 1130, 1131, ... with one entry each, down to a leaf mapping block 0 to 1300.
        ext_inode inode = extent_inode();
        put_header(inode.i_block.data(), 1, 4, depth);
        put_index(inode.i_block.data(), 0, 0, 1130);
        for (uint16_t level = 1; level < depth; ++level) {
            put_header(volume.block(1129 + level), 1, 84, static_cast<uint16_t>(depth - level));
            put_index(volume.block(1129 + level), 0, 0, 1130 + level);
        }
        put_header(volume.block(1129 + depth), 1, 84, 0);
        put_extent(volume.block(1129 + depth), 0, 0, 1, 1300);
        ext_volume* p = volume.mount();
        ASSERT_TRUE(p);
        file_map map = open_file_map(*p, inode);
        if (depth == 5)
            expect_lookups(map, {{0, data, 1300, 1, 5}, {0, data, 1300, 1, 0}});
        else
            expect_lookups(map, {{0, failed, 0, 0, 0}});
    }
}

TEST_F(extent_test, nodes_whose_entries_linux_refuses_fail_every_lookup_under_them)
{
    // Each case damages one node of the depth-2 tree (leaves 1120 from 0, 1121 from 500, 1122 from 1000) and
    // names a logical block under that node; block 1005, under the leaf 1122, stays mapped unless a node above it
    // is hit.
    struct damage_case {
        const char* what;
        std::function<void(ext_inode&, crafted_volume&)> damage;
        uint32_t under;
    };
    const damage_case cases[] = {
        {"leaf extents out of order", [](ext_inode&, crafted_volume& v) {
             put_header(v.block(1120), 3, 84, 0);
             put_extent(v.block(1120), 0, 0, 2, 1300);
             put_extent(v.block(1120), 1, 6, 2, 1306);
             put_extent(v.block(1120), 2, 3, 2, 1303);
         }, 6},
        {"leaf extents overlapping", [](ext_inode&, crafted_volume& v) {
             put_header(v.block(1120), 2, 84, 0);
             put_extent(v.block(1120), 1, 5, 10, 1400);
         }, 0},
        {"an extent of no blocks", [](ext_inode&, crafted_volume& v) {
             put_header(v.block(1121), 2, 84, 0);
             put_extent(v.block(1121), 1, 520, 0, 1420);
         }, 500},
        {"an uninitialised extent of no blocks", [](ext_inode&, crafted_volume& v) {
             put_extent(v.block(1121), 0, 500, 32768 + 0, 1400);  // 32768 is initialised; 32769 the shortest
             put_header(v.block(1121), 2, 84, 0);
             put_extent(v.block(1121), 1, 600, 0, 1420);
         }, 500},
        {"an extent reaching past logical block 2^32 - 1", [](ext_inode&, crafted_volume& v) {
             put_header(v.block(1122), 2, 84, 0);
             put_extent(v.block(1122), 1, 0xFFFFFFF0, 16, 1600);
         }, 1005},
        {"an extent past the volume's end", [](ext_inode&, crafted_volume& v) {
             put_extent(v.block(1120), 0, 0, 10, 2040);
         }, 0},
        {"an extent at the superblock's block", [](ext_inode&, crafted_volume& v) {
             put_extent(v.block(1121), 0, 500, 1, 1);
         }, 500},
        {"an extent at block 0", [](ext_inode&, crafted_volume& v) {
             put_extent(v.block(1121), 0, 500, 3, 0);
         }, 500},
        {"an extent over the descriptor table", [](ext_inode&, crafted_volume& v) {
             put_extent(v.block(1122), 0, 1000, 10, 2);
         }, 1005},
        {"a leaf whose first extent is not where its index entry says", [](ext_inode&, crafted_volume& v) {
             put_extent(v.block(1121), 0, 501, 10, 1400);
         }, 501},
        {"a leaf of no capacity", [](ext_inode&, crafted_volume& v) { put_header(v.block(1121), 0, 0, 0); }, 500},
        {"index entries with the same first block", [](ext_inode&, crafted_volume& v) {
             put_index(v.block(1110), 1, 0, 1121);
         }, 0},
        {"index entries out of order", [](ext_inode& i, crafted_volume&) {
             put_header(i.i_block.data(), 3, 4, 2);
             put_index(i.i_block.data(), 2, 700, 1111);
         }, 1005},
        {"an index entry naming block 0", [](ext_inode&, crafted_volume& v) { put_index(v.block(1110), 1, 500, 0); },
         0},
        {"an index entry naming a block past the volume", [](ext_inode& i, crafted_volume&) {
             put_index(i.i_block.data(), 1, 1000, 2048);
         }, 1005},
        {"an index node whose first entry is not where its parent says", [](ext_inode&, crafted_volume& v) {
             put_index(v.block(1111), 0, 1001, 1122);
             put_extent(v.block(1122), 0, 1001, 10, 1500);
         }, 1005},
        {"a root of no capacity", [](ext_inode& i, crafted_volume&) { put_header(i.i_block.data(), 0, 0, 0); },
         1005},
    };
    for (const damage_case& c : cases) {
        SCOPED_TRACE(c.what);
        crafted_volume volume;
        ext_inode inode = depth_2_tree(volume);
        c.damage(inode, volume);
        ext_volume* p = volume.mount();
        ASSERT_TRUE(p);
        file_map map = open_file_map(*p, inode);
        block_run run;
        EXPECT_FALSE(map_run(map, c.under, run)) << "maps to " << run.physical << " +" << run.length;
        EXPECT_FALSE(map_run(map, c.under, run));
        bool above_1005_hit = c.under == 1005;
        EXPECT_EQ(map_run(map, 1005, run), !above_1005_hit);
        if (!above_1005_hit) {
            EXPECT_EQ(run.physical, 1505u);
        }
    }
}

class extent_zone_test : public fixture_partition_test {};

TEST_F(extent_zone_test, extents_over_superblock_copies_and_descriptor_tables_fail)
{
    // reader.img 3: 112 groups of 256 blocks of 1 KiB, sparse superblock copies in groups 0, 1, 3, 5, 7, 9, 25,
    // 27, 49 and 81, each followed by four blocks of descriptors (112 descriptors of 32 bytes).
    ext_volume* p = open("reader.img", 3);
    ASSERT_TRUE(p);
    ASSERT_EQ(p->volume_info->group_count, 112u);
    ASSERT_EQ(p->volume_info->desc_table_blocks, 4u);
    auto maps = [&](uint64_t start, uint16_t length) {
        ext_inode inode = extent_inode();
        put_header(inode.i_block.data(), 1, 4, 0);
        put_extent(inode.i_block.data(), 0, 0, length, start);
        file_map map = open_file_map(*p, inode);
        block_run run;
        return map_run(map, 0, run) && run.physical == start;
    };
    EXPECT_FALSE(maps(1, 1));             // group 0's superblock
    EXPECT_FALSE(maps(5, 1));             // its descriptors
    EXPECT_TRUE(maps(6, 1));              // the block after them
    EXPECT_FALSE(maps(250, 8));           // runs into group 1's superblock at 257
    EXPECT_FALSE(maps(261, 2));           // group 1's last descriptor block
    EXPECT_TRUE(maps(262, 200));          // after it, up to block 461
    EXPECT_TRUE(maps(500, 20));           // across the start of group 2, which keeps no copy
    EXPECT_FALSE(maps(700, 100));         // over group 3's copy at 769
    EXPECT_TRUE(maps(1300, 200));         // after group 5's copy at 1281, before group 6 at 1537
    EXPECT_FALSE(maps(6000, 402));        // group 25's copy at 6401
    EXPECT_TRUE(maps(6406, 500));         // after it, into group 26, which keeps no copy
    EXPECT_FALSE(maps(6406, 510));        // on to group 27's copy at 6913
    EXPECT_TRUE(maps(28600, 73));         // up to the volume's last block, 28672
    EXPECT_FALSE(maps(28600, 74));        // one past it
}
