#include "http/http_net_context.h"

#include <chrono>
#include <climits>
#include <mutex>

#include <boost/bind/bind.hpp>

#include "frame/default_frame.h"
#include "http/http_net_conn.h"
#include "conn/route/proxy_record.h"
#include "http/http_send_task.h"
#include "logging/logger.h"

namespace VemNetwork {

std::atomic<int> HttpNetContext::connectTimeoutMs(10000);
std::atomic<int> HttpNetContext::sendTimeoutMs(10000);

HttpNetContext::HttpNetContext()
    : running(true),
      failed(false),
      abandoned(false),
      openFailureReported(false),
      wakeRequested(false),
      tasksFinished(false),
      conn(nullptr),
      client(plat::HttpClient::Create()),
      port(0),
      deadline(0),
      baseInterval(1000),
      maxInterval(7000),
      interval(1000),
      extended(false),
      holdMs(0),
      maxMessage(0),
      ended(false),
      closeDelivered(false),
      pollClient(plat::HttpClient::Create()),
      outboxQueued(false),

      nextRid(1),
      acked(0),
      deliveredAt(0),
      endKnown(false),
      endAt(0) {
    url.scheme = L"http";
    url.schemeIndex = kSchemeHttp;
    url.port = 80;
}

HttpNetContext::~HttpNetContext() {
    // Tasks hold references to this record, so none can be left but those
    // of a worker that never started.
    for (HttpSendTask* task : tasks) delete task;
    tasks.clear();
    if (client) client->CloseAll();
    if (pollClient) pollClient->CloseAll();
}

int HttpNetContext::SetTimeout(int ms) {
    ArmDeadline(plat::TickCount() + uint32_t(ms));
    return 0;
}

void HttpNetContext::SetVerb(const std::wstring& v) { verb = v; }

void HttpNetContext::SetHeaders(const std::wstring& extra) {
    headers = L"Content-Type: application/x-www-form-urlencoded\r\n" + extra;
}

void HttpNetContext::SetPollInterval(int baseMs, int maxMs) {
    baseInterval = baseMs;
    maxInterval = maxMs;
}

bool HttpNetContext::SetUrl(const std::wstring& text) {
    if (SplitUrl(text, url)) return true;
    if (url.schemeIndex != -1) return false;
    return SplitUrl(L"http://" + text, url);
}

void HttpNetContext::ResetSession() {
    if (client) client->CloseAll();
    session.clear();
}

void HttpNetContext::Abandon() {
    abandoned.store(true);
    running.store(false);
    if (client) client->Abort();
    StopPolling();
}

void HttpNetContext::StopPolling() {
    if (pollClient) pollClient->Abort();
}

bool HttpNetContext::ProxySupported() const {
    if (!IsUsableProxy(proxy) || proxy.type == PROXY_SYSTEM) return true;
    if (proxy.type == PROXY_SOCKS5) return plat::HttpClient::SpeaksSocks5();
    return proxy.type == PROXY_SOCKS4 || proxy.type == PROXY_SOCKS4_ALT || proxy.type == PROXY_HTTP;
}

void HttpNetContext::DoubleInterval() {
    int v = interval.load();
    interval.store(v > INT_MAX / 2 ? INT_MAX : v * 2);
}

bool HttpNetContext::DeadlinePassed(uint32_t now) const {
    uint32_t d = deadline.load();
    return d != 0 && int32_t(now - d) > 0;
}

// ---- worker queue ----------------------------------------------------------

void HttpNetContext::PushTask(const std::wstring& label, const boost::function<void()>& call) {
    HttpSendTask* task = new HttpSendTask(label, call);
    {
        std::lock_guard<plat::Lock> guard(taskLock);
        if (!tasksFinished) {
            tasks.push_back(task);
            return;
        }
    }
    delete task;
}

HttpSendTask* HttpNetContext::PopTask() {
    std::lock_guard<plat::Lock> guard(taskLock);
    if (tasks.empty()) return nullptr;
    HttpSendTask* task = tasks.front();
    tasks.pop_front();
    return task;
}

size_t HttpNetContext::TaskCount() {
    std::lock_guard<plat::Lock> guard(taskLock);
    return tasks.size();
}

HttpSendTask* HttpNetContext::PopTaskOrFinish() {
    std::lock_guard<plat::Lock> guard(taskLock);
    if (tasks.empty()) {
        tasksFinished = true;
        return nullptr;
    }
    HttpSendTask* task = tasks.front();
    tasks.pop_front();
    return task;
}

// ---- worker pacing -----------------------------------------------------------

void HttpNetContext::Wake() {
    {
        std::lock_guard<std::mutex> guard(wakeLock);
        wakeRequested = true;
    }
    // The poller waits on the same signal for the context to stop.
    wakeSignal.notify_all();
}

void HttpNetContext::SleepUnlessWoken(int ms) {
    std::unique_lock<std::mutex> guard(wakeLock);
    wakeSignal.wait_for(guard, std::chrono::milliseconds(ms > 0 ? ms : 0), [this] { return wakeRequested; });
    wakeRequested = false;
}

void HttpNetContext::WaitUnlessStopped(int ms) {
    std::unique_lock<std::mutex> guard(wakeLock);
    wakeSignal.wait_for(guard, std::chrono::milliseconds(ms > 0 ? ms : 0), [this] { return !running.load(); });
}

void HttpNetContext::WaitForRoom(size_t most, int ms) {
    std::unique_lock<std::mutex> guard(wakeLock);
    wakeSignal.wait_for(guard, std::chrono::milliseconds(ms > 0 ? ms : 0),
                        [this, most] { return !running.load() || surplusBytes.load() <= most; });
}

void HttpNetContext::ClearWake() {
    std::lock_guard<std::mutex> guard(wakeLock);
    wakeRequested = false;
}

bool HttpNetContext::HoldingBack() const { return surplusBytes.load() != 0; }

// ---- events ------------------------------------------------------------------

void HttpNetContext::PostToFrame(const std::wstring& label, const boost::function<void()>& call) {
    BaseSelector* frame = GetDefaultFrame();
    if (!frame) return;
    frame->AddTask(new HttpSendTask(label, call), 0);
}

void HttpNetContext::PushBaseTask() {
    HttpNetConn* c = conn.load();
    if (c) c->QueuePoll();
}

void HttpNetContext::PostConnected(int result, bool direct) {
    if (!direct) {
        PostToFrame(L"postconnected", boost::bind(&HttpNetContext::PostConnected, shared_from_this(), result, true));
        return;
    }
    HttpNetConn* c = conn.load();
    if (c) c->NotifyConnect(result);
}

void HttpNetContext::PostTimeout(bool direct) {
    if (!direct) {
        deadline.store(0);
        PostToFrame(L"posttimeout", boost::bind(&HttpNetContext::PostTimeout, shared_from_this(), true));
        return;
    }
    std::lock_guard<plat::Lock> guard(recvLock);
    HttpNetConn* c = conn.load();
    if (c && !closeDelivered.load()) c->NotifyTimeout();
}

void HttpNetContext::PostError(int code, const std::string& text, bool direct) {
    if (!direct) {
        PostToFrame(L"posterror", boost::bind(&HttpNetContext::PostError, shared_from_this(), code, text, true));
        LogLine(NamedLogger::HttpNetConn, LOG_LEVEL_ERROR, L"%s", plat::FromAnsi(text).c_str());
        return;
    }
    HttpNetConn* c = conn.load();
    if (c && !closeDelivered.load()) c->NotifyError(code, text.c_str());
}

void HttpNetContext::StopWithError(int code, const std::string& text) {
    failed.store(true);
    running.store(false);
    PostError(code, text, false);
}

void HttpNetContext::ReportOpenFailure(const std::string& text) {
    if (openFailureReported) return;
    openFailureReported = true;
    PostError(NETCONN_NO_SOCKET, text, false);
}

void HttpNetContext::PostPack(bool direct) {
    std::lock_guard<plat::Lock> guard(recvLock);
    if (recvBuffer.empty()) return;
    if (!direct) {
        PostToFrame(L"postpack", boost::bind(&HttpNetContext::PostPack, shared_from_this(), true));
        interval.store(baseInterval);
        return;
    }
    // While the host consumes, the room it makes is filled from the surplus
    // and offered at once.
    for (;;) {
        HttpNetConn* c = conn.load();
        if (!c || recvBuffer.empty()) return;
        int n = c->NotifyData(recvBuffer.data(), int(recvBuffer.size()));
        if (n <= 0) return;
        recvBuffer.consume(uint32_t(n));
        if (!RefillFromSurplus()) break;
    }
    // The poller may wait for the surplus to shrink before it polls again.
    if (HoldsPolls()) wakeSignal.notify_all();
}

bool HttpNetContext::RefillFromSurplus() {
    uint32_t room = SmallBlockBuffer::kCapacity - recvBuffer.size();
    size_t waiting = surplus.size() - surplusFrom;
    uint32_t n = waiting < room ? uint32_t(waiting) : room;
    if (n == 0 || !recvBuffer.append(surplus.data() + surplusFrom, n)) return false;
    // The taken bytes go when all are taken, or when they are the larger part
    // (not at every refill: a large surplus would move again and again).
    surplusFrom += n;
    if (surplusFrom == surplus.size()) {
        surplus.clear();
        surplusFrom = 0;
    } else if (surplusFrom > surplus.size() / 2) {
        surplus.erase(0, surplusFrom);
        surplusFrom = 0;
    }
    surplusBytes.store(surplus.size() - surplusFrom);
    return true;
}

void HttpNetContext::StoreReceived(const char* bytes, uint32_t length) {
    if (surplus.empty()) {
        uint32_t room = SmallBlockBuffer::kCapacity - recvBuffer.size();
        uint32_t n = length < room ? length : room;
        if (recvBuffer.append(bytes, n)) {
            bytes += n;
            length -= n;
        }
    }
    surplus.append(bytes, length);
    surplusBytes.store(surplus.size() - surplusFrom);
}

void HttpNetContext::PostClosed(bool direct) {
    if (!direct) {
        PostToFrame(L"postclosed", boost::bind(&HttpNetContext::PostClosed, shared_from_this(), true));
        return;
    }
    // What the host has not taken yet is offered once more first.
    PostPack(true);
    closeDelivered.store(true);
    HttpNetConn* c = conn.load();
    if (c) c->NotifyClose();
}

void HttpNetContext::PostSended(bool direct) {
    if (!direct) {
        PostToFrame(L"PostSended", boost::bind(&HttpNetContext::PostSended, shared_from_this(), true));
        return;
    }
    HttpNetConn* c = conn.load();
    if (c && !closeDelivered.load()) c->NotifySent();
}

}  // namespace VemNetwork
