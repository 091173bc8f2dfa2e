// Local target paths: the extended-length form that Windows needs for long ones.
#include "plugin/local_paths.h"
#include "test_support.h"

namespace {

std::string utf8(const wide_string& wide)
{
    return utf8_from_wide(wide.data(), wide.size());
}

std::string extended(const std::string& path)
{
    return utf8(extended_length_path(wide_from_utf8(path)));
}

TEST(local_paths_test, absolute_windows_paths_take_the_extended_form_as_windows_would_have_read_them)
{
    const std::pair<const char*, const char*> changed[] = {
        {"C:\\a\\b.txt", "\\\\?\\C:\\a\\b.txt"},
        {"c:/a//b/./c/../d.txt", "\\\\?\\c:\\a\\b\\d.txt"},
        {"C:\\..\\..\\x", "\\\\?\\C:\\x"},
        {"C:\\", "\\\\?\\C:\\"},
        {"C:\\dir\\", "\\\\?\\C:\\dir"},
        {"\\\\server\\share\\dir\\f", "\\\\?\\UNC\\server\\share\\dir\\f"},
        {"//server/share/../../f", "\\\\?\\UNC\\server\\share\\f"},
        {"\\\\server\\share", "\\\\?\\UNC\\server\\share"},
        {"D:\\\xe6\x97\xa5\\\xf0\x9f\x98\x80.txt", "\\\\?\\D:\\\xe6\x97\xa5\\\xf0\x9f\x98\x80.txt"},
    };
    for (const auto& [path, form] : changed)
        EXPECT_EQ(extended(path), form) << path;
    // Already in a device form, or not absolute: Windows resolves these against a current folder or takes them as
    // they are, so they stay.
    for (const char* path : {"\\\\?\\C:\\x/y", "\\\\.\\PhysicalDrive0", "//./C:/x", "//?/C:/x", "relative\\x",
                             "C:x", "\\x", "/x", "\\\\server", "\\\\server\\", "\\\\..\\share\\x", ""})
        EXPECT_EQ(extended(path), path) << path;
}

}  // namespace
