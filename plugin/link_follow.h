// Following symbolic links inside a partition, so that a link is listed, entered and copied as what it points to.
#pragma once

#include "ext/directory.h"
#include "plugin/shown_names.h"

#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

struct ext_volume;

// Links followed in one resolution at most, as Linux does; a longer chain counts as a loop.
inline constexpr int link_follow_limit = 40;

enum class follow_result {
    resolved,      // the target is a folder or a regular file of the same partition
    unresolvable,  // dangling, a loop, above the partition's root, or pointing at neither a folder nor a file
    failed,        // a folder or inode on the way could not be read, or is not well formed
};

// What an entry stands for: the inode and type a host is shown for it.
struct followed_entry {
    uint32_t inode = 0;
    uint8_t file_type = file_type_unknown;
};

// Follows the link inode link, found in the folder whose inode is the last of chain. chain holds the folders
// from the partition's root down to that folder as the host's path reached them: a link to one of them would
// hold the path's own folder again, so a host walking into it would never reach the end, and it counts as a loop.
// The target's components are looked up by their names on disk; an absolute target starts at the partition's
// root, and ".." above that root leaves the partition. On success target holds the final inode, a folder or a
// regular file.
follow_result follow_link(ext_volume& source, uint32_t link, std::span<const uint32_t> chain,
                          followed_entry& target);

// Looks a host path component up in the last folder of chain by the name a host of this view is shown, and follows
// it when it is a link. entry is the link's target when it resolves, else what was found (a link that does not
// resolve keeps file_type_symlink; link_outcome tells why), its type as its inode's mode gives it
// (file_type_unknown for an inode that cannot be read or is not well formed).
lookup_result find_followed(ext_volume& source, std::span<const uint32_t> chain, std::string_view component,
                            const name_view& view, followed_entry& entry, follow_result* link_outcome = nullptr);

// What one step of a host path down into a folder found.
enum class enter_result {
    entered,      // the component names a folder (or a link to one), now last on chain
    absent,       // no entry of that name, or a link that leads nowhere in the partition
    not_folder,   // an entry that is neither a folder nor a link to one
    failed,       // the folder searched, the entry's inode or a link on the way could not be read or is damaged
    unsupported,  // the folder searched cannot be read by this plugin (its names are encrypted)
};

// One step of a host path down into a folder: the component is looked up as find_followed does and, when it names a
// folder (or a link to one), that folder is pushed onto chain. A record that names a folder already on the path (only
// damage makes one: links to such folders never resolve) is failed, as it would let a host's recursive copy descend
// until its paths run out. "." and ".." steps are taken as they are.
enter_result enter_folder(ext_volume& source, std::vector<uint32_t>& chain, std::string_view component,
                          const name_view& view);

// Why a folder could not be searched or listed: unsupported when it is a sound folder whose names are encrypted,
// failed for anything else (its inode, a block or a record could not be read or is damaged).
enter_result folder_failure(ext_volume& source, uint32_t directory);
