// Linux columns, properties and background copies through the exports, against volumes mke2fs builds from a tree.
#include "plugin/exports.h"
#include "plugin/owner_names.h"
#include "plugin_support.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <mutex>
#include <thread>
#include <sys/stat.h>

namespace fs = std::filesystem;

namespace {

std::string command_output(const std::string& command)
{
    std::string out;
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr)
        return out;
    char buffer[4096];
    while (size_t n = std::fread(buffer, 1, sizeof buffer, pipe))
        out.append(buffer, n);
    pclose(pipe);
    return out;
}

// The number after "key" in debugfs or dumpe2fs output (hex after "0x"); -1 when absent.
long long number_after(const std::string& text, const std::string& key)
{
    size_t at = text.find(key);
    if (at == std::string::npos)
        return -1;
    return std::strtoll(text.c_str() + at + key.size(), nullptr, 0);
}

std::string contents(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// A tree with names for some owners in its own etc/passwd and etc/group and not for others, special permission
// bits, short and long links, a sparse file and two large files; drive sda is that tree as ext4 (labelled, with a
// fixed UUID), drive sdb the same as ext2 marked not cleanly unmounted, drive sdc an encrypted container.
class fields_test : public scratch_test {
protected:
    void SetUp() override
    {
        scratch_test::SetUp();
        tree = scratch / "tree";
        std::string t = tree.string();
        std::string script =
            "set -e; t='" + t + "'; mkdir -p \"$t/etc\" \"$t/home/alice\" \"$t/tmp\"\n"
            "printf 'root:x:0:0:root:/root:/bin/sh\\n# comment\\nbroken line\\nalice:x:1000:1000::/home/alice:/bin/sh\\n"
            "shadow:x:1000:1000::/:/bin/false\\n' > \"$t/etc/passwd\"\n"
            "printf 'root:x:0:\\nstaff:x:1000:alice\\n' > \"$t/etc/group\"\n"
            "printf 'hello' > \"$t/home/alice/notes\"; chown 1000:1000 \"$t/home/alice\" \"$t/home/alice/notes\"\n"
            "printf 'x' > \"$t/setuid\"; chown 1234:4321 \"$t/setuid\"; chmod 4755 \"$t/setuid\"\n"
            "printf 'y' > \"$t/setgid\"; chmod 2640 \"$t/setgid\"; chmod 1777 \"$t/tmp\"\n"
            "ln -s home/alice/notes \"$t/short_link\"; ln -s \"$(printf 'a%.0s' $(seq 1 100))\" \"$t/long_link\"\n"
            "ln \"$t/setgid\" \"$t/hard\"; truncate -s 1M \"$t/sparse\"; printf z | dd of=\"$t/sparse\" bs=1 seek=8192 "
            "conv=notrunc status=none\n"
            "head -c 8M /dev/urandom > \"$t/one.bin\"; head -c 8M /dev/urandom > \"$t/two.bin\"\n"
            "d='" + scratch.string() + "'\n"
            "mke2fs -q -F -t ext4 -b 4096 -I 256 -L tarnlabel -U 01234567-89ab-cdef-0123-456789abcdef -d \"$t\" "
            "\"$d/ext4.img\" 48M\n"
            "mke2fs -q -F -t ext2 -b 1024 -I 128 -d \"$t\" \"$d/ext2.img\" 48M\n"
            "debugfs -w -R 'ssv state 0' \"$d/ext2.img\" 2>/dev/null\n"
            "truncate -s 4M \"$d/luks.img\"; printf 'LUKS\\272\\276\\000\\002' | dd of=\"$d/luks.img\" conv=notrunc "
            "status=none\n";
        ASSERT_EQ(std::system(("bash -c " + quoted(script)).c_str()), 0);
        test_control::add_drive_file((scratch / "ext4.img").string());
        test_control::add_drive_file((scratch / "ext2.img").string());
        test_control::add_drive_file((scratch / "luks.img").string());
        ASSERT_EQ(FsInit(0, progress, nullptr, request), 0);
        requests.clear();
    }

    static std::string quoted(const std::string& text)
    {
        std::string out = "'";
        for (char c : text)
            out += c == '\'' ? std::string("'\\''") : std::string(1, c);
        return out + "'";
    }

    static int TARNWICK_CALL progress(int, char* source, char*, int percent)
    {
        return abort_name.load() != nullptr && std::strstr(source, abort_name.load()) != nullptr && percent > 0;
    }

    static BOOL TARNWICK_CALL request(int, int type, char* title, char* text, char*, int)
    {
        std::lock_guard<std::mutex> guard(request_lock);
        requests.push_back({type, std::string(title) + "\n" + text});
        return TRUE;
    }

    // A field as text: strings as they are, numbers in decimal, times as seconds since 1970; "<empty>" or
    // "<error N>" when there is no value.
    static std::string value(const std::string& path, int field)
    {
        std::vector<char> name(path.begin(), path.end());
        name.push_back('\0');
        union {
            char text[1024];
            int32_t n32;
            int64_t n64;
            FILETIME time;
        } out{};
        int type = FsContentGetValue(name.data(), field, 0, &out, sizeof out, 0);
        switch (type) {
        case ft_string: return out.text;
        case ft_numeric_32: return std::to_string(out.n32);
        case ft_numeric_64: return std::to_string(out.n64);
        case ft_datetime: return std::to_string(unix_seconds(out.time));
        case ft_fieldempty: return "<empty>";
        }
        return "<error " + std::to_string(type) + ">";
    }

    static int field_index(const std::string& wanted)
    {
        char name[64], units[64];
        for (int i = 0;; ++i) {
            int type = FsContentGetSupportedField(i, name, units, sizeof name);
            if (type == ft_nomorefields)
                return -1;
            if (wanted == name)
                return i;
        }
    }

    static std::string field(const std::string& path, const std::string& name) { return value(path, field_index(name)); }

    static int execute(const std::string& path, const char* verb)
    {
        std::vector<char> name(path.begin(), path.end());
        name.push_back('\0');
        std::string v = verb;
        return FsExecuteFile(nullptr, name.data(), v.data());
    }

    fs::path tree;
    static inline std::atomic<const char*> abort_name{nullptr};
    static inline std::mutex request_lock;
    static inline std::vector<std::pair<int, std::string>> requests;
};

}  // namespace

TEST_F(fields_test, every_entry_shows_the_fields_debugfs_and_ls_give)
{
    std::map<uint32_t, std::string> users = {{0, "root"}, {1000, "alice"}};
    std::map<uint32_t, std::string> groups = {{0, "root"}, {1000, "staff"}};
    for (const char* drive : {"sda", "sdb"}) {
        std::string image = (scratch / (drive == std::string("sda") ? "ext4.img" : "ext2.img")).string();
        size_t checked = 0;
        for (auto it = fs::recursive_directory_iterator(tree); it != fs::recursive_directory_iterator(); ++it) {
            std::string relative = "/" + it->path().lexically_relative(tree).string();
            std::string path = std::string("/") + drive + relative;
            struct stat source {};
            lstat(it->path().c_str(), &source);
            auto name_of = [](const std::map<uint32_t, std::string>& names, uint32_t id) {
                return names.count(id) ? names.at(id) : std::to_string(id);
            };
            EXPECT_EQ(field(path, "Owner"), name_of(users, source.st_uid)) << path;
            EXPECT_EQ(field(path, "Group"), name_of(groups, source.st_gid)) << path;
            std::string ls = command_output("stat -c %A '" + it->path().string() + "'");
            EXPECT_EQ(field(path, "Permissions") + "\n", ls) << path;
            std::string stat = command_output("debugfs -R 'stat \"" + relative + "\"' '" + image + "' 2>/dev/null");
            EXPECT_EQ(field(path, "Inode"), std::to_string(number_after(stat, "Inode: "))) << path;
            EXPECT_EQ(field(path, "Links"), std::to_string(number_after(stat, "Links: "))) << path;
            EXPECT_EQ(field(path, "Allocated"), std::to_string(number_after(stat, "Blockcount: ") * 512)) << path;
            EXPECT_EQ(field(path, "Changed"), std::to_string(number_after(stat, "ctime: "))) << path;
            long long created = number_after(stat, "crtime: ");
            EXPECT_EQ(field(path, "Created"), created < 0 ? "<empty>" : std::to_string(created)) << path;
            std::string target = it->is_symlink() ? fs::read_symlink(it->path()).string() : "<empty>";
            EXPECT_EQ(field(path, "Link target"), target) << path;
            EXPECT_EQ(field(path, "File system"), "<empty>") << path;
            ++checked;
        }
        EXPECT_GT(checked, 12u);
    }
    // A sparse file has less space than its size; a missing entry or field is told apart from an empty one.
    EXPECT_LT(std::stoll(field("/sda/sparse", "Allocated")), 1 << 20);
    EXPECT_EQ(value("/sda/absent", field_index("Owner")), "<error " + std::to_string(ft_fileerror) + ">");
    EXPECT_EQ(value("/sda/setuid", 99), "<error " + std::to_string(ft_nosuchfield) + ">");
}

TEST_F(fields_test, volume_folders_show_their_file_system_as_dumpe2fs_does)
{
    for (const char* drive : {"sda", "sdb"}) {
        bool ext4 = drive == std::string("sda");
        std::string dump = command_output("dumpe2fs -h '" + (scratch / (ext4 ? "ext4.img" : "ext2.img")).string() +
                                          "' 2>/dev/null");
        std::string folder = std::string("/") + drive;
        long long block_size = number_after(dump, "Block size:");
        EXPECT_EQ(field(folder, "File system"), ext4 ? "ext4" : "ext2");
        EXPECT_EQ(field(folder, "Volume size"), std::to_string(number_after(dump, "Block count:") * block_size));
        EXPECT_EQ(field(folder, "Free space"), std::to_string(number_after(dump, "Free blocks:") * block_size));
        EXPECT_EQ(field(folder, "State"), ext4 ? "clean" : "not cleanly unmounted");
        EXPECT_EQ(field(folder, "Label"), ext4 ? "tarnlabel" : "<empty>");
        size_t uuid = dump.find("Filesystem UUID:");
        ASSERT_NE(uuid, std::string::npos);
        EXPECT_NE(dump.find(field(folder, "UUID"), uuid), std::string::npos);
        EXPECT_EQ(field(folder, "Inode"), "2");
    }
    EXPECT_EQ(field("/sda", "UUID"), "01234567-89ab-cdef-0123-456789abcdef");
}

TEST_F(fields_test, properties_come_through_the_request_callback_and_open_is_left_to_the_host)
{
    EXPECT_EQ(execute("/sda/setuid", "open"), exec_yourself);
    EXPECT_EQ(execute("/sda/absent", "properties"), exec_error);
    EXPECT_EQ(execute("/sda/setuid", "chmod 777"), exec_error);
    EXPECT_TRUE(requests.empty());

    ASSERT_EQ(execute("/sda/setuid", "properties"), exec_ok);
    ASSERT_EQ(execute("/sda/home/alice/notes", "properties"), exec_ok);
    ASSERT_EQ(execute("/sdb", "properties"), exec_ok);
    ASSERT_EQ(execute("/", "properties"), exec_ok);
    ASSERT_EQ(requests.size(), 4u);
    for (const auto& [type, text] : requests)
        EXPECT_EQ(type, request_message_ok);
    EXPECT_NE(requests[0].second.find("Owner: 1234\nGroup: 4321\nPermissions: -rwsr-xr-x (4755)"), std::string::npos)
        << requests[0].second;
    EXPECT_NE(requests[1].second.find("Owner: alice (1000)\nGroup: staff (1000)"), std::string::npos);
    EXPECT_NE(requests[2].second.find("File system: ext2"), std::string::npos);
    EXPECT_NE(requests[2].second.find("State: not cleanly unmounted"), std::string::npos);
    EXPECT_NE(requests[3].second.find("  sda: ext4"), std::string::npos) << requests[3].second;
    EXPECT_NE(requests[3].second.find("  sdb: ext2"), std::string::npos);
    EXPECT_NE(requests[3].second.find("  sdc: encrypted (LUKS)"), std::string::npos);
}

TEST(owner_names, name_files_keep_the_first_name_of_each_number_and_skip_malformed_lines)
{
    auto names = parse_name_file("root:x:0:0\n:x:5:\nbad\nnum:x:12a:\nwide:x:99999999999:\nfirst:x:7:\nsecond:x:7:");
    EXPECT_EQ(names, (std::unordered_map<uint32_t, std::string>{{0, "root"}, {7, "first"}}));
    std::string many;
    for (size_t i = 0; i < owner_names_limit + 10; ++i)
        many += "u" + std::to_string(i) + ":x:" + std::to_string(i) + ":\n";
    EXPECT_EQ(parse_name_file(many).size(), owner_names_limit);
}

// Copies as a host runs them in background threads: two at once, with listings between, each with its own
// progress and abort.
TEST_F(fields_test, two_background_copies_run_at_once_and_abort_alone)
{
    ASSERT_EQ(FsGetBackgroundFlags() & background_download, background_download);
    test_control::delay_reads(20);
    for (bool abort_second : {false, true}) {
        abort_name = abort_second ? "two.bin" : nullptr;
        fs::path first = scratch / "first", second = scratch / "second";
        fs::remove(first);
        fs::remove(second);
        int first_result = -1, second_result = -1;
        std::atomic<bool> copying{true};
        std::thread lister([&] {
            while (copying)
                EXPECT_EQ(list_entries("/sda").count("one.bin"), 1u);
        });
        std::thread a([&] { first_result = copy_out("/sda/one.bin", first.string()); });
        std::thread b([&] { second_result = copy_out("/sdb/two.bin", second.string()); });
        a.join();
        b.join();
        copying = false;
        lister.join();
        EXPECT_EQ(first_result, file_result_ok);
        EXPECT_TRUE(contents(first) == contents(tree / "one.bin"));
        if (abort_second) {
            EXPECT_EQ(second_result, file_result_aborted);
            EXPECT_FALSE(fs::exists(second));
        } else {
            EXPECT_EQ(second_result, file_result_ok);
            EXPECT_TRUE(contents(second) == contents(tree / "two.bin"));
        }
    }
    test_control::delay_reads(0);
    abort_name = nullptr;
}
