// A lock with one condition, for two threads handing work to each other: an SRW lock and condition variable on
// Windows (the win32 thread model has no std::mutex), std::mutex and std::condition_variable elsewhere.
#pragma once

#ifdef _WIN32
#include "platform/platform.h"

// lock() and unlock() as a mutex; wait() is called with the lock held, gives it up while asleep and holds it again
// on return (which may be spurious: callers wait in a loop on their own condition).
class wait_point {
public:
    void lock() { AcquireSRWLockExclusive(&state); }
    void unlock() { ReleaseSRWLockExclusive(&state); }
    void wait() { SleepConditionVariableSRW(&condition, &state, INFINITE, 0); }
    void wake_all() { WakeAllConditionVariable(&condition); }

private:
    SRWLOCK state = SRWLOCK_INIT;
    CONDITION_VARIABLE condition = CONDITION_VARIABLE_INIT;
};
#else
#include <condition_variable>
#include <mutex>

class wait_point {
public:
    void lock() { state.lock(); }
    void unlock() { state.unlock(); }
    void wait()
    {
        std::unique_lock<std::mutex> held(state, std::adopt_lock);
        condition.wait(held);
        held.release();
    }
    void wake_all() { condition.notify_all(); }

private:
    std::mutex state;
    std::condition_variable condition;
};
#endif
