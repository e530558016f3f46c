// Clocks and sleeping.
#include <windows.h>

#include "platform/platform.h"

namespace plat {

uint32_t TickCount() { return GetTickCount(); }

uint64_t TickCount64() { return GetTickCount64(); }

uint64_t MicroTicks() {
    static const uint64_t frequency = [] {
        LARGE_INTEGER f;
        QueryPerformanceFrequency(&f);
        return static_cast<uint64_t>(f.QuadPart > 0 ? f.QuadPart : 1);
    }();
    LARGE_INTEGER c;
    QueryPerformanceCounter(&c);
    uint64_t count = static_cast<uint64_t>(c.QuadPart);
    // Whole seconds and the remainder apart, so that count * 1e6 cannot
    // overflow however long the machine has been up.
    return count / frequency * 1000000u + count % frequency * 1000000u / frequency;
}

void SleepMs(int ms) {
    // A negative value must not become INFINITE.
    Sleep(ms > 0 ? static_cast<DWORD>(ms) : 0);
}

}  // namespace plat
