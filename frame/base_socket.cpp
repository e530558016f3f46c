#include "frame/base_socket.h"

#include <stdexcept>

#include "frame/base_selector.h"

BaseSocket::~BaseSocket() {
    // ~Handler cancels the timer.
    Unregister();
    // helper_'s destructor closes the handle.
}

void BaseSocket::Select(unsigned remove, unsigned add) {
    if (helper_.sock == plat::kInvalidSocket) throw std::runtime_error("select with invalid socket");
    unsigned current = helper_.flags & SF_MASK;
    unsigned addBits = add & ~current;
    unsigned removeBits = remove & current & ~add;
    if (addBits == 0 && removeBits == 0) return;
    if (selector_) selector_->UpdateHandler(this, removeBits, addBits);
    helper_.flags = (helper_.flags & ~SF_MASK) | ((current & ~removeBits) | addBits);
    helper_.flags |= SF_REGISTERED;
}

void BaseSocket::Unregister() {
    if (helper_.flags & SF_REGISTERED) {
        if (selector_) selector_->RemoveHandler(this);
        helper_.flags &= ~SF_REGISTERED;
    }
}
