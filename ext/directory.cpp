// Directory reading: records of the directory's blocks, read run by run and checked against their block.
#include "ext/directory.h"

#include "disk/byte_order.h"
#include "ext/fast_commit.h"
#include "ext/file_map.h"
#include "ext/inline_data.h"
#include "ext/inode_cache.h"
#include "ext/volume.h"

#include <algorithm>
#include <cstring>
#include <new>

namespace {

constexpr uint32_t record_head_bytes = 8;
constexpr size_t max_name_len = 255;
// A listing reads up to 1 MiB of a data run in one request; a lookup, which may stop at its first block, 64 KiB.
constexpr uint32_t listing_request_bytes = 1u << 20;
constexpr uint32_t lookup_request_bytes = 64u << 10;

// One on-disk directory record.
struct dir_record {
    uint32_t inode = 0;
    uint16_t rec_len = 0;
    uint8_t name_len = 0;
    uint8_t file_type = 0;
    const uint8_t* name = nullptr;  // name_len bytes inside the block
    uint32_t length = 0;            // rec_len as it counts
};

// The smallest record: a head and a one-byte name, rounded up to 4 bytes.
constexpr uint32_t min_record_bytes = 12;

// The room a record of a name of name_len bytes needs (EXT4_DIR_REC_LEN): the head and the name, rounded up to 4.
constexpr uint32_t record_room(uint32_t name_len)
{
    return (record_head_bytes + name_len + 3) & ~3u;
}

// What a record is checked against: the volume's inode count and block size.
struct record_rules {
    uint32_t inodes_count = 0;
    uint32_t block_size = 0;
};

// A record's length as stored: a block of 64 KiB cannot say 65536 in 16 bits, so there 0 and 65535 stand for the
// whole block and the two low bits carry bits 16 and 17, as e2fsprogs reads them (ext2fs_get_rec_len).
uint32_t record_length(uint16_t stored, uint32_t block_size)
{
    if (block_size < 65536)
        return stored;
    if (stored == 0 || stored == 65535)
        return block_size;
    return (stored & 65532u) | ((stored & 3u) << 16);
}

// The record at offset of an area of size bytes (a block, or one area of a folder kept in its inode), checked as
// the kernel checks it (ext4_check_dir_entry). False when the record fails: the rest of the area is not read.
bool parse_record(const uint8_t* area, uint32_t size, uint32_t offset, const record_rules& rules, dir_record& record)
{
    if (size - offset < record_head_bytes)
        return false;
    const uint8_t* bytes = area + offset;
    record.inode = read_le32(bytes, 0);
    record.rec_len = read_le16(bytes, 4);
    record.name_len = bytes[6];
    record.file_type = bytes[7];
    record.name = bytes + record_head_bytes;
    uint32_t length = record_length(record.rec_len, rules.block_size);
    uint32_t room = size - offset;
    record.length = length;
    return length >= min_record_bytes && length % 4 == 0 && length >= record_room(record.name_len) &&
           length <= room && (length == room || room - length >= min_record_bytes) &&
           record.inode <= rules.inodes_count;
}

enum class walk_end { finished, stopped, failed };

// Writes a record head and name at offset of a synthesised block.
void put_record(uint8_t* at, uint32_t inode, uint16_t rec_len, const char* name, uint8_t name_len)
{
    for (int i = 0; i < 4; ++i)
        at[i] = static_cast<uint8_t>(inode >> (8 * i));
    at[4] = static_cast<uint8_t>(rec_len);
    at[5] = static_cast<uint8_t>(rec_len >> 8);
    at[6] = name_len;
    at[7] = file_type_directory;
    std::memcpy(at + record_head_bytes, name, name_len);
}

// Hands the records of a folder kept in its inode to visit, as blocks: first "." and ".." (an inline folder stores
// only its parent's number, but lookups and listings expect both records), then the records in the rest of i_block,
// then those of the system.data value, each area tiled by its own records.
template <typename Visit>
walk_end walk_inline(uint32_t inode_number, const ext_inode& inode, Visit&& visit)
{
    std::vector<uint8_t> content;
    if (!inline_content(inode, content))
        return walk_end::failed;
    uint8_t dots[2 * (record_head_bytes + 4)] = {};
    put_record(dots, inode_number, record_head_bytes + 4, ".", 1);
    put_record(dots + record_head_bytes + 4, read_le32(content.data(), 0), record_head_bytes + 4, "..", 2);
    if (!visit(dots, static_cast<uint32_t>(sizeof dots)))
        return walk_end::stopped;
    if (!visit(content.data() + inline_parent_bytes, static_cast<uint32_t>(inline_block_bytes - inline_parent_bytes)))
        return walk_end::stopped;
    if (content.size() > inline_block_bytes &&
        !visit(content.data() + inline_block_bytes, static_cast<uint32_t>(content.size() - inline_block_bytes)))
        return walk_end::stopped;
    return walk_end::finished;
}

// Hands the records of a folder that fast commits created to visit, as one block: "." and ".." (to the parent they
// name). Its own blocks are not read: the kernel's replay writes a new folder's first block afresh and gives the
// folder that one block.
template <typename Visit>
walk_end walk_fresh(ext_volume& source, uint32_t inode_number, uint32_t parent, Visit&& visit)
{
    std::optional<ext_inode> inode = get_inode(source, inode_number);
    if (!inode || !inode->well_formed() || !inode->is_directory() || !inode->content_readable())
        return walk_end::failed;
    uint8_t dots[2 * (record_head_bytes + 4)] = {};
    put_record(dots, inode_number, record_head_bytes + 4, ".", 1);
    put_record(dots + record_head_bytes + 4, parent, record_head_bytes + 4, "..", 2);
    return visit(dots, static_cast<uint32_t>(sizeof dots)) ? walk_end::finished : walk_end::stopped;
}

// Hands each block of the directory to visit (which returns false to stop), in logical order, passing over holes.
// Runs of data and unwritten runs alike are read, in requests of at most request_bytes. The walk ends after the
// directory's last block: at most max_directory_blocks blocks, as each run advances it by at least one.
template <typename Visit>
walk_end walk_blocks(ext_volume& source, uint32_t inode_number, uint32_t request_bytes, Visit&& visit)
{
    if (!source.volume_info)
        return walk_end::failed;
    std::optional<ext_inode> inode = get_inode(source, inode_number);
    // Only a folder is read as one, whatever the record that led here says. The names of an encrypted folder are
    // ciphertext: listing them would show bytes no one named. A folder whose attributes Linux refuses does not open.
    if (!inode || !inode->well_formed() || !inode->is_directory() || !inode->content_readable() ||
        inode->attributes_damaged)
        return walk_end::failed;
    if (inode->has_inline_data())
        return walk_inline(inode_number, *inode, visit);
    const ext2_volume_info& volume = *source.volume_info;
    uint64_t blocks = (inode->size() + volume.block_size - 1) / volume.block_size;
    // A directory cannot hold more blocks than its volume; a size that says otherwise is damage.
    if (blocks > volume.blocks_count || blocks > max_directory_blocks)
        return walk_end::failed;
    uint32_t request_blocks = std::max<uint32_t>(1, request_bytes / volume.block_size);

    file_map map = open_file_map(source, *inode);
    uint64_t logical = 0;
    while (logical < blocks) {
        block_run run;
        if (!map_run(map, static_cast<uint32_t>(logical), run) || run.length == 0)
            return walk_end::failed;
        uint64_t length = std::min<uint64_t>(run.length, blocks - logical);
        if (run.kind != run_kind::hole) {
            if (!blocks_in_volume(volume, run.physical, length))
                return walk_end::failed;
            for (uint64_t done = 0; done < length;) {
                uint32_t count = static_cast<uint32_t>(std::min<uint64_t>(length - done, request_blocks));
                block_buffer data = read_blocks(source, run.physical + done, count);
                if (!data)
                    return walk_end::failed;
                for (uint32_t i = 0; i < count; ++i) {
                    if (!visit(data.get() + static_cast<size_t>(i) * volume.block_size, volume.block_size))
                        return walk_end::stopped;
                }
                done += count;
            }
        }
        logical += length;
    }
    return walk_end::finished;
}

// Appends the records of one block. False when a record fails its checks, or the listing would grow past its
// bounds.
bool split_block(const uint8_t* block, uint32_t block_size, const record_rules& rules, dir_listing& listing)
{
    dir_record record;
    for (uint32_t offset = 0; offset < block_size; offset += record.length) {
        if (!parse_record(block, block_size, offset, rules, record))
            return false;
        if (listing.entries.size() >= max_directory_records ||
            listing.names.size() + record.name_len > max_directory_name_bytes)
            return false;
        dir_entry entry;
        entry.inode = record.inode;
        entry.name_offset = static_cast<uint32_t>(listing.names.size());
        entry.rec_len = record.rec_len;
        entry.name_len = record.name_len;
        entry.file_type = record.file_type;
        listing.names.append(reinterpret_cast<const char*>(record.name), record.name_len);
        listing.entries.push_back(entry);
    }
    return true;
}

// Lays what fast commits did to a folder's names over its listing: a record of a name they added, or of a name
// and inode they removed, stops naming an inode, and each name that stands added gets a record of its own. False
// when the listing would grow past its bounds.
bool apply_replayed_names(const replayed_folder& folder, dir_listing& listing)
{
    for (dir_entry& entry : listing.entries) {
        if (entry.inode == 0)
            continue;
        auto found = folder.names.find(entry_name(listing, entry));
        if (found == folder.names.end())
            continue;
        const replayed_name& name = found->second;
        bool removed = std::find(name.removed.begin(), name.removed.end(), entry.inode) != name.removed.end();
        if (name.replaces_disk || removed)
            entry.inode = 0;
    }
    for (const auto& [name, replayed] : folder.names) {
        if (replayed.inode == 0)
            continue;
        if (listing.entries.size() >= max_directory_records ||
            listing.names.size() + name.size() > max_directory_name_bytes)
            return false;
        dir_entry entry;
        entry.inode = replayed.inode;
        entry.name_offset = static_cast<uint32_t>(listing.names.size());
        entry.name_len = static_cast<uint8_t>(name.size());
        entry.rec_len = static_cast<uint16_t>((record_head_bytes + name.size() + 3) / 4 * 4);
        entry.file_type = replayed.file_type;
        listing.names += name;
        listing.entries.push_back(entry);
    }
    return true;
}

void build_indexes(dir_listing& listing)
{
    listing.by_name.clear();
    listing.by_name.reserve(static_cast<size_t>(std::count_if(listing.entries.begin(), listing.entries.end(),
                                                              [](const dir_entry& entry) { return entry.inode != 0; })));
    for (size_t i = 0; i < listing.entries.size(); ++i) {
        if (listing.entries[i].inode != 0)
            listing.by_name.push_back(static_cast<uint32_t>(i));
    }
    listing.by_inode = listing.by_name;
    std::stable_sort(listing.by_name.begin(), listing.by_name.end(), [&listing](uint32_t a, uint32_t b) {
        return entry_name(listing, listing.entries[a]) < entry_name(listing, listing.entries[b]);
    });
    std::stable_sort(listing.by_inode.begin(), listing.by_inode.end(), [&listing](uint32_t a, uint32_t b) {
        return listing.entries[a].inode < listing.entries[b].inode;
    });
}

void clear_listing(dir_listing& listing)
{
    listing = dir_listing{};
}

record_rules rules_of(const ext_volume& source)
{
    if (!source.volume_info)
        return {};
    return {source.volume_info->superblock.s_inodes_count, source.volume_info->block_size};
}

}  // namespace

uint8_t inode_file_type(const ext_inode& inode)
{
    if (!inode.well_formed())
        return file_type_unknown;
    switch (inode.i_mode & mode_type_mask) {
    case mode_regular: return file_type_regular;
    case mode_directory: return file_type_directory;
    case mode_symlink: return file_type_symlink;
    case mode_character_device: return file_type_character_device;
    case mode_block_device: return file_type_block_device;
    case mode_fifo: return file_type_fifo;
    default: return file_type_socket;
    }
}

bool read_directory(ext_volume& source, uint32_t inode_number, dir_listing& listing)
{
    clear_listing(listing);
    try {
        const record_rules rules = rules_of(source);
        auto split = [&](const uint8_t* block, uint32_t block_size) {
            return split_block(block, block_size, rules, listing);
        };
        const replayed_folder* replayed =
            source.volume_info ? replayed_directory(*source.volume_info, inode_number) : nullptr;
        walk_end end = replayed && replayed->fresh ? walk_fresh(source, inode_number, replayed->parent, split)
                                                   : walk_blocks(source, inode_number, listing_request_bytes, split);
        if (end == walk_end::finished && replayed && !apply_replayed_names(*replayed, listing))
            end = walk_end::failed;
        if (end != walk_end::finished) {
            clear_listing(listing);
            return false;
        }
        listing.entries.shrink_to_fit();
        listing.names.shrink_to_fit();
        build_indexes(listing);
    } catch (const std::bad_alloc&) {
        clear_listing(listing);
        return false;
    }
    return true;
}

const dir_entry* find_in_listing(const dir_listing& listing, const char* name, size_t length)
{
    std::string_view wanted(name, length);
    auto first = std::lower_bound(listing.by_name.begin(), listing.by_name.end(), wanted,
                                  [&listing](uint32_t position, std::string_view value) {
                                      return entry_name(listing, listing.entries[position]) < value;
                                  });
    if (first == listing.by_name.end() || entry_name(listing, listing.entries[*first]) != wanted)
        return nullptr;
    return &listing.entries[*first];
}

lookup_result lookup_entry(ext_volume& source, uint32_t directory, const char* name, size_t length,
                           entry_match& result)
{
    if (length == 0 || length > max_name_len)
        return lookup_result::missing;
    // A name that fast commits touched, or any name of a folder they created, is looked up in the whole listing,
    // where their changes lie over the folder's records.
    const replayed_folder* replayed = source.volume_info ? replayed_directory(*source.volume_info, directory) : nullptr;
    if (replayed && (replayed->fresh || replayed->names.count(std::string_view(name, length)) != 0)) {
        dir_listing listing;
        if (!read_directory(source, directory, listing))
            return lookup_result::failed;
        const dir_entry* entry = find_in_listing(listing, name, length);
        if (entry == nullptr)
            return lookup_result::missing;
        result.inode = entry->inode;
        result.file_type = entry->file_type;
        return lookup_result::found;
    }
    const record_rules rules = rules_of(source);
    bool found = false;
    bool damaged = false;
    walk_end end = walk_blocks(source, directory, lookup_request_bytes, [&](const uint8_t* block, uint32_t block_size) {
        dir_record record;
        for (uint32_t offset = 0; offset < block_size; offset += record.length) {
            if (!parse_record(block, block_size, offset, rules, record)) {
                damaged = true;
                return true;
            }
            if (record.inode != 0 && record.name_len == length && std::memcmp(record.name, name, length) == 0) {
                result.inode = record.inode;
                result.file_type = record.file_type;
                found = true;
                return false;
            }
        }
        return true;
    });
    if (found)
        return lookup_result::found;
    return end == walk_end::failed || damaged ? lookup_result::failed : lookup_result::missing;
}
