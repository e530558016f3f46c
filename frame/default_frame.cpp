#include "frame/default_frame.h"

#include <atomic>
#include <cstdlib>
#include <mutex>

#include "platform/platform.h"
#include "vemnet/frame.h"

namespace {

std::atomic<BaseSelector*> g_default(nullptr);
std::once_flag g_once;

void RunDefaultFrame(void* frame) { static_cast<BaseSelector*>(frame)->Run(); }

void MakeDefaultFrame() {
    BaseSelector* frame = static_cast<BaseSelector*>(CreateAsyncFrame(0, 100));
    if (!frame) return;
    if (!plat::StartThread(RunDefaultFrame, frame)) {
        delete frame;
        return;
    }
    g_default.store(frame);
    std::atexit(StopDefaultFrame);
}

}  // namespace

BaseSelector* GetDefaultFrame() {
    std::call_once(g_once, MakeDefaultFrame);
    return g_default.load();
}

BaseSelector* FrameOrDefault(IAsyncSelector* frame) {
    return frame ? static_cast<BaseSelector*>(frame) : GetDefaultFrame();
}

void StopDefaultFrame() {
    // A library's exit handlers run at its unload on Windows, after the
    // process has ended the frame's thread, which may have held the wake lock.
    if (plat::ProcessEnding()) return;
    BaseSelector* frame = g_default.load();
    if (frame) frame->Stop();
}
