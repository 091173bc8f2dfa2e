// Inode times as FILETIMEs.
#include "plugin/entry_details.h"

FILETIME filetime_of(const inode_time& time)
{
    // Seconds from 1601 to 1970; an ext time lies between 1901 and 2446, so the sum stays far inside 64 bits.
    constexpr int64_t epoch_offset = 11644473600;
    int64_t seconds = time.seconds + epoch_offset;
    uint64_t ticks = seconds < 0 ? 0 : static_cast<uint64_t>(seconds) * 10000000 + time.nanoseconds / 100;
    FILETIME result;
    result.dwLowDateTime = static_cast<DWORD>(ticks);
    result.dwHighDateTime = static_cast<DWORD>(ticks >> 32);
    return result;
}
