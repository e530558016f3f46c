#include <exception>
#include <memory>
#include <string>

#include <boost/bind/bind.hpp>

#include "http/http_net_context.h"
#include "http/http_send_task.h"
#include "logging/logger.h"
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
//   run the tasks queued, each exchange's data posted as soon as it ends
//   -> (none ran: ask the frame for a poll) -> cap interval
//   -> sleep interval, cut short when the host queues a message
//   -> post sent -> post data waiting -> post timeout
//
// The poll asked for in one cycle is queued by the frame during the sleep
// and sent in the next, so an idle connection makes one request every second
// cycle. While received data waits beyond the receive buffer, no exchange is
// made. A failure that stops the worker ends the cycle: the messages still
// queued are dropped, not sent to a server that just failed.
void RunWorker(void* arg) {
    std::unique_ptr<boost::shared_ptr<HttpNetContext>> holder(static_cast<boost::shared_ptr<HttpNetContext>*>(arg));
    if (!holder || !*holder) return;
    HttpNetContext& context = **holder;

    if (!context.ProxySupported()) {
        // Nothing reaches the server through a proxy the client cannot speak.
        LogLine(NamedLogger::HttpNetConn, LOG_LEVEL_ERROR,
                L"proxy type %d is not supported by the system's HTTP client", int(context.proxy.type));
        context.running.store(false);
        context.PostConnected(NETCONN_EVENT_UNSUPPORTED_PROXY, false);
        return;
    }
    if (context.connectOnAnswer) context.OpenSessionFirst();
    else context.PostConnected(0, false);
    while (context.running.load()) {
        uint32_t now = plat::TickCount();
        context.openFailureReported = false;
        // A wake-up for a message this cycle is about to send is spent.
        context.ClearWake();
        bool ran = false;
        bool holding = context.HoldingBack();
        // Only the tasks queued when the cycle began: a host that keeps
        // sending does not hold off the cycle's events (its wake-up ends the
        // sleep at once instead).
        for (size_t queued = context.TaskCount(); queued > 0 && !holding && !context.failed.load() &&
                                                  !context.abandoned.load();
             --queued) {
            HttpSendTask* task = context.PopTask();
            if (!task) break;
            RunTask(context, task);
            ran = true;
            // Data before whatever a later exchange of this cycle reports.
            context.PostPack(false);
        }
        if (!context.running.load()) break;
        // Held polls of the poller thread stand in for the frame's.
        if (!ran && !holding && !context.HoldsPolls()) {
            context.PostToFrame(L"pushbasetask", boost::bind(&HttpNetContext::PushBaseTask, *holder));
        }
        if (context.interval.load() > context.maxInterval) context.interval.store(context.maxInterval);
        context.SleepUnlessWoken(context.interval.load());
        context.PostSended(false);
        context.PostPack(false);
        if (context.DeadlinePassed(now)) context.PostTimeout(false);
    }
    // Messages queued before a Close still go out; their results reach
    // nobody once the connection has let go. After a failure, or once the
    // connection is deleted, they are dropped.
    while (HttpSendTask* task = context.PopTaskOrFinish()) {
        if (context.failed.load() || context.abandoned.load() || context.ended.load()) {
            delete task;
        } else {
            RunTask(context, task);
        }
    }
}

}  // namespace VemNetwork
