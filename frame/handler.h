// Everything a frame dispatches to is a Handler.
#ifndef VEMNET_HANDLER_H
#define VEMNET_HANDLER_H

class BaseSelector;
namespace plat {
struct IoOp;
}

class Handler {
public:
    Handler() : selector_(nullptr) {}
    virtual void SetSelector(BaseSelector* selector) { selector_ = selector; }
    // One event bit (EV_READ, EV_WRITE, EV_TIMER or EV_EXCEPT); frame thread only.
    virtual void OnEvent(unsigned mask) = 0;
    // Called by the frame when OnEvent threw; the default deletes the handler.
    virtual void OnError() { delete this; }
    virtual ~Handler();

    // Arms (ms > 0), re-arms or cancels (ms <= 0) the one-shot timer.
    void SetTimer(int milliseconds);
    BaseSelector* selector() const { return selector_; }

    // A frame that makes many sockets' calls as one asks first: the receive
    // this handler's next read event would make (or the send its next write
    // event would), filled into op; false when the event makes its own
    // call. The event then takes the call's result from the frame
    // (BaseSelector::TakeMadeCall) instead of making the call.
    virtual bool OfferRead(plat::IoOp* op) { return false; }
    virtual bool OfferWrite(plat::IoOp* op) { return false; }

    // The frame's entry for this handler, kept in the handler so that an
    // interest change costs no lookup: whether the frame's handler set holds
    // it, and its interest there. Only the frame touches it (its thread, or
    // another thread under the frame lock).
    struct FrameEntry {
        unsigned interest = 0;
        bool registered = false;
        bool offered = false;   // has an operation in the batch being built
    };
    FrameEntry& frameEntry() { return frameEntry_; }
    const FrameEntry& frameEntry() const { return frameEntry_; }

protected:
    BaseSelector* selector_;

private:
    FrameEntry frameEntry_;
};

#endif
