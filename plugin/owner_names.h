// User and group names a volume's own /etc/passwd and /etc/group give its numeric owners, read once per volume.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>

struct ext_volume;

// A name file is read only up to this size; a larger one is ignored, and its owners show as numbers.
inline constexpr uint64_t owner_file_limit = 1u << 20;
// At most this many names are kept of each file (the first ones, as the C library's lookup finds the first).
inline constexpr size_t owner_names_limit = 65536;
// The names of at most this many volumes are kept; the oldest are dropped first.
inline constexpr size_t owner_names_volumes = 16;

// The names of one volume: uid or gid to name. Empty where the volume has no such file or it cannot be read.
struct owner_names {
    std::unordered_map<uint32_t, std::string> users;
    std::unordered_map<uint32_t, std::string> groups;
};

// Parses the text of a passwd or group file: "name:x:number:..." per line; a line that does not have that shape is
// skipped, and the first name given a number wins. At most owner_names_limit names.
std::unordered_map<uint32_t, std::string> parse_name_file(std::string_view text);

// The names of a mounted volume: read from its files on the first call, then kept (keyed by the volume's cache id,
// for owner_names_volumes volumes at most). Safe to call from several threads.
std::shared_ptr<const owner_names> names_of_owners(ext_volume& source);

// The name for id in names, or the number in decimal when it has none.
std::string owner_name(const std::unordered_map<uint32_t, std::string>& names, uint32_t id);
