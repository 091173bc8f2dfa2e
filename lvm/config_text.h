// LVM's configuration text, the syntax of its volume-group metadata: a bounded parser into sections and values.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// Text longer than this is refused before it is parsed (LVM's own metadata areas default to 1 MiB).
inline constexpr size_t max_config_text = size_t{1} << 20;
// Sections nest at most this deep; LVM's metadata uses five levels (VG, logical_volumes, LV, segment).
inline constexpr int max_config_depth = 16;
// Sections, assignments and list items together: more than this is refused, so parsed text stays small.
inline constexpr size_t max_config_values = 262144;

// One value: a number, a quoted string, or a number with a fraction (kept as text, LVM's metadata has none).
struct config_value {
    enum class kind { number, text, real };
    kind type = kind::number;
    int64_t number = 0;
    std::string text;
};

// A section (`name { ... }`) with its children in text order, or an assignment (`name = value` or
// `name = [ v, ... ]`) with its values.
struct config_node {
    std::string name;
    bool is_section = false;
    bool is_list = false;
    std::vector<config_value> values;
    std::vector<config_node> children;
};

// The whole text as the children of one unnamed section. Nothing when the text breaks the syntax or a bound;
// why then says where and what. Text from the first NUL on is ignored, as LVM stores its text NUL-terminated.
std::optional<config_node> parse_config_text(std::string_view text, std::string* why = nullptr);

// The first child section or assignment of that name; null when there is none.
const config_node* config_child(const config_node& section, std::string_view name, bool section_wanted);
// An assignment's single number or string; nothing when absent, a list, or of the other kind.
std::optional<int64_t> config_number(const config_node& section, std::string_view name);
std::optional<std::string> config_string(const config_node& section, std::string_view name);
// True when the assignment is a list holding this string ("VISIBLE" in a status list).
bool config_list_has(const config_node& section, std::string_view name, std::string_view text);
