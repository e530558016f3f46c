#include "conn/name_lookup.h"

#include <memory>
#include <utility>

#include "frame/base_selector.h"
#include "frame/sockethelper.h"
#include "platform/platform.h"

namespace VemNetwork {

namespace {

class LookupDone : public INetTask {
public:
    LookupDone(std::function<void(uint32_t)> done, uint32_t address)
        : done_(std::move(done)), address_(address) {}
    void Run() override { done_(address_); }
    void OnError(int, const char*) override {}

private:
    std::function<void(uint32_t)> done_;
    uint32_t address_;
};

}  // namespace

void LookUpOnResolverThread(BaseSelector* frame, const std::string& name,
                            std::function<void(uint32_t)> done) {
    // One short-lived thread per lookup: lookups are rare (one per connect
    // by name from a callback), and a slow answer holds up no other. A
    // library thread (plat::StartThread), so the library stays loaded while
    // it runs.
    struct Lookup {
        BaseSelector* frame;
        std::string name;
        std::function<void(uint32_t)> done;
    };
    Lookup* job = new Lookup{frame, name, std::move(done)};
    auto run = [](void* arg) {
        std::unique_ptr<Lookup> lookup(static_cast<Lookup*>(arg));
        const uint32_t address = ResolveHost(lookup->name);
        lookup->frame->AddTask(new LookupDone(std::move(lookup->done), address), 0);
    };
    if (!plat::StartThread(run, job)) {
        // No thread: the answer is "does not resolve", given the same way.
        frame->AddTask(new LookupDone(std::move(job->done), kAddrNone), 0);
        delete job;
    }
}

std::string DottedAddress(uint32_t address) {
    const unsigned char* b = reinterpret_cast<const unsigned char*>(&address);
    return std::to_string(b[0]) + "." + std::to_string(b[1]) + "." + std::to_string(b[2]) + "." +
           std::to_string(b[3]);
}

}  // namespace VemNetwork
