// File content streaming: a reader thread fills a ring of large buffers from the drive while the calling thread
// writes them out, skipping holes on a target that can be made sparse.
#include "ext/stream.h"

#include "ext/file_map.h"
#include "ext/inline_data.h"
#include "ext/volume.h"
#include "platform/wait_point.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <vector>

namespace {

// Raw drive reads want buffers aligned to the sector size; a page covers every sector size in use.
constexpr size_t buffer_alignment = 4096;

// A hole at least this long goes to the writer as a hole (skipped on a sparse target); a shorter one is filled
// with zeros in the buffer around it, so that scattered single empty blocks do not break up the writes. 64 KiB is
// the unit in which NTFS allocates a sparse file.
constexpr uint64_t hole_piece_bytes = 64u << 10;

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

// One stretch of the file handed from the reader to the writer: bytes from a buffer, or a hole of bytes zeros.
struct piece {
    bool hole = false;
    uint64_t bytes = 0;
};

// The output side of one copy: the bytes still to write, and the count the caller watches.
struct output_file {
    HANDLE handle;
    uint64_t size;          // the file's size: no write goes past it
    uint64_t written = 0;   // bytes of the file behind the file pointer, holes skipped included
    std::atomic<uint64_t>* counter;
    int sparse = -1;        // -1 until the first hole: then whether the target took FSCTL_SET_SPARSE
    aligned_buffer zeros{};  // a hole's zeros on a target that is not sparse, allocated at the first
    uint32_t zeros_bytes = 0;

    void advance(uint64_t bytes)
    {
        written += bytes;
        if (counter)
            counter->store(written);
    }

    // Writes up to length bytes of data, clipped to what the file still lacks.
    bool write(const uint8_t* data, uint64_t length)
    {
        uint32_t part = static_cast<uint32_t>(std::min<uint64_t>(length, size - written));
        DWORD done = 0;
        if (!WriteFile(handle, data, part, &done, nullptr) || done != part)
            return false;
        advance(part);
        return true;
    }

    // A hole of length bytes (clipped as a write): skipped by moving the file pointer on a sparse target, written
    // as zeros in requests of up to zeros_limit bytes elsewhere, with abort_requested checked before each.
    bool skip(uint64_t length, uint32_t zeros_limit, const std::atomic<int32_t>* abort_requested)
    {
        length = std::min<uint64_t>(length, size - written);
        if (sparse < 0) {
            DWORD returned = 0;
            sparse = DeviceIoControl(handle, FSCTL_SET_SPARSE, nullptr, 0, nullptr, 0, &returned, nullptr) ? 1 : 0;
        }
        if (sparse == 1) {
            LARGE_INTEGER distance;
            distance.QuadPart = static_cast<LONGLONG>(length);
            if (!SetFilePointerEx(handle, distance, nullptr, FILE_CURRENT))
                return false;
            advance(length);
            return true;
        }
        if (!zeros.data) {
            if (!zeros.allocate(zeros_limit, true))
                return false;
            zeros_bytes = zeros_limit;
        }
        while (length > 0) {
            if (abort_requested->load() != 0)
                return false;
            uint64_t part = std::min<uint64_t>(length, zeros_bytes);
            if (!write(zeros.data, part))
                return false;
            length -= part;
        }
        return true;
    }

    // A file that ends in a skipped hole gets its size here: the pointer is past the data, the end not yet.
    bool finish() { return sparse != 1 || SetEndOfFile(handle); }
};

// Buffers in the ring of a copy that runs a reader thread: the reader fills up to this many while the writer
// empties one, so a copy holds at most ring_buffers * stream_request_bytes (4 MiB) of data at a time, plus
// stream_request_bytes of zeros on a target that cannot be made sparse.
constexpr uint32_t ring_buffers = 4;

// The state shared by the reader and the writer of one copy. The ring's counters and flags are guarded by the
// wait point; a buffer belongs to the reader from the moment it is free (filled - emptied < ring_buffers) until
// it is handed over, and to the writer from then until it is emptied.
struct copy_pipeline {
    ext_volume& source;
    file_map& map;
    uint64_t blocks;
    uint32_t block_size;
    uint32_t capacity;  // blocks in one buffer
    const std::atomic<int32_t>* abort_requested;
    bool threaded;      // false: the reader runs first on the calling thread, one piece written as it is made
    output_file& out;

    aligned_buffer buffers[ring_buffers]{};
    piece pieces[ring_buffers]{};

    wait_point point{};
    uint64_t filled = 0;   // pieces handed over by the reader
    uint64_t emptied = 0;  // pieces written out
    bool reader_done = false;
    bool reader_failed = false;
    bool stop = false;     // the writer has ended (failure, abort): the reader stops at its next step
    bool write_failed = false;  // unthreaded only: the piece written as it was made failed

    uint32_t slot() const { return threaded ? static_cast<uint32_t>(filled % ring_buffers) : 0; }

    // Waits for a free buffer (threaded); false when the writer has stopped.
    bool wait_for_room()
    {
        if (!threaded)
            return true;
        std::lock_guard<wait_point> held(point);
        while (!stop && filled - emptied == ring_buffers)
            point.wait();
        return !stop;
    }

    // Hands over the piece of the current slot: written at once unthreaded, queued for the writer otherwise.
    bool hand_over(piece made)
    {
        if (!threaded) {
            pieces[0] = made;
            if (!write_piece(0)) {
                write_failed = true;
                return false;
            }
            return true;
        }
        std::lock_guard<wait_point> held(point);
        pieces[slot()] = made;
        ++filled;
        point.wake_all();
        return !stop;
    }

    bool write_piece(uint32_t index)
    {
        const piece& p = pieces[index];
        if (abort_requested->load() != 0)
            return false;
        return p.hole ? out.skip(p.bytes, capacity * block_size, abort_requested)
                      : out.write(buffers[index].data, p.bytes);
    }

    // The reader: walks the file's runs in logical order, reading data runs into the free buffers in requests of
    // up to a buffer, and hands over each buffer when it is full or a long hole or a data run that does not fit
    // follows. Each pass of the inner loop makes one read, fills part of a buffer with zeros, hands over a piece
    // or moves past a whole hole run, and moves on by at least one block at every step but a hand-over: the walk
    // ends after at most 3 * blocks passes.
    bool read_all()
    {
        uint32_t pending = 0;  // blocks filled in the current buffer and not yet handed over
        bool have_room = false;
        auto hand_over_pending = [&] {
            bool ok = pending == 0 || hand_over({false, static_cast<uint64_t>(pending) * block_size});
            pending = 0;
            have_room = false;
            return ok;
        };
        for (uint64_t logical = 0; logical < blocks;) {
            block_run run;
            if (!map_run(map, static_cast<uint32_t>(logical), run))
                return false;
            uint64_t left = std::min<uint64_t>(run.length, blocks - logical);
            uint64_t physical = run.physical;
            if (run.kind != run_kind::data && left * block_size >= hole_piece_bytes) {
                if (!hand_over_pending() || !wait_for_room() || !hand_over({true, left * block_size}))
                    return false;
                logical += left;
                continue;
            }
            while (left > 0) {
                if (abort_requested->load() != 0)
                    return false;
                // A data run that does not fit in what is left of the buffer starts a fresh one, so that it is
                // read in whole requests.
                if (pending == capacity || (run.kind == run_kind::data && pending > 0 && left > capacity - pending)) {
                    if (!hand_over_pending())
                        return false;
                    continue;
                }
                if (!have_room) {
                    if (!wait_for_room())
                        return false;
                    have_room = true;
                }
                uint8_t* at = buffers[slot()].data + static_cast<size_t>(pending) * block_size;
                uint32_t count = static_cast<uint32_t>(std::min<uint64_t>(left, capacity - pending));
                if (run.kind == run_kind::data) {
                    if (!read_blocks_into(source, physical, count, at))
                        return false;
                    physical += count;
                } else {
                    std::memset(at, 0, static_cast<size_t>(count) * block_size);
                }
                pending += count;
                logical += count;
                left -= count;
            }
        }
        return hand_over_pending();
    }

    // The writer, on the calling thread: writes each piece as it is handed over until the reader is done and the
    // ring is empty; true when every piece was written and the reader did not fail. Either side's failure, and an
    // abort, ends both: the writer sets stop, the reader ends its walk.
    bool write_all()
    {
        for (;;) {
            uint32_t index = 0;
            {
                std::lock_guard<wait_point> held(point);
                while (filled == emptied && !reader_done)
                    point.wait();
                // A failed reader ends the copy at once; what it handed over before is not worth writing.
                if (reader_failed)
                    return false;
                if (filled == emptied)
                    return true;
                index = static_cast<uint32_t>(emptied % ring_buffers);
            }
            bool ok = write_piece(index);
            std::lock_guard<wait_point> held(point);
            if (!ok) {
                stop = true;
                point.wake_all();
                return false;
            }
            ++emptied;
            point.wake_all();
        }
    }
};

DWORD WINAPI reader_entry(LPVOID parameter)
{
    auto& pipeline = *static_cast<copy_pipeline*>(parameter);
    bool ok = pipeline.read_all();
    std::lock_guard<wait_point> held(pipeline.point);
    pipeline.reader_failed = !ok;
    pipeline.reader_done = true;
    pipeline.point.wake_all();
    return 0;
}

// Copies the mapped blocks of a file: with a reader thread when the file spans more than one buffer and a thread
// can be had, on the calling thread alone otherwise. The reader has ended by the time this returns.
bool copy_blocks(ext_volume& source, file_map& map, uint64_t blocks, uint32_t block_size,
                 const std::atomic<int32_t>* abort_requested, output_file& out)
{
    const uint32_t capacity = std::max<uint32_t>(1, stream_request_bytes / block_size);
    const size_t buffer_bytes = static_cast<size_t>(capacity) * block_size;
    copy_pipeline pipeline{source, map, blocks, block_size, capacity, abort_requested, blocks > capacity, out};
    uint32_t buffer_count = pipeline.threaded ? ring_buffers : 1;
    for (uint32_t i = 0; i < buffer_count; ++i) {
        if (!pipeline.buffers[i].allocate(buffer_bytes, false)) {
            if (i == 0)
                return false;
            pipeline.threaded = false;  // short of memory: one buffer, no reader thread
            break;
        }
    }
    HANDLE reader = nullptr;
    if (pipeline.threaded) {
        // threaded is left alone once the reader runs, which reads it; a reader never started cannot.
        reader = CreateThread(nullptr, 0, reader_entry, &pipeline, 0, nullptr);
        if (reader == nullptr)
            pipeline.threaded = false;
    }
    if (!pipeline.threaded)
        return pipeline.read_all() && !pipeline.write_failed;
    bool ok = pipeline.write_all();
    WaitForSingleObject(reader, INFINITE);
    CloseHandle(reader);
    return ok;
}

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
    output_file out{output, size, 0, bytes_written};
    if (inode->has_inline_data()) {
        // The content lies in the inode: a size beyond what i_block and system.data hold is damage.
        std::vector<uint8_t> content;
        if (abort_requested->load() != 0 || !inline_content(*inode, content) || size > content.size() ||
            !out.write(content.data(), size))
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
    if (!copy_blocks(source, map, blocks, block_size, abort_requested, out) || out.written != size || !out.finish())
        status->store(-1);
}
