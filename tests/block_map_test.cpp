// Block maps and the in-order walk: fixture files against debugfs, and maps built byte by byte.
#include "disk/partition.h"
#include "ext/block_map.h"
#include "ext/volume.h"
#include "test_support.h"

#include <algorithm>
#include <random>

namespace {

class block_map_test : public fixture_partition_test {};

// Block numbers of the crafted map on volume_ext2_1k.img (2048 blocks, 256 numbers per indirect block).
constexpr uint32_t single_block = 1003;  // entry 0 -> 1700, entry 5 -> 0
constexpr uint32_t double_block = 1000;  // entry 0 -> 0, 1 -> 1001, 2 -> 3000 (beyond), 255 -> 1002
constexpr uint32_t first_double = 12 + 256;
constexpr uint32_t last_double = first_double + 256 * 256 - 1;

// The crafted map: direct entries 0 -> 1400, 1 -> 0, 2 -> 2048 (the first block beyond the volume); the level-1
// block 1001 has entry 0 -> 1500, 1 -> 0, 2 -> 2048, 3 -> 2047 (the last block); 1002 ends with 1600.
ext_inode crafted_map(crafted_volume& volume, uint32_t single = single_block, uint32_t dbl = double_block,
                      uint32_t triple = 0)
{
    put_le32(volume.block(single_block), 1700);
    put_le32(volume.block(double_block) + 4, 1001);
    put_le32(volume.block(double_block) + 8, 3000);
    put_le32(volume.block(double_block) + 4 * 255, 1002);
    put_le32(volume.block(1001), 1500);
    put_le32(volume.block(1001) + 8, 2048);
    put_le32(volume.block(1001) + 12, 2047);
    put_le32(volume.block(1002) + 4 * 255, 1600);
    ext_inode inode;
    inode.i_mode = mode_regular | 0644;
    inode.i_size_lo = 0xFFFFFFFF;
    put_le32(inode.i_block.data(), 1400);
    put_le32(inode.i_block.data() + 8, 2048);
    put_le32(inode.i_block.data() + 48, single);
    put_le32(inode.i_block.data() + 52, dbl);
    put_le32(inode.i_block.data() + 56, triple);
    return inode;
}


}  // namespace

TEST_F(block_map_test, every_block_of_the_fixture_files_maps_as_debugfs_lists_it)
{
    for (const char* image : {"main.img", "reader.img"}) {
        std::vector<fixture_volume> volumes = fixture_volumes(image);
        ASSERT_EQ(volumes.size(), 3u) << image;
        for (const fixture_volume& volume : volumes) {
            partition_linux_ext2* p = open(image, volume.number);
            ASSERT_TRUE(p);
            const uint32_t block_size = p->volume_info->block_size;
            for (const auto& [path, expected] : volume.inodes) {
                if ((expected.type != "regular" && expected.type != "directory") || expected.size == 0)
                    continue;
                SCOPED_TRACE(std::string(image) + " " + std::to_string(volume.number) + " " + path);
                std::optional<ext_inode> inode = get_inode(*p, expected.number);
                ASSERT_TRUE(inode);
                std::map<uint32_t, uint64_t> data;  // initialised blocks; all else reads as zeros
                for (const debugfs_run& run : expected.runs)
                    for (uint32_t k = 0; k < run.count && !run.uninitialised; ++k)
                        data[run.logical + k] = run.physical + k;

                // The walk reads each indirect block or extent node debugfs lists, once, and nothing else.
                block_map_cursor cursor = make_cursor(*p, *inode);
                ASSERT_EQ(cursor.file_blocks, (expected.size + block_size - 1) / block_size);
                std::vector<uint64_t> blocks(cursor.file_blocks);
                long before = drive_reads();
                for (uint32_t j = 0; j < cursor.file_blocks; ++j) {
                    block_mapping mapping = map_logical_block(cursor, j, blocks[j]);
                    auto it = data.find(j);
                    ASSERT_EQ(mapping, it == data.end() ? block_mapping::hole : block_mapping::mapped) << j;
                    if (it != data.end()) {
                        ASSERT_EQ(blocks[j], it->second) << j;
                    }
                }
                EXPECT_EQ(drive_reads() - before, static_cast<long>(expected.map_blocks.size()));
                release_cursor(cursor);
                if (expected.type != "regular")
                    continue;

                std::vector<uint8_t> source = read_file_bytes(volume.tree + path);
                ASSERT_EQ(source.size(), expected.size);
                for (uint32_t j = 0; j < blocks.size(); ++j) {
                    size_t at = static_cast<size_t>(j) * block_size;
                    size_t length = std::min<size_t>(block_size, source.size() - at);
                    auto from = source.begin() + static_cast<std::ptrdiff_t>(at);
                    if (!data.count(j)) {
                        ASSERT_TRUE(std::all_of(from, from + static_cast<std::ptrdiff_t>(length),
                                                [](uint8_t b) { return b == 0; })) << j;
                        continue;
                    }
                    sector_buffer content = read_block(*p, blocks[j]);
                    ASSERT_TRUE(content);
                    ASSERT_TRUE(std::equal(from, from + static_cast<std::ptrdiff_t>(length), content.get())) << j;
                }
            }
        }
    }
}

TEST_F(block_map_test, reader_fixture_block_maps_have_the_holes_they_were_made_with)
{
    // Guards the fixture itself: the walk above only proves something where the maps have these shapes.
    debugfs_inode holes = debugfs_stat_path("reader.img", 2, "/holes.bin");
    ASSERT_EQ(holes.map_blocks.size(), 4u);  // single, double and two level-1 blocks
    EXPECT_EQ(holes.runs.front().logical, 3u);
    EXPECT_EQ(holes.runs.back().logical + holes.runs.back().count, 1102u);
    EXPECT_EQ(holes.size, 1200u * 1024);
    // The double-indirect and one level-1 block.
    EXPECT_EQ(debugfs_stat_path("reader.img", 2, "/no_indirect.bin").map_blocks.size(), 2u);
    EXPECT_GT(debugfs_stat_path("reader.img", 2, "/dirs/long_names").size, uint64_t{first_double} * 1024);
}

TEST_F(block_map_test, zero_entries_are_holes_at_every_level)
{
    crafted_volume volume;
    ext_inode inode = crafted_map(volume);
    partition_linux_ext2* p = volume.mount();
    ASSERT_TRUE(p);
    block_map_cursor cursor = make_cursor(*p, inode);
    expect_lookups(cursor, {{0, block_mapping::mapped, 1400, 0},
                            {1, block_mapping::hole, 0, 0},
                            {12, block_mapping::mapped, 1700, 1},
                            {17, block_mapping::hole, 0, 0},
                            // Level-1 entry 0 of the double-indirect block is 0: only that block is read.
                            {first_double, block_mapping::hole, 0, 1},
                            {first_double + 255, block_mapping::hole, 0, 0},
                            {first_double + 256, block_mapping::mapped, 1500, 1},
                            {first_double + 257, block_mapping::hole, 0, 0}});
    release_cursor(cursor);

    // No single- or double-indirect block at all: their whole ranges are holes, and nothing is read.
    inode = crafted_map(volume, 0, 0);
    cursor = make_cursor(*p, inode);
    expect_lookups(cursor, {{12, block_mapping::hole, 0, 0},
                            {first_double - 1, block_mapping::hole, 0, 0},
                            {first_double, block_mapping::hole, 0, 0},
                            {last_double, block_mapping::hole, 0, 0}});
    release_cursor(cursor);
}

TEST_F(block_map_test, the_last_double_indirect_block_maps_and_the_triple_range_is_not_read)
{
    crafted_volume volume;
    ext_inode with_triple = crafted_map(volume, single_block, double_block, 1004);
    ext_inode without_triple = crafted_map(volume);
    partition_linux_ext2* p = volume.mount();
    ASSERT_TRUE(p);
    block_map_cursor cursor = make_cursor(*p, with_triple);
    expect_lookups(cursor, {{last_double, block_mapping::mapped, 1600, 2},
                            {last_double + 1, block_mapping::failed, 0, 0},
                            {0xFFFFFFFF, block_mapping::failed, 0, 0}});
    release_cursor(cursor);
    // Without a triple-indirect block that range holds nothing: a sparse file's tail.
    cursor = make_cursor(*p, without_triple);
    expect_lookups(cursor, {{last_double + 1, block_mapping::hole, 0, 0}, {0xFFFFFFFF, block_mapping::hole, 0, 0}});
    release_cursor(cursor);
}

TEST_F(block_map_test, numbers_beyond_the_volume_fail_without_a_read)
{
    crafted_volume volume;
    ext_inode inode = crafted_map(volume);
    partition_linux_ext2* p = volume.mount();
    ASSERT_TRUE(p);
    ASSERT_EQ(p->volume_info->blocks_count, 2048u);
    block_map_cursor cursor = make_cursor(*p, inode);
    expect_lookups(cursor, {{2, block_mapping::failed, 0, 0},
                            {first_double + 256 + 2, block_mapping::failed, 0, 2},
                            {first_double + 256 + 3, block_mapping::mapped, 2047, 0},
                            // Level-1 entry 2 names block 3000.
                            {first_double + 512, block_mapping::failed, 0, 0},
                            {first_double + 256, block_mapping::mapped, 1500, 1}});
    release_cursor(cursor);

    // Single- and double-indirect blocks beyond the volume.
    for (uint32_t beyond : {2048u, 0xFFFFFFFFu}) {
        inode = crafted_map(volume, beyond, beyond);
        cursor = make_cursor(*p, inode);
        expect_lookups(cursor, {{12, block_mapping::failed, 0, 0}, {first_double + 256, block_mapping::failed, 0, 0}});
        release_cursor(cursor);
        EXPECT_FALSE(read_block(*p, beyond));
    }
}

TEST_F(block_map_test, an_unreadable_indirect_block_is_read_again_next_time)
{
    crafted_volume volume;
    ext_inode inode = crafted_map(volume);
    partition_linux_ext2* p = volume.mount();
    ASSERT_TRUE(p);
    block_map_cursor cursor = make_cursor(*p, inode);
    test_control::fail_nth_read(1);
    expect_lookups(cursor, {{12, block_mapping::failed, 0, 1}, {12, block_mapping::mapped, 1700, 1}});
    // The double-indirect block, then a level-1 block under a double-indirect block that stays held.
    test_control::fail_nth_read(1);
    expect_lookups(cursor, {{first_double + 256, block_mapping::failed, 0, 1},
                            {first_double + 256, block_mapping::mapped, 1500, 2}});
    release_cursor(cursor);
    cursor = make_cursor(*p, inode);
    test_control::fail_nth_read(2);
    expect_lookups(cursor, {{first_double + 256, block_mapping::failed, 0, 2},
                            {first_double + 256, block_mapping::mapped, 1500, 1}});
    release_cursor(cursor);
}

TEST_F(block_map_test, lookups_in_any_order_agree_with_an_in_order_walk)
{
    crafted_volume volume;
    ext_inode inode = crafted_map(volume);
    partition_linux_ext2* p = volume.mount();
    ASSERT_TRUE(p);
    std::vector<uint32_t> order;
    for (uint32_t j = 0; j < first_double + 600; ++j)
        order.push_back(j);
    order.push_back(last_double);
    std::vector<std::pair<block_mapping, uint64_t>> walked(order.size());
    block_map_cursor cursor = make_cursor(*p, inode);
    long before = drive_reads();
    for (size_t i = 0; i < order.size(); ++i)
        walked[i].first = map_block(cursor, order[i], walked[i].second);
    EXPECT_EQ(drive_reads() - before, 4);  // single, double and the level-1 blocks 1001 and 1002
    release_cursor(cursor);

    std::vector<size_t> shuffled(order.size());
    for (size_t i = 0; i < shuffled.size(); ++i)
        shuffled[i] = i;
    std::shuffle(shuffled.begin(), shuffled.end(), std::mt19937(7));
    cursor = make_cursor(*p, inode);
    for (size_t i : shuffled) {
        uint64_t block = 0;
        ASSERT_EQ(map_block(cursor, order[i], block), walked[i].first) << order[i];
        if (walked[i].first == block_mapping::mapped) {
            ASSERT_EQ(block, walked[i].second) << order[i];
        }
    }
    release_cursor(cursor);
}
