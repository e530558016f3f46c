// What happens when the library is loaded and unloaded: the named loggers are
// taken at load; at unload the default frame is told to stop and the loggers
// are given back. Nothing else: no thread exists until a frame is needed.
#include "frame/default_frame.h"
#include "logging/logger.h"
#include "platform/platform.h"

namespace {

struct LibraryLifetime {
    LibraryLifetime() { AcquireNamedLoggers(); }
    ~LibraryLifetime() {
        // At process end the frame's thread is gone already and the logger
        // module may be unloaded before this one.
        if (plat::ProcessEnding()) return;
        StopDefaultFrame();
        ReleaseNamedLoggers();
    }
};

LibraryLifetime g_lifetime;

}  // namespace
