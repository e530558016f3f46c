#include "platform/io_batch.h"

namespace plat {

// Windows Sockets has no batch of ready calls: one call per socket.
std::unique_ptr<IoBatch> IoBatch::Create() { return nullptr; }

}  // namespace plat
