// The plugin context: FsInit, the administrator check, the drive scan, the mount of the assembled sources, and the
// rescans that the root listing asks for.
#include "plugin/plugin_context.h"

#include "disk/byte_order.h"
#include "disk/fs_signatures.h"
#include "disk/partition.h"
#include "ext/folder_cache.h"
#include "ext/inode_cache.h"
#include "ext/volume.h"
#include "platform/lock.h"
#include "storage/assembly.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <mutex>
#include <new>

namespace {

// Set once the library's static objects are being destroyed (at unload or process exit). The caches live in other
// files' static storage, destroyed in no order this file can rely on, and a thread killed at exit may have held
// their locks: drives released from then on are closed without forgetting their partitions in them.
std::atomic<bool> unloading{false};

// The published context and when the drives were last looked for. scan_lock lets one start-up or rescan run at
// a time (a second root listing waits for it and then finds it done); lock guards the fields below it and is held
// only to read or swap them, never across a scan, and always after scan_lock when both are held.
struct context_state {
    plugin_lock scan_lock;
    plugin_lock lock;
    shared_context context;
    std::chrono::steady_clock::time_point last_scan{};
    std::chrono::milliseconds interval = default_rescan_interval;

    ~context_state() { unloading.store(true); }
};

context_state the_state;

void publish(std::shared_ptr<const plugin_context> context)
{
    std::lock_guard<plugin_lock> guard(the_state.lock);
    the_state.context.swap(context);
    the_state.last_scan = std::chrono::steady_clock::now();
    // The previous context is released here, after the lock, when nothing else holds it.
}

// The owner of a drive for every context that shows it; the drive is closed when the last one lets go.
std::shared_ptr<physical_disk> share_drive(std::unique_ptr<physical_disk> disk)
{
    return std::shared_ptr<physical_disk>(std::move(disk));
}

// The owner of a mounted volume for every context that shows it. When the last one lets go, the caches forget the
// volume (their entries could never answer again, but would keep their memory until pushed out).
std::shared_ptr<ext_volume> share_volume(std::unique_ptr<ext_volume> volume)
{
    return std::shared_ptr<ext_volume>(volume.release(), [](ext_volume* released) {
        if (!unloading.load()) {
            forget_inode_tables(*released);
            forget_folders(*released);
        }
        delete released;
    });
}

// Why a source did not mount, for the user, from what its first bytes hold: encrypted, another file system, an ext
// volume with features the reader refuses, a damaged ext volume, or nothing known. Reads the source's first
// foreign_signature_span bytes (less for a smaller source) once.
std::string why_not_mounted(const block_source& source)
{
    uint64_t length = std::min<uint64_t>(source.size, foreign_signature_span);
    std::unique_ptr<uint8_t[]> start = length > 0 ? read_source_bytes(source, 0, length) : nullptr;
    if (!start)
        return "cannot be read";
    if (length >= 6 && std::memcmp(start.get(), "LUKS\xba\xbe", 6) == 0)
        return "encrypted (LUKS)";
    if (length >= 11 && std::memcmp(start.get() + 3, "-FVE-FS-", 8) == 0)
        return "encrypted (BitLocker)";
    if (holds_foreign_signature(start.get(), static_cast<size_t>(length)))
        return "another file system";
    if (length < 2048 || read_le16(start.get(), 1024 + 56) != ext_magic)
        return "no ext file system found";
    uint32_t incompat = read_le32(start.get(), 1024 + 96);
    if ((incompat & ~incompat_readable) != 0)
        return "ext with features this reader does not support";
    return "ext, damaged: it does not mount";
}

// Records a source that did not mount, with its reason (carried from previous for one not read again).
void note_unmounted(plugin_context& context, const plugin_context* previous, std::string identity,
                    const std::string& name, const block_source* source)
{
    std::string reason;
    if (source != nullptr) {
        reason = name + ": " + why_not_mounted(*source);
    } else if (previous != nullptr) {
        auto found = std::find(previous->unmounted.begin(), previous->unmounted.end(), identity);
        size_t index = static_cast<size_t>(found - previous->unmounted.begin());
        reason = index < previous->unmounted_reasons.size() ? previous->unmounted_reasons[index] : name;
    }
    context.unmounted.push_back(std::move(identity));
    context.unmounted_reasons.push_back(std::move(reason));
}

// Mounts the sources the assembly gives over the context's drives, in its order. A source of an identity that
// previous showed keeps its volume, and one previous could not mount is not read again.
void mount_sources(plugin_context& context, const plugin_context* previous)
{
    storage_assembly assembly = assemble_sources(context.disks);
    context.storage_notices = std::move(assembly.notices);
    for (named_source& found : assembly.sources) {
        std::string identity = source_identity(*found.source);
        std::shared_ptr<ext_volume> volume;
        if (previous) {
            for (const shown_volume& shown : previous->volumes)
                if (shown.identity == identity)
                    volume = shown.volume;
            if (!volume && std::find(previous->unmounted.begin(), previous->unmounted.end(), identity) !=
                               previous->unmounted.end()) {
                note_unmounted(context, previous, std::move(identity), found.name, nullptr);
                continue;
            }
        }
        if (!volume) {
            std::unique_ptr<ext_volume> made = make_ext_volume(found.source);
            if (!made || !mount_volume(*made)) {
                note_unmounted(context, previous, std::move(identity), found.name, found.source.get());
                continue;
            }
            volume = share_volume(std::move(made));
        }
        context.volumes.push_back({std::move(found.name), std::move(identity), std::move(volume)});
    }
}

bool same_entry(const partition_record& a, const partition_record& b)
{
    return a.type == b.type && a.gpt_type == b.gpt_type && a.number == b.number && a.primary == b.primary && a.byte_offset == b.byte_offset &&
           a.sector_count == b.sector_count && a.sector_size == b.sector_size;
}

// A drive is taken as unchanged when a fresh open gives the same geometry and the same table entries, and the
// handle kept from before still reads the first sector, with the bytes the fresh handle reads. A drive pulled and
// plugged in again (whose old handle no longer reads) or another drive under the same number is opened afresh.
// A partition formatted anew inside an unchanged table is not seen.
bool same_drive(const physical_disk& kept, const physical_disk& fresh)
{
    if (kept.device == INVALID_HANDLE_VALUE || fresh.device == INVALID_HANDLE_VALUE ||
        kept.sector_size != fresh.sector_size || kept.drive_bytes != fresh.drive_bytes ||
        kept.partition_list.size() != fresh.partition_list.size())
        return false;
    for (size_t i = 0; i < kept.partition_list.size(); ++i)
        if (!same_entry(kept.partition_list[i], fresh.partition_list[i]))
            return false;
    sector_buffer kept_first = read_drive_bytes(kept.device, 0, kept.sector_size);
    sector_buffer fresh_first = read_drive_bytes(fresh.device, 0, fresh.sector_size);
    return kept_first && fresh_first && std::memcmp(kept_first.get(), fresh_first.get(), kept.sector_size) == 0;
}

}  // namespace

shared_context current_context()
{
    std::lock_guard<plugin_lock> guard(the_state.lock);
    return the_state.context;
}

shared_context initialised_context()
{
    shared_context context = current_context();
    return context && context->initialised ? context : nullptr;
}

shared_context refreshed_context()
{
    std::lock_guard<plugin_lock> scanning(the_state.scan_lock);
    shared_context previous;
    {
        std::lock_guard<plugin_lock> guard(the_state.lock);
        previous = the_state.context;
        if (!previous || !previous->initialised)
            return nullptr;
        if (std::chrono::steady_clock::now() - the_state.last_scan < the_state.interval)
            return previous;
    }
    try {
        std::shared_ptr<const plugin_context> next = rescan_drives(*previous);
        publish(next);
        return next;
    } catch (const std::bad_alloc&) {
        // The drives as they were: the next root listing tries again.
        return previous;
    }
}

std::chrono::milliseconds set_rescan_interval(std::chrono::milliseconds interval)
{
    std::lock_guard<plugin_lock> guard(the_state.lock);
    std::swap(the_state.interval, interval);
    return interval;
}

bool is_administrator()
{
    SID_IDENTIFIER_AUTHORITY nt_authority = SECURITY_NT_AUTHORITY;
    PSID administrators = nullptr;
    if (!AllocateAndInitializeSid(&nt_authority, 2, SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS, 0, 0, 0, 0,
                                  0, 0, &administrators))
        return false;
    BOOL member = FALSE;
    if (!CheckTokenMembership(nullptr, administrators, &member))
        member = FALSE;
    FreeSid(administrators);
    return member != FALSE;
}

int scan_drives(plugin_context& context)
{
    context.disk_count = count_drives();
    if (context.disk_count <= 0)
        return context.disk_count;
    context.disks.reserve(static_cast<size_t>(context.disk_count));
    for (int i = 0; i < context.disk_count; ++i) {
        char device_name[30];
        format_device_name(device_name, i);
        std::unique_ptr<physical_disk> disk = open_physical_disk(device_name);
        // A drive whose tables cannot be read shows nothing.
        if (scan_partition_tables(*disk) < 0)
            disk->partition_list.clear();
        context.disks.push_back(share_drive(std::move(disk)));
    }
    mount_sources(context, nullptr);
    return static_cast<int>(context.volumes.size());
}

std::shared_ptr<plugin_context> rescan_drives(const plugin_context& previous)
{
    auto next = std::make_shared<plugin_context>();
    next->plugin_number = previous.plugin_number;
    next->progress_callback = previous.progress_callback;
    next->log_callback = previous.log_callback;
    next->request_callback = previous.request_callback;
    next->progress_callback_w = previous.progress_callback_w;
    next->log_callback_w = previous.log_callback_w;
    next->request_callback_w = previous.request_callback_w;
    next->host_rules = previous.host_rules;
    next->initialised = true;

    // Counting stops at the first number that does not open; a drive that went away leaves such a gap, and the
    // drives known behind it are looked for one by one. The loop is bounded by the drives there are and were.
    int counted = count_drives();
    int known = std::max(previous.disk_count, 0);
    int limit = std::max(counted, known);
    int last_present = -1;
    next->disks.reserve(static_cast<size_t>(limit));
    for (int i = 0; i < limit; ++i) {
        char device_name[30];
        format_device_name(device_name, i);
        std::unique_ptr<physical_disk> fresh = open_physical_disk(device_name);
        // A drive the count saw stays at its number even when it will not read (as at start-up).
        if (i < counted || fresh->device != INVALID_HANDLE_VALUE)
            last_present = i;
        const std::shared_ptr<physical_disk>* kept = i < known ? &previous.disks[static_cast<size_t>(i)] : nullptr;
        if (scan_partition_tables(*fresh) < 0)
            fresh->partition_list.clear();
        if (kept && (same_drive(**kept, *fresh) ||
                     ((*kept)->device == INVALID_HANDLE_VALUE && fresh->device == INVALID_HANDLE_VALUE))) {
            next->disks.push_back(*kept);
            continue;
        }
        next->disks.push_back(share_drive(std::move(fresh)));
    }
    // Numbers past the last drive present are gone; those before it keep their places, empty, so that the drives
    // after them keep their names.
    next->disks.resize(static_cast<size_t>(last_present + 1));
    next->disk_count = last_present + 1;
    mount_sources(*next, &previous);
    return next;
}

int volume_index(const plugin_context& context, const std::string& name)
{
    for (size_t i = 0; i < context.volumes.size(); ++i)
        if (context.volumes[i].name == name)
            return static_cast<int>(i);
    return -1;
}

namespace {

// The start shared by FsInit and FsInitW: the callbacks of the export used, the administrator check, the scan.
int start(int plugin_number, progress_proc progress, log_proc log, request_proc request, progress_proc_w progress_w,
          log_proc_w log_w, request_proc_w request_w)
{
    bool refused = false;
    try {
        std::lock_guard<plugin_lock> scanning(the_state.scan_lock);
        // A previous context goes at once; whoever still holds it keeps it until they let go.
        publish(nullptr);
        auto context = std::make_shared<plugin_context>();
        context->plugin_number = plugin_number;
        context->progress_callback = progress;
        context->log_callback = log;
        context->request_callback = request;
        context->progress_callback_w = progress_w;
        context->log_callback_w = log_w;
        context->request_callback_w = request_w;
        refused = !is_administrator();
        if (!refused) {
            scan_drives(*context);
            context->initialised = true;
        }
        publish(context);
    } catch (const std::bad_alloc&) {
        // Later calls see no context, as before a start.
        return -1;
    }
    // Shown once the context is in place, so that no lock is held while the box waits for the user.
    if (refused) {
        MessageBoxA(nullptr, "You are not admin", "INFO", MB_OK);
        return -1;
    }
    return 0;
}

}  // namespace

void set_name_rules(name_rules rules)
{
    std::lock_guard<plugin_lock> scanning(the_state.scan_lock);
    shared_context current = current_context();
    if (current == nullptr)
        return;
    auto next = std::make_shared<plugin_context>(*current);
    next->host_rules = rules;
    publish(next);
}

TARNWICK_EXPORT int TARNWICK_CALL FsInit(int plugin_number, progress_proc progress, log_proc log,
                                         request_proc request)
{
    return start(plugin_number, progress, log, request, nullptr, nullptr, nullptr);
}

// The same start as FsInit; the host then speaks to the plugin through the wide exports and their callbacks.
TARNWICK_EXPORT int TARNWICK_CALL FsInitW(int plugin_number, progress_proc_w progress, log_proc_w log,
                                          request_proc_w request)
{
    return start(plugin_number, nullptr, nullptr, nullptr, progress, log, request);
}

#ifdef _WIN32
// The library's load and unload notifications: nothing to set up or tear down.
extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD, LPVOID)
{
    return TRUE;
}
#endif
