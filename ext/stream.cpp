// File content streaming: runs read in large requests into one buffer, written in the same large pieces.
#include "ext/stream.h"

#include "ext/file_map.h"
#include "ext/inline_data.h"
#include "ext/volume.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

namespace {

// Raw drive reads want buffers aligned to the sector size; a page covers every sector size in use.
constexpr size_t buffer_alignment = 4096;

// A buffer of a given size whose first byte is aligned to buffer_alignment.
struct aligned_buffer {
    std::unique_ptr<uint8_t[]> storage;
    uint8_t* data = nullptr;

    bool allocate(size_t size, bool zeroed)
    {
        storage.reset(zeroed ? new (std::nothrow) uint8_t[size + buffer_alignment]()
                             : new (std::nothrow) uint8_t[size + buffer_alignment]);
        if (!storage)
            return false;
        auto address = reinterpret_cast<uintptr_t>(storage.get());
        data = storage.get() + (buffer_alignment - address % buffer_alignment) % buffer_alignment;
        return true;
    }
};

// The output side of one copy: the bytes still to write, and the count the caller watches.
struct output_file {
    HANDLE handle;
    uint64_t size;          // the file's size: no write goes past it
    uint64_t written = 0;
    std::atomic<uint64_t>* counter;

    // Writes up to length bytes of data, clipped to what the file still lacks.
    bool write(const uint8_t* data, uint32_t length)
    {
        uint32_t piece = static_cast<uint32_t>(std::min<uint64_t>(length, size - written));
        DWORD done = 0;
        if (!WriteFile(handle, data, piece, &done, nullptr) || done != piece)
            return false;
        written += piece;
        if (counter)
            counter->store(written);
        return true;
    }
};

}  // namespace

void stream_file(ext_volume& source, uint32_t inode_number, HANDLE output, std::atomic<int32_t>* status,
                 const std::atomic<int32_t>* abort_requested, std::atomic<uint64_t>* bytes_written)
{
    status->store(0);
    if (bytes_written)
        bytes_written->store(0);
    if (output == INVALID_HANDLE_VALUE || !source.volume_info) {
        status->store(-1);
        return;
    }
    std::optional<ext_inode> inode = get_inode(source, inode_number);
    // An inode Linux refuses for its attributes cannot be opened, even when it is empty.
    if (!inode || !inode->content_readable() || inode->attributes_damaged) {
        status->store(-1);
        return;
    }
    uint64_t size = inode->size();
    if (size == 0)
        return;
    if (inode->has_inline_data()) {
        // The content lies in the inode: a size beyond what i_block and system.data hold is damage.
        std::vector<uint8_t> content;
        output_file out{output, size, 0, bytes_written};
        if (abort_requested->load() != 0 || !inline_content(*inode, content) || size > content.size() ||
            !out.write(content.data(), static_cast<uint32_t>(size)))
            status->store(-1);
        return;
    }
    const uint32_t block_size = source.volume_info->block_size;
    const uint64_t blocks = (size + block_size - 1) / block_size;
    file_map map = open_file_map(source, *inode);
    // A size beyond what the inode's mapping can address is damage, not a sparse file. Any smaller size can be a
    // real sparse file (larger than its volume, even) and is copied in full; the host's abort and a full target
    // end it early.
    if (blocks > mappable_blocks(map)) {
        status->store(-1);
        return;
    }

    // The buffer holds capacity whole blocks: one read request, and one write.
    const uint32_t capacity = std::max<uint32_t>(1, stream_request_bytes / block_size);
    aligned_buffer buffer;
    aligned_buffer zeros;  // allocated at the first stretch of zeros that fills a whole request
    if (!buffer.allocate(static_cast<size_t>(capacity) * block_size, false)) {
        status->store(-1);
        return;
    }
    output_file out{output, size, 0, bytes_written};
    uint32_t pending = 0;  // blocks filled in the buffer and not yet written
    auto flush = [&] {
        bool ok = pending == 0 || out.write(buffer.data, pending * block_size);
        pending = 0;
        return ok;
    };

    // Each pass of the inner loop makes one request (a read, or a write of zeros) or fills part of the buffer with
    // zeros, and moves on by at least one block: the walk ends after at most 2 * blocks passes.
    for (uint64_t logical = 0; logical < blocks;) {
        block_run run;
        if (!map_run(map, static_cast<uint32_t>(logical), run)) {
            status->store(-1);
            return;
        }
        uint64_t left = std::min<uint64_t>(run.length, blocks - logical);
        uint64_t physical = run.physical;
        while (left > 0) {
            if (abort_requested->load() != 0) {
                status->store(-1);
                return;
            }
            // A data run that does not fit in what is left of the buffer starts a fresh one, so that it is read
            // in whole requests.
            if (pending == capacity || (run.kind == run_kind::data && pending > 0 && left > capacity - pending)) {
                if (!flush()) {
                    status->store(-1);
                    return;
                }
                continue;
            }
            uint32_t count = static_cast<uint32_t>(std::min<uint64_t>(left, capacity - pending));
            if (run.kind == run_kind::data) {
                if (!read_blocks_into(source, physical, count, buffer.data + static_cast<size_t>(pending) * block_size)) {
                    status->store(-1);
                    return;
                }
                pending += count;
                physical += count;
            } else if (pending == 0 && count == capacity) {
                // A whole request of zeros goes straight from the zero buffer.
                if ((!zeros.data && !zeros.allocate(static_cast<size_t>(capacity) * block_size, true)) ||
                    !out.write(zeros.data, capacity * block_size)) {
                    status->store(-1);
                    return;
                }
            } else {
                std::memset(buffer.data + static_cast<size_t>(pending) * block_size, 0,
                            static_cast<size_t>(count) * block_size);
                pending += count;
            }
            logical += count;
            left -= count;
        }
    }
    if (!flush())
        status->store(-1);
}
