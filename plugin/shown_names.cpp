// Shown names per export kind, their per-listing cache, and the name cut that keeps numbered names in bounds.
#include "plugin/shown_names.h"

#include "platform/lock.h"

#include <list>
#include <mutex>
#include <vector>

namespace {

// The length of UTF-8 text in the export's characters: UTF-16 units, or (for the ANSI kind, whose text is already
// what the code page holds) the bytes of its ANSI form.
size_t host_length(std::string_view utf8, host_text_kind kind)
{
    if (kind == host_text_kind::ansi)
        return ansi_from_utf8(utf8).size();
    size_t units = 0;
    for (unsigned char c : utf8)
        units += (c & 0xC0) != 0x80 ? (c >= 0xF0 ? 2 : 1) : 0;
    return units;
}

// Cuts valid UTF-8 text at a character boundary until it fits the limit; under Windows' rules it does not end in
// a dot or a space, which Windows would drop from a file name.
void cut_to_limit(std::string& text, const name_view& view)
{
    auto ends_badly = [&] {
        return view.rules == name_rules::windows && (text.back() == '.' || text.back() == ' ');
    };
    if (host_length(text, view.kind) <= changed_name_limit)
        return;
    // Each pass drops one character; a name holds at most 255 * 3 bytes here, so this ends.
    while (!text.empty() && (host_length(text, view.kind) > changed_name_limit || ends_badly())) {
        size_t end = text.size() - 1;
        while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80)
            --end;
        text.resize(end);
    }
}

struct cached_names {
    std::weak_ptr<const dir_listing> listing;
    const dir_listing* key = nullptr;
    name_view view;
    std::shared_ptr<const folder_names> names;
    size_t bytes = 0;
};

plugin_lock cache_lock;
std::list<cached_names> cache;  // most recently used first; guarded by cache_lock
size_t cache_bytes = 0;

size_t names_bytes(const folder_names& names)
{
    size_t bytes = sizeof names;
    for (const auto& [position, name] : names.changed)
        bytes += name.capacity() + 64;  // the name and both maps' nodes
    return bytes;
}

std::shared_ptr<const folder_names> compute_names(const dir_listing& listing, const name_view& view)
{
    std::vector<uint32_t> visible;
    for (uint32_t i = 0; i < listing.entries.size(); ++i) {
        const dir_entry& entry = listing.entries[i];
        std::string_view name = entry_name(listing, entry);
        if (entry.inode != 0 && !name.empty() && name != "." && name != "..")
            visible.push_back(i);
    }
    auto names = std::make_shared<folder_names>();
    auto changed = changed_names(
        static_cast<uint32_t>(visible.size()),
        [&](uint32_t i) { return entry_name(listing, listing.entries[visible[i]]); },
        [&](std::string_view name) { return shown_form(name, view); });
    for (auto& [i, name] : changed)
        names->changed.emplace(visible[i], std::move(name));
    for (const auto& [position, name] : names->changed)
        names->position_of.emplace(name, position);
    return names;
}

}  // namespace

std::string shown_form(std::string_view on_disk, const name_view& view)
{
    std::string shown = shown_name(on_disk, view.rules);
    if (view.kind == host_text_kind::ansi)
        shown = utf8_from_ansi(ansi_from_utf8(shown));
    if (shown != on_disk)
        cut_to_limit(shown, view);
    return shown;
}

std::shared_ptr<const folder_names> names_of_folder(const shared_listing& listing, const name_view& view)
{
    {
        std::lock_guard<plugin_lock> guard(cache_lock);
        for (auto it = cache.begin(); it != cache.end();) {
            shared_listing alive = it->listing.lock();
            if (!alive) {
                cache_bytes -= it->bytes;
                it = cache.erase(it);
                continue;
            }
            if (it->key == listing.get() && it->view == view) {
                cache.splice(cache.begin(), cache, it);
                return cache.front().names;
            }
            ++it;
        }
    }
    // Computed outside the lock: a large folder takes a while, and two threads computing the same names at once
    // only keep one of them.
    std::shared_ptr<const folder_names> names = compute_names(*listing, view);
    size_t bytes = names_bytes(*names);
    if (bytes > shown_names_cache_bytes)
        return names;
    std::lock_guard<plugin_lock> guard(cache_lock);
    cache.push_front(cached_names{listing, listing.get(), view, names, bytes});
    cache_bytes += bytes;
    while (cache.size() > shown_names_cache_folders || cache_bytes > shown_names_cache_bytes) {
        cache_bytes -= cache.back().bytes;
        cache.pop_back();
    }
    return names;
}

std::string name_shown(const dir_listing& listing, uint32_t position, const folder_names& names)
{
    auto found = names.changed.find(position);
    if (found != names.changed.end())
        return found->second;
    return std::string(entry_name(listing, listing.entries[position]));
}
