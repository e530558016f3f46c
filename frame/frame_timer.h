// A one-shot timer on a frame without a socket: calls its function on the
// frame's thread when it fires. Arm, cancel and delete it on the frame's
// thread or under the frame lock, never from inside its own function.
#ifndef VEMNET_FRAME_TIMER_H
#define VEMNET_FRAME_TIMER_H

#include <functional>

#include "frame/handler.h"

class BaseSelector;

class FrameTimer : public Handler {
public:
    FrameTimer(BaseSelector* frame, std::function<void()> fire);
    // ms > 0 arms or re-arms it; 0 or less cancels it.
    void Arm(int milliseconds) { SetTimer(milliseconds); }
    void Cancel() { SetTimer(-1); }
    void OnEvent(unsigned mask) override;
    // A throwing function must not make the frame delete this member of
    // another object.
    void OnError() override {}

private:
    std::function<void()> fire_;
};

#endif
