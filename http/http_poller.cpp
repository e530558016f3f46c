#include <memory>

#include "http/http_net_context.h"

namespace VemNetwork {
namespace {

// The poller polls again while at most kPollAhead received bytes wait for
// the host (one reply's worth, so that the next reply is on its way while
// the host takes this one); beyond that it waits, looking again at least
// every kHoldBackPauseMs.
const size_t kPollAhead = size_t(1) << 20;
const int kHoldBackPauseMs = 100;

}  // namespace

// The poller of an extended session: one poll out whenever the connection
// runs, held by the server until it has something for the host; what it
// brings is delivered like the replies to the worker's messages.
void RunPoller(void* arg) {
    std::unique_ptr<boost::shared_ptr<HttpNetContext>> holder(static_cast<boost::shared_ptr<HttpNetContext>*>(arg));
    if (!holder || !*holder) return;
    HttpNetContext& context = **holder;
    while (context.running.load() && !context.failed.load() && !context.abandoned.load()) {
        if (context.surplusBytes.load() > kPollAhead) {
            context.WaitForRoom(kPollAhead, kHoldBackPauseMs);
            continue;
        }
        context.NumberedExchange(*context.pollClient, std::string(), true);
    }
}

}  // namespace VemNetwork
