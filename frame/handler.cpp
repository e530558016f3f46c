#include "frame/handler.h"

#include "frame/base_selector.h"

void Handler::SetTimer(int milliseconds) {
    if (selector_) selector_->timers().Set(this, milliseconds);
}
