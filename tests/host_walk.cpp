// A bounded host session over the plugin's exports, for the corruption sweep and the fuzzer.
#include "host_walk.h"

#include "plugin/exports.h"

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <set>
#include <system_error>
#include <vector>

namespace {

using clock_type = std::chrono::steady_clock;

struct walk_state {
    const walk_limits& limits;
    std::string copy_path;
    walk_result result;
    int partition_listings = 0;  // spent of the current partition folder's budgets
    int partition_copies = 0;
    std::set<std::string> told;  // the volume folders told of a journal, and every storage notice told
};

// The session the log callback reports to; the callback carries no state of its own.
walk_state* logging_state = nullptr;

// FNV-1a, enough to tell two sessions apart.
void mix(walk_state& state, const void* data, size_t length)
{
    auto bytes = static_cast<const uint8_t*>(data);
    for (size_t i = 0; i < length; ++i)
        state.result.digest = (state.result.digest ^ bytes[i]) * 0x100000001B3ull;
}

void note_fault(walk_state& state, const std::string& what);

// The host's log: every line is an important error about what it names before a colon. A volume folder is told of
// its journal once ("sda1: the volume was not cleanly unmounted ..."); a storage notice (an array, a member, a
// physical or logical volume left out: "md127: ...", "md array ... (sda1): ...") is told once, as its whole line.
void TARNWICK_CALL log_line(int, int type, char* text)
{
    if (logging_state == nullptr)
        return;
    walk_state& state = *logging_state;
    std::string line = text != nullptr ? text : "";
    size_t colon = line.find(':');
    bool journal = line.find(": the volume was not cleanly unmounted") == colon;
    if (type != log_important_error || colon == std::string::npos || colon == 0 ||
        !state.told.insert(journal ? line.substr(0, colon) : line).second)
        note_fault(state, "log line of type " + std::to_string(type) + ": " + line);
    mix(state, line.c_str(), line.size() + 1);
}

clock_type::time_point copy_started;
int copy_seconds = 0;

// The user's patience: a copy that runs longer than the limit is aborted, as a user would abort it.
int TARNWICK_CALL progress(int, char*, char*, int percent)
{
    if (percent < 0 || percent > 100)
        return 1;
    return clock_type::now() - copy_started > std::chrono::seconds(copy_seconds) ? 1 : 0;
}

void note_fault(walk_state& state, const std::string& what)
{
    if (state.result.fault.empty())
        state.result.fault = what;
}

constexpr DWORD unix_mode_flag = 0x80000000u;

// A record the host can use: a terminated name, one of the two kinds the plugin sends (with or without the flag of
// a Unix mode), and a mode only where the flag says so.
bool record_is_sound(walk_state& state, const WIN32_FIND_DATAA& record, const std::string& path)
{
    if (std::memchr(record.cFileName, '\0', sizeof record.cFileName) == nullptr) {
        note_fault(state, "unterminated name in " + path);
        return false;
    }
    DWORD kind = record.dwFileAttributes & ~unix_mode_flag;
    bool mode_sound = (record.dwFileAttributes & unix_mode_flag) != 0 || record.dwReserved0 == 0;
    if ((kind != FILE_ATTRIBUTE_DIRECTORY && kind != FILE_ATTRIBUTE_NORMAL) || !mode_sound) {
        note_fault(state, "attributes " + std::to_string(record.dwFileAttributes) + " in " + path);
        return false;
    }
    return true;
}

void copy_file(walk_state& state, const std::string& remote, uint64_t listed_size)
{
    state.result.copies++;
    std::vector<char> remote_name(remote.begin(), remote.end());
    remote_name.push_back('\0');
    std::vector<char> local_name(state.copy_path.begin(), state.copy_path.end());
    local_name.push_back('\0');
    copy_started = clock_type::now();
    int result = FsGetFile(remote_name.data(), local_name.data(), copy_flag_overwrite, nullptr);
    std::error_code error;
    bool exists = std::filesystem::exists(state.copy_path, error);
    uint64_t size = exists ? std::filesystem::file_size(state.copy_path, error) : 0;
    mix(state, &result, sizeof result);
    std::vector<uint8_t> content;
    if (exists) {
        content.resize(size);
        std::ifstream(state.copy_path, std::ios::binary)
            .read(reinterpret_cast<char*>(content.data()), static_cast<std::streamsize>(size));
        mix(state, content.data(), content.size());
    }
    if (state.limits.keep_copies)
        state.result.kept.push_back(walk_copy{remote, result, std::move(content)});
    if (result < file_result_ok || result > file_result_not_supported)
        note_fault(state, "FsGetFile result " + std::to_string(result) + " for " + remote);
    else if (result == file_result_ok && (!exists || size != listed_size))
        note_fault(state, "copy of " + remote + " has " + std::to_string(size) + " bytes, listed " +
                              std::to_string(listed_size));
    else if (result == file_result_ok)
        state.result.copies_ok++;
    std::filesystem::remove(state.copy_path, error);
}

void walk_folder(walk_state& state, const std::string& path, int depth)
{
    if (state.partition_listings >= state.limits.max_listings || path.size() >= 260)
        return;
    state.partition_listings++;
    state.result.listings++;
    std::vector<char> host_path(path.begin(), path.end());
    host_path.push_back('\0');
    WIN32_FIND_DATAA record;
    HANDLE handle = FsFindFirst(host_path.data(), &record);
    if (handle == INVALID_HANDLE_VALUE)
        return;
    // The search stays open while the folders below are walked, as a host walks a tree.
    int entries = 0;
    do {
        if (!record_is_sound(state, record, path))
            break;
        state.result.entries++;
        std::string name = record.cFileName;
        mix(state, name.c_str(), name.size() + 1);
        mix(state, &record.dwFileAttributes, sizeof record.dwFileAttributes);
        mix(state, &record.nFileSizeLow, sizeof record.nFileSizeLow);
        mix(state, &record.nFileSizeHigh, sizeof record.nFileSizeHigh);
        if (name.empty() || name == "..")
            continue;
        std::string child = path + "/" + name;
        uint64_t size = (static_cast<uint64_t>(record.nFileSizeHigh) << 32) | record.nFileSizeLow;
        if ((record.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
            if (depth < state.limits.max_depth)
                walk_folder(state, child, depth + 1);
        } else if (state.partition_copies < state.limits.max_copies && size > 0 &&
                   size <= state.limits.max_copy_size && child.size() < 260) {
            state.partition_copies++;
            copy_file(state, child, size);
        }
    } while (++entries < state.limits.max_entries && FsFindNext(handle, &record));
    FsFindClose(handle);
}

}  // namespace

walk_result walk_as_host(const std::string& scratch, const walk_limits& limits)
{
    walk_state state{limits, (std::filesystem::path(scratch) / "copy").string(), {}, 0, 0, {}};
    copy_seconds = limits.copy_seconds;
    logging_state = &state;
    state.result.init_result = FsInit(1, progress, log_line, nullptr);
    if (state.result.init_result != 0) {
        logging_state = nullptr;
        return state.result;
    }

    std::vector<std::string> partitions;
    char root[] = "/";
    WIN32_FIND_DATAA record;
    HANDLE handle = FsFindFirst(root, &record);
    if (handle != INVALID_HANDLE_VALUE) {
        do {
            if (record_is_sound(state, record, "/"))
                partitions.emplace_back(record.cFileName);
        } while (partitions.size() < 300 && FsFindNext(handle, &record));
        FsFindClose(handle);
    }
    state.result.partitions = static_cast<int>(partitions.size());
    for (const std::string& folder : partitions) {
        mix(state, folder.c_str(), folder.size() + 1);
        state.partition_listings = 0;
        state.partition_copies = 0;
        walk_folder(state, "/" + folder, 0);
    }
    logging_state = nullptr;
    return state.result;
}
