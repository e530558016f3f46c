// A Handler that owns a socket handle and keeps the frame's handler set in
// step with the events it wants.
#ifndef VEMNET_BASE_SOCKET_H
#define VEMNET_BASE_SOCKET_H

#include "frame/handler.h"
#include "frame/sockethelper.h"

class BaseSocket : public Handler {
public:
    BaseSocket() {}
    ~BaseSocket() override;
    // Drops `remove` bits (unless also in `add`) and adds `add` bits; calls the
    // frame only when the interest changes. Throws "select with invalid socket"
    // and the frame's "too many connections".
    virtual void Select(unsigned remove, unsigned add);
    virtual void Unregister();

    plat::socket_t GetHandle() const { return helper_.sock; }
    unsigned Interest() const { return helper_.flags & SF_MASK; }
    Sockethelper& helper() { return helper_; }

protected:
    Sockethelper helper_;
};

#endif
