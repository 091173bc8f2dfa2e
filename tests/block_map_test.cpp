// Runs of block maps and extent trees: fixture files against debugfs, and block maps built byte by byte.
#include "disk/partition.h"
#include "ext/file_map.h"
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
constexpr uint32_t first_triple = last_double + 1;
constexpr uint32_t triple_span = 256 * 256 * 256;

constexpr std::optional<run_kind> data = run_kind::data;
constexpr std::optional<run_kind> hole = run_kind::hole;
constexpr std::optional<run_kind> failed = std::nullopt;

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

// A triple-indirect chain under block 1004: 1004 entry 0 -> 1005, whose entry 0 -> 1006, whose entries 0 to 2 name
// 1800 to 1802 and entry 3 names 1900.
void craft_triple(crafted_volume& volume)
{
    put_le32(volume.block(1004), 1005);
    put_le32(volume.block(1005), 1006);
    for (uint32_t i = 0; i < 3; ++i)
        put_le32(volume.block(1006) + 4 * i, 1800 + i);
    put_le32(volume.block(1006) + 12, 1900);
}

}  // namespace

TEST_F(block_map_test, every_block_of_the_fixture_files_maps_as_debugfs_lists_it)
{
    for (const char* image : {"main.img", "reader.img"}) {
        std::vector<fixture_volume> volumes = fixture_volumes(image);
        ASSERT_EQ(volumes.size(), 3u) << image;
        for (const fixture_volume& volume : volumes) {
            ext_volume* p = open(image, volume.number);
            ASSERT_TRUE(p);
            const uint32_t block_size = p->volume_info->block_size;
            for (const auto& [path, expected] : volume.inodes) {
                if ((expected.type != "regular" && expected.type != "directory") || expected.size == 0)
                    continue;
                SCOPED_TRACE(std::string(image) + " " + std::to_string(volume.number) + " " + path);
                std::optional<ext_inode> inode = get_inode(*p, expected.number);
                ASSERT_TRUE(inode);
                std::map<uint32_t, uint64_t> written;      // blocks with data; all else reads as zeros
                std::map<uint32_t, uint64_t> unwritten;    // allocated, not yet written
                for (const debugfs_run& run : expected.runs)
                    for (uint32_t k = 0; k < run.count; ++k)
                        (run.uninitialised ? unwritten : written)[run.logical + k] = run.physical + k;

                // The walk reads each indirect block or extent node debugfs lists, once, and nothing else.
                const uint32_t file_blocks = static_cast<uint32_t>((expected.size + block_size - 1) / block_size);
                std::vector<uint64_t> blocks(file_blocks);
                file_map map = open_file_map(*p, *inode);
                size_t data_runs = 0;
                long before = drive_reads();
                for (uint32_t j = 0; j < file_blocks;) {
                    block_run run;
                    ASSERT_TRUE(map_run(map, j, run)) << j;
                    ASSERT_GE(run.length, 1u);
                    data_runs += run.kind != run_kind::hole;
                    for (uint32_t k = 0; k < run.length && j + k < file_blocks; ++k) {
                        const auto& expected_kind = run.kind == run_kind::data ? written : unwritten;
                        auto it = expected_kind.find(j + k);
                        if (run.kind == run_kind::hole) {
                            ASSERT_FALSE(written.count(j + k) || unwritten.count(j + k)) << j + k;
                            continue;
                        }
                        ASSERT_NE(it, expected_kind.end()) << j + k;
                        ASSERT_EQ(run.physical + k, it->second) << j + k;
                        blocks[j + k] = it->second;
                    }
                    j = std::min<uint64_t>(uint64_t{j} + run.length, file_blocks);
                }
                EXPECT_EQ(drive_reads() - before, static_cast<long>(expected.map_blocks.size()));
                // Runs are as long as the map allows: one per extent, and a block map's contiguous stretches are
                // cut only where an indirect block begins.
                if (inode->uses_extents()) {
                    EXPECT_EQ(data_runs, expected.runs.size());
                } else {
                    EXPECT_LE(data_runs, expected.runs.size() + expected.map_blocks.size() + 1);
                }
                if (expected.type != "regular")
                    continue;

                std::vector<uint8_t> source = read_file_bytes(volume.tree + path);
                ASSERT_EQ(source.size(), expected.size);
                for (uint32_t j = 0; j < blocks.size(); ++j) {
                    size_t at = static_cast<size_t>(j) * block_size;
                    size_t length = std::min<size_t>(block_size, source.size() - at);
                    auto from = source.begin() + static_cast<std::ptrdiff_t>(at);
                    if (!written.count(j)) {
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
    ext_volume* p = volume.mount();
    ASSERT_TRUE(p);
    file_map map = open_file_map(*p, inode);
    expect_lookups(map, {{0, data, 1400, 1, 0},
                         {1, hole, 0, 1, 0},
                         {12, data, 1700, 1, 1},
                         {17, hole, 0, 251, 0},  // to the end of the single-indirect block
                         // Level-1 entry 0 of the double-indirect block is 0: only that block is read.
                         {first_double, hole, 0, 256, 1},
                         {first_double + 255, hole, 0, 1, 0},
                         {first_double + 256, data, 1500, 1, 1},
                         {first_double + 257, hole, 0, 1, 0}});

    // No single-, double- or triple-indirect block at all: their whole ranges are holes, and nothing is read.
    inode = crafted_map(volume, 0, 0);
    map = open_file_map(*p, inode);
    expect_lookups(map, {{3, hole, 0, 9, 0},
                         {12, hole, 0, 256, 0},
                         {first_double - 1, hole, 0, 1, 0},
                         {first_double, hole, 0, 256 * 256, 0},
                         {last_double, hole, 0, 1, 0},
                         {first_triple, hole, 0, triple_span, 0}});
}

TEST_F(block_map_test, the_triple_indirect_range_maps_through_its_three_levels)
{
    crafted_volume volume;
    ext_inode with_triple = crafted_map(volume, single_block, double_block, 1004);
    craft_triple(volume);
    ext_volume* p = volume.mount();
    ASSERT_TRUE(p);
    file_map map = open_file_map(*p, with_triple);
    expect_lookups(map, {{last_double, data, 1600, 1, 2},
                         {first_triple, data, 1800, 3, 3},
                         {first_triple + 3, data, 1900, 1, 0},
                         {first_triple + 4, hole, 0, 252, 0},
                         {first_triple + 256, hole, 0, 256, 0},          // level-2 entry 1 is 0
                         {first_triple + 256 * 256, hole, 0, 256 * 256, 0},  // level-3 entry 1 is 0
                         {first_triple + triple_span - 1, hole, 0, 1, 0},
                         {last_double, data, 1600, 1, 2},
                         {first_triple + 1, data, 1801, 2, 2},  // back under blocks no longer held
                         // Past the triple-indirect range nothing can be mapped.
                         {first_triple + triple_span, failed, 0, 0, 0},
                         {0xFFFFFFFF, failed, 0, 0, 0}});
    // The triple-indirect block itself beyond the volume.
    ext_inode beyond = crafted_map(volume, single_block, double_block, 2048);
    map = open_file_map(*p, beyond);
    expect_lookups(map, {{first_triple, failed, 0, 0, 0}, {last_double, data, 1600, 1, 2}});
}

TEST_F(block_map_test, numbers_beyond_the_volume_fail_without_a_read)
{
    crafted_volume volume;
    ext_inode inode = crafted_map(volume);
    ext_volume* p = volume.mount();
    ASSERT_TRUE(p);
    ASSERT_EQ(p->volume_info->blocks_count, 2048u);
    file_map map = open_file_map(*p, inode);
    expect_lookups(map, {{2, failed, 0, 0, 0},
                         {first_double + 256 + 2, failed, 0, 0, 2},
                         {first_double + 256 + 3, data, 2047, 1, 0},
                         // Level-1 entry 2 names block 3000.
                         {first_double + 512, failed, 0, 0, 0},
                         {first_double + 256, data, 1500, 1, 1}});

    // Single- and double-indirect blocks beyond the volume.
    for (uint32_t beyond : {2048u, 0xFFFFFFFFu}) {
        inode = crafted_map(volume, beyond, beyond);
        map = open_file_map(*p, inode);
        expect_lookups(map, {{12, failed, 0, 0, 0}, {first_double + 256, failed, 0, 0, 0}});
        EXPECT_FALSE(read_block(*p, beyond));
    }

    // Consecutive entries that run past the volume's end: the run stops at its last block.
    put_le32(volume.block(single_block) + 4 * 8, 2046);
    put_le32(volume.block(single_block) + 4 * 9, 2047);
    put_le32(volume.block(single_block) + 4 * 10, 2048);
    inode = crafted_map(volume);
    p = volume.mount();
    ASSERT_TRUE(p);
    map = open_file_map(*p, inode);
    expect_lookups(map, {{20, data, 2046, 2, 1}, {22, failed, 0, 0, 0}});
}

TEST_F(block_map_test, an_unreadable_indirect_block_is_read_again_next_time)
{
    crafted_volume volume;
    ext_inode inode = crafted_map(volume);
    ext_volume* p = volume.mount();
    ASSERT_TRUE(p);
    file_map map = open_file_map(*p, inode);
    test_control::fail_nth_read(1);
    expect_lookups(map, {{12, failed, 0, 0, 1}, {12, data, 1700, 1, 1}});
    // The double-indirect block, then a level-1 block under a double-indirect block that stays held.
    test_control::fail_nth_read(1);
    expect_lookups(map, {{first_double + 256, failed, 0, 0, 1}, {first_double + 256, data, 1500, 1, 2}});
    map = open_file_map(*p, inode);
    test_control::fail_nth_read(2);
    expect_lookups(map, {{first_double + 256, failed, 0, 0, 2}, {first_double + 256, data, 1500, 1, 1}});
}

TEST_F(block_map_test, runs_asked_for_in_any_order_agree_with_an_in_order_walk)
{
    crafted_volume volume;
    ext_inode inode = crafted_map(volume, single_block, double_block, 1004);
    craft_triple(volume);
    // A stretch of consecutive blocks in the single-indirect block, to be entered in its middle.
    for (uint32_t i = 20; i < 60; ++i)
        put_le32(volume.block(single_block) + 4 * i, 1200 + i);
    ext_volume* p = volume.mount();
    ASSERT_TRUE(p);
    const std::pair<uint32_t, uint32_t> stretches[] = {{0, first_double + 600}, {last_double, first_triple + 300}};

    // The in-order walk's answer for every block: empty where it fails, else the kind and volume block.
    std::map<uint32_t, std::optional<std::pair<run_kind, uint64_t>>> walked;
    file_map map = open_file_map(*p, inode);
    long before = drive_reads();
    for (auto [from, to] : stretches) {
        for (uint32_t j = from; j < to;) {
            block_run run;
            if (!map_run(map, j, run)) {
                walked[j++] = std::nullopt;
                continue;
            }
            for (uint32_t k = 0; k < run.length && j < to; ++k, ++j)
                walked[j] = std::pair{run.kind, run.kind == run_kind::data ? run.physical + k : 0};
        }
    }
    // Single, double, level-1 blocks 1001 and 1002, and the triple chain 1004, 1005, 1006.
    EXPECT_EQ(drive_reads() - before, 7);

    std::vector<uint32_t> shuffled;
    for (const auto& [j, answer] : walked)
        shuffled.push_back(j);
    std::shuffle(shuffled.begin(), shuffled.end(), std::mt19937(7));
    map = open_file_map(*p, inode);
    for (uint32_t j : shuffled) {
        block_run run;
        bool mapped = map_run(map, j, run);
        ASSERT_EQ(mapped, walked.at(j).has_value()) << j;
        if (!mapped)
            continue;
        for (uint32_t k = 0; k < run.length && walked.count(j + k); ++k) {
            ASSERT_TRUE(walked.at(j + k)) << j << "+" << k;
            ASSERT_EQ(walked.at(j + k)->first, run.kind) << j << "+" << k;
            if (run.kind == run_kind::data) {
                ASSERT_EQ(walked.at(j + k)->second, run.physical + k) << j << "+" << k;
            }
        }
    }
}
