// What happens when the library is loaded and unloaded: the named loggers are
// taken at load; at unload the default frame is told to stop and the loggers
// are given back. Nothing else: no thread exists until a frame is needed.
#include "frame/default_frame.h"
#include "logging/logger.h"

namespace {

struct LibraryLifetime {
    LibraryLifetime() { AcquireNamedLoggers(); }
    ~LibraryLifetime() {
        StopDefaultFrame();
        ReleaseNamedLoggers();
    }
};

LibraryLifetime g_lifetime;

}  // namespace
