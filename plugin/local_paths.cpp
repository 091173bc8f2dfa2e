// Local target paths of a copy, the extended-length form of long ones, and temporary files beside a target.
#include "plugin/local_paths.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <vector>

namespace {

bool is_separator(WCHAR c)
{
    return c == '\\' || c == '/';
}

bool is_letter(WCHAR c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

// Whether text starts with the ASCII prefix, unit for unit.
bool starts_with(const wide_string& text, const char* prefix)
{
    size_t i = 0;
    for (; prefix[i] != '\0'; ++i) {
        if (i >= text.size() || text[i] != static_cast<WCHAR>(prefix[i]))
            return false;
    }
    return true;
}

void append_ascii(wide_string& text, const char* ascii)
{
    for (size_t i = 0; ascii[i] != '\0'; ++i)
        text += static_cast<WCHAR>(ascii[i]);
}

bool is_dots(const wide_string& component, size_t count)
{
    if (component.size() != count)
        return false;
    for (WCHAR c : component) {
        if (c != '.')
            return false;
    }
    return true;
}

// Where a path's file name starts: after its last separator ('\' or '/' on Windows, or the ':' of a drive), or 0.
size_t file_name_offset(const wide_string& path)
{
    size_t offset = 0;
    for (size_t i = 0; i < path.size(); ++i) {
        if (path[i] == static_cast<WCHAR>(host_path_separator) || path[i] == '/')
            offset = i + 1;
    }
#ifdef _WIN32
    if (offset == 0 && path.size() >= 2 && is_letter(path[0]) && path[1] == ':')
        offset = 2;
#endif
    return offset;
}

// The numbers of temporary names: a process-wide sequence from a start that differs between processes (the time,
// and where the sequence lives in memory). Its odd step visits every 32-bit number before any comes again.
uint32_t next_temporary_number()
{
    static std::atomic<uint32_t> sequence{[] {
        auto ticks = static_cast<uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
        auto place = static_cast<uint64_t>(reinterpret_cast<uintptr_t>(&sequence));
        return static_cast<uint32_t>(ticks ^ (ticks >> 32) ^ place ^ (place >> 32));
    }()};
    return sequence.fetch_add(0x9E3779B9u);
}

}  // namespace

std::optional<wide_string> local_path_of(const char* path)
{
    size_t length = 0;
    while (length <= host_text_limit && path[length] != '\0')
        ++length;
    if (length == 0 || length > host_text_limit)
        return std::nullopt;
    wide_string wide = wide_from_ansi(std::string_view(path, length));
    if (wide.empty())
        return std::nullopt;
    return wide;
}

std::optional<wide_string> local_path_of(const WCHAR* path)
{
    size_t length = wide_length(path, wide_path_limit);
    if (length == 0 || length > wide_path_limit)
        return std::nullopt;
    return wide_string(path, length);
}

wide_string extended_length_path(const wide_string& path)
{
    if (starts_with(path, "\\\\?\\") || starts_with(path, "\\\\.\\"))
        return path;
    bool drive = path.size() >= 3 && is_letter(path[0]) && path[1] == ':' && is_separator(path[2]);
    bool unc = path.size() >= 2 && is_separator(path[0]) && is_separator(path[1]);
    if (!drive && !unc)
        return path;
    // The components after the root; on a UNC path the server and the share are the first two, and stay.
    size_t kept = unc ? 2 : 0;
    std::vector<wide_string> components;
    size_t start = drive ? 3 : 2;
    while (start <= path.size()) {
        size_t end = start;
        while (end < path.size() && !is_separator(path[end]))
            ++end;
        wide_string component = path.substr(start, end - start);
        start = end + 1;
        if (components.size() < kept) {
            // "\\.\" and "\\?\" written with '/' are device paths, and a server or share named "." or ".." is none.
            if (component.empty() || is_dots(component, 1) || is_dots(component, 2) ||
                (components.empty() && component.size() == 1 && component[0] == '?'))
                return path;
            components.push_back(std::move(component));
        } else if (is_dots(component, 2)) {
            if (components.size() > kept)
                components.pop_back();
        } else if (!component.empty() && !is_dots(component, 1)) {
            components.push_back(std::move(component));
        }
    }
    if (components.size() < kept)
        return path;
    wide_string out;
    append_ascii(out, "\\\\?\\");
    if (drive) {
        out += path[0];
        out += ':';
        if (components.empty())
            out += '\\';
    } else {
        append_ascii(out, "UNC");
    }
    for (const wide_string& component : components) {
        out += '\\';
        out += component;
    }
    return out;
}

wide_string call_path(const wide_string& path)
{
#ifdef _WIN32
    if (path.size() >= MAX_PATH)
        return extended_length_path(path);
#endif
    return path;
}

HANDLE create_local(const wide_string& path, DWORD disposition)
{
    return CreateFileW(call_path(path).c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, disposition,
                       FILE_ATTRIBUTE_NORMAL, nullptr);
}

BOOL move_local(const wide_string& from, const wide_string& to, DWORD flags)
{
    return MoveFileExW(call_path(from).c_str(), call_path(to).c_str(), flags);
}

BOOL delete_local(const wide_string& path)
{
    return DeleteFileW(call_path(path).c_str());
}

DWORD local_attributes(const wide_string& path)
{
    return GetFileAttributesW(call_path(path).c_str());
}

std::optional<wide_string> create_temporary_beside(const wide_string& target, HANDLE& handle)
{
    handle = INVALID_HANDLE_VALUE;
    wide_string folder = target.substr(0, file_name_offset(target));
    for (int attempt = 0; attempt < temporary_attempts; ++attempt) {
        uint32_t number = next_temporary_number();
        wide_string name = folder;
        append_ascii(name, "twk");
        for (int shift = 28; shift >= 0; shift -= 4)
            name += static_cast<WCHAR>("0123456789ABCDEF"[(number >> shift) & 0xF]);
        append_ascii(name, ".tmp");
        handle = create_local(name, CREATE_NEW);
        if (handle != INVALID_HANDLE_VALUE)
            return name;
        DWORD error = GetLastError();
        if (error != ERROR_FILE_EXISTS && error != ERROR_ALREADY_EXISTS)
            return std::nullopt;
    }
    return std::nullopt;
}
