// The POSIX stand-in of the Win32 calls: drives, read-only handles, threads, code pages.
#include "platform/platform.h"
#include "test_support.h"

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

namespace {

class platform_test : public stand_in_test {};

std::u16string to_wide(const std::string& text, int length)
{
    char16_t buffer[64] = {};
    int n = MultiByteToWideChar(CP_UTF8, 0, text.data(), length, buffer, 64);
    return std::u16string(buffer, static_cast<size_t>(n));
}

std::string to_narrow(const std::u16string& text, int length)
{
    char buffer[64] = {};
    int n = WideCharToMultiByte(CP_ACP, 0, text.data(), length, buffer, 64, nullptr, nullptr);
    return std::string(buffer, static_cast<size_t>(n));
}

}  // namespace

TEST_F(platform_test, drives_come_from_the_disk_list_in_order_and_are_read_only)
{
    std::string list = fixture_path("bare.img") + ":" + fixture_path("gpt.img");
    setenv("TARNWICK_DISKS", list.c_str(), 1);
    HANDLE first = CreateFileA("\\\\.\\PhysicalDrive1", GENERIC_READ, 3, nullptr, OPEN_EXISTING, 0, nullptr);
    HANDLE missing = CreateFileA("\\\\.\\PhysicalDrive2", GENERIC_READ, 3, nullptr, OPEN_EXISTING, 0, nullptr);
    unsetenv("TARNWICK_DISKS");
    ASSERT_NE(first, INVALID_HANDLE_VALUE);
    EXPECT_EQ(missing, INVALID_HANDLE_VALUE);

    LARGE_INTEGER size;
    ASSERT_TRUE(GetFileSizeEx(first, &size));
    EXPECT_EQ(size.QuadPart, 16 * 1024 * 1024);
    char byte = 0;
    DWORD done = 0;
    EXPECT_FALSE(WriteFile(first, &byte, 1, &done, nullptr));
    // Reads name their offset; a drive has no file pointer to read from.
    OVERLAPPED where{};
    where.Offset = 510;
    uint8_t signature[2] = {};
    ASSERT_TRUE(ReadFile(first, signature, 2, &done, &where));
    EXPECT_EQ(done, 2u);
    EXPECT_EQ(signature[0], 0x55);
    EXPECT_EQ(signature[1], 0xAA);
    EXPECT_FALSE(ReadFile(first, signature, 2, &done, nullptr));
    where.Offset = 0;
    where.OffsetHigh = 1;  // 4 GiB: past the end
    EXPECT_FALSE(ReadFile(first, signature, 2, &done, &where));
    EXPECT_EQ(done, 0u);
    EXPECT_TRUE(CloseHandle(first));
}

TEST_F(platform_test, geometry_query_answers_512_for_image_files_and_what_a_test_sets)
{
    test_control::add_drive_file(fixture_path("bare.img"));
    test_control::add_drive_memory(std::vector<uint8_t>(8192), 4096);
    test_control::add_drive_memory(std::vector<uint8_t>(8192), test_control::geometry_fails);
    for (int drive = 0; drive < 3; ++drive) {
        std::string name = "\\\\.\\PhysicalDrive" + std::to_string(drive);
        HANDLE h = CreateFileA(name.c_str(), GENERIC_READ, 3, nullptr, OPEN_EXISTING, 0, nullptr);
        ASSERT_NE(h, INVALID_HANDLE_VALUE);
        DISK_GEOMETRY_EX geometry{};
        DWORD returned = 0;
        BOOL ok = DeviceIoControl(h, IOCTL_DISK_GET_DRIVE_GEOMETRY_EX, nullptr, 0, &geometry, sizeof geometry,
                                  &returned, nullptr);
        if (drive == 2) {
            EXPECT_FALSE(ok);
        } else {
            ASSERT_TRUE(ok);
            EXPECT_EQ(geometry.Geometry.BytesPerSector, drive == 0 ? 512u : 4096u);
        }
        CloseHandle(h);
    }
    EXPECT_EQ(test_control::read_counters().geometry_queries, 3);
}

TEST_F(platform_test, local_files_are_created_written_and_sized)
{
    std::string path = testing::TempDir() + "stand_in_local_file";
    HANDLE h = CreateFileA(path.c_str(), GENERIC_WRITE, 3, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    DWORD done = 0;
    ASSERT_TRUE(WriteFile(h, "abcdef", 6, &done, nullptr));
    EXPECT_EQ(done, 6u);
    LARGE_INTEGER size;
    ASSERT_TRUE(GetFileSizeEx(h, &size));
    EXPECT_EQ(size.QuadPart, 6);
    CloseHandle(h);
    EXPECT_EQ(CreateFileA(path.c_str(), GENERIC_WRITE, 3, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr),
              INVALID_HANDLE_VALUE);
    std::string in_missing_folder = testing::TempDir() + "no_such_folder/file";
    EXPECT_EQ(CreateFileA(in_missing_folder.c_str(), GENERIC_WRITE, 3, nullptr, CREATE_ALWAYS, 0x80, nullptr),
              INVALID_HANDLE_VALUE);
    unlink(path.c_str());
}

TEST_F(platform_test, threads_run_and_are_waited_for)
{
    static std::atomic<int> release{0};
    static std::atomic<int> ran{0};
    release = 0;
    ran = 0;
    auto body = [](LPVOID parameter) -> DWORD {
        while (release == 0)
            usleep(1000);
        ran = *static_cast<int*>(parameter);
        return 0;
    };
    int value = 7;
    HANDLE thread = CreateThread(nullptr, 0, body, &value, 0, nullptr);
    ASSERT_NE(thread, nullptr);
    EXPECT_EQ(WaitForSingleObject(thread, 0), WAIT_TIMEOUT);
    release = 1;
    EXPECT_EQ(WaitForSingleObject(thread, INFINITE), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(thread, 0), WAIT_OBJECT_0);
    EXPECT_EQ(ran, 7);
    CloseHandle(thread);

    test_control::fail_create_thread(true);
    EXPECT_EQ(CreateThread(nullptr, 0, body, &value, 0, nullptr), nullptr);
}

TEST_F(platform_test, administrators_membership_follows_the_effective_user_unless_a_test_sets_it)
{
    SID_IDENTIFIER_AUTHORITY nt = SECURITY_NT_AUTHORITY;
    PSID sid = nullptr;
    ASSERT_TRUE(AllocateAndInitializeSid(&nt, 2, SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS, 0, 0, 0, 0, 0,
                                         0, &sid));
    BOOL member = FALSE;
    ASSERT_TRUE(CheckTokenMembership(nullptr, sid, &member));
    EXPECT_TRUE(member);
    test_control::set_administrator(false);
    ASSERT_TRUE(CheckTokenMembership(nullptr, sid, &member));
    EXPECT_FALSE(member);
    test_control::reset();
    ASSERT_TRUE(CheckTokenMembership(nullptr, sid, &member));
    EXPECT_EQ(member != FALSE, geteuid() == 0);
    FreeSid(sid);
}

TEST_F(platform_test, utf8_and_utf16_convert_through_surrogate_pairs)
{
    std::string text = "a\xc3\xbc\xe6\x97\xa5\xf0\x9f\x98\x80";  // a, u-umlaut, a CJK character, an emoji
    std::u16string wide = to_wide(text, -1);
    ASSERT_EQ(wide.size(), 6u);  // a, u-umlaut, CJK, two surrogates, NUL
    EXPECT_EQ(wide[3], 0xD83D);
    EXPECT_EQ(wide[4], 0xDE00);
    EXPECT_EQ(wide[5], 0);
    EXPECT_EQ(to_narrow(wide, -1), text + std::string(1, '\0'));
    // A counted source carries no terminator.
    EXPECT_EQ(to_wide(text, 3).size(), 2u);
}

TEST_F(platform_test, invalid_input_is_replaced_as_windows_does)
{
    // A stray continuation byte, a truncated sequence, an overlong form and an encoded surrogate.
    std::u16string wide = to_wide("x\x80y\xe6\x97z\xc0\xafw\xed\xa0\x80", 12);
    EXPECT_EQ(wide, std::u16string(u"x\uFFFDy\uFFFDz\uFFFD\uFFFDw\uFFFD\uFFFD\uFFFD"));
    // A lone surrogate becomes U+FFFD in UTF-8.
    std::u16string lone = u"a";
    lone += static_cast<char16_t>(0xDC00);
    EXPECT_EQ(to_narrow(lone, 2), "a\xef\xbf\xbd");
}

TEST_F(platform_test, conversions_fail_when_the_output_does_not_fit)
{
    char16_t wide[2];
    EXPECT_EQ(MultiByteToWideChar(CP_UTF8, 0, "abc", -1, wide, 2), 0);
    EXPECT_EQ(MultiByteToWideChar(CP_UTF8, 0, "abc", -1, nullptr, 0), 4);
    char narrow[3];
    EXPECT_EQ(WideCharToMultiByte(CP_UTF8, 0, u"\u65e5", -1, narrow, 3, nullptr, nullptr), 0);
    EXPECT_EQ(WideCharToMultiByte(CP_UTF8, 0, u"\u65e5", -1, nullptr, 0, nullptr, nullptr), 4);
}
