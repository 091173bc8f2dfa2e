// The wide exports, and the names a host is shown under either platform's rules: listed, found again and copied
// into the target folder only.
#include "plugin/exports.h"
#include "plugin/host_text.h"
#include "plugin/plugin_context.h"
#include "platform/test_control.h"
#include "plugin_support.h"

#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

const std::string utf8_name = "gr\xc3\xbc\xc3\x9f" "e-\xe6\x97\xa5\xe6\x9c\xac-\xf0\x9f\x98\x80.txt";

class unicode_names_test : public scratch_test {
protected:
    void SetUp() override
    {
        scratch_test::SetUp();
        test_control::add_drive_file(fixture_path("main.img"));
        test_control::add_drive_file(fixture_path("names.img"));
        ASSERT_EQ(FsInitW(0, progress, nullptr, nullptr), 0);
        fs::create_directories(scratch / "target");
        last_percent = -1;
    }

    static int TARNWICK_CALL progress(int, WCHAR*, WCHAR*, int percent)
    {
        last_percent = percent;
        return 0;
    }

    static wide_string wide(const std::string& utf8) { return wide_from_utf8(utf8); }

    // Name (UTF-8) to folder flag, through the wide or the ANSI exports.
    static std::map<std::string, bool> list(const std::string& path, host_text_kind kind)
    {
        std::map<std::string, bool> names;
        if (kind == host_text_kind::wide) {
            wide_string host_path = wide(path);
            WIN32_FIND_DATAW record;
            HANDLE handle = FsFindFirstW(host_path.data(), &record);
            if (handle == INVALID_HANDLE_VALUE)
                return names;
            do {
                std::string name = utf8_from_wide(record.cFileName, wide_length(record.cFileName, MAX_PATH));
                names[name] = (record.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
            } while (FsFindNextW(handle, &record));
            FsFindClose(handle);
        } else {
            std::string host_path = path;
            WIN32_FIND_DATAA record;
            HANDLE handle = FsFindFirst(host_path.data(), &record);
            if (handle == INVALID_HANDLE_VALUE)
                return names;
            do
                names[record.cFileName] = (record.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
            while (FsFindNext(handle, &record));
            FsFindClose(handle);
        }
        return names;
    }

    static int get(const std::string& remote, const fs::path& local, host_text_kind kind, int flags = 0)
    {
        std::string local_utf8 = local.string();
        if (kind == host_text_kind::wide) {
            wide_string r = wide(remote);
            wide_string l = wide(local_utf8);
            return FsGetFileW(r.data(), l.data(), flags, nullptr);
        }
        std::string r = remote;
        return FsGetFile(r.data(), local_utf8.data(), flags, nullptr);
    }

    // base, "/." components (and an empty one where a unit is left over), then "/" and tail: a path of units
    // characters (ASCII only) that names what base + "/" + tail names.
    static std::string padded_path(std::string base, const std::string& tail, size_t units)
    {
        while (base.size() + 1 + tail.size() < units)
            base += base.size() + 2 + 1 + tail.size() <= units ? "/." : "/";
        std::string path = base + "/" + tail;
        EXPECT_EQ(path.size(), units);
        return path;
    }

    static std::string contents(const fs::path& path)
    {
        std::ifstream in(path, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }

    static inline int last_percent = -1;
};

TEST_F(unicode_names_test, wide_exports_list_and_copy_utf8_names_exactly)
{
    WIN32_FIND_DATAW record;
    wide_string root = wide("/sda1");
    HANDLE handle = FsFindFirstW(root.data(), &record);
    ASSERT_NE(handle, INVALID_HANDLE_VALUE);
    bool seen = false;
    do {
        if (std::u16string(reinterpret_cast<const char16_t*>(record.cFileName)) ==
            u"gr\u00fc\u00dfe-\u65e5\u672c-\U0001F600.txt") {
            seen = true;
            EXPECT_EQ(record.nFileSizeLow, 11u);
            EXPECT_EQ(record.dwFileAttributes, 0x80000000u | FILE_ATTRIBUTE_NORMAL);
        }
    } while (FsFindNextW(handle, &record));
    FsFindClose(handle);
    EXPECT_TRUE(seen);

    // The root's partition folders come through the wide exports too.
    EXPECT_EQ(list("/", host_text_kind::wide).count("sda1"), 1u);

    fs::path local = scratch / "target" / utf8_name;
    ASSERT_EQ(get("/sda1/" + utf8_name, local, host_text_kind::wide), file_result_ok);
    EXPECT_EQ(contents(local), "utf-8 name\n");
    EXPECT_EQ(last_percent, 100);
    // A path of 1024 UTF-16 units is refused, though its UTF-8 form would be far longer than 1024 bytes anyway.
    std::string long_path = "/sda1/";
    while (wide(long_path).size() < 1024)
        long_path += "\xe6\x97\xa5";
    EXPECT_EQ(get(long_path, scratch / "long", host_text_kind::wide), file_result_not_found);
}

TEST_F(unicode_names_test, windows_rules_list_safe_unique_names_that_copy_into_the_target_only)
{
    set_name_rules(name_rules::windows);
    const std::map<std::string, std::string> expected{
        // shown name -> on-disk name, which each file holds
        {"..\xef\xbc\xbc..\xef\xbc\xbcx.dll", "..\\..\\x.dll"},
        {"CON_", "CON"},
        {"nul_.txt", "nul.txt"},
        {"a\xef\xbc\x9a" "b.txt", "a\xef\xbc\x9a" "b.txt"},
        {"a\xef\xbc\x9a" "b (2).txt", "a:b.txt"},
        {"back\xef\xbc\xbcslash.txt", "back\\slash.txt"},
        {"bad\xef\xbf\xbd.txt", "bad\xff.txt"},
        {"colon\xef\xbc\x9aname.txt", "colon:name.txt"},
        {"less\xef\xbc\x9cmore\xef\xbc\x9e.txt", "less<more>.txt"},
        {"pipe\xef\xbd\x9c.txt", "pipe|.txt"},
        {"quote\xef\xbc\x82.txt", "quote\".txt"},
        {"star\xef\xbc\x8a.txt", "star*.txt"},
        {"trailing\xef\xbc\x8e", "trailing."},
        {"what\xef\xbc\x9f.txt", "what?.txt"},
        {"\xe6\x97\xa5.txt", "\xe6\x97\xa5.txt"},
        {"\xe6\x9c\xac.txt", "\xe6\x9c\xac.txt"},
    };
    for (host_text_kind kind : {host_text_kind::wide, host_text_kind::ansi}) {
        SCOPED_TRACE(kind == host_text_kind::wide ? "wide" : "ansi");
        fs::path target = scratch / (kind == host_text_kind::wide ? "wide" : "ansi");
        fs::create_directories(target);
        std::map<std::string, bool> names = list("/sdb1", kind);
        std::map<std::string, bool> files;
        for (const auto& [name, folder] : names)
            if (!folder)
                files[name] = false;
        EXPECT_EQ(files.size(), expected.size());
        EXPECT_TRUE(names.at("dir\xef\xbd\x9cx"));
        for (const auto& [shown, on_disk] : expected) {
            ASSERT_EQ(files.count(shown), 1u) << shown;
            EXPECT_EQ(get("/sdb1/" + shown, target / shown, kind), file_result_ok) << shown;
            EXPECT_EQ(contents(target / shown), on_disk + "\n") << shown;
        }
        // Through a folder whose name changed, to a file whose name changed; the raw names find nothing.
        EXPECT_EQ(list("/sdb1/dir\xef\xbd\x9cx", kind), (std::map<std::string, bool>{{"in\xef\xbc\x9aner.txt", false}}));
        EXPECT_EQ(get("/sdb1/dir\xef\xbd\x9cx/in\xef\xbc\x9aner.txt", target / "inner", kind), file_result_ok);
        EXPECT_EQ(contents(target / "inner"), "dir|x/in:ner.txt\n");
        EXPECT_EQ(get("/sdb1/CON", target / "raw", kind), file_result_not_found);
        EXPECT_EQ(get("/sdb1/a:b.txt", target / "raw", kind), file_result_not_found);
        EXPECT_FALSE(fs::exists(target / "raw"));
    }
    // Nothing was written anywhere but into the target folders.
    for (const std::string& written : test_control::files_written())
        EXPECT_EQ(written.rfind((scratch / "").string(), 0), 0u) << written;
    std::set<fs::path> outside;
    for (const auto& entry : fs::recursive_directory_iterator(scratch))
        if (entry.path().parent_path() != scratch / "wide" && entry.path().parent_path() != scratch / "ansi" &&
            entry.path().parent_path() != scratch)
            outside.insert(entry.path());
    EXPECT_TRUE(outside.empty());
}

TEST_F(unicode_names_test, posix_rules_change_only_names_that_are_not_utf8)
{
    std::map<std::string, bool> names = list("/sdb1", host_text_kind::wide);
    EXPECT_EQ(names.count("back\\slash.txt"), 1u);
    EXPECT_EQ(names.count("CON"), 1u);
    EXPECT_EQ(names.count("a:b.txt"), 1u);
    ASSERT_EQ(names.count("bad\xef\xbf\xbd.txt"), 1u);
    EXPECT_EQ(get("/sdb1/bad\xef\xbf\xbd.txt", scratch / "target" / "bad", host_text_kind::wide), file_result_ok);
    EXPECT_EQ(contents(scratch / "target" / "bad"), "bad\xff.txt\n");
}


// Paths of the wide exports reach 1023 UTF-16 units, remote and local; those of the ANSI exports stop at 259 bytes.
// A name of 255 characters one folder down has a remote path past MAX_PATH, and copies to a target past it.
TEST_F(unicode_names_test, wide_exports_take_paths_past_max_path_which_the_ansi_exports_refuse)
{
    const std::string name = std::string(251, 'l') + ".txt";
    const std::string remote = "/sdb1/long/" + name;
    const std::string expected = "long/" + name + "\n";
    ASSERT_GT(remote.size(), 260u);
    for (host_text_kind kind : {host_text_kind::wide, host_text_kind::ansi})
        EXPECT_EQ(list("/sdb1/long", kind), (std::map<std::string, bool>{{name, false}}));

    fs::path folder = scratch / "target";
    while (folder.string().size() < 300)
        folder /= std::string(40, 'd');
    fs::create_directories(folder);
    fs::path local = folder / name;
    ASSERT_EQ(get(remote, local, host_text_kind::wide), file_result_ok);
    EXPECT_EQ(contents(local), expected);
    std::ofstream(local) << "keep me";
    EXPECT_EQ(get(remote, local, host_text_kind::wide), file_result_exists);
    EXPECT_EQ(contents(local), "keep me");
    EXPECT_EQ(get(remote, local, host_text_kind::wide, copy_flag_overwrite), file_result_ok);
    EXPECT_EQ(contents(local), expected);
    // The ANSI exports refuse the remote path, and a local path of 260 bytes.
    EXPECT_EQ(get(remote, folder / "ansi", host_text_kind::ansi), file_result_not_found);
    fs::path ansi_local = scratch / "target" / std::string(259 - (scratch / "target/").string().size(), 'a');
    EXPECT_EQ(get("/sdb1/CON", ansi_local, host_text_kind::ansi), file_result_ok);
    EXPECT_EQ(get("/sdb1/CON", ansi_local.string() + "a", host_text_kind::ansi), file_result_write_error);
    // Nothing else was left beside the targets: no temporary file.
    EXPECT_EQ(std::distance(fs::directory_iterator(folder), fs::directory_iterator()), 1);
    EXPECT_EQ(std::distance(fs::directory_iterator(scratch / "target"), fs::directory_iterator()), 2);

    // The wide limit, exactly: 1023 units reach the folder and the file, 1024 do not; a local path of 1023 units
    // is written, one of 1024 is not.
    std::string folder_path = padded_path("/sdb1/long", ".", 1023);
    EXPECT_EQ(list(folder_path, host_text_kind::wide), (std::map<std::string, bool>{{name, false}}));
    EXPECT_TRUE(list(folder_path + ".", host_text_kind::wide).empty());
    std::string remote_padded = padded_path("/sdb1/long", name, 1023);
    std::string local_padded = padded_path(scratch.string(), "w", 1023);
    EXPECT_EQ(get(remote_padded, local_padded, host_text_kind::wide), file_result_ok);
    EXPECT_EQ(contents(local_padded), expected);
    EXPECT_EQ(get("/" + remote_padded, scratch / "x", host_text_kind::wide), file_result_not_found);
    EXPECT_EQ(get(remote_padded, padded_path(scratch.string(), "x", 1024), host_text_kind::wide),
              file_result_write_error);
    EXPECT_FALSE(fs::exists(scratch / "x"));
}

}  // namespace
