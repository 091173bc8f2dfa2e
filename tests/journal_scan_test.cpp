// The journal scan over logs built in memory: the cases the fixture disks cannot make, a log that wraps, blocks
// whose checksums fail and what the kernel's recovery makes of them, revokes against later transactions, and
// superblocks that do not check out; and the CRC-32C its checksums use.
#include "disk/byte_order.h"
#include "ext/crc32c.h"
#include "ext/journal.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <map>

namespace {

constexpr uint32_t block_size = 1024;
constexpr uint32_t journal_blocks = 64;
constexpr uint64_t volume_blocks = 4096;

void put_be32(uint8_t* p, uint32_t value)
{
    p[0] = static_cast<uint8_t>(value >> 24);
    p[1] = static_cast<uint8_t>(value >> 16);
    p[2] = static_cast<uint8_t>(value >> 8);
    p[3] = static_cast<uint8_t>(value);
}

// A journal of 64 blocks of 1 KiB with checksum v3 and 64-bit tags, or with neither, written block by block.
struct test_journal {
    bool v3;
    std::vector<std::vector<uint8_t>> blocks;
    uint32_t seed = 0;

    uint64_t commit_time = 0;  // written into the next commit blocks

    explicit test_journal(bool checksums) : v3(checksums), blocks(journal_blocks, std::vector<uint8_t>(block_size))
    {
        uint8_t* sb = blocks[0].data();
        put_be32(sb, journal_magic);
        put_be32(sb + 4, 4);
        put_be32(sb + 12, block_size);
        put_be32(sb + 16, journal_blocks);
        put_be32(sb + 20, 1);
        for (int i = 0; i < 16; ++i)
            sb[48 + i] = static_cast<uint8_t>(0x10 + i);
        seed = crc32c(~0u, sb + 48, 16);
        if (v3) {
            put_be32(sb + 40, journal_incompat_revoke | journal_incompat_64bit | journal_incompat_csum_v3);
            sb[80] = 4;
        } else {
            put_be32(sb + 40, journal_incompat_revoke);
        }
    }

    // Sets where the log starts and re-signs the superblock.
    void start(uint32_t sequence, uint32_t position)
    {
        uint8_t* sb = blocks[0].data();
        put_be32(sb + 24, sequence);
        put_be32(sb + 28, position);
        sign(sb, 252, ~0u);
    }

    // The superblock's checksum starts from ~0, every other block's from the UUID's checksum.
    void sign(uint8_t* block, size_t offset, std::optional<uint32_t> start = std::nullopt)
    {
        if (!v3)
            return;
        put_be32(block + offset, 0);
        put_be32(block + offset, crc32c(start.value_or(seed), block, block_size));
    }

    uint32_t next(uint32_t position) const { return position + 1 >= journal_blocks ? 1 : position + 1; }

    uint8_t* header(uint32_t position, uint32_t type, uint32_t sequence)
    {
        uint8_t* block = blocks[position].data();
        std::memset(block, 0, block_size);
        put_be32(block, journal_magic);
        put_be32(block + 4, type);
        put_be32(block + 8, sequence);
        return block;
    }

    // Writes a transaction at position: a descriptor with one tag per copy (the content of each copy is its fill
    // byte, escaped when it starts with the journal magic), then a revoke block, then the commit block unless told
    // not to. Returns the position after it.
    uint32_t transaction(uint32_t position, uint32_t sequence, const std::vector<std::pair<uint64_t, uint8_t>>& copies,
                         const std::vector<uint64_t>& revokes = {}, bool commit = true)
    {
        if (!copies.empty()) {
            uint8_t* descriptor = header(position, 1, sequence);
            uint32_t at = next(position);
            size_t offset = 12;
            for (size_t i = 0; i < copies.size(); ++i) {
                std::vector<uint8_t>& data = blocks[at];
                std::fill(data.begin(), data.end(), copies[i].second);
                uint8_t* tag = descriptor + offset;
                put_be32(tag, static_cast<uint32_t>(copies[i].first));
                uint32_t flags = (i > 0 ? 0x2 : 0) | (i + 1 == copies.size() ? 0x8 : 0);
                if (v3) {
                    put_be32(tag + 4, flags);
                    put_be32(tag + 8, static_cast<uint32_t>(copies[i].first >> 32));
                    uint8_t sequence_bytes[4];
                    put_be32(sequence_bytes, sequence);
                    put_be32(tag + 12, crc32c(crc32c(seed, sequence_bytes, 4), data.data(), block_size));
                    offset += 16;
                } else {
                    tag[6] = 0;
                    tag[7] = static_cast<uint8_t>(flags);
                    offset += 8;
                }
                if (i == 0)
                    offset += 16;  // the UUID after the first tag
                at = next(at);
            }
            sign(descriptor, block_size - 4);
            position = at;
        }
        if (!revokes.empty()) {
            uint8_t* revoke = header(position, 5, sequence);
            size_t record = v3 ? 8 : 4;
            put_be32(revoke + 12, static_cast<uint32_t>(16 + record * revokes.size()));
            for (size_t i = 0; i < revokes.size(); ++i) {
                if (v3)
                    put_be32(revoke + 16 + 8 * i, static_cast<uint32_t>(revokes[i] >> 32));
                put_be32(revoke + 16 + record * i + record - 4, static_cast<uint32_t>(revokes[i]));
            }
            sign(revoke, block_size - 4);
            position = next(position);
        }
        if (commit) {
            uint8_t* block = header(position, 2, sequence);
            put_be32(block + 48, static_cast<uint32_t>(commit_time >> 32));
            put_be32(block + 52, static_cast<uint32_t>(commit_time));
            sign(block, 16);
            position = next(position);
        }
        return position;
    }

    // Nothing when the superblock does not check out.
    std::optional<journal_replay> scan(long* reads = nullptr)
    {
        auto sb = parse_journal_superblock(blocks[0].data(), block_size, journal_blocks);
        if (!sb)
            return std::nullopt;
        return scan_journal(*sb, block_size, volume_blocks, [&](uint32_t n, uint8_t* out) {
            if (reads)
                ++*reads;
            if (n >= blocks.size())
                return false;
            std::memcpy(out, blocks[n].data(), block_size);
            return true;
        });
    }
};

// The fill byte each volume block reads as after the replay, found through the map.
std::map<uint64_t, uint8_t> replayed(const test_journal& journal, const replay_map& map)
{
    std::map<uint64_t, uint8_t> result;
    for (const replay_entry& entry : map.entries)
        result[entry.volume_block] = journal.blocks[entry.copy_block][entry.escaped ? 4 : 0];
    return result;
}

TEST(journal_scan, a_log_that_wraps_replays_in_sequence_order_with_later_copies_winning)
{
    for (bool checksums : {false, true}) {
        test_journal journal(checksums);
        // Transaction 7 starts 4 blocks before the journal's end, and its data wraps round to block 1.
        uint32_t position = journal.transaction(60, 7, {{100, 0xA1}, {101, 0xA2}, {102, 0xA3}, {3000, 0xA4}});
        position = journal.transaction(position, 8, {{101, 0xB2}});
        position = journal.transaction(position, 9, {{102, 0xC3}}, {}, false);  // never committed
        journal.start(7, 60);
        auto scanned = journal.scan();
        ASSERT_TRUE(scanned) << checksums;
        std::map<uint64_t, uint8_t> expected{{100, 0xA1}, {101, 0xB2}, {102, 0xA3}, {3000, 0xA4}};
        EXPECT_EQ(replayed(journal, scanned->map), expected) << checksums;
        EXPECT_TRUE(scanned->outcome.complete()) << checksums;
        EXPECT_EQ(scanned->outcome.end_sequence, 9u) << checksums;
    }
}

TEST(journal_scan, revokes_stop_copies_of_their_own_and_earlier_transactions_only)
{
    test_journal journal(true);
    uint32_t position = journal.transaction(1, 1, {{10, 0x11}, {11, 0x12}, {12, 0x13}});
    position = journal.transaction(position, 2, {{13, 0x24}}, {10, 13});
    position = journal.transaction(position, 3, {{11, 0x32}}, {11});
    position = journal.transaction(position, 4, {{10, 0x41}});
    journal.start(1, 1);
    auto scanned = journal.scan();
    ASSERT_TRUE(scanned);
    // 10: revoked in 2, logged again in 4. 11: revoked in 3 with its copy there. 13: revoked in its own transaction.
    std::map<uint64_t, uint8_t> expected{{10, 0x41}, {12, 0x13}};
    EXPECT_EQ(replayed(journal, scanned->map), expected);
}

TEST(journal_scan, damaged_blocks_are_decided_as_the_kernel_decides_them)
{
    struct damage_case {
        const char* what;
        std::function<void(test_journal&)> damage;
        std::map<uint64_t, uint8_t> replayed;
        journal_problem problem = journal_problem::none;
        bool commit_failed = false;
        uint32_t end_sequence = 4;
        uint32_t skipped_blocks = 0;
        uint64_t first_skipped_block = 0;
    };
    const std::map<uint64_t, uint8_t> all{{20, 0x11}, {21, 0x22}, {22, 0x33}};
    const std::map<uint64_t, uint8_t> first{{20, 0x11}};
    const std::map<uint64_t, uint8_t> around{{20, 0x11}, {22, 0x33}};
    auto set_time = [](test_journal& j, uint32_t seconds) { put_be32(j.blocks[6].data() + 52, seconds); };
    // Transaction 1 at 1-3, 2 at 4-6 (descriptor, data, commit), 3 at 7-9, committed at 100, 200 and 300.
    const damage_case cases[] = {
        // A logged block whose checksum fails is left out; its transaction and the later ones still count.
        {"data block", [](test_journal& j) { j.blocks[5][100] ^= 1; }, around, journal_problem::none, false, 4, 1,
         21},
        {"block outside the volume",
         [](test_journal& j) {
             put_be32(j.blocks[4].data() + 12, 5000);
             j.sign(j.blocks[4].data(), block_size - 4);
         },
         around, journal_problem::none, false, 4, 1, 5000},
        // A commit block that fails its checksum ends the log before its transaction: a corrupt journal, unless
        // commits are asynchronous (a commit cut short), or it is older than the last (a stale block).
        {"commit block", [](test_journal& j) { j.blocks[6][40] ^= 1; }, first, journal_problem::none, true, 2},
        {"commit block, async commit",
         [](test_journal& j) {
             j.blocks[0][43] |= journal_incompat_async_commit;
             j.sign(j.blocks[0].data(), 252, ~0u);
             j.blocks[6][40] ^= 1;
         },
         first, journal_problem::none, false, 2},
        {"stale commit block", [&](test_journal& j) { set_time(j, 50); }, first, journal_problem::none, false, 2},
        // The kernel also takes a commit block whose bytes after its header were never written.
        {"commit block, junk after its header", [](test_journal& j) { j.blocks[6][600] ^= 1; }, all},
        // A descriptor that fails its checksum fails the whole recovery, unless its commit is stale.
        {"descriptor", [](test_journal& j) { j.blocks[4][40] ^= 1; }, {}, journal_problem::corrupt_log},
        {"stale descriptor",
         [&](test_journal& j) {
             j.blocks[4][40] ^= 1;
             set_time(j, 50);
             j.sign(j.blocks[6].data(), 16);
         },
         first, journal_problem::none, false, 2},
    };
    for (const damage_case& c : cases) {
        test_journal journal(true);
        journal.commit_time = 100;
        uint32_t position = journal.transaction(1, 1, {{20, 0x11}});
        journal.commit_time = 200;
        position = journal.transaction(position, 2, {{21, 0x22}});
        journal.commit_time = 300;
        journal.transaction(position, 3, {{22, 0x33}});
        journal.start(1, 1);
        c.damage(journal);
        auto scanned = journal.scan();
        ASSERT_TRUE(scanned) << c.what;
        const journal_outcome& outcome = scanned->outcome;
        EXPECT_EQ(replayed(journal, scanned->map), c.replayed) << c.what;
        EXPECT_EQ(outcome.problem, c.problem) << c.what;
        if (c.problem != journal_problem::none)
            continue;
        EXPECT_EQ(outcome.commit_failed, c.commit_failed) << c.what;
        EXPECT_EQ(outcome.end_sequence, c.end_sequence) << c.what;
        EXPECT_EQ(outcome.skipped_blocks, c.skipped_blocks) << c.what;
        if (c.skipped_blocks > 0) {
            EXPECT_EQ(outcome.first_skipped_block, c.first_skipped_block) << c.what;
            EXPECT_EQ(outcome.first_skipped_sequence, 2u) << c.what;
        }
    }
}

TEST(journal_scan, a_skipped_block_keeps_its_earlier_copy_and_is_not_counted_when_revoked)
{
    test_journal journal(true);
    uint32_t position = journal.transaction(1, 1, {{21, 0x11}, {30, 0x13}});
    position = journal.transaction(position, 2, {{21, 0x22}, {30, 0x23}});  // data at 6 and 7
    journal.transaction(position, 3, {}, {30});
    journal.start(1, 1);
    journal.blocks[6][10] ^= 1;
    journal.blocks[7][10] ^= 1;
    auto scanned = journal.scan();
    ASSERT_TRUE(scanned);
    EXPECT_EQ(replayed(journal, scanned->map), (std::map<uint64_t, uint8_t>{{21, 0x11}}));
    EXPECT_EQ(scanned->outcome.skipped_blocks, 1u);
    EXPECT_EQ(scanned->outcome.first_skipped_block, 21u);
    EXPECT_EQ(scanned->outcome.end_sequence, 4u);
}

TEST(journal_scan, journals_that_do_not_check_out_or_have_nothing_to_replay)
{
    test_journal journal(true);
    journal.transaction(1, 5, {{20, 0x11}});
    journal.start(5, 1);
    ASSERT_TRUE(journal.scan());

    test_journal clean = journal;
    clean.start(5, 0);
    long reads = 0;
    auto scanned = clean.scan(&reads);
    ASSERT_TRUE(scanned);
    EXPECT_TRUE(scanned->map.entries.empty());
    EXPECT_TRUE(scanned->outcome.complete());
    EXPECT_EQ(reads, 0);

    const std::function<void(uint8_t*)> damages[] = {
        [](uint8_t* sb) { sb[0] ^= 1; },                                  // magic
        [](uint8_t* sb) { put_be32(sb + 12, 2048); },                     // block size not the volume's
        [](uint8_t* sb) { put_be32(sb + 16, journal_blocks + 1); },       // longer than the journal inode
        [](uint8_t* sb) { put_be32(sb + 20, journal_blocks); },           // log starting past the end
        [](uint8_t* sb) { put_be32(sb + 28, journal_blocks); },           // replay starting past the end
        [](uint8_t* sb) { sb[43] |= 0x40; },                              // an incompat feature not known here
        [](uint8_t* sb) { sb[43] |= journal_incompat_csum_v2; },          // v2 and v3 at once
        [](uint8_t* sb) { sb[100] ^= 1; },                                // any byte under the checksum
    };
    for (size_t i = 0; i < std::size(damages); ++i) {
        test_journal damaged = journal;
        damages[i](damaged.blocks[0].data());
        if (i + 1 < std::size(damages))
            damaged.sign(damaged.blocks[0].data(), 252, ~0u);
        EXPECT_FALSE(damaged.scan()) << i;
    }

    // A revoke block whose count overruns it fails the kernel's whole recovery, even with its checksum right.
    test_journal overrun(true);
    uint32_t position = overrun.transaction(1, 1, {{20, 0x11}});
    overrun.transaction(position, 2, {}, {25});
    put_be32(overrun.blocks[position].data() + 12, block_size);
    overrun.sign(overrun.blocks[position].data(), block_size - 4);
    overrun.start(1, 1);
    scanned = overrun.scan();
    ASSERT_TRUE(scanned);
    EXPECT_EQ(scanned->outcome.problem, journal_problem::corrupt_log);
    EXPECT_TRUE(scanned->map.entries.empty());

    // A read that fails ignores the journal rather than replaying a part of it.
    auto sb = parse_journal_superblock(journal.blocks[0].data(), block_size, journal_blocks);
    ASSERT_TRUE(sb);
    journal_replay unread = scan_journal(*sb, block_size, volume_blocks, [](uint32_t, uint8_t*) { return false; });
    EXPECT_EQ(unread.outcome.problem, journal_problem::read_failed);
    EXPECT_TRUE(unread.map.entries.empty());
}

TEST(journal_scan, a_log_that_never_ends_is_walked_once)
{
    // Every block a revoke block of the one transaction: without a bound on the walk it would go round for ever.
    test_journal journal(false);
    for (uint32_t p = 1; p < journal_blocks; ++p)
        put_be32(journal.header(p, 5, 1) + 12, 16);
    journal.start(1, 1);
    long reads = 0;
    auto scanned = journal.scan(&reads);
    ASSERT_TRUE(scanned);
    EXPECT_TRUE(scanned->map.entries.empty());
    EXPECT_LE(reads, static_cast<long>(journal_blocks));
}

}  // namespace

namespace {

TEST(journal_scan, replay_maps_share_one_budget_and_give_it_back)
{
    std::optional<replay_map> first(std::in_place);
    first->entries.resize(replay_entry_budget);
    ASSERT_TRUE(charge_replay_map(*first));
    replay_map second;
    second.entries.resize(1);
    EXPECT_FALSE(charge_replay_map(second));
    replay_map moved = std::move(*first);  // the charge goes with the entries
    first.reset();
    EXPECT_FALSE(charge_replay_map(second));
    moved = replay_map{};
    EXPECT_TRUE(charge_replay_map(second));
}

}  // namespace

TEST(crc32c_test, is_castagnolis_crc_without_inversions_from_any_seed)
{
    const uint8_t check[] = {'1', '2', '3', '4', '5', '6', '7', '8', '9'};
    // The standard check value, with the inversions on entry and exit that the function leaves to its caller.
    EXPECT_EQ(crc32c(~0u, check, 9) ^ ~0u, 0xE3069283u);
    EXPECT_EQ(crc32c(crc32c(~0u, check, 4), check + 4, 5), crc32c(~0u, check, 9));
    EXPECT_EQ(crc32c(0x12345678u, check, 0), 0x12345678u);

    // A seed as ext4 makes one, crc32c(~0, s_uuid), continued over group 0's block bitmap: mke2fs stored the result
    // in the descriptor's bg_block_bitmap_csum (low and high halves) of reader.img 1 (metadata_csum, 64-bit, 1 KiB
    // blocks, 8192 blocks per group).
    const uint64_t volume = uint64_t{read_layout("reader.img").at(0).start} * 512;
    const std::string image = fixture_path("reader.img");
    std::vector<uint8_t> sb = read_file_bytes(image, volume + 1024, 1024);
    std::vector<uint8_t> descriptor = read_file_bytes(image, volume + 2 * 1024, 64);
    ASSERT_EQ(read_le16(sb.data(), 0xFE), 64);
    uint64_t bitmap_block = read_le32(descriptor.data(), 0) | uint64_t{read_le32(descriptor.data(), 0x20)} << 32;
    std::vector<uint8_t> bitmap = read_file_bytes(image, volume + bitmap_block * 1024, 8192 / 8);
    uint32_t stored = read_le16(descriptor.data(), 0x18) | uint32_t{read_le16(descriptor.data(), 0x38)} << 16;
    uint32_t seed = crc32c(~0u, sb.data() + 0x68, 16);
    EXPECT_NE(seed, ~0u);
    EXPECT_EQ(crc32c(seed, bitmap.data(), bitmap.size()), stored);
}
