#include "frame/default_frame.h"
#include "frame/sel_selector.h"
#include "platform/platform.h"
#include "vemnet/frame.h"

extern "C" {

VEMNET_API IAsyncSelector* VEMNET_CALL CreateAsyncFrame(int kind, int timeout) {
    if (!plat::StartSockets()) return nullptr;
    if (kind != 0) return nullptr;
    return new SelSelector(timeout);
}

VEMNET_API bool VEMNET_CALL AddAsyncNetTask(INetTask* task, int front, IAsyncSelector* frame) {
    BaseSelector* target = FrameOrDefault(frame);
    if (!target) return false;
    target->AddTask(task, front);
    return true;
}

}
