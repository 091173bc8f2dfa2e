// A mutual-exclusion lock for state that two host threads can reach: an SRW lock on Windows, std::mutex elsewhere.
#pragma once

#ifdef _WIN32
#include "platform/platform.h"

// Usable with std::lock_guard; needs no set-up and no clean-up, so it can live in static storage.
class plugin_lock {
public:
    void lock() { AcquireSRWLockExclusive(&state); }
    void unlock() { ReleaseSRWLockExclusive(&state); }

private:
    SRWLOCK state = SRWLOCK_INIT;
};
#else
#include <mutex>

using plugin_lock = std::mutex;
#endif
