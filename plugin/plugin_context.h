// The process-wide plugin context: start-up, the drives, their partition index table, and looking for drives again.
#pragma once

#include "disk/physical_disk.h"
#include "plugin/exports.h"
#include "plugin/host_names.h"

#include <chrono>
#include <cstdint>
#include <memory>
#include <vector>

// One view of the drives, with the host's callbacks. A published context is never changed: looking for drives
// again publishes a new one, which shares the drives that did not change. Whoever reads a partition holds the
// context it found it in (a find handle for its life, a copy until its worker is joined), so a drive that goes
// away is released only when the last holder lets go.
struct plugin_context {
    int32_t plugin_number = 0;
    progress_proc progress_callback = nullptr;
    log_proc log_callback = nullptr;
    request_proc request_callback = nullptr;
    // Set by FsInitW instead of the three above.
    progress_proc_w progress_callback_w = nullptr;
    log_proc_w log_callback_w = nullptr;
    request_proc_w request_callback_w = nullptr;
    // The names the host's file system can take; the platform's own, unless a test asks for the other's.
    name_rules host_rules = host_name_rules;
    std::vector<std::shared_ptr<physical_disk>> disks;  // element N is drive N
    int32_t disk_count = 0;
    // Entries 0 to disk_count - 1: the base of each drive's block, 0 for a drive without ext partitions. Entry
    // base + n - 1 of a drive's block: the slot in its ext_partitions of partition number n. A drive whose only
    // volume fills it (number 0) has a block of no entries. Empty until built.
    std::vector<int32_t> partition_index_table;
    bool initialised = false;
};

using shared_context = std::shared_ptr<const plugin_context>;

// The context of the last FsInit, or null before it.
shared_context current_context();

// The context for the exports: null unless FsInit completed.
shared_context initialised_context();

// As initialised_context, after looking for drives again when the last look is at least the rescan interval old.
// For the root listing, where drives that came or went since show.
shared_context refreshed_context();

// Drives are looked for again at most this often.
inline constexpr std::chrono::milliseconds default_rescan_interval{3000};

// Sets the rescan interval (0: at every root listing); returns the previous one. For tests.
std::chrono::milliseconds set_rescan_interval(std::chrono::milliseconds interval);

// The current context again, its names shown under the given rules. For tests: a Linux build then shows names as
// a Windows host is shown them.
void set_name_rules(name_rules rules);

bool is_administrator();

// Opens and scans every drive into the context; returns S, the sum of the drives' last ext partition numbers.
int scan_drives(plugin_context& context);

// A new context with the callbacks of previous and its drives looked for again: drives are counted again, one
// that did not change keeps its objects, one that changed or is new is opened, scanned and mounted afresh, and one
// that went away keeps its number (so that the drives after it keep their names) with nothing on it, unless no
// drive follows it.
std::shared_ptr<plugin_context> rescan_drives(const plugin_context& previous);

void build_partition_index_table(plugin_context& context, int entry_count);

// The slot in drive disk's ext_partitions of partition number, or -1 when the number names no ext partition.
// Number 0 names the drive's whole-drive volume, when it has one.
int ext_index(const plugin_context& context, int disk, int number);
