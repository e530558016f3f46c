// Detached threads through the C runtime, so that the runtime's per-thread
// state is set up for them.
#include <windows.h>
#include <process.h>

#include "platform/platform.h"

namespace plat {

namespace {

struct ThreadStart {
    void (*fn)(void*);
    void* arg;
};

unsigned __stdcall ThreadMain(void* p) {
    ThreadStart start = *static_cast<ThreadStart*>(p);
    delete static_cast<ThreadStart*>(p);
    start.fn(start.arg);
    return 1;
}

}  // namespace

bool StartThread(void (*fn)(void*), void* arg) {
    PinLibrary();
    ThreadStart* start = new ThreadStart{fn, arg};
    uintptr_t handle = _beginthreadex(nullptr, 0, &ThreadMain, start, 0, nullptr);
    if (handle == 0) {
        delete start;
        return false;
    }
    // Nobody joins the thread; the handle is not needed.
    CloseHandle(reinterpret_cast<HANDLE>(handle));
    return true;
}

}  // namespace plat
