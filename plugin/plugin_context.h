// The one process-wide plugin context: start-up, the drives, and the partition index table.
#pragma once

#include "disk/physical_disk.h"
#include "plugin/exports.h"
#include "plugin/host_names.h"

#include <cstdint>
#include <memory>
#include <vector>

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
    std::vector<std::unique_ptr<physical_disk>> disks;  // element N is drive N
    int32_t disk_count = 0;
    // Entries 0 to disk_count - 1: the base of each drive's block, 0 for a drive without ext partitions. Entry
    // base + n - 1 of a drive's block: the slot in its ext_partitions of partition number n. A drive whose only
    // volume fills it (number 0) has a block of no entries. Empty until built.
    std::vector<int32_t> partition_index_table;
    bool initialised = false;
};

// The context of the last FsInit, or null before it.
plugin_context* current_context();

// The context for the exports: null unless FsInit completed.
plugin_context* initialised_context();

bool is_administrator();

// Opens and scans every drive into the context; returns S, the sum of the drives' last ext partition numbers.
int scan_drives(plugin_context& context);

void build_partition_index_table(plugin_context& context, int entry_count);

// The slot in drive disk's ext_partitions of partition number, or -1 when the number names no ext partition.
// Number 0 names the drive's whole-drive volume, when it has one.
int ext_index(const plugin_context& context, int disk, int number);
