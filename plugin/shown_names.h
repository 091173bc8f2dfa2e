// The names one kind of export shows for a folder's entries, kept per listing, and lookups by those names.
#pragma once

#include "ext/folder_cache.h"
#include "plugin/host_names.h"
#include "plugin/host_text.h"

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>

struct ext_volume;

// How a host is shown names: the rules of its file system and the kind of export it calls.
struct name_view {
    name_rules rules = host_name_rules;
    host_text_kind kind = host_text_kind::ansi;
    bool operator==(const name_view&) const = default;
};

// A changed name is cut to this many characters of the export's kind (bytes or UTF-16 units), so that a number
// added to make it unique (" (524289)" at most, for the largest folder read) still fits the host's name field.
inline constexpr size_t changed_name_limit = host_text_limit - 12;

// The name a host of this view sees for an on-disk name on its own, in UTF-8: shown_name, then for the ANSI kind
// what the code page makes of it, read back; a name that changes is cut to changed_name_limit.
std::string shown_form(std::string_view on_disk, const name_view& view);

// The changed names of a folder's visible entries (inode named; not "", "." or ".."), unique in the folder, by
// position in the listing, and the positions by name. Each changed name takes at most three bytes for each byte
// of its on-disk name (U+FFFD for a bad byte) plus its number, so a folder's names stay within three times its
// listing's name bytes and a fixed cost per entry.
struct folder_names {
    std::unordered_map<uint32_t, std::string> changed;
    std::unordered_map<std::string_view, uint32_t> position_of;  // views into changed
};

// The names of a listing under a view, computed once and kept while the listing lives, for at most
// shown_names_cache_folders listings and shown_names_cache_bytes of names (the least recently used go first).
inline constexpr size_t shown_names_cache_folders = 16;
inline constexpr size_t shown_names_cache_bytes = 4u << 20;
std::shared_ptr<const folder_names> names_of_folder(const shared_listing& listing, const name_view& view);

// The name the host sees for the entry at position in listing, in UTF-8.
std::string name_shown(const dir_listing& listing, uint32_t position, const folder_names& names);
