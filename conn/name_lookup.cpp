#include "conn/name_lookup.h"

#include <memory>
#include <utility>

#include "frame/base_selector.h"
#include "frame/sockethelper.h"
#include "platform/platform.h"

namespace VemNetwork {

namespace {

class WorkDone : public INetTask {
public:
    explicit WorkDone(std::function<void()> done) : done_(std::move(done)) {}
    void Run() override { done_(); }
    void OnError(int, const char*) override {}

private:
    std::function<void()> done_;
};

}  // namespace

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
        j->frame->AddTask(new WorkDone(std::move(j->done)), 0);
    };
    if (!plat::StartThread(run, job)) {
        frame->AddTask(new WorkDone(std::move(job->done)), 0);
        delete job;
    }
}

void LookUpOnResolverThread(BaseSelector* frame, const std::string& name,
                            std::function<void(uint32_t)> done) {
    // No thread: the answer is "does not resolve", given the same way.
    auto address = std::make_shared<uint32_t>(kAddrNone);
    RunOffFrame(frame, [name, address] { *address = ResolveHost(name); },
                [done, address] { done(*address); });
}

std::string DottedAddress(uint32_t address) {
    const unsigned char* b = reinterpret_cast<const unsigned char*>(&address);
    return std::to_string(b[0]) + "." + std::to_string(b[1]) + "." + std::to_string(b[2]) + "." +
           std::to_string(b[3]);
}

}  // namespace VemNetwork
