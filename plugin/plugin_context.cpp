// The plugin context: FsInit, the administrator check, the drive scan and the partition index table.
#include "plugin/plugin_context.h"

#include "disk/partition.h"

#include <new>

namespace {
std::unique_ptr<plugin_context> the_context;
}

plugin_context* current_context()
{
    return the_context.get();
}

plugin_context* initialised_context()
{
    plugin_context* context = the_context.get();
    return context && context->initialised ? context : nullptr;
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
    int sum = 0;
    for (int i = 0; i < context.disk_count; ++i) {
        char device_name[30];
        format_device_name(device_name, i);
        std::unique_ptr<physical_disk> disk = open_physical_disk(device_name);
        if (scan_partition_tables(*disk) >= 0)
            disk->ext_partitions = collect_ext_partitions(*disk);
        else
            disk->ext_count = 0;
        if (disk->ext_count > 0)
            sum += disk->ext_partitions.back()->number;
        context.disks.push_back(std::move(disk));
    }
    build_partition_index_table(context, context.disk_count + sum);
    return sum;
}

void build_partition_index_table(plugin_context& context, int entry_count)
{
    context.partition_index_table.assign(static_cast<size_t>(entry_count), 0);
    int32_t base = context.disk_count;
    for (int d = 0; d < context.disk_count; ++d) {
        const physical_disk& disk = *context.disks[static_cast<size_t>(d)];
        if (disk.ext_count <= 0)
            continue;
        context.partition_index_table[static_cast<size_t>(d)] = base;
        // A whole-drive volume (number 0) takes no entry: ext_index answers for it without the table.
        for (int32_t j = 0; j < disk.ext_count; ++j)
            if (disk.ext_partitions[j]->number > 0)
                context.partition_index_table[static_cast<size_t>(base + disk.ext_partitions[j]->number - 1)] = j;
        base += disk.ext_partitions.back()->number;
    }
}

int ext_index(const plugin_context& context, int disk, int number)
{
    if (disk < 0 || disk >= context.disk_count || number < 0 || context.partition_index_table.empty())
        return -1;
    const physical_disk& drive = *context.disks[static_cast<size_t>(disk)];
    if (drive.ext_count <= 0 || number > drive.ext_partitions.back()->number)
        return -1;
    if (number == 0)
        return drive.ext_partitions.front()->number == 0 ? 0 : -1;
    int32_t slot = context.partition_index_table[static_cast<size_t>(context.partition_index_table[disk] + number - 1)];
    if (slot < 0 || slot >= drive.ext_count || drive.ext_partitions[static_cast<size_t>(slot)]->number != number)
        return -1;
    return slot;
}

TARNWICK_EXPORT int TARNWICK_CALL FsInit(int plugin_number, progress_proc progress, log_proc log,
                                         request_proc request)
{
    try {
        the_context.reset();
        the_context = std::make_unique<plugin_context>();
        plugin_context& context = *the_context;
        context.plugin_number = plugin_number;
        context.progress_callback = progress;
        context.log_callback = log;
        context.request_callback = request;
        if (!is_administrator()) {
            MessageBoxA(nullptr, "You are not admin", "INFO", MB_OK);
            return -1;
        }
        if (scan_drives(context) == -1)
            return -1;
        context.initialised = true;
        return 0;
    } catch (const std::bad_alloc&) {
        // Later calls see an uninitialised context, as after a refused start.
        if (the_context) {
            the_context->disks.clear();
            the_context->disk_count = 0;
            the_context->partition_index_table.clear();
        }
        return -1;
    }
}

// The same start as FsInit; the host then speaks to the plugin through the wide exports and their callbacks.
TARNWICK_EXPORT int TARNWICK_CALL FsInitW(int plugin_number, progress_proc_w progress, log_proc_w log,
                                          request_proc_w request)
{
    int result = FsInit(plugin_number, nullptr, nullptr, nullptr);
    if (plugin_context* context = current_context()) {
        context->progress_callback_w = progress;
        context->log_callback_w = log;
        context->request_callback_w = request;
    }
    return result;
}

#ifdef _WIN32
// The library's load and unload notifications: nothing to set up or tear down.
extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD, LPVOID)
{
    return TRUE;
}
#endif
