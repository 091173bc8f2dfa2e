// Directory reading: fixture directories against debugfs and their source trees, and records built byte by byte.
#include "disk/byte_order.h"
#include "disk/partition.h"
#include "ext/directory.h"
#include "ext/inode_cache.h"
#include "ext/volume.h"
#include "test_support.h"

#include <cstring>
#include <filesystem>
#include <set>

namespace {

constexpr uint32_t dir_inode = 20;  // unused on volume_ext2_1k.img

// Writes inode 20 as a directory of the given size whose direct block entries are blocks.
void put_directory(crafted_volume& volume, uint32_t size, const std::vector<uint32_t>& blocks)
{
    uint32_t inode_size = read_le16(volume.block(1), 88);
    uint32_t table = read_le32(volume.block(2), 8);
    uint8_t* inode = volume.bytes.data() + uint64_t{table} * 1024 + uint64_t{dir_inode - 1} * inode_size;
    std::memset(inode, 0, 128);
    put_le16(inode, mode_directory | 0755);
    put_le32(inode + 4, size);
    for (size_t i = 0; i < blocks.size(); ++i)
        put_le32(inode + 40 + 4 * i, blocks[i]);
}

// Writes a record at an offset of a block; a name_len below 0 means the name's length.
void put_record(uint8_t* block, size_t at, uint32_t inode, uint16_t rec_len, const std::string& name,
                uint8_t type = file_type_regular, int name_len = -1)
{
    put_le32(block + at, inode);
    put_le16(block + at + 4, rec_len);
    block[at + 6] = static_cast<uint8_t>(name_len < 0 ? name.size() : name_len);
    block[at + 7] = type;
    std::memcpy(block + at + 8, name.data(), name.size());
}

std::vector<std::string> names_of(const dir_listing& listing)
{
    std::vector<std::string> names;
    for (const dir_entry& e : listing.entries)
        names.emplace_back(entry_name(listing, e));
    return names;
}

uint8_t file_type_of(uint32_t mode)
{
    switch (mode & mode_type_mask) {
    case mode_regular:
        return file_type_regular;
    case mode_directory:
        return file_type_directory;
    case 0xA000:
        return file_type_symlink;
    default:
        return 0;
    }
}

class directory_test : public stand_in_test {};

}  // namespace

TEST_F(directory_test, every_fixture_directory_lists_the_records_debugfs_and_the_source_tree_show)
{
    namespace fs = std::filesystem;
    for (const char* image : {"main.img", "reader.img"}) {
        std::vector<fixture_volume> volumes = fixture_volumes(image);
        ASSERT_EQ(volumes.size(), 3u) << image;
        for (const fixture_volume& volume : volumes) {
            test_control::reset();
            test_control::set_administrator(true);
            std::unique_ptr<physical_disk> disk = open_fixture_disk(image);
            ext_volume* p = mounted_partition(*disk, volume.number);
            ASSERT_TRUE(p);
            for (const std::string& dir : volume.directories) {
                SCOPED_TRACE(std::string(image) + " " + std::to_string(volume.number) + " " + dir);
                const debugfs_inode& inode = volume.inodes.at(dir);
                dir_listing listing;
                ASSERT_TRUE(read_directory(*p, inode.number, listing));
                // Records of inode 0 (index nodes, checksum tails) are there but debugfs does not show them.
                std::vector<debugfs_entry> named;
                uint64_t rec_lens = 0;
                for (const dir_entry& e : listing.entries) {
                    rec_lens += e.rec_len;
                    if (e.inode != 0) {
                        std::string name(entry_name(listing, e));
                        named.push_back({e.inode, e.file_type, name});
                        // The first record of each name is what a lookup finds, in the listing and (for a
                        // sample, as each lookup reads the directory again) on disk.
                        const dir_entry* indexed = find_in_listing(listing, name.data(), name.size());
                        ASSERT_TRUE(indexed) << name;
                        if (named.size() % 61 == 1) {
                            entry_match match;
                            ASSERT_EQ(lookup_entry(*p, inode.number, name.data(), name.size(), match),
                                      lookup_result::found) << name;
                            EXPECT_EQ(match.inode, indexed->inode) << name;
                            EXPECT_EQ(match.file_type, indexed->file_type) << name;
                        }
                    }
                }
                EXPECT_EQ(rec_lens, inode.size);
                const std::vector<debugfs_entry>& expected = volume.listings.at(dir);
                ASSERT_EQ(named.size(), expected.size());
                std::set<std::string> names;
                for (size_t i = 0; i < named.size(); ++i) {
                    ASSERT_EQ(named[i].name, expected[i].name) << i;
                    EXPECT_EQ(named[i].inode, expected[i].inode) << named[i].name;
                    EXPECT_EQ(named[i].mode, file_type_of(expected[i].mode)) << named[i].name;
                    if (named[i].name != "." && named[i].name != ".." && !(dir == "/" && named[i].name == "lost+found"))
                        names.insert(named[i].name);
                }
                std::set<std::string> source;
                if (fs::exists(volume.tree + dir))
                    for (const auto& entry : fs::directory_iterator(volume.tree + dir))
                        source.insert(entry.path().filename().string());
                EXPECT_EQ(names, source);
            }
        }
    }
}

TEST_F(directory_test, records_come_in_order_with_inode_0_records_the_longest_name_and_holes_passed_over)
{
    crafted_volume volume;
    const std::string longest(255, 'n');
    put_record(volume.block(1200), 0, dir_inode, 12, ".", file_type_directory);
    put_record(volume.block(1200), 12, 2, 12, "..", file_type_directory);
    put_record(volume.block(1200), 24, 0, 16, "deleted");
    put_record(volume.block(1200), 40, 31, 264, longest, file_type_symlink);
    put_record(volume.block(1200), 304, 32, 720, "last");
    put_record(volume.block(1201), 0, 0, 1024, "", 0);  // a block of no names, as an index node looks
    put_record(volume.block(1202), 0, 33, 1024, "after the hole");
    put_directory(volume, 4 * 1024, {1200, 1201, 0, 1202});
    ext_volume* p = volume.mount();
    ASSERT_TRUE(p);
    dir_listing listing;
    ASSERT_TRUE(read_directory(*p, dir_inode, listing));
    EXPECT_EQ(names_of(listing),
              (std::vector<std::string>{".", "..", "deleted", longest, "last", "", "after the hole"}));
    const std::vector<dir_entry>& entries = listing.entries;
    ASSERT_EQ(entries.size(), 7u);
    EXPECT_EQ(entries[2].inode, 0u);
    EXPECT_EQ(entries[3].inode, 31u);
    EXPECT_EQ(entries[3].name_len, 255);
    EXPECT_EQ(entries[3].rec_len, 264);
    EXPECT_EQ(entries[3].file_type, file_type_symlink);
    EXPECT_EQ(entries[5].inode, 0u);
    EXPECT_EQ(entries[5].rec_len, 1024);
    EXPECT_EQ(entries[6].inode, 33u);
    EXPECT_EQ(listing.names.size(), 1 + 2 + 7 + 255 + 4 + 14u);  // one buffer holds the names, nothing more
}

TEST_F(directory_test, a_record_the_kernel_refuses_fails_the_listing_and_lookups_not_found_before_it)
{
    // The second record of the first block, "name" (or longer), followed where it leaves room by a record "after";
    // the second block holds "next". The volume has 256 inodes.
    struct record_case {
        const char* what;
        uint16_t rec_len;
        int name_len;
        uint32_t inode;
        bool sound;
    };
    const record_case cases[] = {
        {"filling its block", 1012, 4, 40, true},
        {"leaving room for one more", 996, 4, 40, true},
        {"naming the volume's last inode", 1012, 4, 256, true},
        {"the longest name in the least room", 264, 255, 40, true},
        {"rec_len 0", 0, 4, 40, false},
        {"rec_len 8, below the 12 of any record", 8, 0, 40, false},
        {"rec_len not a multiple of 4", 1001, 4, 40, false},
        {"too short for its name", 12, 5, 40, false},
        {"a name of 5 in 13 bytes, not a multiple of 4", 13, 5, 40, false},
        {"past the block", 1016, 4, 40, false},
        {"leaving 8 bytes, too few for a record", 1004, 4, 40, false},
        {"naming an inode beyond the volume's", 1012, 4, 257, false},
    };
    for (const record_case& c : cases) {
        SCOPED_TRACE(c.what);
        crafted_volume volume;
        uint8_t* first = volume.block(1200);
        put_record(first, 0, dir_inode, 12, ".", file_type_directory);
        put_record(first, 12, c.inode, c.rec_len, std::string(c.name_len > 4 ? c.name_len : 4, 'n'),
                   file_type_regular, c.name_len);
        if (c.sound && 12u + c.rec_len < 1024)
            put_record(first, 12 + c.rec_len, 42, static_cast<uint16_t>(1012 - c.rec_len), "after");
        put_record(volume.block(1201), 0, 41, 1024, "next");
        put_directory(volume, 2 * 1024, {1200, 1201});
        ext_volume* p = volume.mount();
        ASSERT_TRUE(p);
        dir_listing listing;
        entry_match match;
        EXPECT_EQ(read_directory(*p, dir_inode, listing), c.sound);
        // A lookup finds what lies before the bad record and in the blocks after it, as the kernel's does; a name
        // found nowhere may have been behind the bad record.
        EXPECT_EQ(lookup_entry(*p, dir_inode, ".", 1, match), lookup_result::found);
        EXPECT_EQ(lookup_entry(*p, dir_inode, "next", 4, match), lookup_result::found);
        EXPECT_EQ(match.inode, 41u);
        EXPECT_EQ(lookup_entry(*p, dir_inode, "missing", 7, match),
                  c.sound ? lookup_result::missing : lookup_result::failed);
        // ".", the record, "after" where it fits, "next"; nothing when the listing fails.
        EXPECT_EQ(listing.entries.size(), c.sound ? (12u + c.rec_len < 1024 ? 4u : 3u) : 0u);
    }
}

TEST_F(directory_test, an_unreadable_directory_gives_false_and_an_empty_listing)
{
    auto listing_of = [](crafted_volume& volume, long fail_read, bool& result) {
        ext_volume* p = volume.mount();
        dir_listing listing;
        listing.entries.resize(3);  // whatever a listing held before is gone either way
        result = false;
        if (!p)
            return listing;
        if (fail_read)
            test_control::fail_nth_read(fail_read);
        result = read_directory(*p, dir_inode, listing);
        return listing;
    };
    crafted_volume volume;
    put_record(volume.block(1200), 0, dir_inode, 1024, ".", file_type_directory);
    put_record(volume.block(1202), 0, 41, 1024, "next");
    put_directory(volume, 2 * 1024, {1200, 1202});  // apart, so that each block takes its own read
    bool result = false;
    EXPECT_EQ(listing_of(volume, 0, result).entries.size(), 2u);
    EXPECT_TRUE(result);

    // The inode table's read (the first), then the second block's read fails.
    for (long fail_read : {1, 3}) {
        EXPECT_TRUE(listing_of(volume, fail_read, result).entries.empty()) << fail_read;
        EXPECT_FALSE(result) << fail_read;
    }
    // A block beyond the volume cannot be mapped.
    put_directory(volume, 2 * 1024, {1200, 2048});
    EXPECT_TRUE(listing_of(volume, 0, result).entries.empty());
    EXPECT_FALSE(result);
    // A size of more blocks than the volume has is refused before any block is read.
    put_directory(volume, 2049 * 1024, {1200, 1202});
    ext_volume* p = volume.mount();
    ASSERT_TRUE(p);
    dir_listing listing;
    listing.entries.resize(1);
    long before = drive_reads();
    EXPECT_FALSE(read_directory(*p, dir_inode, listing));
    EXPECT_TRUE(listing.entries.empty());
    EXPECT_EQ(drive_reads() - before, 1);  // the inode table
    // No such inode.
    EXPECT_FALSE(read_directory(*p, 0, listing));
    EXPECT_FALSE(read_directory(*p, p->volume_info->superblock.s_inodes_count + 1, listing));
    EXPECT_TRUE(listing.entries.empty());
}

TEST_F(directory_test, lookups_skip_deleted_records_and_stop_at_the_name)
{
    crafted_volume volume;
    put_record(volume.block(1200), 0, dir_inode, 12, ".", file_type_directory);
    put_record(volume.block(1200), 12, 2, 12, "..", file_type_directory);
    put_record(volume.block(1200), 24, 0, 16, "twin", file_type_directory);  // deleted, named like a live file
    put_record(volume.block(1200), 40, 0, 16, "gone");
    put_record(volume.block(1200), 56, 40, 968, "twin");
    put_record(volume.block(1201), 0, 41, 1024, "far");
    // The third block lies outside the volume: reaching it fails.
    put_directory(volume, 3 * 1024, {1200, 1201, 4096});
    ext_volume* p = volume.mount();
    ASSERT_TRUE(p);

    entry_match match;
    EXPECT_EQ(lookup_entry(*p, dir_inode, "twin", 4, match), lookup_result::found);
    EXPECT_EQ(match.inode, 40u);
    EXPECT_EQ(match.file_type, file_type_regular);
    EXPECT_EQ(lookup_entry(*p, dir_inode, "far", 3, match), lookup_result::found);
    EXPECT_EQ(match.inode, 41u);
    // A name that is only deleted, or not there at all, is looked for up to the damaged block.
    EXPECT_EQ(lookup_entry(*p, dir_inode, "gone", 4, match), lookup_result::failed);
    EXPECT_EQ(lookup_entry(*p, dir_inode, "tw", 2, match), lookup_result::failed);
    EXPECT_EQ(lookup_entry(*p, dir_inode, "", 0, match), lookup_result::missing);
    dir_listing listing;
    EXPECT_FALSE(read_directory(*p, dir_inode, listing));

    put_directory(volume, 2 * 1024, {1200, 1201});
    p = volume.mount();
    ASSERT_TRUE(p);
    EXPECT_EQ(lookup_entry(*p, dir_inode, "gone", 4, match), lookup_result::missing);
    ASSERT_TRUE(read_directory(*p, dir_inode, listing));
    const dir_entry* twin = find_in_listing(listing, "twin", 4);
    ASSERT_TRUE(twin);
    EXPECT_EQ(twin->inode, 40u);
    EXPECT_FALSE(find_in_listing(listing, "gone", 4));
    // A failed read is a failure, not a missing name.
    test_control::fail_nth_read(1);
    EXPECT_EQ(lookup_entry(*p, dir_inode, "far", 3, match), lookup_result::failed);
}
