// Owner and group names from a volume's /etc/passwd and /etc/group, kept per volume.
#include "plugin/owner_names.h"

#include "ext/file_map.h"
#include "ext/folder_cache.h"
#include "ext/inode_cache.h"
#include "ext/volume.h"
#include "platform/lock.h"
#include "plugin/path_lookup.h"

#include <algorithm>
#include <charconv>
#include <deque>
#include <mutex>
#include <new>
#include <optional>
#include <vector>

namespace {

// The inode of a name under a folder, following nothing: a link named /etc/passwd is not read.
std::optional<uint32_t> inode_in(ext_volume& source, uint32_t folder, std::string_view name)
{
    entry_match match;
    if (find_in_folder(source, folder, name.data(), name.size(), match) != lookup_result::found)
        return std::nullopt;
    return match.inode;
}

// The content of a regular file kept in blocks, up to owner_file_limit; nothing when it is larger, inline or
// cannot be read. Holes read as zeros.
std::optional<std::string> small_file(ext_volume& source, uint32_t number)
{
    std::optional<ext_inode> inode = named_inode(source, number);
    if (!inode || !inode->is_regular() || !inode->well_formed() || !inode->content_readable() ||
        inode->has_inline_data() || inode->size() > owner_file_limit)
        return std::nullopt;
    uint32_t block_size = source.volume_info->block_size;
    uint64_t size = inode->size();
    std::string text(static_cast<size_t>(size), '\0');
    std::vector<uint8_t> block(block_size);
    file_map map = open_file_map(source, *inode);
    // The size bound keeps this loop to owner_file_limit / block_size blocks.
    for (uint64_t offset = 0; offset < size; offset += block_size) {
        block_run run;
        if (!map_run(map, static_cast<uint32_t>(offset / block_size), run))
            return std::nullopt;
        size_t piece = static_cast<size_t>(std::min<uint64_t>(block_size, size - offset));
        if (run.kind == run_kind::data) {
            if (!read_blocks_into(source, run.physical, 1, block.data()))
                return std::nullopt;
            std::copy(block.begin(), block.begin() + static_cast<ptrdiff_t>(piece), text.begin() + offset);
        }
    }
    return text;
}

std::unordered_map<uint32_t, std::string> read_name_file(ext_volume& source, std::string_view name)
{
    std::optional<uint32_t> etc = inode_in(source, root_directory_inode, "etc");
    if (!etc)
        return {};
    std::optional<uint32_t> file = inode_in(source, *etc, name);
    if (!file)
        return {};
    std::optional<std::string> text = small_file(source, *file);
    return text ? parse_name_file(*text) : std::unordered_map<uint32_t, std::string>{};
}

struct names_cache {
    plugin_lock lock;
    std::deque<std::pair<uint64_t, std::shared_ptr<const owner_names>>> volumes;  // oldest first
};

names_cache& cache()
{
    static names_cache instance;
    return instance;
}

}  // namespace

std::unordered_map<uint32_t, std::string> parse_name_file(std::string_view text)
{
    std::unordered_map<uint32_t, std::string> names;
    while (!text.empty() && names.size() < owner_names_limit) {
        size_t end = text.find('\n');
        std::string_view line = text.substr(0, end);
        text = end == std::string_view::npos ? std::string_view{} : text.substr(end + 1);
        size_t first = line.find(':');
        size_t second = first == std::string_view::npos ? first : line.find(':', first + 1);
        size_t third = second == std::string_view::npos ? second : line.find(':', second + 1);
        if (first == 0 || third == std::string_view::npos || line[0] == '#')
            continue;
        uint32_t id = 0;
        const char* begin = line.data() + second + 1;
        const char* finish = line.data() + third;
        auto [stop, error] = std::from_chars(begin, finish, id);
        if (error != std::errc{} || stop != finish)
            continue;
        names.try_emplace(id, line.substr(0, first));
    }
    return names;
}

std::shared_ptr<const owner_names> names_of_owners(ext_volume& source)
{
    names_cache& kept = cache();
    {
        std::lock_guard<plugin_lock> guard(kept.lock);
        for (const auto& [id, names] : kept.volumes)
            if (id == source.cache_id)
                return names;
    }
    // Read outside the lock: two threads may both read a volume's files the first time, and the first kept wins.
    auto names = std::make_shared<owner_names>();
    try {
        names->users = read_name_file(source, "passwd");
        names->groups = read_name_file(source, "group");
    } catch (const std::bad_alloc&) {
        names = std::make_shared<owner_names>();
    }
    std::lock_guard<plugin_lock> guard(kept.lock);
    for (const auto& [id, known] : kept.volumes)
        if (id == source.cache_id)
            return known;
    if (kept.volumes.size() >= owner_names_volumes)
        kept.volumes.pop_front();
    kept.volumes.emplace_back(source.cache_id, names);
    return names;
}

std::string owner_name(const std::unordered_map<uint32_t, std::string>& names, uint32_t id)
{
    auto found = names.find(id);
    return found != names.end() ? found->second : std::to_string(id);
}
