// The event frame: one thread that waits on sockets, fires timers and runs
// tasks queued from any thread.
#ifndef VEMNET_FRAME_H
#define VEMNET_FRAME_H

#include "vemnet/export.h"

// Event and interest bits. Each event reaches a handler as a call of its own.
enum : unsigned {
    EV_READ = 1,
    EV_WRITE = 2,
    EV_TIMER = 8,
    EV_EXCEPT = 16,
};

// A unit of work run on a frame's thread. The frame deletes a task (through
// slot 0) after its Run returned normally; a task whose Run threw gets
// OnError and is not deleted.
class INetTask {
    VEMNET_DESTRUCTOR_SLOT(INetTask)   // slot 0
public:
    virtual void Run() = 0;
    virtual void OnError(int code, const char* text) = 0;
    VEMNET_COMPILER_DESTRUCTOR(INetTask)
};

// A frame as hosts see it. Only AddTask and Stop may be called from any thread.
class IAsyncSelector {
    VEMNET_DESTRUCTOR_SLOT(IAsyncSelector)   // slot 0
public:
    virtual void Reserved(int) = 0;
    virtual void Run() = 0;
    virtual void Stop() = 0;
    virtual bool IsRunning() = 0;
    virtual void AddTask(INetTask* task, int front) = 0;
    VEMNET_COMPILER_DESTRUCTOR(IAsyncSelector)
};

extern "C" {
// kind 0 is the only frame kind; timeout is the longest wait of one cycle in
// milliseconds (negative: no limit). The caller drives it with Run and
// deletes it after Run returned. Null when kind is not 0.
VEMNET_API IAsyncSelector* VEMNET_CALL CreateAsyncFrame(int kind, int timeout);
// Queues task on frame (null: the default frame, started on first use).
// front 1 puts it at the head of the queue. The frame owns the task.
VEMNET_API bool VEMNET_CALL AddAsyncNetTask(INetTask* task, int front, IAsyncSelector* frame);
}

#endif
