// libFuzzer target: each input is a whole drive, served from memory, that a host browses and copies from.
#include "platform/test_control.h"
#include "tests/host_walk.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <system_error>
#include <unistd.h>
#include <vector>

namespace {

// The copies' folder, one per fuzzing process, removed when the process ends.
std::string scratch;

void remove_scratch()
{
    std::error_code ignored;
    std::filesystem::remove_all(scratch, ignored);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    // Made on the first input, so that a -jobs supervisor, which runs none, leaves no folder behind.
    if (scratch.empty()) {
        scratch = (std::filesystem::temp_directory_path() / ("tarnwick_fuzz_" + std::to_string(getpid()))).string();
        std::filesystem::create_directories(scratch);
        std::atexit(remove_scratch);
    }
    test_control::reset();
    test_control::set_administrator(true);
    test_control::add_drive_memory(std::vector<uint8_t>(data, data + size));
    walk_limits limits;
    limits.max_listings = 12;
    limits.max_copies = 3;
    limits.max_copy_size = 256 * 1024;
    limits.copy_seconds = 2;
    walk_result result = walk_as_host(scratch, limits);
    test_control::counters counted = test_control::read_counters();
    std::vector<std::string> written = test_control::files_written();
    // A wrong answer, an attempt to open the drive for writing or a file written outside the scratch folder is a
    // finding, as much as a crash is.
    bool stray_write = false;
    for (const std::string& name : written)
        stray_write = stray_write || name.rfind(scratch + "/", 0) != 0;
    if (!result.fault.empty() || counted.drive_write_opens != 0 || stray_write) {
        std::fprintf(stderr, "fault: %s; drive write opens: %ld; stray write: %d\n", result.fault.c_str(),
                     counted.drive_write_opens, stray_write ? 1 : 0);
        std::abort();
    }
    test_control::reset();
    return 0;
}
