#include "PlatformPrimitives.h"

static_assert(sizeof(LONG) == sizeof(int32_t), "InterlockedDecrement works on 32-bit LONGs");

// NOLINTNEXTLINE(cppcoreguidelines-pro-type-member-init): InitializeCriticalSection initialises it
PlatformLock::PlatformLock() { InitializeCriticalSection(&section); }
PlatformLock::~PlatformLock() { DeleteCriticalSection(&section); }

int32_t PlatformAtomicDecrement(volatile int32_t* value)
{
    return InterlockedDecrement(reinterpret_cast<volatile LONG*>(value));
}

int32_t PlatformTextLength(const char* text) { return lstrlenA(text); }
