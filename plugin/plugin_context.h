// The process-wide plugin context: start-up, the drives, the mounted volumes shown by name, and looking for drives
// again.
#pragma once

#include "disk/physical_disk.h"
#include "plugin/exports.h"
#include "plugin/host_names.h"

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

struct ext_volume;

// A mounted volume as the root shows it.
struct shown_volume {
    std::string name;      // the folder name: the name Linux gives the source ("sda1", "sdc")
    std::string identity;  // where the source's bytes lie (storage/assembly.h source_identity)
    // Mounted; shared by every context whose assembly gives a source of the same identity, so that its caches
    // live on across looks for drives. Forgets its cache entries when the last context lets go.
    std::shared_ptr<ext_volume> volume;
};

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
    std::vector<shown_volume> volumes;  // in the order the root lists them
    // Identities of the sources the assembly gave that did not mount, so that an unchanged one is not read again.
    std::vector<std::string> unmounted;
    // For each of unmounted, its name and why it did not mount ("sdb2: encrypted (LUKS)"), for the properties of the
    // root.
    std::vector<std::string> unmounted_reasons;
    // What the storage assembly found and does not show, and why: one line each, for the host's log.
    std::vector<std::string> storage_notices;
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

// Opens and scans every drive into the context and mounts the sources the assembly gives; returns the count of
// volumes mounted.
int scan_drives(plugin_context& context);

// A new context with the callbacks of previous and its drives looked for again: drives are counted again, one
// that did not change keeps its objects, one that changed or is new is opened and scanned afresh, and one that went
// away keeps its number (so that the drives after it keep their names) with nothing on it, unless no drive follows
// it. The assembly then runs over all drives: a source of the same identity as one before keeps its mounted volume,
// a new one is mounted, and a volume whose source is gone is not shown.
std::shared_ptr<plugin_context> rescan_drives(const plugin_context& previous);

// The index in context.volumes of the volume named name; -1 when no volume has that name.
int volume_index(const plugin_context& context, const std::string& name);
