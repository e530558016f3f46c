#include <pthread.h>

#include "platform/platform.h"

namespace plat {
namespace {

struct Start {
    void (*fn)(void*);
    void* arg;
};

void* Trampoline(void* p) {
    Start s = *static_cast<Start*>(p);
    delete static_cast<Start*>(p);
    s.fn(s.arg);
    return nullptr;
}

}  // namespace

bool StartThread(void (*fn)(void*), void* arg) {
    PinLibrary();
    pthread_t t;
    Start* s = new Start{fn, arg};
    if (pthread_create(&t, nullptr, Trampoline, s) != 0) {
        delete s;
        return false;
    }
    pthread_detach(t);
    return true;
}

}  // namespace plat
