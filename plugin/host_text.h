// Text as the host's two kinds of export carry it: UTF-16 for the wide exports, the ANSI code page for the others.
// Inside the plugin every path and name is UTF-8.
#pragma once

#include "platform/platform.h"

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

enum class host_text_kind { ansi, wide };

using wide_string = std::basic_string<WCHAR>;

// Names in the host's find records, and paths through the ANSI exports, hold at most this many characters of their
// kind (bytes or UTF-16 units) before the terminating NUL: MAX_PATH with it.
inline constexpr size_t host_text_limit = MAX_PATH - 1;

// Paths through the wide exports, remote and local, hold at most this many UTF-16 units before the terminating NUL:
// the longest path the host's own Unicode calls take (1024 units with the NUL).
inline constexpr size_t wide_path_limit = 1023;

// Text in the ANSI code page as UTF-8.
std::string utf8_from_ansi(std::string_view ansi);

// UTF-8 text in the ANSI code page: a character the code page cannot hold becomes "_", never a look-alike
// (no best fit: U+FF3C must not come back as "\").
std::string ansi_from_utf8(std::string_view utf8);

// Text in the ANSI code page as UTF-16, as the A calls of Windows turn their names into the W calls' names.
wide_string wide_from_ansi(std::string_view ansi);

// UTF-16 text as UTF-8 (an unpaired surrogate becomes U+FFFD), and back.
std::string utf8_from_wide(const WCHAR* wide, size_t length);
wide_string wide_from_utf8(std::string_view utf8);

// The length of a NUL-terminated UTF-16 text, counted up to limit + 1 at most.
size_t wide_length(const WCHAR* wide, size_t limit);

// A host path of either kind in UTF-8; nothing when it is longer than the export's paths can be (host_text_limit
// bytes through the ANSI exports, wide_path_limit units through the wide ones).
std::optional<std::string> host_path_utf8(const char* path);
std::optional<std::string> host_path_utf8(const WCHAR* path);

// The kind of text an export takes, from its characters' type.
constexpr host_text_kind kind_of(const char*)
{
    return host_text_kind::ansi;
}

constexpr host_text_kind kind_of(const WCHAR*)
{
    return host_text_kind::wide;
}
