// Path lookups through the exports: deleted records, folders listed then copied file by file, and two threads.
#include "disk/byte_order.h"
#include "disk/partition.h"
#include "ext/folder_cache.h"
#include "ext/inode_cache.h"
#include "plugin_support.h"

#include <cstring>
#include <filesystem>
#include <fstream>
#include <thread>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

std::vector<char> c_string(const std::string& text)
{
    std::vector<char> bytes(text.begin(), text.end());
    bytes.push_back('\0');
    return bytes;
}

int get(const std::string& remote, const fs::path& local)
{
    std::vector<char> r = c_string(remote);
    std::vector<char> l = c_string(local.string());
    return FsGetFile(r.data(), l.data(), copy_flag_overwrite, nullptr);
}

std::string contents(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

class path_lookup_test : public scratch_test {};

using concurrent_lookup_test = path_lookup_test;

}  // namespace

TEST_F(path_lookup_test, a_deleted_record_named_like_a_live_file_does_not_hide_it)
{
    // The root directory of the small volume rewritten as ".", "..", a deleted "file.txt", then the live one.
    crafted_volume volume;
    uint32_t inode_size = read_le16(volume.block(1), 88);
    uint32_t table = read_le32(volume.block(2), 8);
    const uint8_t* root = volume.block(table) + inode_size;  // inode 2
    uint8_t* block = volume.block(read_le32(root, 40));
    uint32_t file_inode = 0;
    for (uint32_t at = 0; at + 8 <= 1024 && read_le16(block, at + 4) >= 8; at += read_le16(block, at + 4)) {
        if (block[at + 6] == 8 && std::memcmp(block + at + 8, "file.txt", 8) == 0)
            file_inode = read_le32(block, at);
    }
    ASSERT_NE(file_inode, 0u);
    auto put = [block](uint32_t at, uint32_t inode, uint16_t rec_len, const char* name, uint8_t type) {
        put_le32(block + at, inode);
        put_le16(block + at + 4, rec_len);
        block[at + 6] = static_cast<uint8_t>(std::strlen(name));
        block[at + 7] = type;
        std::memcpy(block + at + 8, name, std::strlen(name));
    };
    std::memset(block, 0, 1024);
    put(0, 2, 12, ".", 2);
    put(12, 2, 12, "..", 2);
    put(24, 0, 16, "file.txt", 1);
    put(40, file_inode, 1024 - 40, "file.txt", 1);

    memory_disk image(512, 8);
    image.set_entry(0, 1, 0x83, 8, static_cast<uint32_t>(volume.bytes.size() / 512));
    image.sign(0);
    image.place(8, volume.bytes);
    test_control::add_drive_memory(image.bytes);
    ASSERT_EQ(FsInit(0, nullptr, nullptr, nullptr), 0);

    EXPECT_EQ(list_names("/sda1"), std::vector<std::string>{"file.txt"});
    ASSERT_EQ(get("/sda1/file.txt", scratch / "copy"), file_result_ok);
    EXPECT_EQ(contents(scratch / "copy"), "a small volume\n");
}

TEST_F(path_lookup_test, a_folder_listed_then_copied_file_by_file_is_not_read_again)
{
    test_control::add_drive_file(fixture_path("main.img"));
    ASSERT_EQ(FsInit(0, nullptr, nullptr, nullptr), 0);
    std::vector<std::string> names = list_names("/sda5/many");
    ASSERT_EQ(names.size(), 300u);

    // Each file is one data block; the folder itself is six. Read again for each file, it would cost hundreds
    // of reads more.
    long before = drive_reads();
    for (const std::string& name : names) {
        ASSERT_EQ(get("/sda5/many/" + name, scratch / "copy"), file_result_ok) << name;
        ASSERT_EQ(contents(scratch / "copy"), contents(fixture_path("trees/main5/many/" + name))) << name;
    }
    EXPECT_LE(drive_reads() - before, static_cast<long>(names.size()) + 20);
    EXPECT_LE(folder_cache_count(), folder_cache_max_folders);
    EXPECT_LE(folder_cache_bytes(), folder_cache_max_bytes);
}

TEST_F(path_lookup_test, a_large_folder_is_listed_and_copied_reading_each_inode_table_piece_once)
{
    // 1100 files whose inodes spread over 35 groups, each group's table one piece; on disk their records lie in
    // hash order. With room for two pieces, a walk in record order would read a piece for nearly every file.
    std::vector<uint8_t> volume = read_file_bytes(fixture_path("volume_meta_bg.img"));
    memory_disk image(512, 2048);
    image.set_entry(0, 1, 0x83, 2048, static_cast<uint32_t>(volume.size() / 512));
    image.sign(0);
    image.place(2048, volume);
    test_control::add_drive_memory(image.bytes);
    size_t previous_budget = set_inode_cache_budget(2 * (inode_table_piece_bytes + 1024));
    ASSERT_EQ(FsInit(0, nullptr, nullptr, nullptr), 0);

    long before = drive_reads();
    std::vector<std::string> names = list_names("/sda1/many");
    long listing_reads = drive_reads() - before;
    before = drive_reads();
    for (const std::string& name : names) {
        ASSERT_EQ(get("/sda1/many/" + name, scratch / "copy"), file_result_ok) << name;
        ASSERT_EQ(contents(scratch / "copy"), contents(fixture_path("trees/meta_bg/many/" + name))) << name;
    }
    long copy_reads = drive_reads() - before;
    set_inode_cache_budget(previous_budget);
    ASSERT_EQ(names.size(), 1100u);
    // The folder's blocks and descriptors, and each group's table once; then the files' data blocks, a piece
    // again now and then.
    EXPECT_LE(listing_reads, 120);
    EXPECT_LE(copy_reads, 1100 + 80);
}

TEST_F(concurrent_lookup_test, two_threads_list_and_copy_at_once_with_right_answers)
{
    // One fixture disk served as two drives, one thread each: the threads share every cache, not a drive handle.
    // A tiny inode budget keeps the inode cache evicting while both threads use it.
    size_t previous_budget = set_inode_cache_budget(3 * (inode_table_piece_bytes + 1024));
    test_control::add_drive_file(fixture_path("main.img"));
    test_control::add_drive_file(fixture_path("main.img"));
    ASSERT_EQ(FsInit(0, nullptr, nullptr, nullptr), 0);
    std::vector<std::string> many = list_names("/sda5/many");
    std::vector<std::string> user = list_names("/sda1/home/user");
    std::vector<std::string> docs = list_names("/sda1/home/user/docs");
    ASSERT_EQ(many.size(), 300u);
    const std::string notes = contents(fixture_path("trees/main1/home/user/docs/notes.txt"));

    auto session = [&](char drive, std::string& fault) {
        std::string folder = std::string("/sd") + drive;
        for (int round = 0; round < 3 && fault.empty(); ++round) {
            if (list_names(folder + "5/many") != many || list_names(folder + "1/home/user") != user ||
                list_names(folder + "1/home/user/docs") != docs)
                fault = "a listing differs";
            fs::path local = scratch / (std::string("notes_") + drive);
            if (get(folder + "1/home/user/docs/notes.txt", local) != file_result_ok || contents(local) != notes)
                fault = "a copy differs";
            for (size_t i = static_cast<size_t>(round); i < many.size(); i += 7) {
                fs::path entry = scratch / (std::string("entry_") + drive);
                if (get(folder + "5/many/" + many[i], entry) != file_result_ok ||
                    contents(entry) != contents(fixture_path("trees/main5/many/" + many[i])))
                    fault = "a copy of " + many[i] + " differs";
            }
        }
    };
    std::string fault_a, fault_b;
    std::thread a(session, 'a', std::ref(fault_a));
    std::thread b(session, 'b', std::ref(fault_b));
    a.join();
    b.join();
    set_inode_cache_budget(previous_budget);
    EXPECT_EQ(fault_a, "");
    EXPECT_EQ(fault_b, "");
    EXPECT_LE(inode_cache_bytes(), inode_cache_budget);
}

TEST_F(path_lookup_test, the_folder_cache_keeps_to_its_bounds_and_forgets_a_partition)
{
    ext_volume first, second;
    auto listing_of = [](size_t name_bytes) {
        auto listing = std::make_shared<dir_listing>();
        listing->names.assign(name_bytes, 'n');
        listing->entries.push_back(dir_entry{2, 0, 12, 1, file_type_directory});
        return shared_listing(listing);
    };
    for (uint32_t directory = 1; directory <= 2 * folder_cache_max_folders; ++directory) {
        cache_folder(first, directory, listing_of(100));
        EXPECT_LE(folder_cache_count(), folder_cache_max_folders);
    }
    // The least recently used went first; a hit makes a folder the most recent.
    EXPECT_FALSE(cached_folder(first, 1));
    ASSERT_TRUE(cached_folder(first, folder_cache_max_folders + 1));
    cache_folder(second, 1, listing_of(100));
    EXPECT_TRUE(cached_folder(first, folder_cache_max_folders + 1));
    EXPECT_FALSE(cached_folder(first, folder_cache_max_folders + 2));
    EXPECT_FALSE(cached_folder(second, 2));

    // Bytes: large listings push the others out, and one larger than the whole budget is not kept.
    for (uint32_t directory = 1; directory <= 8; ++directory) {
        cache_folder(first, directory, listing_of(folder_cache_max_bytes / 5));
        EXPECT_LE(folder_cache_bytes(), folder_cache_max_bytes);
    }
    cache_folder(first, 100, listing_of(folder_cache_max_bytes));
    EXPECT_FALSE(cached_folder(first, 100));

    cache_folder(second, 2, listing_of(100));
    forget_folders(first);
    EXPECT_FALSE(cached_folder(first, 8));
    EXPECT_TRUE(cached_folder(second, 2));
    forget_folders(second);
    EXPECT_FALSE(cached_folder(second, 2));
}

TEST_F(path_lookup_test, a_name_that_leads_to_a_reserved_or_unlinked_inode_is_listed_but_never_opens)
{
    // Names debugfs adds for the journal's inode (a regular file of the journal's bytes), the resize inode and
    // the bad-blocks inode, and a file and a folder whose link counts it sets to 0: Linux lists them and refuses
    // each by name (as corruption, or as deleted), so no copy is made of what they hold, and none is entered.
    fs::path image = scratch / "main.img";
    fs::copy_file(fixture_path("main.img"), image);
    std::string volume =
        image.string() + "?offset=" + std::to_string(static_cast<uint64_t>(read_layout("main.img").at(0).start) * 512);
    run_command("debugfs -w -f - '" + volume + "' >/dev/null 2>&1 <<'CMDS'\nln <8> journal_alias\n"
                "ln <7> resize_alias\nln <1> bad_blocks_alias\nsif one_byte.bin links_count 0\n"
                "sif empty_dir links_count 0\nCMDS");
    test_control::add_drive_file(image.string());
    ASSERT_EQ(FsInit(0, nullptr, nullptr, nullptr), 0);
    std::map<std::string, listed_entry> root = list_entries("/sda1");
    for (const char* name : {"journal_alias", "resize_alias", "bad_blocks_alias", "one_byte.bin", "empty_dir"}) {
        ASSERT_TRUE(root.count(name)) << name;
        EXPECT_EQ(root[name].attributes & FILE_ATTRIBUTE_DIRECTORY, 0u) << name;
        EXPECT_EQ(root[name].size, 0u) << name;
        EXPECT_EQ(get(std::string("/sda1/") + name, scratch / "copy"), file_result_read_error) << name;
        EXPECT_FALSE(fs::exists(scratch / "copy")) << name;
        EXPECT_EQ(list_names(std::string("/sda1/") + name), std::vector<std::string>{"<invalid>"}) << name;
    }
    EXPECT_EQ(get("/sda1/hello.txt", scratch / "hello"), file_result_ok);
}
