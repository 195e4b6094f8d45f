// The text foundation's one seam to the platform: a lock, an atomic decrement and a string
// length. Win32 builds use a critical section, InterlockedDecrement and lstrlenA; other builds
// (the sanitizer runs) supply the same semantics from POSIX. Nothing else platform-specific
// belongs in the foundation.
#pragma once

#include <cstdint>

#if defined(_WIN32)
#include <windows.h>
#else
#include <pthread.h>
#endif

/// A non-recursive-in-use lock: the foundation never enters one it already holds.
/// Win32: a critical section, initialised on construction and deleted on destruction.
class PlatformLock {
public:
    PlatformLock();
    ~PlatformLock();
    PlatformLock(const PlatformLock&) = delete;
    PlatformLock& operator=(const PlatformLock&) = delete;

    void Enter();
    void Leave();

private:
#if defined(_WIN32)
    CRITICAL_SECTION section;
#else
    pthread_mutex_t mutex;
#endif
};

// Inline: a pool pair is two Enters and two Leaves around four pointer moves, and a call of our
// own around each platform call would be a third of the instructions the pair runs.
#if defined(_WIN32)
inline void PlatformLock::Enter() { EnterCriticalSection(&section); }
inline void PlatformLock::Leave() { LeaveCriticalSection(&section); }
#else
inline void PlatformLock::Enter() { pthread_mutex_lock(&mutex); }
inline void PlatformLock::Leave() { pthread_mutex_unlock(&mutex); }
#endif

/// Decrements *value atomically and returns the decremented value.
int32_t PlatformAtomicDecrement(volatile int32_t* value);

/// Bytes before the first NUL; a null text has length 0 (as lstrlenA).
int32_t PlatformTextLength(const char* text);
