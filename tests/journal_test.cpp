// Volumes left with committed transactions in their journals, browsed and copied through the exports: they must
// read as e2fsck leaves a copy of them after replaying the journal, and as they are on disk when the journal does
// not check out; the host's log is told, once per volume, when not all of a journal is applied.
#include "disk/byte_order.h"
#include "plugin/exports.h"
#include "plugin/host_text.h"
#include "plugin_support.h"

#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <thread>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

class journal_test : public scratch_test {
protected:
    static int TARNWICK_CALL progress(int, char*, char*, int) { return 0; }
    static int TARNWICK_CALL progress_w(int, WCHAR*, WCHAR*, int) { return 0; }

    // The log lines the plugin sent since the test began: message type and text.
    static std::vector<std::pair<int, std::string>> logged()
    {
        std::lock_guard<std::mutex> guard(log_lock);
        return log_lines;
    }
    static void TARNWICK_CALL on_log(int, int type, char* text)
    {
        std::lock_guard<std::mutex> guard(log_lock);
        log_lines.emplace_back(type, text);
    }
    static void TARNWICK_CALL on_log_w(int, int type, WCHAR* text)
    {
        std::lock_guard<std::mutex> guard(log_lock);
        log_lines.emplace_back(type, utf8_from_wide(text, wide_length(text, 4096)));
    }
    void SetUp() override
    {
        scratch_test::SetUp();
        std::lock_guard<std::mutex> guard(log_lock);
        log_lines.clear();
    }

    // The log lines about a partition folder ("sda1: ...").
    static std::vector<std::string> lines_about(const std::string& folder)
    {
        std::vector<std::string> about;
        for (const auto& [type, text] : logged())
            if (text.rfind(folder + ":", 0) == 0)
                about.push_back(text);
        return about;
    }

    // Name -> size of every entry of a folder but the parent placeholder; -1 for a folder.
    static std::map<std::string, int64_t> list(const std::string& path)
    {
        std::map<std::string, int64_t> entries;
        for (const auto& [name, entry] : list_entries(path))
            if (name != "..")
                entries[name] = (entry.attributes & 16) != 0 ? -1 : static_cast<int64_t>(entry.size);
        return entries;
    }

    // The content of a file copied out, or "<result N>" when the copy fails.
    std::string copy(const std::string& remote)
    {
        fs::path local = scratch / ("copy" + std::to_string(copies++));
        std::vector<char> r(remote.begin(), remote.end());
        r.push_back('\0');
        std::string l = local.string();
        std::vector<char> lv(l.begin(), l.end());
        lv.push_back('\0');
        int result = FsGetFile(r.data(), lv.data(), 0, nullptr);
        if (result != file_result_ok)
            return "<result " + std::to_string(result) + ">";
        std::ifstream in(local, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }

    static std::string contents(const fs::path& path)
    {
        std::ifstream in(path, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }

    // Lists every folder under the partition folder and copies every file, against a source tree.
    void expect_reads_as(const std::string& folder, const fs::path& tree, const std::string& label)
    {
        std::vector<fs::path> folders{tree};
        for (size_t i = 0; i < folders.size(); ++i) {
            std::string relative = folders[i] == tree ? "" : "/" + folders[i].lexically_relative(tree).string();
            std::map<std::string, int64_t> expected;
            for (const fs::directory_entry& entry : fs::directory_iterator(folders[i])) {
                expected[entry.path().filename().string()] =
                    entry.is_directory() ? -1 : static_cast<int64_t>(entry.file_size());
                if (entry.is_directory())
                    folders.push_back(entry.path());
                else
                    EXPECT_TRUE(copy(folder + relative + "/" + entry.path().filename().string()) ==
                                contents(entry.path()))
                        << label << relative << "/" << entry.path().filename();
            }
            std::map<std::string, int64_t> listed = list(folder + relative);
            if (relative.empty())
                listed.erase("lost+found");
            EXPECT_EQ(listed, expected) << label << relative;
        }
    }

    // What e2fsck makes of a copy of one partition of an image: it replays the journal (or finds it unusable and
    // drops it), and nothing more; then debugfs dumps the tree.
    fs::path e2fsck_tree(const fs::path& image, const layout_entry& part)
    {
        std::string name = "part" + std::to_string(part.number);
        std::vector<uint8_t> bytes = read_file_bytes(image.string(), static_cast<uint64_t>(part.start) * 512,
                                                     static_cast<uint64_t>(part.size) * 512);
        std::ofstream(scratch / (name + ".img"), std::ios::binary)
            .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
        fs::path tree = scratch / (name + "_tree");
        fs::create_directory(tree);
        std::string volume = (scratch / (name + ".img")).string();
        run_command("e2fsck -E journal_only -y '" + volume + "' >/dev/null 2>&1; debugfs -R 'rdump / " +
                    tree.string() + "' '" + volume + "' >/dev/null 2>&1");
        fs::remove(tree / "lost+found");
        return tree;
    }

    int copies = 0;
    static std::mutex log_lock;
    static std::vector<std::pair<int, std::string>> log_lines;
};

std::mutex journal_test::log_lock;
std::vector<std::pair<int, std::string>> journal_test::log_lines;

TEST_F(journal_test, every_volume_reads_as_its_replayed_copy)
{
    test_control::add_drive_file(fixture_path("journal.img"));
    ASSERT_EQ(FsInit(0, progress, nullptr, nullptr), 0);
    std::vector<layout_entry> layout = read_layout("journal.img");
    ASSERT_EQ(layout.size(), 3u);
    for (const layout_entry& part : layout) {
        fs::path tree = fixture_path("trees/" + part.tree);
        // Only from the journal: a file in a folder whose directory block is logged, and a logged block that
        // began with the journal's magic.
        ASSERT_TRUE(fs::exists(tree / "dir/new.txt") && fs::exists(tree / "escaped.bin")) << part.tree;
        expect_reads_as("/sda" + std::to_string(part.number), tree, part.tree);
    }
    // Partition 3's transaction 3 has a logged block that fails its checksum, and transaction 4 comes after it:
    // e2fsck leaves out that block alone. Partition 1's transaction 3 fails its commit checksum: e2fsck stops
    // there, before transaction 4.
    std::string later = contents(fixture_path("trees/journal3/changed.bin"));
    EXPECT_EQ(later.rfind("later3", 0), 0u);
    EXPECT_EQ(contents(fixture_path("trees/journal3/hello.txt")), "before the crash\n");
    EXPECT_NE(contents(fixture_path("trees/journal1/changed.bin")).rfind("later1", 0), 0u);
}

TEST_F(journal_test, a_journal_inode_that_is_gone_is_found_through_the_superblock_copy_as_e2fsck_finds_it)
{
    // Inode 8 cleared on every volume. e2fsck then reads the copy of its map that the superblock keeps, as a block
    // map: that finds the journal of the ext3 volume (2) and not those of the ext4 ones, whose copies are the roots
    // of extent trees, so those are dropped without a replay.
    fs::path image = scratch / "journal.img";
    fs::copy_file(fixture_path("journal.img"), image);
    std::vector<layout_entry> layout = read_layout("journal.img");
    for (const layout_entry& part : layout) {
        std::string volume = image.string() + "?offset=" + std::to_string(static_cast<uint64_t>(part.start) * 512);
        run_command("debugfs -w -R 'clri <8>' '" + volume + "' >/dev/null 2>&1");
        std::string stat = run_command("debugfs -R 'stat <8>' '" + volume + "' 2>/dev/null");
        ASSERT_NE(stat.find("Links: 0"), std::string::npos) << part.tree;
    }
    test_control::add_drive_file(image.string());
    ASSERT_EQ(FsInit(0, progress, on_log, nullptr), 0);
    for (const layout_entry& part : layout) {
        fs::path tree = e2fsck_tree(image, part);
        ASSERT_TRUE(fs::exists(tree / "hello.txt")) << part.tree;
        ASSERT_EQ(fs::exists(tree / "dir/new.txt"), part.number == 2) << part.tree;
        expect_reads_as("/sda" + std::to_string(part.number), tree, part.tree);
    }
    // The volumes whose journals are lost say so.
    for (const layout_entry& part : layout) {
        std::vector<std::string> lines = lines_about("sda" + std::to_string(part.number));
        if (part.number == 2) {
            EXPECT_TRUE(lines.empty()) << lines.front();
        } else {
            ASSERT_EQ(lines.size(), 1u) << part.tree;
            EXPECT_NE(lines[0].find("could not be replayed"), std::string::npos) << lines[0];
        }
    }
}

TEST_F(journal_test, a_journal_that_does_not_check_out_leaves_the_volume_as_it_is_on_disk)
{
    std::vector<uint8_t> image = read_file_bytes(fixture_path("journal.img"));
    std::vector<layout_entry> layout = read_layout("journal.img");
    for (const layout_entry& part : layout) {
        // The journal superblock's magic, found where debugfs says the journal begins.
        uint64_t offset = static_cast<uint64_t>(part.start) * 512;
        std::string image_path = fixture_path("journal.img") + "?offset=" + std::to_string(offset);
        std::string block = run_command("debugfs -R 'bmap <8> 0' '" + image_path + "' 2>/dev/null");
        uint32_t block_size = 1024u << read_le32(image.data() + offset + 1024, 24);
        ASSERT_FALSE(block.empty());
        image[offset + std::stoull(block) * block_size] ^= 0xFF;
    }
    test_control::add_drive_memory(image);
    ASSERT_EQ(FsInit(0, progress, on_log, nullptr), 0);
    for (const layout_entry& part : layout) {
        std::string folder = "/sda" + std::to_string(part.number);
        EXPECT_TRUE(lines_about(folder.substr(1)).empty()) << "told before the volume was entered";
        std::map<std::string, int64_t> root = list(folder);
        EXPECT_TRUE(root.count("hello.txt") && !root.count("escaped.bin")) << part.tree;
        std::map<std::string, int64_t> dir = list(folder + "/dir");
        EXPECT_EQ(dir.size(), 30u) << part.tree;
        EXPECT_FALSE(dir.count("new.txt")) << part.tree;
        std::string changed = copy(folder + "/changed.bin");
        fs::path replayed = fixture_path("trees/" + part.tree + "/changed.bin");
        EXPECT_EQ(changed.size(), fs::file_size(replayed)) << part.tree;
        EXPECT_FALSE(changed == contents(replayed)) << part.tree;
        std::vector<std::string> lines = lines_about(folder.substr(1));
        ASSERT_EQ(lines.size(), 1u) << part.tree;
        EXPECT_NE(lines[0].find("not cleanly unmounted"), std::string::npos) << lines[0];
        EXPECT_NE(lines[0].find("superblock does not check out"), std::string::npos) << lines[0];
    }
}

TEST_F(journal_test, a_volume_whose_journal_is_not_all_applied_is_listed_and_the_log_told_once)
{
    test_control::add_drive_file(fixture_path("journal.img"));
    ASSERT_EQ(FsInit(0, progress, on_log, nullptr), 0);
    // Threads enter the three volumes at once, each over and over: each volume is told of once, and only those
    // whose journals were not all applied (1: a commit block that fails its checksum, 3: a logged block that
    // does), as the host's important errors.
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([] {
            for (int n : {1, 2, 3})
                for (const char* below : {"", "/dir", ""})
                    EXPECT_FALSE(list("/sda" + std::to_string(n) + below).empty());
        });
    for (std::thread& thread : threads)
        thread.join();
    EXPECT_TRUE(lines_about("sda2").empty());
    std::vector<std::string> first = lines_about("sda1");
    ASSERT_EQ(first.size(), 1u);
    EXPECT_NE(first[0].find("not cleanly unmounted"), std::string::npos) << first[0];
    EXPECT_NE(first[0].find("transaction 3 fails its commit checksum"), std::string::npos) << first[0];
    std::vector<std::string> third = lines_about("sda3");
    ASSERT_EQ(third.size(), 1u);
    uint64_t third_start = static_cast<uint64_t>(read_layout("journal.img").at(2).start) * 512;
    std::string hello = run_command("debugfs -R 'bmap hello.txt 0' '" + fixture_path("journal.img") + "?offset=" +
                                    std::to_string(third_start) + "' 2>/dev/null");
    ASSERT_FALSE(hello.empty());
    hello.erase(hello.find_last_not_of("\n") + 1);
    EXPECT_NE(third[0].find("1 block logged in transaction 3 (volume block " + hello + ")"), std::string::npos)
        << third[0];
    for (const auto& [type, text] : logged())
        EXPECT_EQ(type, log_important_error) << text;

    // A copy alone tells too, through the wide callback of a host that started the plugin with FsInitW.
    ASSERT_EQ(FsInitW(0, progress_w, on_log_w, nullptr), 0);
    EXPECT_EQ(copy("/sda3/hello.txt"), "before the crash\n");
    EXPECT_EQ(copy("/sda3/hello.txt"), "before the crash\n");
    EXPECT_EQ(lines_about("sda3").size(), 2u);
    EXPECT_EQ(logged().back().second, third[0]);
}

}  // namespace

TEST_F(journal_test, through_the_superblock_copy_a_journal_with_transactions_is_replayed_and_one_that_fails_told)
{
    // volume_backup.img: 1 KiB blocks in two groups and an empty journal, into which debugfs logs a new first block
    // for hello.txt (never written in place). With the primary superblock zeroed the volume is read through group
    // 1's copy, whose flags are as old as the copy and ask for no recovery: e2fsck runs a journal that holds
    // transactions anyway. Then the same with the journal's superblock damaged, which nothing can replay.
    fs::path volume = scratch / "volume.img";
    fs::copy_file(fixture_path("volume_backup.img"), volume);
    auto block_of = [&](const std::string& what) {
        std::string block = run_command("debugfs -R 'bmap " + what + " 0' '" + volume.string() + "' 2>/dev/null");
        EXPECT_FALSE(block.empty()) << what;
        return block.empty() ? uint64_t{0} : std::stoull(block);
    };
    uint64_t hello = block_of("hello.txt"), journal = block_of("<8>");
    std::string logged = "from the journal\n";
    std::ofstream(scratch / "block.bin", std::ios::binary) << logged << std::string(1024 - logged.size(), '\0');
    run_command("debugfs -w -f - '" + volume.string() + "' >/dev/null 2>&1 <<'CMDS'\njo\njw -b " +
                std::to_string(hello) + " " + (scratch / "block.bin").string() + "\njc\nCMDS");
    std::vector<uint8_t> logged_volume = read_file_bytes(volume.string());
    std::fill(logged_volume.begin() + 1024, logged_volume.begin() + 2048, uint8_t{0});

    for (bool damaged : {false, true}) {
        SCOPED_TRACE(damaged ? "journal superblock damaged" : "journal intact");
        std::vector<uint8_t> bytes = logged_volume;
        if (damaged)
            bytes[journal * 1024] ^= 0xFF;
        test_control::reset();
        test_control::use_no_drives();
        FsInit(0, progress, on_log, nullptr);
        {
            std::lock_guard<std::mutex> guard(log_lock);
            log_lines.clear();
        }
        test_control::reset();
        test_control::add_drive_memory(bytes);
        ASSERT_EQ(FsInit(0, progress, on_log, nullptr), 0);
        std::string copied = copy("/sda/hello.txt");
        std::vector<std::string> lines = lines_about("sda");
        if (!damaged) {
            EXPECT_EQ(copied.substr(0, logged.size()), logged);
            EXPECT_TRUE(lines.empty()) << lines.front();
        } else {
            EXPECT_EQ(copied, contents(fixture_path("trees/rescue2/hello.txt")));
            ASSERT_EQ(lines.size(), 1u);
            EXPECT_NE(lines[0].find("superblock does not check out"), std::string::npos) << lines[0];
        }
    }
}
