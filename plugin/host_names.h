// Names as the host is shown them: always valid UTF-8, and under Windows' rules free of separators, characters a
// Windows name cannot hold, trailing dots and spaces, and reserved device names.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <unordered_map>

// Which names a host's file system can take: Windows' (ASCII punctuation of its own, controls and device names
// are unsafe) or POSIX's (only "/" and NUL, which only a damaged ext record holds).
enum class name_rules { windows, posix };

#ifdef _WIN32
inline constexpr name_rules host_name_rules = name_rules::windows;
#else
inline constexpr name_rules host_name_rules = name_rules::posix;
#endif

// The name shown for an on-disk name on its own: each invalid UTF-8 sequence becomes U+FFFD; under POSIX's rules NUL
// becomes U+2400 and "/" U+FF0F; under Windows' rules
// each of \ / : * ? " < > | becomes its fullwidth form (U+FF3C for "\", ...), each control character its control
// picture (U+2401 for 0x01, ...), a trailing dot or space its fullwidth form, and a reserved device name (CON,
// PRN, AUX, NUL, COM0-9, LPT0-9, CONIN$, CONOUT$, in any case, alone or before an extension) gets "_" after its
// base ("CON.txt" is shown as "CON_.txt"). No name shown is "", "." or "..", or holds a separator, so no shown
// name can lead a copy out of the folder it is copied into.
std::string shown_name(std::string_view on_disk, name_rules rules = host_name_rules);

// The names of a folder that shown_name changes, by their index in the folder's listing, made unique: a changed
// name that meets a name already taken (an unchanged name of the folder, or a changed name before it) gets " (2)",
// " (3)", ... before its extension. So does a name that a damaged folder holds more than once, from its second
// occurrence on. Names left out of the map are shown as they are on disk, and are unique. name_at gives the i-th
// name, for i below count.
std::unordered_map<uint32_t, std::string> changed_names(uint32_t count,
                                                        const std::function<std::string_view(uint32_t)>& name_at,
                                                        name_rules rules = host_name_rules);

// The same over the names as one kind of export shows them: shown gives the name the host sees for an on-disk
// name, expressed in UTF-8 (for an export in a narrower encoding, what that encoding makes of it, read back). A
// name that shown leaves as it is keeps it (its first occurrence, where a damaged folder repeats it); the others
// are made unique as above.
std::unordered_map<uint32_t, std::string> changed_names(uint32_t count,
                                                        const std::function<std::string_view(uint32_t)>& name_at,
                                                        const std::function<std::string(std::string_view)>& shown);
