#include "frame/default_frame.h"
#include "frame/sel_selector.h"
#include "platform/platform.h"
#include "vemnet/frame.h"

extern "C" {

// Nothing is thrown to a host: its compiler may not even know our exceptions.
VEMNET_API IAsyncSelector* VEMNET_CALL CreateAsyncFrame(int kind, int timeout) {
    try {
        if (!plat::StartSockets()) return nullptr;
        if (kind != 0) return nullptr;
        return new SelSelector(timeout);
    } catch (...) {
        return nullptr;
    }
}

// false: not queued, and the task is still the caller's.
VEMNET_API bool VEMNET_CALL AddAsyncNetTask(INetTask* task, int front, IAsyncSelector* frame) {
    try {
        BaseSelector* target = FrameOrDefault(frame);
        if (!target) return false;
        target->AddTask(task, front);
        return true;
    } catch (...) {
        return false;
    }
}

}
