// Local target paths: the extended-length form Windows needs for long ones, and temporary files beside a target.
#include "plugin/local_paths.h"
#include "platform/test_control.h"
#include "test_support.h"

#include <filesystem>
#include <set>

namespace fs = std::filesystem;

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

class local_temporary_test : public scratch_test {};

TEST_F(local_temporary_test, temporaries_are_new_empty_files_beside_the_target_each_with_its_own_name)
{
    // A folder whose path leaves less room than GetTempFileName takes, and a target of 1023 units.
    fs::path folder = scratch;
    while (folder.string().size() < 1000)
        folder /= std::string(100, 'f');
    fs::create_directories(folder);
    std::string target = (folder / "").string();
    target.resize(1023, 't');
    std::set<std::string> names;
    for (int i = 0; i < 3; ++i) {
        HANDLE handle = INVALID_HANDLE_VALUE;
        std::optional<wide_string> made = create_temporary_beside(wide_from_utf8(target), handle);
        ASSERT_TRUE(made);
        ASSERT_NE(handle, INVALID_HANDLE_VALUE);
        CloseHandle(handle);
        fs::path path = utf8(*made);
        EXPECT_EQ(path.parent_path(), folder);
        EXPECT_EQ(path.filename().string().rfind("twk", 0), 0u);
        EXPECT_EQ(path.extension(), ".tmp");
        EXPECT_EQ(fs::file_size(path), 0u);
        names.insert(path.string());
    }
    EXPECT_EQ(names.size(), 3u);
    EXPECT_EQ(std::distance(fs::directory_iterator(folder), fs::directory_iterator()), 3);

    // A folder that cannot take a file gets no temporary, and no name is tried beyond the first failure.
    HANDLE handle = INVALID_HANDLE_VALUE;
    EXPECT_FALSE(create_temporary_beside(wide_from_utf8((scratch / "missing" / "t").string()), handle));
    EXPECT_EQ(handle, INVALID_HANDLE_VALUE);
    size_t tried = 0;
    for (const std::string& written : test_control::files_written())
        tried += written.find("/missing/") != std::string::npos ? 1 : 0;
    EXPECT_EQ(tried, 1u);
}

}  // namespace
