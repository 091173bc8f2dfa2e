// Reads of volume blocks through the volume's source, with the journal's copies laid over the blocks they replace.
#include "ext/block_read.h"

#include <algorithm>
#include <new>

namespace {

bool blocks_inside(const block_geometry& geometry, uint64_t block, uint64_t count)
{
    return block < geometry.blocks_count && count <= geometry.blocks_count - block;
}

// The byte length of count blocks, when they lie inside the volume and the source and fit one request.
bool request_bytes(const block_source& source, const block_geometry& geometry, uint64_t block, uint32_t count,
                   uint32_t& bytes)
{
    if (count == 0 || geometry.block_size == 0 || !blocks_inside(geometry, block, count) ||
        block + count > source.size / geometry.block_size)
        return false;
    uint64_t wide = static_cast<uint64_t>(count) * geometry.block_size;
    if (wide > UINT32_MAX)
        return false;
    bytes = static_cast<uint32_t>(wide);
    return true;
}

}  // namespace

bool read_geometry_blocks(const block_source& source, const block_geometry& geometry, uint64_t block, uint32_t count,
                          uint8_t* target)
{
    uint32_t bytes = 0;
    if (!request_bytes(source, geometry, block, count, bytes))
        return false;
    // block + count lies within source.size / block_size, so the product stays below the source's size.
    if (!read_source(source, block * geometry.block_size, bytes, target))
        return false;
    // The replay map is sorted and fixed after the mount: the entries inside the request follow each other, at
    // most count of them.
    const std::vector<replay_entry>& entries = geometry.replay.entries;
    auto first = std::lower_bound(entries.begin(), entries.end(), block,
                                  [](const replay_entry& entry, uint64_t b) { return entry.volume_block < b; });
    for (auto it = first; it != entries.end() && it->volume_block < block + count; ++it) {
        uint8_t* copy = target + static_cast<size_t>(it->volume_block - block) * geometry.block_size;
        uint32_t one = 0;
        if (!request_bytes(source, geometry, it->copy_block, 1, one) ||
            !read_source(source, it->copy_block * geometry.block_size, one, copy))
            return false;
        if (it->escaped) {
            // The journal zeroes a block's first four bytes when they would read as its own magic.
            copy[0] = static_cast<uint8_t>(journal_magic >> 24);
            copy[1] = static_cast<uint8_t>(journal_magic >> 16);
            copy[2] = static_cast<uint8_t>(journal_magic >> 8);
            copy[3] = static_cast<uint8_t>(journal_magic);
        }
    }
    return true;
}

block_buffer read_geometry_blocks(const block_source& source, const block_geometry& geometry, uint64_t block,
                                  uint32_t count)
{
    uint32_t bytes = 0;
    if (!request_bytes(source, geometry, block, count, bytes))
        return nullptr;
    block_buffer buffer(new (std::nothrow) uint8_t[bytes]);
    if (!buffer || !read_geometry_blocks(source, geometry, block, count, buffer.get()))
        return nullptr;
    return buffer;
}
