// Shown names: UTF-8 repair, Windows' forbidden characters and device names, and names made unique per folder.
#include "plugin/host_names.h"

#include <array>
#include <unordered_set>

namespace {

constexpr char32_t replacement_character = 0xFFFD;

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

// The length of the valid UTF-8 sequence at text[i], or 0 when none starts there (overlong forms, surrogates and
// values past U+10FFFF are invalid).
size_t valid_sequence(std::string_view text, size_t i, char32_t& value)
{
    auto byte = [&](size_t k) { return static_cast<unsigned char>(text[k]); };
    unsigned char lead = byte(i);
    if (lead < 0x80) {
        value = lead;
        return 1;
    }
    size_t length = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC0 ? 2 : 0;
    if (length == 0 || lead > 0xF4 || i + length > text.size())
        return 0;
    value = lead & (0x7F >> length);
    for (size_t k = 1; k < length; ++k) {
        if ((byte(i + k) & 0xC0) != 0x80)
            return 0;
        value = (value << 6) | (byte(i + k) & 0x3F);
    }
    static constexpr std::array<char32_t, 5> smallest{0, 0, 0x80, 0x800, 0x10000};
    if (value < smallest[length] || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF))
        return 0;
    return length;
}

// The stand-in for a character a Windows name cannot hold, or 0 when it can hold it.
char32_t windows_stand_in(char32_t c)
{
    if (c >= 1 && c < 0x20)
        return 0x2400 + c;  // control pictures
    switch (c) {
    case '\\': case '/': case ':': case '*': case '?': case '"': case '<': case '>': case '|':
        return 0xFF00 + (c - 0x20);  // fullwidth forms
    default:
        return 0;
    }
}

bool is_reserved_base(std::string_view base)
{
    static constexpr std::array<std::string_view, 6> plain{"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$"};
    std::string upper;
    for (char c : base)
        upper += (c >= 'a' && c <= 'z') ? static_cast<char>(c - 32) : c;
    for (std::string_view name : plain) {
        if (upper == name)
            return true;
    }
    return upper.size() == 4 && (upper.rfind("COM", 0) == 0 || upper.rfind("LPT", 0) == 0) && upper[3] >= '0' &&
           upper[3] <= '9';
}

// The name with " (n)" before its extension (the part from its last dot, unless that dot is its first character).
std::string numbered(std::string_view name, uint32_t n)
{
    size_t dot = name.rfind('.');
    if (dot == std::string_view::npos || dot == 0)
        dot = name.size();
    std::string result(name.substr(0, dot));
    result += " (" + std::to_string(n) + ")";
    result += name.substr(dot);
    return result;
}

}  // namespace

std::string shown_name(std::string_view on_disk, name_rules rules)
{
    std::string out;
    out.reserve(on_disk.size());
    for (size_t i = 0; i < on_disk.size();) {
        char32_t c = 0;
        size_t length = valid_sequence(on_disk, i, c);
        if (length == 0) {
            c = replacement_character;
            length = 1;
        }
        if (rules == name_rules::posix) {
            // Only a damaged record holds these; the host would cut the name at the NUL, or split it at the "/".
            if (c == 0)
                c = 0x2400;  // symbol for null
            else if (c == '/')
                c = 0xFF0F;  // fullwidth solidus
        } else {
            if (char32_t stand_in = windows_stand_in(c))
                c = stand_in;
            else if ((c == '.' || c == ' ') && i + length == on_disk.size())
                c = c == '.' ? 0xFF0E : 0x3000;  // fullwidth full stop, ideographic space
        }
        append_utf8(out, c);
        i += length;
    }
    if (rules == name_rules::posix) {
        if (out.empty() || out == "." || out == "..")
            out += "\xEF\xBF\xBD";
        return out;
    }
    size_t dot = out.find('.');
    if (is_reserved_base(std::string_view(out).substr(0, dot))) {
        // Built anew rather than by insert(), which GCC 12 at -O3 misreads as an overlapping copy (-Wrestrict).
        size_t end = dot == std::string::npos ? out.size() : dot;
        std::string marked = out.substr(0, end);
        marked += '_';
        marked.append(out, end, std::string::npos);
        out = std::move(marked);
    }
    if (out.empty())
        out = "\xEF\xBF\xBD";
    return out;
}

std::unordered_map<uint32_t, std::string> changed_names(uint32_t count,
                                                        const std::function<std::string_view(uint32_t)>& name_at,
                                                        name_rules rules)
{
    return changed_names(count, name_at, [rules](std::string_view name) { return shown_name(name, rules); });
}

std::unordered_map<uint32_t, std::string> changed_names(uint32_t count,
                                                        const std::function<std::string_view(uint32_t)>& name_at,
                                                        const std::function<std::string(std::string_view)>& shown_as)
{
    std::unordered_map<uint32_t, std::string> changed;
    std::unordered_set<std::string_view> unchanged;
    for (uint32_t i = 0; i < count; ++i) {
        std::string_view name = name_at(i);
        std::string shown = shown_as(name);
        // A damaged folder may hold a name twice: the first keeps it, the others are numbered like changed names.
        if (shown != name || !unchanged.insert(name).second)
            changed.emplace(i, std::move(shown));
    }
    if (changed.empty())
        return changed;
    // In listing order, so that the same folder always gives the same names.
    std::unordered_set<std::string> taken;
    for (uint32_t i = 0; i < count; ++i) {
        auto found = changed.find(i);
        if (found == changed.end())
            continue;
        std::string candidate = found->second;
        // Each attempt takes a new number, and at most count names are taken, so this ends within count + 1 tries.
        for (uint32_t n = 2; unchanged.count(candidate) != 0 || taken.count(candidate) != 0; ++n)
            candidate = numbered(found->second, n);
        taken.insert(candidate);
        found->second = std::move(candidate);
    }
    return changed;
}
