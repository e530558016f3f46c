#include "frame/exceptions.h"

#include "platform/platform.h"

const char* exception_errno::what() const noexcept {
    if (composed_) return text_.c_str();
    composed_ = true;
    if (code_ == 0) return text_.c_str();
    try {
        std::string systemText;
        text_ += " - ";
        text_ += std::to_string(unsigned(code_));
        text_ += ": ";
        if (plat::SocketErrorText(code_, &systemText)) {
            text_ += systemText;
        } else {
            text_ += "No Error Text.";
        }
    } catch (...) {
        // Out of memory while composing: keep what was built.
    }
    return text_.c_str();
}

socket_error::socket_error(const std::string& text) : exception_errno(plat::LastSocketError(), text) {}

void ThrowCreateSocketError() { throw socket_error("create socket"); }
