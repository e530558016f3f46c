#include "frame/handler.h"

#include "frame/base_selector.h"

Handler::~Handler() {
    if (!selector_) return;
    selector_->timers().Set(this, -1);
    selector_->HandlerGone(this);
}

void Handler::SetTimer(int milliseconds) {
    if (!selector_) return;
    selector_->timers().Set(this, milliseconds);
    // The frame's wait is bounded by its nearest timer; one armed from another
    // thread must shorten a wait already under way.
    if (milliseconds > 0 && !selector_->InFrameThread()) selector_->WakeUp();
}
