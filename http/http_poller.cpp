#include <memory>

#include "http/http_net_context.h"

namespace VemNetwork {
namespace {

// While the host has not taken what came, the poller waits for it, looking
// again at least this often.
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
        if (context.HoldingBack()) {
            context.WaitForRoom(kHoldBackPauseMs);
            continue;
        }
        context.NumberedExchange(*context.pollClient, std::string(), true);
    }
}

}  // namespace VemNetwork
