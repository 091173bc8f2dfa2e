// Fast commits: areas built in memory, checked as the kernel's recovery scan checks them; and volumes that the
// kernel left with fast commits it never applied (loop mounts, so as root only), read through the exports as the
// kernel and e2fsck replay them, also once their areas are damaged.
#include "disk/byte_order.h"
#include "disk/partition.h"
#include "ext/crc32c.h"
#include "ext/directory.h"
#include "ext/fast_commit.h"
#include "ext/volume.h"
#include "plugin/exports.h"
#include "plugin/recovery_notice.h"
#include "plugin_support.h"

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>

namespace fs = std::filesystem;

namespace {

// A fast-commit area of 1 KiB blocks written tag by tag as the kernel writes it: a tail fills the rest of its
// block and carries the CRC of the tags since the previous tail.
struct test_area {
    static constexpr uint32_t block_size = 1024;
    std::vector<std::vector<uint8_t>> blocks{std::vector<uint8_t>(block_size)};
    size_t offset = 0;
    uint32_t crc = 0;
    int unreadable = -1;  // a block that reads fail on

    uint8_t* tag(uint16_t kind, uint16_t length)
    {
        uint8_t* at = blocks.back().data() + offset;
        put_le16(at, kind);
        put_le16(at + 2, length);
        offset += 4 + length;
        return at + 4;
    }
    // A tag with its value, counted into the CRC.
    void add(uint16_t kind, std::vector<uint8_t> value)
    {
        uint8_t* at = tag(kind, static_cast<uint16_t>(value.size()));
        std::copy(value.begin(), value.end(), at);
        crc = crc32c(crc, at - 4, 4 + value.size());
    }
    void head(uint32_t tid, uint32_t features = 0) { add(fc_tag_head, words({features, tid})); }
    void tail(uint32_t tid, bool good = true)
    {
        uint8_t* at = tag(fc_tag_tail, static_cast<uint16_t>(block_size - offset - 4));
        put_le32(at, tid);
        crc = crc32c(crc, at - 4, 8);
        put_le32(at + 4, good ? crc : ~crc);
        crc = 0;
        blocks.emplace_back(block_size);
        offset = 0;
    }
    // A tag whose value runs one byte past its block; the next tag starts a new block.
    void overrun()
    {
        tag(fc_tag_pad, static_cast<uint16_t>(block_size - offset - 3));
        blocks.emplace_back(block_size);
        offset = 0;
    }
    static std::vector<uint8_t> words(std::initializer_list<uint32_t> values)
    {
        std::vector<uint8_t> bytes;
        for (uint32_t value : values)
            for (int i = 0; i < 4; ++i)
                bytes.push_back(static_cast<uint8_t>(value >> (8 * i)));
        return bytes;
    }
    fast_commit_area area(uint32_t expected_tid)
    {
        return {block_size, static_cast<uint32_t>(blocks.size()), expected_tid, 256,
                [this](uint32_t n, uint8_t* out) {
                    if (n >= blocks.size() || static_cast<int>(n) == unreadable)
                        return false;
                    std::memcpy(out, blocks[n].data(), block_size);
                    return true;
                }};
    }
};

// One fast commit of an inode tag and a range tag, as the kernel writes a file's append.
void append_commit(test_area& area, uint32_t tid)
{
    std::vector<uint8_t> inode = test_area::words({12});
    inode.resize(4 + 256);
    area.add(fc_tag_inode, inode);
    area.add(fc_tag_add_range, test_area::words({12, 5, 1, 900}));
    area.tail(tid);
}

void expect_count(test_area& area, uint32_t tid, fast_commit_scan result, size_t tags, const char* what)
{
    fast_commit_count count = count_fast_commit_tags(area.area(tid));
    EXPECT_EQ(count.result, result) << what;
    EXPECT_EQ(count.tags, tags) << what;
}

TEST(fast_commit_scan, the_log_counts_up_to_the_last_tail_that_checks_out)
{
    test_area area;
    area.head(7);
    append_commit(area, 7);  // head, inode, range, tail
    expect_count(area, 7, fast_commit_scan::found, 4, "one fast commit, the rest of the area zeros");
    append_commit(area, 7);
    expect_count(area, 7, fast_commit_scan::found, 7, "two fast commits");

    // What ends the log after the first commit: the second's tail, or a tag that cannot stand where it is.
    struct ending {
        const char* what;
        std::function<void(test_area&)> write;
    };
    std::vector<ending> endings{
        {"a tail of another transaction", [](test_area& a) { a.add(fc_tag_pad, {}); a.tail(8); }},
        {"a tail whose CRC does not match", [](test_area& a) { a.add(fc_tag_pad, {}); a.tail(7, false); }},
        {"a head of another transaction", [](test_area& a) { a.head(8); a.tail(7); }},
        {"a range tag one byte short", [](test_area& a) { a.add(fc_tag_add_range, std::vector<uint8_t>(15)); }},
        {"an inode tag shorter than 128 bytes", [](test_area& a) { a.add(fc_tag_inode, std::vector<uint8_t>(131)); }},
        {"an inode tag longer than the inode", [](test_area& a) { a.add(fc_tag_inode, std::vector<uint8_t>(261)); }},
        {"a name of 256 bytes", [](test_area& a) { a.add(fc_tag_link, std::vector<uint8_t>(8 + 256)); }},
        {"an empty name", [](test_area& a) { a.add(fc_tag_unlink, std::vector<uint8_t>(8)); }},
        {"a tag of an unknown kind", [](test_area& a) { a.add(10, {}); }},
        {"a tag running past its block", [](test_area& a) { a.overrun(); }},
    };
    for (const ending& end : endings) {
        test_area damaged;
        damaged.head(7);
        append_commit(damaged, 7);
        end.write(damaged);
        append_commit(damaged, 7);
        expect_count(damaged, 7, fast_commit_scan::found, 4, end.what);
        // The same tag before any tail has checked out fails the kernel's recovery.
        test_area first;
        first.head(7);
        end.write(first);
        first.tail(7);
        fast_commit_scan expected = std::string(end.what) == "a head of another transaction"
                                        ? fast_commit_scan::nothing
                                        : fast_commit_scan::unusable;
        expect_count(first, 7, expected, 0, end.what);
    }
}

TEST(fast_commit_scan, an_area_recovery_stops_at_once_or_fails_on)
{
    test_area no_head;
    append_commit(no_head, 7);
    expect_count(no_head, 7, fast_commit_scan::nothing, 0, "an area that starts with no head");

    test_area stale;
    stale.head(6);
    append_commit(stale, 6);
    expect_count(stale, 7, fast_commit_scan::nothing, 0, "the fast commits of a transaction committed since");

    test_area features;
    features.head(7, 1);
    append_commit(features, 7);
    expect_count(features, 7, fast_commit_scan::unusable, 0, "a head with a feature the kernel does not know");
    test_area late_features;
    late_features.head(7);
    append_commit(late_features, 7);
    late_features.head(7, 1);
    append_commit(late_features, 7);
    expect_count(late_features, 7, fast_commit_scan::unusable, 0, "such a head after a good fast commit");

    test_area unreadable;
    unreadable.head(7);
    append_commit(unreadable, 7);
    append_commit(unreadable, 7);
    unreadable.unreadable = 1;
    expect_count(unreadable, 7, fast_commit_scan::unusable, 0, "a block that cannot be read");

    // Good fast commits to the last block: the kernel's walk goes on past the journal's end and fails.
    test_area full;
    full.head(7);
    append_commit(full, 7);
    full.blocks.pop_back();
    expect_count(full, 7, fast_commit_scan::unusable, 0, "an area the log fills");
}

TEST(fast_commit_scan, a_walk_hands_the_counted_tags_in_order_and_no_more)
{
    test_area area;
    area.head(7);
    area.add(fc_tag_creat, {2, 0, 0, 0, 12, 0, 0, 0, 'n', 'e', 'w'});
    area.tail(7);
    append_commit(area, 7);
    fast_commit_count count = count_fast_commit_tags(area.area(7));
    ASSERT_EQ(count.tags, 6u);
    std::vector<uint16_t> kinds;
    std::string name;
    EXPECT_TRUE(walk_fast_commit_tags(area.area(7), 5, [&](const fast_commit_tag& tag) {
        kinds.push_back(tag.tag);
        if (tag.tag == fc_tag_creat)
            name.assign(reinterpret_cast<const char*>(tag.value) + 8, tag.length - 8);
        return true;
    }));
    EXPECT_EQ(kinds, (std::vector<uint16_t>{fc_tag_head, fc_tag_creat, fc_tag_tail, fc_tag_inode, fc_tag_add_range}));
    EXPECT_EQ(name, "new");
}

// The volumes the kernel leaves, made once per run by make_fast_commits.sh when it can (as root).
class fast_commit_volume_test : public scratch_test {
protected:
    // Test processes take turns, and the volumes are made again only when the script is newer than them.
    static void SetUpTestSuite()
    {
        directory = fixture_path("fast_commit");
        std::string script = std::string(TARNWICK_SOURCE_DIR) + "/tests/fixtures/make_fast_commits.sh";
        std::string result = run_command(
            "flock '" + directory + ".lock' sh -c '[ \"$1/fast_commit.img.layout\" -nt \"$0\" ] || \"$0\" \"$1\"' '" +
            script + "' '" + directory + "' 2>'" + directory + ".log'; echo $?");
        made = result == "0\n";
        std::ifstream log(directory + ".log");
        reason = std::string(std::istreambuf_iterator<char>(log), {});
        skipped = result == "77\n";
    }

    void SetUp() override
    {
        scratch_test::SetUp();
        if (skipped)
            GTEST_SKIP() << "no volumes with fast commits: " << reason;
        ASSERT_TRUE(made) << reason;
    }

    static fs::path volume(int n)
    {
        return fs::path(directory) / "volumes" / ("fast_commit" + std::to_string(n) + ".img");
    }

    // Path -> content of every file below a folder through the exports, "/" for folders; "<result N>" when a
    // copy fails, "<unlisted>" when the listing fails.
    std::map<std::string, std::string> read_through_plugin(const std::string& folder, const std::string& relative = "")
    {
        std::map<std::string, std::string> found;
        std::map<std::string, listed_entry> entries = list_entries(folder + relative);
        if (entries.empty())
            found[relative + "/"] = "<unlisted>";
        for (const auto& [name, entry] : entries) {
            if (name == ".." || (relative.empty() && name == "lost+found"))
                continue;
            std::string path = relative + "/" + name;
            if ((entry.attributes & 16) != 0) {
                found[path] = "/";
                found.merge(read_through_plugin(folder, path));
                continue;
            }
            fs::path local = scratch / ("copy" + std::to_string(copies++));
            int result = copy_out(folder + path, local.string());
            found[path] = result == file_result_ok ? contents(local) : "<result " + std::to_string(result) + ">";
        }
        return found;
    }

    static std::map<std::string, std::string> read_tree(const fs::path& tree)
    {
        std::map<std::string, std::string> found;
        for (const fs::directory_entry& entry : fs::recursive_directory_iterator(tree))
            found["/" + entry.path().lexically_relative(tree).string()] =
                entry.is_directory() ? "/" : contents(entry.path());
        return found;
    }

    static std::string contents(const fs::path& path)
    {
        std::ifstream in(path, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }

    // What e2fsck makes of a volume image: its journal replayed (fast commits too), dumped by debugfs.
    fs::path replayed_by_e2fsck(const std::vector<uint8_t>& image)
    {
        fs::path copy = scratch / "e2fsck.img";
        std::ofstream(copy, std::ios::binary).write(reinterpret_cast<const char*>(image.data()), image.size());
        fs::path tree = scratch / "e2fsck_tree";
        fs::create_directories(tree);
        run_command("PATH=$PATH:/usr/sbin:/sbin; e2fsck -y -E journal_only '" + copy.string() +
                    "' >/dev/null 2>&1; debugfs -R 'rdump / " + tree.string() + "' '" + copy.string() +
                    "' >/dev/null 2>&1; rm -rf '" + tree.string() + "/lost+found'");
        return tree;
    }

    // Where the tail tags of volume 1's fast-commit area lie in its image, found by walking the tags.
    std::vector<size_t> tail_offsets(const std::vector<uint8_t>& image)
    {
        std::string header = run_command("PATH=$PATH:/usr/sbin:/sbin dumpe2fs -h '" + volume(1).string() +
                                         "' 2>/dev/null | grep -E 'Total journal blocks|Fast commit length'");
        uint32_t journal_blocks = 0, area_blocks = 0;
        std::sscanf(header.c_str(), "Total journal blocks: %u Fast commit length: %u", &journal_blocks, &area_blocks);
        uint32_t block_size = 1024u << read_le32(image.data() + 1024, 24);
        std::vector<size_t> tails;
        for (uint32_t n = journal_blocks - area_blocks + 1; n < journal_blocks; ++n) {
            std::string physical = run_command("PATH=$PATH:/usr/sbin:/sbin debugfs -R 'bmap <8> " + std::to_string(n) +
                                               "' '" + volume(1).string() + "' 2>/dev/null");
            size_t block = std::stoull(physical) * block_size;
            for (size_t offset = 0; offset + 4 <= block_size;) {
                uint16_t kind = read_le16(image.data(), block + offset);
                if (kind == 0 || kind > fc_tag_head)
                    return tails;
                if (kind == fc_tag_tail)
                    tails.push_back(block + offset);
                offset += 4 + read_le16(image.data(), block + offset + 2);
            }
        }
        return tails;
    }

    static inline std::string directory;
    static inline std::string reason;
    static inline bool made = false;
    static inline bool skipped = false;
    int copies = 0;
};

int TARNWICK_CALL progress(int, char*, char*, int)
{
    return 0;
}

TEST_F(fast_commit_volume_test, every_volume_reads_as_its_replayed_copy)
{
    test_control::add_drive_file(directory + "/fast_commit.img");
    ASSERT_EQ(FsInit(0, progress, nullptr, nullptr), 0);
    for (int n : {1, 2}) {
        fs::path tree = fs::path(directory) / "trees" / ("fast_commit" + std::to_string(n));
        std::map<std::string, std::string> expected = read_tree(tree);
        // Only the fast commits hold these: a file created, a folder made in the place of a deleted file.
        ASSERT_TRUE(expected.count(n == 1 ? "/new.txt" : "/made/nested/deep.txt")) << n;
        EXPECT_EQ(read_through_plugin("/sda" + std::to_string(n)), expected) << "volume " << n;
    }
}

TEST_F(fast_commit_volume_test, the_log_ends_before_a_tail_that_does_not_check_out)
{
    std::vector<uint8_t> image = read_file_bytes(volume(1).string());
    std::vector<size_t> tails = tail_offsets(image);
    ASSERT_GE(tails.size(), 3u);
    // The fast commits up to the one before the damaged tail stand, as e2fsck replays them.
    image[tails[2] + 8] ^= 1;
    fs::path oracle = replayed_by_e2fsck(image);
    std::map<std::string, std::string> expected = read_tree(oracle);
    ASSERT_TRUE(expected.count("/new.txt") && expected.count("/gone.txt") && !expected.count("/flush.txt"));
    test_control::add_drive_memory(image);
    ASSERT_EQ(FsInit(0, progress, nullptr, nullptr), 0);
    EXPECT_EQ(read_through_plugin("/sda"), expected);
}

TEST_F(fast_commit_volume_test, fast_commits_that_cannot_be_applied_leave_the_volume_as_its_log_replays_it)
{
    std::vector<uint8_t> original = read_file_bytes(volume(1).string());
    std::vector<size_t> tails = tail_offsets(original);
    ASSERT_GE(tails.size(), 2u);
    uint32_t block_size = 1024u << read_le32(original.data() + 1024, 24);
    // The second fast commit (append.txt's new blocks) gives its range to inode 7, which is mapped by block
    // numbers: the kernel replays ranges into extent trees only. Its tail is signed anew.
    std::vector<uint8_t> block_mapped = original;
    size_t second = tails[1] / block_size * block_size;
    ASSERT_EQ(read_le16(block_mapped.data(), second), fc_tag_add_range);
    put_le32(block_mapped.data() + second + 4, 7);
    put_le32(block_mapped.data() + tails[1] + 8, crc32c(0, block_mapped.data() + second, tails[1] + 8 - second));
    std::vector<uint8_t> first_tail = original;
    first_tail[tails[0] + 8] ^= 1;
    for (const auto& [what, image] : {std::pair{"a range of a block-mapped inode", block_mapped},
                                      std::pair{"a first tail that does not check out", first_tail},
                                      std::pair{"", original}}) {
        // The disk is the stand-in's first drive.
        stand_in_test::SetUp();
        std::unique_ptr<physical_disk> disk = open_memory_volume(image);
        ext_volume* target = mounted_partition(*disk, 1);
        ASSERT_NE(target, nullptr) << what;
        bool applied = std::string(what).empty();
        EXPECT_EQ(target->volume_info->journal_recovery.fast_commits_not_applied, !applied) << what;
        // The user is told, as for any journal that is not applied in whole.
        EXPECT_EQ(incomplete_recovery_text(*target->volume_info, "sda1").find("fast commits") != std::string::npos,
                  !applied)
            << what;
        EXPECT_EQ(target->volume_info->fast_commits != nullptr, applied) << what;
        // None of them or all: the first fast commit's file, the file the third removes.
        entry_match match;
        EXPECT_EQ(lookup_entry(*target, root_directory_inode, "new.txt", 7, match) == lookup_result::found, applied)
            << what;
        EXPECT_EQ(lookup_entry(*target, root_directory_inode, "gone.txt", 8, match) == lookup_result::found, !applied)
            << what;
    }
}

}  // namespace
