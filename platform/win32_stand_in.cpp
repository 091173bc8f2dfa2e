// POSIX implementation of the Win32 stand-in: drives, local files, threads, security, message boxes, code pages.
#ifndef _WIN32

#include "platform/win32_stand_in.h"

#include "platform/stand_in_state.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <linux/fs.h>
#include <pthread.h>
#include <string>
#include <string_view>
#include <sys/ioctl.h>
#include <thread>
#include <sys/stat.h>
#include <unistd.h>

stand_in_state& stand_in()
{
    static stand_in_state state;
    return state;
}

namespace {

// Every HANDLE of the stand-in points at one of these.
struct stand_in_object {
    virtual ~stand_in_object() = default;
};

// A physical drive: an image file, a block device or a test's memory buffer. Read-only.
struct drive_object : stand_in_object {
    int fd = -1;
    std::shared_ptr<const std::vector<uint8_t>> bytes;
    int64_t geometry_answer = geometry_answer_default;
    ~drive_object() override
    {
        if (fd >= 0)
            close(fd);
    }
};

// A local file opened for writing.
struct file_object : stand_in_object {
    int fd = -1;
    ~file_object() override
    {
        if (fd >= 0)
            close(fd);
    }
};

// A thread: its state outlives the handle when the handle is closed before the thread ends.
struct thread_state {
    std::mutex lock;
    std::condition_variable ended_signal;
    bool ended = false;
    LPTHREAD_START_ROUTINE start = nullptr;
    LPVOID parameter = nullptr;
};

// The thread is joined once a wait has seen it end, so that it has let go of everything it held by the time the
// wait returns (leak checks right after a copy see no half-finished thread); a handle closed before that detaches it.
struct thread_object : stand_in_object {
    std::shared_ptr<thread_state> state;
    pthread_t thread{};
    bool joined = false;
    void join()
    {
        if (!joined)
            pthread_join(thread, nullptr);
        joined = true;
    }
    ~thread_object() override
    {
        if (!joined)
            pthread_detach(thread);
    }
};

// The calling thread's last error, as far as the plugin asks for it: why CreateFileA failed. In static TLS
// (initial-exec, from the small surplus glibc keeps for libraries loaded later): dynamic TLS of a library the host
// has unloaded again is left to the leak checker's thread scan, which then reads freed memory.
__attribute__((tls_model("initial-exec"))) thread_local DWORD last_error = 0;

DWORD error_from_errno(int error)
{
    switch (error) {
    case EEXIST:
        return ERROR_FILE_EXISTS;
    case ENOENT:
    case ENOTDIR:
        return ERROR_PATH_NOT_FOUND;
    case EACCES:
    case EPERM:
    case EISDIR:
        return ERROR_ACCESS_DENIED;
    default:
        return ERROR_INVALID_PARAMETER;
    }
}

// The object behind a handle, when it is of the kind asked for.
template <class object_kind>
object_kind* object_of(HANDLE handle)
{
    if (handle == nullptr || handle == INVALID_HANDLE_VALUE)
        return nullptr;
    return dynamic_cast<object_kind*>(static_cast<stand_in_object*>(handle));
}

constexpr std::string_view drive_prefix = "\\\\.\\PhysicalDrive";

// Resolves a drive number to what serves it, as the stand-in's device namespace says.
bool find_drive(unsigned long number, stand_in_drive& found)
{
    stand_in_state& s = stand_in();
    {
        std::lock_guard<std::mutex> guard(s.lock);
        if (s.drives_from_tests) {
            if (number >= s.drives.size())
                return false;
            found = s.drives[number];
            return true;
        }
    }
    if (const char* list = std::getenv("TARNWICK_DISKS")) {
        std::string_view rest(list);
        for (unsigned long i = 0;; ++i) {
            size_t colon = rest.find(':');
            if (i == number) {
                found.path = std::string(rest.substr(0, colon));
                return !found.path.empty();
            }
            if (colon == std::string_view::npos)
                return false;
            rest.remove_prefix(colon + 1);
        }
    }
    // /dev/sda ... /dev/sdz, then /dev/sdaa, /dev/sdab, ... as the kernel names them.
    std::string letters;
    unsigned long n = number + 1;
    while (n > 0) {
        --n;
        letters.insert(letters.begin(), static_cast<char>('a' + n % 26));
        n /= 26;
    }
    found.path = "/dev/sd" + letters;
    return true;
}

HANDLE open_drive(std::string_view number_text)
{
    if (number_text.empty() || number_text.size() > 9)
        return INVALID_HANDLE_VALUE;
    unsigned long number = 0;
    for (char c : number_text) {
        if (c < '0' || c > '9')
            return INVALID_HANDLE_VALUE;
        number = number * 10 + static_cast<unsigned long>(c - '0');
    }
    stand_in_drive drive;
    if (!find_drive(number, drive))
        return INVALID_HANDLE_VALUE;
    auto object = new drive_object;
    object->geometry_answer = drive.geometry_answer;
    if (drive.bytes) {
        object->bytes = drive.bytes;
    } else {
        object->fd = open(drive.path.c_str(), O_RDONLY | O_CLOEXEC);
        if (object->fd < 0) {
            delete object;
            return INVALID_HANDLE_VALUE;
        }
    }
    ++stand_in().drive_opens;
    return object;
}

HANDLE open_local_file(LPCSTR name, DWORD access, DWORD disposition)
{
    if (!(access & GENERIC_WRITE)) {
        last_error = ERROR_ACCESS_DENIED;
        return INVALID_HANDLE_VALUE;
    }
    int flags = O_WRONLY | O_CLOEXEC;
    if (disposition == CREATE_ALWAYS)
        flags |= O_CREAT | O_TRUNC;
    else if (disposition == CREATE_NEW)
        flags |= O_CREAT | O_EXCL;
    else if (disposition != OPEN_EXISTING) {
        last_error = ERROR_INVALID_PARAMETER;
        return INVALID_HANDLE_VALUE;
    }
    {
        stand_in_state& s = stand_in();
        std::lock_guard<std::mutex> guard(s.lock);
        s.files_written.emplace_back(name);
    }
    int fd = open(name, flags, 0666);
    if (fd < 0) {
        last_error = error_from_errno(errno);
        return INVALID_HANDLE_VALUE;
    }
    auto object = new file_object;
    object->fd = fd;
    return object;
}

// Reads as much as the file gives from position on, as ReadFile does on a synchronous handle with an offset.
bool read_fully_at(int fd, uint64_t position, void* buffer, size_t count, size_t& done)
{
    done = 0;
    while (done < count) {
        ssize_t n = pread(fd, static_cast<char*>(buffer) + done, count - done, static_cast<off_t>(position + done));
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        if (n == 0)
            break;
        done += static_cast<size_t>(n);
    }
    return true;
}

void* thread_entry(void* raw)
{
    std::shared_ptr<thread_state> state(*static_cast<std::shared_ptr<thread_state>*>(raw));
    delete static_cast<std::shared_ptr<thread_state>*>(raw);
    state->start(state->parameter);
    --stand_in().threads_running;
    {
        std::lock_guard<std::mutex> guard(state->lock);
        state->ended = true;
    }
    state->ended_signal.notify_all();
    return nullptr;
}

constexpr char32_t replacement_character = 0xFFFD;

// Decodes one UTF-8 sequence at text[i], advancing i. Invalid input yields U+FFFD for each
// maximal ill-formed subpart, as Windows does since Vista.
char32_t decode_utf8(const unsigned char* text, size_t length, size_t& i)
{
    unsigned char lead = text[i++];
    if (lead < 0x80)
        return lead;
    size_t needed;
    char32_t value;
    unsigned char low = 0x80, high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
        needed = 1;
        value = lead & 0x1F;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        needed = 2;
        value = lead & 0x0F;
        if (lead == 0xE0)
            low = 0xA0;
        if (lead == 0xED)
            high = 0x9F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        needed = 3;
        value = lead & 0x07;
        if (lead == 0xF0)
            low = 0x90;
        if (lead == 0xF4)
            high = 0x8F;
    } else {
        return replacement_character;
    }
    for (size_t k = 0; k < needed; ++k) {
        if (i >= length || text[i] < low || text[i] > high)
            return replacement_character;
        value = (value << 6) | (text[i++] & 0x3F);
        low = 0x80;
        high = 0xBF;
    }
    return value;
}

int store_output(const std::u16string& out, LPWSTR wide, int wide_count)
{
    if (out.size() > 0x7FFFFFFF)
        return 0;
    if (wide_count == 0)
        return static_cast<int>(out.size());
    if (out.size() > static_cast<size_t>(wide_count))
        return 0;
    std::memcpy(wide, out.data(), out.size() * sizeof(WCHAR));
    return static_cast<int>(out.size());
}

void append_utf8(std::string& out, char32_t c)
{
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | (c >> 6));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += static_cast<char>(0xE0 | (c >> 12));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (c >> 18));
        out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
}

bool is_utf8_code_page(UINT code_page)
{
    return code_page == CP_ACP || code_page == CP_UTF8;
}

}  // namespace

HANDLE CreateFileA(LPCSTR file_name, DWORD desired_access, DWORD, LPSECURITY_ATTRIBUTES, DWORD creation_disposition,
                   DWORD, HANDLE)
{
    if (file_name == nullptr)
        return INVALID_HANDLE_VALUE;
    std::string_view name(file_name);
    if (name.substr(0, drive_prefix.size()) == drive_prefix) {
        HANDLE drive = INVALID_HANDLE_VALUE;
        if (desired_access == GENERIC_READ && creation_disposition == OPEN_EXISTING)
            drive = open_drive(name.substr(drive_prefix.size()));
        else
            ++stand_in().drive_write_opens;
        if (drive == INVALID_HANDLE_VALUE)
            last_error = ERROR_FILE_NOT_FOUND;
        return drive;
    }
    return open_local_file(file_name, desired_access, creation_disposition);
}

DWORD GetLastError()
{
    return last_error;
}

void SetLastError(DWORD error)
{
    last_error = error;
}

BOOL ReadFile(HANDLE file, LPVOID buffer, DWORD bytes_to_read, LPDWORD bytes_read, LPOVERLAPPED overlapped)
{
    auto drive = object_of<drive_object>(file);
    if (bytes_read)
        *bytes_read = 0;
    // Drives are read at an offset only; nothing here keeps a position for them.
    if (drive == nullptr || overlapped == nullptr)
        return FALSE;
    stand_in_state& s = stand_in();
    long ordinal = ++s.drive_reads;
    if (long delay = s.read_delay_ms.load(); delay > 0)
        std::this_thread::sleep_for(std::chrono::milliseconds(delay));
    long fail_at = s.fail_read_at;
    if (fail_at != 0 && ordinal == fail_at)
        return FALSE;
    uint64_t position = (static_cast<uint64_t>(overlapped->OffsetHigh) << 32) | overlapped->Offset;
    if (position < s.bad_to && position + bytes_to_read > s.bad_from) {
        last_error = ERROR_CRC;
        return FALSE;
    }
    size_t done = 0;
    if (drive->bytes) {
        const auto& bytes = *drive->bytes;
        if (position < bytes.size()) {
            done = std::min<uint64_t>(bytes_to_read, bytes.size() - position);
            std::memcpy(buffer, bytes.data() + position, done);
        }
    } else if (!read_fully_at(drive->fd, position, buffer, bytes_to_read, done)) {
        return FALSE;
    }
    overlapped->Internal = 0;
    overlapped->InternalHigh = done;
    if (bytes_read)
        *bytes_read = static_cast<DWORD>(done);
    // Windows reports a read that starts at or past the end as a failure.
    if (done == 0 && bytes_to_read > 0) {
        last_error = ERROR_HANDLE_EOF;
        return FALSE;
    }
    return TRUE;
}

BOOL WriteFile(HANDLE file, LPCVOID buffer, DWORD bytes_to_write, LPDWORD bytes_written, LPOVERLAPPED)
{
    auto local = object_of<file_object>(file);
    if (bytes_written)
        *bytes_written = 0;
    if (local == nullptr)
        return FALSE;
    size_t done = 0;
    while (done < bytes_to_write) {
        ssize_t n = write(local->fd, static_cast<const char*>(buffer) + done, bytes_to_write - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return FALSE;
        done += static_cast<size_t>(n);
    }
    if (bytes_written)
        *bytes_written = static_cast<DWORD>(done);
    return TRUE;
}

BOOL SetFilePointerEx(HANDLE file, LARGE_INTEGER distance, PLARGE_INTEGER new_position, DWORD move_method)
{
    auto local = object_of<file_object>(file);
    int whence = move_method == FILE_BEGIN ? SEEK_SET : move_method == FILE_CURRENT ? SEEK_CUR : SEEK_END;
    if (local == nullptr || move_method > FILE_END) {
        last_error = ERROR_INVALID_PARAMETER;
        return FALSE;
    }
    off_t position = lseek(local->fd, static_cast<off_t>(distance.QuadPart), whence);
    if (position < 0) {
        last_error = ERROR_INVALID_PARAMETER;
        return FALSE;
    }
    if (new_position)
        new_position->QuadPart = static_cast<LONGLONG>(position);
    return TRUE;
}

BOOL SetEndOfFile(HANDLE file)
{
    auto local = object_of<file_object>(file);
    if (local == nullptr)
        return FALSE;
    off_t position = lseek(local->fd, 0, SEEK_CUR);
    if (position < 0 || ftruncate(local->fd, position) != 0) {
        last_error = error_from_errno(errno);
        return FALSE;
    }
    return TRUE;
}

BOOL GetFileSizeEx(HANDLE file, PLARGE_INTEGER size)
{
    if (size == nullptr)
        return FALSE;
    int fd = -1;
    if (auto local = object_of<file_object>(file)) {
        fd = local->fd;
    } else if (auto drive = object_of<drive_object>(file)) {
        if (drive->bytes) {
            size->QuadPart = static_cast<LONGLONG>(drive->bytes->size());
            return TRUE;
        }
        fd = drive->fd;
    } else {
        return FALSE;
    }
    struct stat st;
    if (fstat(fd, &st) != 0)
        return FALSE;
    size->QuadPart = st.st_size;
    return TRUE;
}

BOOL DeviceIoControl(HANDLE device, DWORD control_code, LPVOID, DWORD, LPVOID out_buffer, DWORD out_size,
                     LPDWORD bytes_returned, LPOVERLAPPED)
{
    if (object_of<file_object>(device) != nullptr && control_code == FSCTL_SET_SPARSE) {
        if (bytes_returned)
            *bytes_returned = 0;
        // A test's target that cannot hold sparse files (FAT, say) answers as Windows does there.
        if (stand_in().refuse_sparse) {
            last_error = ERROR_INVALID_FUNCTION;
            return FALSE;
        }
        return TRUE;
    }
    auto drive = object_of<drive_object>(device);
    if (drive == nullptr || control_code != IOCTL_DISK_GET_DRIVE_GEOMETRY_EX ||
        out_buffer == nullptr || out_size < sizeof(DISK_GEOMETRY_EX) - 8)
        return FALSE;
    ++stand_in().geometry_queries;
    DWORD sector_size = 512;
    if (drive->geometry_answer == geometry_answer_fails)
        return FALSE;
    // The drive's size in bytes, as Windows reports it with the geometry: the image's size, the device's size.
    uint64_t drive_size = drive->bytes ? drive->bytes->size() : 0;
    if (drive->fd >= 0) {
        struct stat st;
        if (fstat(drive->fd, &st) != 0)
            return FALSE;
        if (S_ISREG(st.st_mode))
            drive_size = static_cast<uint64_t>(st.st_size);
        else if (S_ISBLK(st.st_mode) && ioctl(drive->fd, BLKGETSIZE64, &drive_size) != 0)
            drive_size = 0;
    }
    if (drive->geometry_answer >= 0) {
        sector_size = static_cast<DWORD>(drive->geometry_answer);
    } else if (drive->fd >= 0) {
        struct stat st;
        int logical = 0;
        if (fstat(drive->fd, &st) == 0 && S_ISBLK(st.st_mode) && ioctl(drive->fd, BLKSSZGET, &logical) == 0)
            sector_size = static_cast<DWORD>(logical);
    }
    DISK_GEOMETRY_EX reply{};
    reply.Geometry.BytesPerSector = sector_size;
    reply.DiskSize.QuadPart = static_cast<LONGLONG>(drive_size);
    std::memcpy(out_buffer, &reply, sizeof(DISK_GEOMETRY_EX) - 8);
    if (bytes_returned)
        *bytes_returned = sizeof(DISK_GEOMETRY_EX) - 8;
    return TRUE;
}

BOOL CloseHandle(HANDLE object)
{
    if (object == INVALID_HANDLE_VALUE || object == nullptr)
        return FALSE;
    delete static_cast<stand_in_object*>(object);
    return TRUE;
}

HANDLE CreateThread(LPSECURITY_ATTRIBUTES, SIZE_T, LPTHREAD_START_ROUTINE start_address, LPVOID parameter, DWORD,
                    LPDWORD thread_id)
{
    stand_in_state& s = stand_in();
    if (s.fail_create_thread || start_address == nullptr)
        return nullptr;
    auto state = std::make_shared<thread_state>();
    state->start = start_address;
    state->parameter = parameter;
    auto handed_over = new std::shared_ptr<thread_state>(state);
    pthread_t thread;
    ++s.threads_running;
    if (pthread_create(&thread, nullptr, thread_entry, handed_over) != 0) {
        --s.threads_running;
        delete handed_over;
        return nullptr;
    }
    ++s.threads_created;
    if (thread_id)
        *thread_id = static_cast<DWORD>(s.threads_created.load());
    auto object = new thread_object;
    object->state = state;
    object->thread = thread;
    return object;
}

DWORD WaitForSingleObject(HANDLE object, DWORD milliseconds)
{
    auto thread = object_of<thread_object>(object);
    if (thread == nullptr)
        return WAIT_FAILED;
    std::unique_lock<std::mutex> guard(thread->state->lock);
    auto ended = [&] { return thread->state->ended; };
    if (milliseconds == INFINITE)
        thread->state->ended_signal.wait(guard, ended);
    else if (!thread->state->ended_signal.wait_for(guard, std::chrono::milliseconds(milliseconds), ended))
        return WAIT_TIMEOUT;
    guard.unlock();
    thread->join();
    return WAIT_OBJECT_0;
}

namespace {
// The one SID the plugin builds: the built-in Administrators alias.
struct stand_in_sid {
    bool administrators;
};
}  // namespace

BOOL AllocateAndInitializeSid(PSID_IDENTIFIER_AUTHORITY authority, BYTE sub_authority_count, DWORD sub_authority0,
                              DWORD sub_authority1, DWORD, DWORD, DWORD, DWORD, DWORD, DWORD, PSID* sid)
{
    if (authority == nullptr || sid == nullptr || sub_authority_count == 0 || sub_authority_count > 8)
        return FALSE;
    static const BYTE nt_authority[6] = {0, 0, 0, 0, 0, 5};
    bool administrators = std::memcmp(authority->Value, nt_authority, 6) == 0 && sub_authority_count == 2 &&
                          sub_authority0 == SECURITY_BUILTIN_DOMAIN_RID && sub_authority1 == DOMAIN_ALIAS_RID_ADMINS;
    *sid = new stand_in_sid{administrators};
    return TRUE;
}

BOOL CheckTokenMembership(HANDLE token, PSID sid, PBOOL is_member)
{
    if (token != nullptr || sid == nullptr || is_member == nullptr)
        return FALSE;
    int forced = stand_in().administrator;
    bool root = forced >= 0 ? forced == 1 : geteuid() == 0;
    *is_member = static_cast<stand_in_sid*>(sid)->administrators && root ? TRUE : FALSE;
    return TRUE;
}

void* FreeSid(PSID sid)
{
    delete static_cast<stand_in_sid*>(sid);
    return nullptr;
}

int MessageBoxA(HWND, LPCSTR text, LPCSTR caption, UINT)
{
    std::string caption_text = caption ? caption : "Error";
    std::string body = text ? text : "";
    std::fprintf(stderr, "%s: %s\n", caption_text.c_str(), body.c_str());
    stand_in_state& s = stand_in();
    std::lock_guard<std::mutex> guard(s.lock);
    s.message_boxes.push_back(caption_text + ": " + body);
    return IDOK;
}

int MultiByteToWideChar(UINT code_page, DWORD flags, LPCSTR multi_byte, int multi_byte_count, LPWSTR wide,
                        int wide_count)
{
    if (!is_utf8_code_page(code_page) || flags != 0 || multi_byte == nullptr || multi_byte_count == 0 ||
        multi_byte_count < -1 || wide_count < 0 || (wide_count > 0 && wide == nullptr))
        return 0;
    size_t length = multi_byte_count == -1 ? std::strlen(multi_byte) + 1 : static_cast<size_t>(multi_byte_count);
    auto text = reinterpret_cast<const unsigned char*>(multi_byte);
    std::u16string out;
    for (size_t i = 0; i < length;) {
        char32_t c = decode_utf8(text, length, i);
        if (c >= 0x10000) {
            c -= 0x10000;
            out += static_cast<char16_t>(0xD800 + (c >> 10));
            out += static_cast<char16_t>(0xDC00 + (c & 0x3FF));
        } else {
            out += static_cast<char16_t>(c);
        }
    }
    return store_output(out, wide, wide_count);
}

int WideCharToMultiByte(UINT code_page, DWORD flags, LPCWSTR wide, int wide_count, LPSTR multi_byte,
                        int multi_byte_count, LPCSTR default_char, LPBOOL used_default_char)
{
    // As on Windows, code page 65001 takes no flags and no default character; the ANSI code page takes both.
    DWORD allowed_flags = code_page == CP_ACP ? WC_NO_BEST_FIT_CHARS : 0;
    if (!is_utf8_code_page(code_page) || (flags & ~allowed_flags) != 0 || wide == nullptr || wide_count == 0 ||
        wide_count < -1 || multi_byte_count < 0 || (multi_byte_count > 0 && multi_byte == nullptr))
        return 0;
    if (code_page == CP_UTF8 && (default_char != nullptr || used_default_char != nullptr))
        return 0;
    if (used_default_char != nullptr)
        *used_default_char = FALSE;
    size_t length = static_cast<size_t>(wide_count);
    if (wide_count == -1) {
        length = 0;
        while (wide[length] != 0)
            ++length;
        ++length;
    }
    std::string out;
    for (size_t i = 0; i < length; ++i) {
        char32_t c = wide[i];
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < length && wide[i + 1] >= 0xDC00 && wide[i + 1] <= 0xDFFF) {
            c = 0x10000 + ((c - 0xD800) << 10) + (wide[i + 1] - 0xDC00);
            ++i;
        } else if (c >= 0xD800 && c <= 0xDFFF) {
            c = replacement_character;
        }
        append_utf8(out, c);
    }
    if (out.size() > 0x7FFFFFFF)
        return 0;
    if (multi_byte_count == 0)
        return static_cast<int>(out.size());
    if (out.size() > static_cast<size_t>(multi_byte_count))
        return 0;
    std::memcpy(multi_byte, out.data(), out.size());
    return static_cast<int>(out.size());
}

// Local files beside a copy.

BOOL MoveFileExA(LPCSTR existing_name, LPCSTR new_name, DWORD flags)
{
    if (existing_name == nullptr || new_name == nullptr) {
        last_error = ERROR_INVALID_PARAMETER;
        return FALSE;
    }
    unsigned rename_flags = (flags & MOVEFILE_REPLACE_EXISTING) != 0 ? 0 : RENAME_NOREPLACE;
    if (renameat2(AT_FDCWD, existing_name, AT_FDCWD, new_name, rename_flags) != 0) {
        last_error = errno == EEXIST ? ERROR_ALREADY_EXISTS : error_from_errno(errno);
        return FALSE;
    }
    return TRUE;
}

BOOL DeleteFileA(LPCSTR file_name)
{
    if (file_name == nullptr || unlink(file_name) != 0) {
        last_error = file_name == nullptr ? ERROR_INVALID_PARAMETER : error_from_errno(errno);
        return FALSE;
    }
    return TRUE;
}

DWORD GetFileAttributesA(LPCSTR file_name)
{
    struct stat st;
    if (file_name == nullptr || stat(file_name, &st) != 0) {
        last_error = file_name == nullptr ? ERROR_INVALID_PARAMETER : error_from_errno(errno);
        return INVALID_FILE_ATTRIBUTES;
    }
    return S_ISDIR(st.st_mode) ? FILE_ATTRIBUTE_DIRECTORY : FILE_ATTRIBUTE_NORMAL;
}

namespace {

// A UTF-16 name as the UTF-8 path POSIX calls take; unpaired surrogates become U+FFFD.
std::string utf8_path(LPCWSTR name)
{
    std::string path;
    for (size_t i = 0; name[i] != 0; ++i) {
        char32_t c = name[i];
        if (c >= 0xD800 && c <= 0xDBFF && name[i + 1] >= 0xDC00 && name[i + 1] <= 0xDFFF) {
            c = 0x10000 + ((c - 0xD800) << 10) + (name[i + 1] - 0xDC00);
            ++i;
        } else if (c >= 0xD800 && c <= 0xDFFF) {
            c = replacement_character;
        }
        append_utf8(path, c);
    }
    return path;
}

}  // namespace

HANDLE CreateFileW(LPCWSTR file_name, DWORD desired_access, DWORD share_mode,
                   LPSECURITY_ATTRIBUTES security_attributes, DWORD creation_disposition,
                   DWORD flags_and_attributes, HANDLE template_file)
{
    if (file_name == nullptr)
        return INVALID_HANDLE_VALUE;
    return CreateFileA(utf8_path(file_name).c_str(), desired_access, share_mode, security_attributes,
                       creation_disposition, flags_and_attributes, template_file);
}

BOOL MoveFileExW(LPCWSTR existing_name, LPCWSTR new_name, DWORD flags)
{
    if (existing_name == nullptr || new_name == nullptr) {
        last_error = ERROR_INVALID_PARAMETER;
        return FALSE;
    }
    return MoveFileExA(utf8_path(existing_name).c_str(), utf8_path(new_name).c_str(), flags);
}

BOOL DeleteFileW(LPCWSTR file_name)
{
    if (file_name == nullptr) {
        last_error = ERROR_INVALID_PARAMETER;
        return FALSE;
    }
    return DeleteFileA(utf8_path(file_name).c_str());
}

DWORD GetFileAttributesW(LPCWSTR file_name)
{
    if (file_name == nullptr) {
        last_error = ERROR_INVALID_PARAMETER;
        return INVALID_FILE_ATTRIBUTES;
    }
    return GetFileAttributesA(utf8_path(file_name).c_str());
}

namespace {

// A FILETIME (100 ns since 1601) as a timespec since 1970; UTIME_OMIT for a time not given.
timespec timespec_of(const FILETIME* time)
{
    timespec result{0, UTIME_OMIT};
    if (time == nullptr)
        return result;
    constexpr int64_t epoch_difference = 116444736000000000;  // 1601 to 1970 in 100 ns
    int64_t ticks = static_cast<int64_t>((static_cast<uint64_t>(time->dwHighDateTime) << 32) | time->dwLowDateTime) -
                    epoch_difference;
    int64_t seconds = ticks / 10000000;
    int64_t rest = ticks % 10000000;
    if (rest < 0) {
        rest += 10000000;
        --seconds;
    }
    result.tv_sec = static_cast<time_t>(seconds);
    result.tv_nsec = static_cast<long>(rest * 100);
    return result;
}

}  // namespace

BOOL SetFileTime(HANDLE file, const FILETIME* creation_time, const FILETIME* last_access_time,
                 const FILETIME* last_write_time)
{
    (void)creation_time;  // POSIX keeps no creation time that a program can set
    auto local = object_of<file_object>(file);
    if (local == nullptr)
        return FALSE;
    timespec times[2] = {timespec_of(last_access_time), timespec_of(last_write_time)};
    return futimens(local->fd, times) == 0 ? TRUE : FALSE;
}

#endif
