// File content streaming, one block at a time.
#include "ext/stream.h"

#include "disk/partition.h"
#include "ext/block_map.h"
#include "ext/volume.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <new>

namespace {

bool write_all(HANDLE output, const uint8_t* data, uint32_t length)
{
    DWORD written = 0;
    return WriteFile(output, data, length, &written, nullptr) && written == length;
}

}  // namespace

void stream_file(partition_linux_ext2& source, uint32_t inode_number, HANDLE output, std::atomic<int32_t>* status,
                 const std::atomic<int32_t>* abort_requested)
{
    status->store(0);
    if (output == INVALID_HANDLE_VALUE || !source.volume_info) {
        status->store(-1);
        return;
    }
    std::optional<ext_inode> inode = get_inode(source, inode_number);
    if (!inode) {
        status->store(-1);
        return;
    }
    uint64_t size = inode->size();
    if (size == 0)
        return;
    const uint32_t block_size = source.volume_info->block_size;
    uint64_t blocks = (size + block_size - 1) / block_size;
    // A size beyond what the inode's mapping can address is damage, not a sparse file: logical block numbers are
    // 32 bits wide, and a block map ends with its triple-indirect range. Any smaller size can be a real sparse file
    // (larger than its volume, even) and is copied in full; the host's abort and a full target end it early.
    uint64_t mappable = static_cast<uint64_t>(std::numeric_limits<uint32_t>::max()) + 1;
    if (!inode->uses_extents()) {
        uint64_t per_block = block_size / 4;
        mappable = std::min(mappable, 12 + per_block + per_block * per_block + per_block * per_block * per_block);
    }
    if (blocks > mappable) {
        status->store(-1);
        return;
    }
    std::unique_ptr<uint8_t[]> zeros(new (std::nothrow) uint8_t[block_size]());
    if (!zeros) {
        status->store(-1);
        return;
    }

    block_map_cursor cursor = make_cursor(source, *inode);
    for (uint64_t i = 0; i < blocks; ++i) {
        if (abort_requested->load() != 0) {
            status->store(-1);
            break;
        }
        uint64_t block = 0;
        block_mapping mapping = map_logical_block(cursor, static_cast<uint32_t>(i), block);
        sector_buffer data;
        const uint8_t* content = zeros.get();
        if (mapping == block_mapping::mapped) {
            data = read_block(source, block);
            content = data.get();
        }
        uint32_t length = i + 1 < blocks ? block_size : static_cast<uint32_t>(size - i * block_size);
        if (mapping == block_mapping::failed || content == nullptr || !write_all(output, content, length)) {
            status->store(-1);
            break;
        }
    }
    release_cursor(cursor);
}
