#include <exception>
#include <memory>
#include <string>

#include <boost/bind/bind.hpp>

#include "http/http_net_context.h"
#include "http/http_send_task.h"
#include "platform/platform.h"

namespace VemNetwork {
namespace {

// Runs and deletes one task. A task that throws would otherwise end the
// thread (or the process) while the connection still believes it runs: it
// is reported as a failure like a failed exchange, and the worker stops.
bool RunTask(HttpNetContext& context, HttpSendTask* task) {
    std::unique_ptr<HttpSendTask> owned(task);
    std::string failure;
    try {
        owned->Run();
        return true;
    } catch (const std::exception& e) {
        failure = std::string("task ") + plat::ToAnsi(owned->Label()) + " failed: " + e.what();
    } catch (...) {
        failure = std::string("task ") + plat::ToAnsi(owned->Label()) + " failed";
    }
    context.StopWithError(11, failure);
    return false;
}

}  // namespace

// One cycle of the worker:
//
//   run queued tasks -> (none ran: ask the frame for a poll) -> cap interval
//   -> sleep interval -> post sent -> post data waiting -> post timeout
//
// The poll asked for in one cycle is queued by the frame during the sleep
// and sent in the next, so an idle connection makes one request every second
// cycle.
void RunWorker(void* arg) {
    std::unique_ptr<boost::shared_ptr<HttpNetContext>> holder(static_cast<boost::shared_ptr<HttpNetContext>*>(arg));
    if (!holder || !*holder) return;
    HttpNetContext& context = **holder;

    context.PostConnected(0, false);
    while (context.running.load()) {
        uint32_t now = plat::TickCount();
        bool ran = false;
        while (HttpSendTask* task = context.PopTask()) {
            RunTask(context, task);
            ran = true;
        }
        if (!context.running.load()) break;
        if (!ran) {
            context.PostToFrame(L"pushbasetask", boost::bind(&HttpNetContext::PushBaseTask, *holder));
        }
        if (context.interval.load() > context.maxInterval) context.interval.store(context.maxInterval);
        int sleep = context.interval.load();
        plat::SleepMs(sleep > 0 ? sleep : 0);
        context.PostSended(false);
        context.PostPack(false);
        if (context.DeadlinePassed(now)) context.PostTimeout(false);
    }
    // Messages queued before the stop still go out; their results reach
    // nobody once the connection has let go.
    while (HttpSendTask* task = context.PopTaskOrFinish()) RunTask(context, task);
}

}  // namespace VemNetwork
