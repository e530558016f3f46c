#include "frame/frame_timer.h"

#include "vemnet/frame.h"

FrameTimer::FrameTimer(BaseSelector* frame, std::function<void()> fire) : fire_(std::move(fire)) {
    SetSelector(frame);
}

void FrameTimer::OnEvent(unsigned mask) {
    if ((mask & EV_TIMER) && fire_) fire_();
}
