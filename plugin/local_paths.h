// Local targets of a copy: their paths as the file calls take them (long ones in the extended-length form on
// Windows), the file calls themselves, and the temporary file a copy is written to beside its target.
#pragma once

#include "plugin/host_text.h"

#include <optional>

// A local path from the host, in UTF-16 for the W file calls: from the ANSI code page for the ANSI exports (at most
// host_text_limit bytes), as it is for the wide ones (at most wide_path_limit units). Nothing when it is empty or
// longer; only that many characters and the one after are read.
std::optional<wide_string> local_path_of(const char* path);
std::optional<wide_string> local_path_of(const WCHAR* path);

// The extended-length ("\\?\") form of an absolute Windows path, which the W file calls take up to 32 767 units
// long: "X:\..." becomes "\\?\X:\...", "\\server\share\..." becomes "\\?\UNC\server\share\...". Windows takes the
// rest of such a path as it stands, so it is normalised here as Windows would have: '/' becomes '\', empty and "."
// components go, and ".." takes back one component (never the drive, the server or the share). A path already in a
// "\\?\" or "\\.\" form, and one that is not absolute ("name", "X:name", "\name", "\\server" alone), comes back
// unchanged.
wide_string extended_length_path(const wide_string& path);

// What the W file calls are given for a local path: on Windows, one of MAX_PATH units or more (which the calls
// refuse as it is) in its extended-length form; elsewhere the path as it is, since POSIX paths have no such bound.
wide_string call_path(const wide_string& path);

// The local file calls of a copy, each on call_path of its names.
HANDLE create_local(const wide_string& path, DWORD disposition);
BOOL move_local(const wide_string& from, const wide_string& to, DWORD flags);
BOOL delete_local(const wide_string& path);
DWORD local_attributes(const wide_string& path);

// How many names a copy tries for its temporary file before it gives up.
inline constexpr int temporary_attempts = 32;

// Creates a new, empty temporary file in the target's folder, open for writing in handle, and returns its path;
// nothing when none could be made. The name ("twk", 8 hex digits, ".tmp") is made here rather than by
// GetTempFileName, which takes folders of MAX_PATH - 14 characters at most: each name is created with CREATE_NEW,
// and one already taken makes way for the next, up to temporary_attempts names.
std::optional<wide_string> create_temporary_beside(const wide_string& target, HANDLE& handle);
