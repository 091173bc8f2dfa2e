// Shown names: repaired UTF-8, Windows-safe stand-ins, device names, and unique names per folder.
#include "plugin/host_names.h"

#include <gtest/gtest.h>

#include <set>
#include <vector>

namespace {

std::unordered_map<uint32_t, std::string> changed_in(const std::vector<std::string>& names, name_rules rules)
{
    return changed_names(static_cast<uint32_t>(names.size()),
                         [&](uint32_t i) { return std::string_view(names[i]); }, rules);
}

}  // namespace

TEST(host_names_test, windows_names_hold_no_separator_forbidden_character_or_device_name)
{
    const name_rules w = name_rules::windows;
    EXPECT_EQ(shown_name("plain name.txt", w), "plain name.txt");
    EXPECT_EQ(shown_name("gr\xc3\xbc\xc3\x9f" "e-\xf0\x9f\x98\x80", w), "gr\xc3\xbc\xc3\x9f" "e-\xf0\x9f\x98\x80");
    EXPECT_EQ(shown_name("back\\slash.txt", w), "back\xef\xbc\xbcslash.txt");  // U+FF3C
    EXPECT_EQ(shown_name("..\\..\\x.dll", w), "..\xef\xbc\xbc..\xef\xbc\xbcx.dll");
    EXPECT_EQ(shown_name("a:b*c?d\"e<f>g|h", w),
              "a\xef\xbc\x9a" "b\xef\xbc\x8a" "c\xef\xbc\x9f" "d\xef\xbc\x82" "e\xef\xbc\x9c" "f\xef\xbc\x9eg\xef\xbd\x9ch");
    EXPECT_EQ(shown_name("tab\there", w), "tab\xe2\x90\x89here");  // U+2409
    EXPECT_EQ(shown_name("dots...", w), "dots..\xef\xbc\x8e");      // U+FF0E
    EXPECT_EQ(shown_name("...", w), "..\xef\xbc\x8e");
    EXPECT_EQ(shown_name("space ", w), "space\xe3\x80\x80");
    EXPECT_EQ(shown_name("CON", w), "CON_");
    EXPECT_EQ(shown_name("nul.txt", w), "nul_.txt");
    EXPECT_EQ(shown_name("com7.tar.gz", w), "com7_.tar.gz");
    EXPECT_EQ(shown_name("CONSOLE", w), "CONSOLE");
    EXPECT_EQ(shown_name("lpt", w), "lpt");
    // Bytes that are not UTF-8 (a lone continuation, a truncated sequence, an overlong form, a surrogate).
    EXPECT_EQ(shown_name("a\x80z", w), "a\xef\xbf\xbdz");
    EXPECT_EQ(shown_name("\xe6\x97", w), "\xef\xbf\xbd\xef\xbf\xbd");
    EXPECT_EQ(shown_name("\xc0\xaf", w), "\xef\xbf\xbd\xef\xbf\xbd");
    EXPECT_EQ(shown_name("\xed\xa0\x80", w), "\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd");
}

TEST(host_names_test, posix_names_change_only_where_utf8_is_broken_or_a_damaged_record_holds_nul_or_slash)
{
    const name_rules p = name_rules::posix;
    EXPECT_EQ(shown_name("back\\slash:*?.txt", p), "back\\slash:*?.txt");
    EXPECT_EQ(shown_name("CON", p), "CON");
    EXPECT_EQ(shown_name("latin1-\xe9t\xe9", p), "latin1-\xef\xbf\xbdt\xef\xbf\xbd");
    EXPECT_EQ(shown_name(std::string_view("sparse.bin\0i", 12), p), "sparse.bin\xe2\x90\x80i");  // U+2400
    EXPECT_EQ(shown_name("../etc", p), "..\xef\xbc\x8f" "etc");                              // U+FF0F
    // A name a damaged folder holds twice: the second is numbered, and may not take a name already there.
    auto changed = changed_in({"a.txt", "b", "a.txt", "a (2).txt", "a.txt"}, p);
    EXPECT_EQ(changed.size(), 2u);
    EXPECT_EQ(changed.at(2), "a (3).txt");
    EXPECT_EQ(changed.at(4), "a (4).txt");
}

TEST(host_names_test, every_name_shown_in_a_folder_is_unique_and_unchanged_names_keep_theirs)
{
    // Names that show alike beside the names they would show as, which keep theirs.
    std::vector<std::string> names{"a:b.txt", "a\xef\xbc\x9a" "b.txt", "a\xef\xbc\x9a" "b (2).txt", "a\\b.txt",
                                   "plain", "x\x80", "x\x81"};
    auto changed = changed_in(names, name_rules::windows);
    EXPECT_EQ(changed.size(), 4u);
    EXPECT_EQ(changed.at(0), "a\xef\xbc\x9a" "b (3).txt");
    EXPECT_EQ(changed.at(3), "a\xef\xbc\xbc" "b.txt");
    EXPECT_EQ(changed.at(5), "x\xef\xbf\xbd");
    EXPECT_EQ(changed.at(6), "x\xef\xbf\xbd (2)");
    std::set<std::string> shown;
    for (uint32_t i = 0; i < names.size(); ++i)
        shown.insert(changed.count(i) ? changed.at(i) : names[i]);
    EXPECT_EQ(shown.size(), names.size());
    EXPECT_TRUE(changed_in({"plain", "names"}, name_rules::windows).empty());
}
