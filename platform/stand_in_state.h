// State of the POSIX stand-in that the tests' control interface sets and reads; internal to platform/.
#pragma once

#ifndef _WIN32

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

// What the drive-geometry query answers for one drive.
inline constexpr int64_t geometry_answer_default = -1;  // 512 for image files, the device's own for block devices
inline constexpr int64_t geometry_answer_fails = -2;

struct stand_in_drive {
    std::string path;                                  // an image file or block device, when not in memory
    std::shared_ptr<const std::vector<uint8_t>> bytes;  // a drive served from memory, when set
    int64_t geometry_answer = geometry_answer_default;
};

struct stand_in_state {
    std::mutex lock;  // guards the drive table and the message record; counters are atomic
    bool drives_from_tests = false;
    std::vector<stand_in_drive> drives;
    int administrator = -1;  // -1: the effective user decides; 0 or 1: forced by a test
    std::vector<std::string> message_boxes;  // "caption: text" of every box shown
    std::vector<std::string> files_written;  // every local file opened for writing, by the name given

    std::atomic<long> drive_opens{0};
    std::atomic<long> drive_write_opens{0};  // drive opens asking for more than read access; all refused
    std::atomic<long> drive_reads{0};
    std::atomic<long> geometry_queries{0};
    std::atomic<long> threads_created{0};
    std::atomic<long> threads_running{0};  // threads created whose start routine has not returned
    std::atomic<long> read_delay_ms{0};    // how long each drive read waits before it reads
    std::atomic<long> fail_read_at{0};  // ordinal of the drive read that fails; 0 for none
    // Bytes of every drive that never read, as a bad sector: a read touching [bad_from, bad_to) fails.
    std::atomic<uint64_t> bad_from{0};
    std::atomic<uint64_t> bad_to{0};
    std::atomic<bool> fail_create_thread{false};
    std::atomic<bool> refuse_sparse{false};  // local files refuse FSCTL_SET_SPARSE
};

stand_in_state& stand_in();

#endif
