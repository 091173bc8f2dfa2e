// Notices for the user through the host's log: a volume whose journal needed recovery and could not be applied in
// whole, and what the storage assembly found and does not show.
#pragma once

#include "plugin/plugin_context.h"

#include <string>

struct ext_volume;
struct ext2_volume_info;

// The text that tells the user which changes of the journal of the volume shown as folder were not applied;
// empty when the journal needed no recovery or all of it was applied.
std::string incomplete_recovery_text(const ext2_volume_info& volume, const std::string& folder);

// Sends that text through the host's log callback, as an important error, the first time any caller asks for the
// shown volume; later calls, from any thread, send nothing. Nothing either without a log
// callback or for a volume whose recovery was complete. Call it from an export where the host takes log calls
// (a listing, a copy), never with a lock held.
void tell_incomplete_recovery(const plugin_context& context, const shown_volume& shown);

// Sends each of the context's storage notices (an md member or array, an LVM volume that is found and not shown,
// and why) through the host's log callback, as an important error, the first time any context carries it: a
// notice is told once per process, not at every listing or look for drives. At most max_told_notices different
// notices are remembered; beyond that none is told. Call it from an export, never with a lock held.
void tell_storage_notices(const plugin_context& context);
inline constexpr size_t max_told_notices = 4096;
