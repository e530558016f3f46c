#include "conn/route/name_lookup.h"

#include <memory>
#include <utility>

#include "frame/base_selector.h"
#include "frame/frame_call.h"
#include "frame/sockethelper.h"
#include "platform/platform.h"

namespace VemNetwork {

void RunOffFrame(BaseSelector* frame, std::function<void()> work, std::function<void()> done) {
    // One short-lived thread per job: jobs are rare (a connect by name from
    // a callback, a proxy auto-config question), and a slow one holds up no
    // other. A library thread (plat::StartThread), so the library stays
    // loaded while it runs.
    struct Job {
        BaseSelector* frame;
        std::function<void()> work;
        std::function<void()> done;
    };
    Job* job = new Job{frame, std::move(work), std::move(done)};
    auto run = [](void* arg) {
        std::unique_ptr<Job> j(static_cast<Job*>(arg));
        j->work();
        RunOnFrame(j->frame, std::move(j->done));
    };
    if (!plat::StartThread(run, job)) {
        RunOnFrame(frame, std::move(job->done));
        delete job;
    }
}

void LookUpOnResolverThread(BaseSelector* frame, const std::string& name,
                            std::function<void(const std::vector<plat::NetAddress>&)> done) {
    // No thread: the answer is "does not resolve", given the same way.
    auto addresses = std::make_shared<std::vector<plat::NetAddress>>();
    RunOffFrame(frame, [name, addresses] { ResolveHostAddresses(name, addresses.get()); },
                [done, addresses] { done(*addresses); });
}

std::string AddressAndPort(const plat::NetAddress& address, int port) {
    const std::string text = plat::AddressText(address);
    return (address.v6 ? "[" + text + "]" : text) + ":" + std::to_string(port);
}

}  // namespace VemNetwork
