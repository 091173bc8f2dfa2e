// Test-only control of the POSIX stand-in: drives from files or memory, geometry answers, injected failures, counters.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace test_control {

inline constexpr int64_t geometry_default = -1;  // 512 for image files
inline constexpr int64_t geometry_fails = -2;     // the drive-geometry query fails

// Forgets every drive, failure, override, counter and message box: the stand-in serves its usual devices again.
void reset();

// Drives are served from the list these build, in order, instead of the usual devices. Each returns the drive number.
int add_drive_file(const std::string& path, int64_t geometry_answer = geometry_default);
int add_drive_memory(std::vector<uint8_t> bytes, int64_t geometry_answer = geometry_default);
// No drive at all (drive 0 cannot be opened).
void use_no_drives();
// Drive number no longer opens, as a drive pulled out; the drives after it keep their numbers. Handles already open
// on it go on reading what it held.
void detach_drive(int number);
// Drive number is served from an image file from now on, as a drive plugged in under a free or reused number.
void attach_drive_file(int number, const std::string& path);

void set_administrator(bool administrator);

// The n-th drive read from now on fails (n = 1: the next one), counted over every thread's reads.
void fail_nth_read(long n);
// Every drive read that touches the bytes [offset, offset + length) fails from now on, as a bad sector does.
void fail_reads_of(uint64_t offset, uint64_t length);
void fail_create_thread(bool fail);
// Local files refuse to be made sparse (FSCTL_SET_SPARSE fails), as on a file system without sparse files.
void refuse_sparse(bool refuse);
// Every drive read from now on waits this long first, on whichever thread reads (0: no wait); a slow drive, so that
// a copy is still running when a test acts on it.
void delay_reads(long milliseconds);

struct counters {
    long drive_opens;
    long drive_write_opens;  // attempts to open a drive for anything but reading; the stand-in refuses them
    long drive_reads;
    long geometry_queries;
    long threads_created;
    long threads_running;  // created threads whose start routine has not returned yet
};
counters read_counters();

// Every message box shown so far, as "caption: text".
std::vector<std::string> message_boxes();

// Every local file opened for writing so far, by the name the plugin gave.
std::vector<std::string> files_written();

}  // namespace test_control
