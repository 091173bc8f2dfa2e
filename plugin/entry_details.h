// What a host is shown of an entry beside its name and size: its times and its Unix mode.
#pragma once

#include "ext/inode_cache.h"
#include "platform/platform.h"

#include <cstdint>

// The flag of dwFileAttributes that says dwReserved0 holds the entry's Unix mode (type and permission bits).
inline constexpr DWORD attribute_unix_mode = 0x80000000u;

// An inode time as a FILETIME (100 ns since 1601); 0 for a time before 1601, which no ext volume can hold.
FILETIME filetime_of(const inode_time& time);

// Sets the times and the mode of a find record (ANSI or wide) from an inode: the last-write time from its
// modification time, the last-access time, the creation time where the inode has one, the mode in dwReserved0
// with its flag in the attributes (which keep their folder or file bit).
template <typename find_record>
void set_inode_details(find_record& record, const ext_inode& inode)
{
    record.ftLastWriteTime = filetime_of(inode.modification_time);
    record.ftLastAccessTime = filetime_of(inode.access_time);
    if (inode.has_creation_time)
        record.ftCreationTime = filetime_of(inode.creation_time);
    record.dwFileAttributes |= attribute_unix_mode;
    record.dwReserved0 = inode.i_mode;
}
