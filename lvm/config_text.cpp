// LVM's configuration syntax parsed by recursive descent whose depth, value count and text size are bounded.
#include "lvm/config_text.h"

#include <limits>
#include <new>

namespace {

struct parser {
    std::string_view text;
    size_t at = 0;
    size_t values = 0;
    std::string error;

    bool fail(const char* what)
    {
        if (error.empty())
            error = std::string(what) + " at byte " + std::to_string(at);
        return false;
    }

    // Skips blanks and comments (# to the end of the line).
    void skip_space()
    {
        while (at < text.size()) {
            char c = text[at];
            if (c == '#') {
                while (at < text.size() && text[at] != '\n')
                    ++at;
            } else if (c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v') {
                ++at;
            } else {
                return;
            }
        }
    }

    static bool name_char(char c)
    {
        return c > ' ' && c != '#' && c != '=' && c != '{' && c != '}' && c != '[' && c != ']' && c != ',' &&
               c != '"' && c != '\'' && c != 0x7f;
    }

    bool count_value()
    {
        if (++values > max_config_values)
            return fail("too many values");
        return true;
    }

    bool read_name(std::string& name)
    {
        size_t start = at;
        while (at < text.size() && name_char(text[at]))
            ++at;
        if (at == start)
            return fail("a name expected");
        name.assign(text.substr(start, at - start));
        return true;
    }

    // A string in double quotes with backslash escapes, or in single quotes taken as it stands.
    bool read_string(std::string& out)
    {
        char quote = text[at++];
        while (at < text.size() && text[at] != quote) {
            if (quote == '"' && text[at] == '\\') {
                if (++at >= text.size())
                    break;
            }
            out.push_back(text[at++]);
        }
        if (at >= text.size())
            return fail("an unterminated string");
        ++at;
        return true;
    }

    // A decimal integer with an optional sign, or one with a fraction (kept as its text).
    bool read_number(config_value& value)
    {
        size_t start = at;
        bool negative = false;
        if (text[at] == '-' || text[at] == '+')
            negative = text[at++] == '-';
        uint64_t magnitude = 0;
        size_t digits = 0;
        for (; at < text.size() && text[at] >= '0' && text[at] <= '9'; ++at, ++digits) {
            uint64_t digit = static_cast<uint64_t>(text[at] - '0');
            if (magnitude > (std::numeric_limits<uint64_t>::max() - digit) / 10)
                return fail("a number too large");
            magnitude = magnitude * 10 + digit;
        }
        if (digits == 0)
            return fail("a value expected");
        if (at < text.size() && text[at] == '.') {
            ++at;
            while (at < text.size() && text[at] >= '0' && text[at] <= '9')
                ++at;
            value.type = config_value::kind::real;
            value.text.assign(text.substr(start, at - start));
            return true;
        }
        const uint64_t limit = static_cast<uint64_t>(std::numeric_limits<int64_t>::max());
        if (magnitude > limit + (negative ? 1 : 0))
            return fail("a number too large");
        value.type = config_value::kind::number;
        value.number = negative ? static_cast<int64_t>(0 - magnitude) : static_cast<int64_t>(magnitude);
        return true;
    }

    bool read_value(config_value& value)
    {
        if (at >= text.size())
            return fail("a value expected");
        if (!count_value())
            return false;
        if (text[at] == '"' || text[at] == '\'') {
            value.type = config_value::kind::text;
            return read_string(value.text);
        }
        return read_number(value);
    }

    // [ v, v, ... ] with an optional comma before the bracket.
    bool read_list(config_node& node)
    {
        ++at;
        node.is_list = true;
        for (;;) {
            skip_space();
            if (at >= text.size())
                return fail("an unterminated list");
            if (text[at] == ']') {
                ++at;
                return true;
            }
            node.values.emplace_back();
            if (!read_value(node.values.back()))
                return false;
            skip_space();
            if (at < text.size() && text[at] == ',')
                ++at;
            else if (at < text.size() && text[at] != ']')
                return fail("a comma or ] expected");
        }
    }

    // The items of a section up to its closing brace (or, at the top, the end of the text).
    bool read_items(config_node& section, int depth)
    {
        for (;;) {
            skip_space();
            if (at >= text.size())
                return depth == 0 || fail("an unterminated section");
            if (text[at] == '}') {
                if (depth == 0)
                    return fail("an unmatched }");
                ++at;
                return true;
            }
            if (!count_value())
                return false;
            section.children.emplace_back();
            config_node& node = section.children.back();
            if (!read_name(node.name))
                return false;
            skip_space();
            if (at < text.size() && text[at] == '{') {
                if (depth + 1 >= max_config_depth)
                    return fail("sections nested too deep");
                ++at;
                node.is_section = true;
                if (!read_items(node, depth + 1))
                    return false;
            } else if (at < text.size() && text[at] == '=') {
                ++at;
                skip_space();
                if (at < text.size() && text[at] == '[') {
                    if (!read_list(node))
                        return false;
                } else {
                    node.values.emplace_back();
                    if (!read_value(node.values.back()))
                        return false;
                }
            } else {
                return fail("{ or = expected");
            }
        }
    }
};

const config_node* assignment(const config_node& section, std::string_view name)
{
    return config_child(section, name, false);
}

}  // namespace

std::optional<config_node> parse_config_text(std::string_view text, std::string* why)
{
    text = text.substr(0, text.find('\0'));
    if (text.size() > max_config_text) {
        if (why)
            *why = "text larger than the bound";
        return std::nullopt;
    }
    parser state;
    state.text = text;
    config_node root;
    root.is_section = true;
    try {
        if (state.read_items(root, 0))
            return root;
    } catch (const std::bad_alloc&) {
        state.error = "out of memory";
    }
    if (why)
        *why = state.error;
    return std::nullopt;
}

const config_node* config_child(const config_node& section, std::string_view name, bool section_wanted)
{
    for (const config_node& child : section.children)
        if (child.is_section == section_wanted && child.name == name)
            return &child;
    return nullptr;
}

std::optional<int64_t> config_number(const config_node& section, std::string_view name)
{
    const config_node* node = assignment(section, name);
    if (!node || node->is_list || node->values.size() != 1 || node->values[0].type != config_value::kind::number)
        return std::nullopt;
    return node->values[0].number;
}

std::optional<std::string> config_string(const config_node& section, std::string_view name)
{
    const config_node* node = assignment(section, name);
    if (!node || node->is_list || node->values.size() != 1 || node->values[0].type != config_value::kind::text)
        return std::nullopt;
    return node->values[0].text;
}

bool config_list_has(const config_node& section, std::string_view name, std::string_view text)
{
    const config_node* node = assignment(section, name);
    if (!node || !node->is_list)
        return false;
    for (const config_value& value : node->values)
        if (value.type == config_value::kind::text && value.text == text)
            return true;
    return false;
}
