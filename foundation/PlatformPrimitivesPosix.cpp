#include "PlatformPrimitives.h"

#include <cstring>

PlatformLock::PlatformLock() : mutex() { pthread_mutex_init(&mutex, nullptr); }
PlatformLock::~PlatformLock() { pthread_mutex_destroy(&mutex); }

int32_t PlatformAtomicDecrement(volatile int32_t* value) { return __atomic_sub_fetch(value, 1, __ATOMIC_SEQ_CST); }

int32_t PlatformTextLength(const char* text) { return text == nullptr ? 0 : static_cast<int32_t>(std::strlen(text)); }
