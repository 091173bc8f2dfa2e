// Conversions between the plugin's UTF-8 and the host's UTF-16 and ANSI code page text.
#include "plugin/host_text.h"

#include <climits>
#include <cstring>

namespace {

// The ANSI conversion's stand-in for what the code page cannot hold.
constexpr char missing_character[] = "_";

std::string narrow(UINT code_page, DWORD flags, const wide_string& wide, bool with_default)
{
    if (wide.empty() || wide.size() > INT_MAX / 4)
        return {};
    int length = static_cast<int>(wide.size());
    const char* default_char = with_default ? missing_character : nullptr;
    BOOL used = FALSE;
    BOOL* used_default = with_default ? &used : nullptr;
    int needed = WideCharToMultiByte(code_page, flags, wide.data(), length, nullptr, 0, default_char, used_default);
    if (needed <= 0)
        return {};
    std::string out(static_cast<size_t>(needed), '\0');
    int written =
        WideCharToMultiByte(code_page, flags, wide.data(), length, out.data(), needed, default_char, used_default);
    out.resize(written > 0 ? static_cast<size_t>(written) : 0);
    return out;
}

wide_string widen(UINT code_page, std::string_view text)
{
    if (text.empty() || text.size() > INT_MAX / 2)
        return {};
    int length = static_cast<int>(text.size());
    int needed = MultiByteToWideChar(code_page, 0, text.data(), length, nullptr, 0);
    if (needed <= 0)
        return {};
    wide_string out(static_cast<size_t>(needed), WCHAR{0});
    int written = MultiByteToWideChar(code_page, 0, text.data(), length, out.data(), needed);
    out.resize(written > 0 ? static_cast<size_t>(written) : 0);
    return out;
}

}  // namespace

std::string utf8_from_ansi(std::string_view ansi)
{
    return narrow(CP_UTF8, 0, widen(CP_ACP, ansi), false);
}

wide_string wide_from_ansi(std::string_view ansi)
{
    return widen(CP_ACP, ansi);
}

std::string ansi_from_utf8(std::string_view utf8)
{
    wide_string wide = widen(CP_UTF8, utf8);
    std::string out = narrow(CP_ACP, WC_NO_BEST_FIT_CHARS, wide, true);
    // A system whose ANSI code page is UTF-8 takes neither the flag nor a default character, and needs neither.
    if (out.empty() && !wide.empty())
        out = narrow(CP_ACP, 0, wide, false);
    return out;
}

std::string utf8_from_wide(const WCHAR* wide, size_t length)
{
    return narrow(CP_UTF8, 0, wide_string(wide, length), false);
}

wide_string wide_from_utf8(std::string_view utf8)
{
    return widen(CP_UTF8, utf8);
}

size_t wide_length(const WCHAR* wide, size_t limit)
{
    size_t length = 0;
    while (length <= limit && wide[length] != 0)
        ++length;
    return length;
}

std::optional<std::string> host_path_utf8(const char* path)
{
    size_t length = std::strlen(path);
    if (length > host_text_limit)
        return std::nullopt;
    return utf8_from_ansi(std::string_view(path, length));
}

std::optional<std::string> host_path_utf8(const WCHAR* path)
{
    size_t length = wide_length(path, wide_path_limit);
    if (length > wide_path_limit)
        return std::nullopt;
    return utf8_from_wide(path, length);
}
