// A function run as a task on a frame's thread, with the frame lock held.
#ifndef VEMNET_FRAME_CALL_H
#define VEMNET_FRAME_CALL_H

#include <functional>

class BaseSelector;

// Queues call at the back of frame's tasks; it must find out itself whether
// what it belongs to is still there when it runs.
void RunOnFrame(BaseSelector* frame, std::function<void()> call);

#endif
