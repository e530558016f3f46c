// A frame of the test's own, driven by a thread of the test.
#ifndef VEMNET_TEST_FRAME_THREAD_H
#define VEMNET_TEST_FRAME_THREAD_H

#include <functional>
#include <thread>

#include "vemnet/frame.h"

namespace testing_support {

class FrameThread {
public:
    explicit FrameThread(int timeout = 20);
    ~FrameThread();   // stops the frame, joins the thread, deletes the frame
    IAsyncSelector* frame() const { return frame_; }
    // Runs fn on the frame's thread and waits for it.
    void RunSync(const std::function<void()>& fn);
    // Queues fn on the frame's thread.
    void Post(const std::function<void()>& fn);
    // Returns after two whole cycles of the frame: every event that was
    // ready when it was called has been dispatched, every handler released
    // before it was called has been deleted.
    void Settle();

private:
    IAsyncSelector* frame_;
    std::thread thread_;
};

}  // namespace testing_support

#endif
