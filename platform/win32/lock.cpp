// The recursive lock: a critical section kept in the Lock's own storage.
#include <windows.h>

#include <new>

#include "platform/platform.h"

namespace plat {

namespace {
CRITICAL_SECTION* Section(unsigned char* storage) {
    return reinterpret_cast<CRITICAL_SECTION*>(storage);
}
}  // namespace

Lock::Lock() {
    static_assert(sizeof(CRITICAL_SECTION) <= sizeof(storage_), "Lock storage too small");
    static_assert(alignof(CRITICAL_SECTION) <= 16, "Lock storage misaligned");
    InitializeCriticalSection(new (storage_) CRITICAL_SECTION);
}

Lock::~Lock() { DeleteCriticalSection(Section(storage_)); }

void Lock::lock() { EnterCriticalSection(Section(storage_)); }

void Lock::unlock() { LeaveCriticalSection(Section(storage_)); }

bool Lock::try_lock() { return TryEnterCriticalSection(Section(storage_)) != 0; }

}  // namespace plat
