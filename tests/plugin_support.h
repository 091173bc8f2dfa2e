// Helpers of the tests that drive the plugin through its exports.
#pragma once

#include "plugin/exports.h"
#include "test_support.h"

#include <cstdint>
#include <map>
#include <string>
#include <vector>

// A memory disk carrying copies of the small ext2 fixture volume in the given primary slots and, when logical is
// set, as the first logical partition (number 5).
memory_disk disk_with_volumes(const std::vector<int>& primary_slots, bool logical);

// Every entry name of a listing through FsFindFirst and FsFindNext, or {"<invalid>"} for the invalid handle.
std::vector<std::string> list_names(const std::string& path);

// An entry of a listing as the host sees it, its name aside.
struct listed_entry {
    DWORD attributes = 0;
    uint64_t size = 0;
    DWORD mode = 0;        // dwReserved0: the Unix mode
    int64_t modified = 0;  // seconds since 1970, from the last-write time
    bool operator==(const listed_entry&) const = default;
};

// A FILETIME as seconds since 1970.
int64_t unix_seconds(const FILETIME& time);

// The entries of a listing by name; empty when FsFindFirst fails.
std::map<std::string, listed_entry> list_entries(const std::string& path);

// FsGetFile of remote to local with the given copy flags.
int copy_out(const std::string& remote, const std::string& local, int flags = 0);

// A scratch test over one disk in memory, served as the only drive to a fresh start of the plugin.
class served_disk_test : public scratch_test {
protected:
    void serve(std::vector<uint8_t> disk);

    // FsGetFile of remote into the scratch folder, its copy removed after: one that fails must leave no file, and
    // one that succeeds must hold the bytes of the fixture tree's file source when that is given.
    int copy(const std::string& remote, const std::string& source = "");
};
