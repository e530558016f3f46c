// Many non-blocking receives and sends handed to the kernel as one system
// call, where the system offers that (io_uring on Linux). Each operation
// completes at once, exactly as the plain non-blocking call would: bytes
// moved, or a would-block, or an error; nothing stays in flight after Run.
// The frame uses it to read every socket a wait reported readable, and to
// write every reply of a cycle, in one call each instead of one per socket.
#ifndef VEMNET_PLATFORM_IO_BATCH_H
#define VEMNET_PLATFORM_IO_BATCH_H

#include <memory>
#include <vector>

#include "platform/platform.h"

namespace plat {

struct IoOp {
    socket_t sock;
    char* buf;          // a receive's space, or a send's bytes
    int len;
    bool send;
    // After Run: bytes moved (0 for a receive: the peer closed), or -1 with
    // the Windows Sockets code in `error`.
    int result;
    int error;
};

class IoBatch {
public:
    virtual ~IoBatch() {}
    // Runs every operation of ops and fills in its result.
    virtual void Run(std::vector<IoOp>& ops) = 0;
    // The system's batch, or null where there is none, where the kernel
    // refuses it, or when VEMNET_IO_BATCH=0 is set (each socket is then
    // read and written with its own call, as before).
    static std::unique_ptr<IoBatch> Create();
};

}  // namespace plat

#endif
