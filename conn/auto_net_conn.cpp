#include "conn/auto_net_conn.h"

#include <algorithm>
#include <exception>
#include <list>

#include "conn/route/name_lookup.h"
#include "conn/route/proxy_record.h"
#include "conn/route/system_proxy.h"
#include "conn/tcp_net_conn.h"
#include "conn/wide_text.h"
#include "frame/base_selector.h"
#include "frame/default_frame.h"
#include "frame/frame_call.h"
#include "frame/frame_timer.h"
#include "http/http_net_conn.h"
#include "logging/logger.h"
#include "platform/platform.h"

namespace VemNetwork {

namespace {

unsigned Bit(RouteStep step) { return 1u << unsigned(step); }

int MsSince(uint64_t since) { return int((plat::MicroTicks() - since) / 1000); }

}  // namespace

// One way out: its connection, and the events that connection reports,
// passed to the climb while the step belongs to it (owner set).
class AutoNetConn::Step final : public INetConnCallback {
public:
    Step(AutoNetConn* owner, RouteStep kind, bool probe) : owner(owner), kind(kind), probe(probe) {}
    ~Step() { delete conn; }

    void OnConnect(int result) override {
        if (owner) owner->StepConnect(this, result);
    }
    int OnData(const char* data, int length) override { return owner ? owner->StepData(this, data, length) : 0; }
    void OnSent() override {
        if (owner) owner->StepSent(this);
    }
    void OnTimeout() override {
        if (owner) owner->StepTimeout(this);
    }
    void OnClose() override {
        if (owner) owner->StepClose(this);
    }
    void OnError(int code) override {
        if (owner) owner->StepError(this, code);
    }

    AutoNetConn* owner;
    const RouteStep kind;
    const bool probe;
    INetConn* conn = nullptr;
    // The proxy record this step's connection was given (it may rewrite it).
    ProxyInfo record;
    // The host armed a timer: the winner's OnTimeout is the host's. An HTTP
    // connection also reports its Connect limit that way, which no host of
    // this connection asked for.
    bool hostTimer = false;
};

AutoNetConn::AutoNetConn(const std::wstring& gatewayHost, int gatewayPort, const std::wstring& gatewayUrl)
    : gatewayHost_(gatewayHost),
      gatewayPort_(gatewayPort),
      gatewayUrl_(gatewayUrl),
      alive_(std::make_shared<bool>(true)),
      frame_(GetDefaultFrame()) {
    nextStep_.reset(new FrameTimer(frame_, [this] { StartNext(); }));
    limit_.reset(new FrameTimer(frame_, [this] {
        LogLine(NamedLogger::TcpNetConn, LOG_LEVEL_ERROR, L"auto %s: no way out within %d ms", Target().c_str(),
                timeout_);
        ReportFailure(NETCONN_EVENT_CONNECT_FAILED);
    }));
}

AutoNetConn::~AutoNetConn() {
    FrameGuard guard(frame_);
    *alive_ = false;
    Close();
    nextStep_.reset();
    limit_.reset();
}

// ---- host calls ---------------------------------------------------------

int AutoNetConn::Connect(const WideStringView& host, int port, int timeout, ProxyInfo* proxy) {
    if (!frame_) return NETCONN_NO_SOCKET;
    if (proxy && HasCutText(*proxy)) return NETCONN_NO_SOCKET;
    if (!IsTcpPort(port)) {
        LogLine(NamedLogger::TcpNetConn, LOG_LEVEL_ERROR, L"connect refused: port %d is not in 1 to 65535", port);
        return NETCONN_NO_SOCKET;
    }
    FrameGuard guard(frame_);
    Close();
    try {
        host_ = ToWString(host);
    } catch (const std::exception&) {
        return NETCONN_NO_SOCKET;
    }
    port_ = port;
    timeout_ = timeout > 0 ? timeout : kDefaultTimeoutMs;
    hasRecord_ = proxy != nullptr;
    if (proxy) record_ = *proxy;
    climbing_ = true;
    const unsigned climb = climb_;
    const std::shared_ptr<bool> alive = alive_;
    // On the frame's thread, where no step's Connect waits for anything.
    RunOnFrame(frame_, [this, alive, climb] {
        if (*alive && climb == climb_ && climbing_) BeginClimb(climb);
    });
    return NETCONN_OK;
}

int AutoNetConn::Send(const char* data, int length) {
    FrameGuard guard(frame_);
    if (winner_) return winner_->conn->Send(data, length);
    if (!climbing_) return NETCONN_NOT_CONNECTED;
    if (length < 0) return NETCONN_FULL;
    if (!data || length == 0) return NETCONN_OK;
    if (held_.size() + size_t(length) > kMostHeldBytes) return NETCONN_FULL;
    held_.append(data, size_t(length));
    return NETCONN_OK;
}

int AutoNetConn::SetTimeout(int milliseconds) {
    FrameGuard guard(frame_);
    if (winner_) {
        winner_->hostTimer = milliseconds > 0;
        // A connection over HTTP takes 0 as "now"; the host means "off".
        if (milliseconds <= 0 && winner_->kind == RouteStep::Http) return NETCONN_OK;
        return winner_->conn->SetTimeout(milliseconds);
    }
    if (!climbing_) return NETCONN_NOT_CONNECTED;
    heldTimerMs_ = milliseconds > 0 ? milliseconds : 0;
    heldTimerSince_ = plat::MicroTicks();
    return NETCONN_OK;
}

void AutoNetConn::Close() {
    FrameGuard guard(frame_);
    ++climb_;
    EndClimb();
    RetireAll();
    held_.clear();
    heldTimerMs_ = 0;
    if (winner_) {
        Retire(winner_);
        winner_ = nullptr;
    }
    for (Step* probe : probes_) Retire(probe);
    probes_.clear();
}

bool AutoNetConn::IsConnected() {
    FrameGuard guard(frame_);
    return winner_ && winner_->conn->IsConnected();
}

void AutoNetConn::SetCallback(INetConnCallback* callback) {
    FrameGuard guard(frame_);
    callback_ = callback;
}

void AutoNetConn::SetCodec(INetCodec* codec) {
    FrameGuard guard(frame_);
    codec_ = codec;
    if (winner_) winner_->conn->SetCodec(codec);
    for (Step* step : running_) step->conn->SetCodec(codec);
}

RouteStep AutoNetConn::FirstStep() const {
    FrameGuard guard(frame_);
    return plan_.empty() ? RouteStep::Direct : plan_.front();
}

bool AutoNetConn::Winner(RouteStep* step) const {
    FrameGuard guard(frame_);
    if (!winner_) return false;
    *step = winner_->kind;
    return true;
}

// ---- the climb ----------------------------------------------------------

std::wstring AutoNetConn::Target() const { return host_ + L":" + std::to_wstring(port_); }

bool AutoNetConn::SystemProxyStep() const { return !hasRecord_ || record_.type == PROXY_SYSTEM; }

int AutoNetConn::LeftMs() const {
    const uint64_t now = plat::MicroTicks();
    return climbEnd_ > now ? int((climbEnd_ - now + 999) / 1000) : 1;
}

void AutoNetConn::BeginClimb(unsigned climb) {
    climbStart_ = plat::MicroTicks();
    climbEnd_ = climbStart_ + uint64_t(timeout_) * 1000;
    failedSteps_ = 0;
    authRefusals_ = 0;
    systemAsked_ = false;
    systemAnswered_ = false;
    systemDirect_ = false;
    proxyWaiting_ = false;
    newest_ = nullptr;
    // The remembered winner first, then the others in their order.
    recall_ = RecallRoute(host_, port_, climbStart_);
    plan_.assign(1, recall_.start);
    for (int s = 0; s < kRouteSteps; ++s)
        if (RouteStep(s) != recall_.start) plan_.push_back(RouteStep(s));
    next_ = 0;
    LogLine(NamedLogger::TcpNetConn, LOG_LEVEL_INFO, L"auto %s: climb within %d ms, %s first%s", Target().c_str(),
            timeout_, RouteStepName(recall_.start),
            recall_.start == RouteStep::Direct ? L"" : L" (it won last time)");
    limit_->Arm(timeout_);
    StartNext();
}

// Whether the system's setting amounts to a direct connection, asked when
// the proxy step's turn comes, off the frame's thread (an auto-config may
// take seconds; its answers are kept a while).
void AutoNetConn::AskSystemProxy(unsigned climb) {
    systemAsked_ = true;
    const std::shared_ptr<bool> alive = alive_;
    auto direct = std::make_shared<bool>(true);
    const std::wstring host = host_;
    const int port = port_;
    RunOffFrame(frame_,
                [direct, host, port] {
                    for (const ProxyInfo& candidate : SystemProxyCandidates(host, port))
                        if (!IsDirectCandidate(candidate)) *direct = false;
                },
                [this, alive, climb, direct] {
                    if (*alive && climb == climb_ && climbing_) SystemProxyAnswered(*direct);
                });
}

void AutoNetConn::SystemProxyAnswered(bool direct) {
    systemAnswered_ = true;
    systemDirect_ = direct;
    if (!proxyWaiting_) return;
    proxyWaiting_ = false;
    const bool wasNewest = !newest_;
    const std::shared_ptr<bool> alive = alive_;
    Step* step = direct ? nullptr : Launch(RouteStep::Proxy, false);
    if (!*alive || !climbing_) return;
    if (step) {
        if (wasNewest) newest_ = step;
        return;
    }
    if (direct)
        LogLine(NamedLogger::TcpNetConn, LOG_LEVEL_INFO, L"auto %s: proxy skipped: the system names none",
                Target().c_str());
    if (wasNewest) StartNext();
    else FailIfExhausted();
}

void AutoNetConn::StartNext() {
    if (!climbing_) return;
    const std::shared_ptr<bool> alive = alive_;
    nextStep_->Cancel();
    while (next_ < plan_.size()) {
        const RouteStep kind = plan_[next_++];
        if (kind == RouteStep::Http && gatewayHost_.empty()) continue;
        if (kind == RouteStep::Proxy) {
            if (!SystemProxyStep() && !IsUsableProxy(record_)) continue;
            if (SystemProxyStep() && !systemAnswered_) {
                // It starts with the system's answer; the next step's head
                // start runs from now.
                if (!systemAsked_) AskSystemProxy(climb_);
                proxyWaiting_ = true;
                newest_ = nullptr;
                nextStep_->Arm(kStepDelayMs);
                return;
            }
            if (SystemProxyStep() && systemDirect_) {
                LogLine(NamedLogger::TcpNetConn, LOG_LEVEL_INFO, L"auto %s: proxy skipped: the system names none",
                        Target().c_str());
                continue;
            }
        }
        Step* step = Launch(kind, false);
        // It may have won, or ended the climb, inside its Connect.
        if (!*alive || !climbing_) return;
        if (!step) continue;
        newest_ = step;
        nextStep_->Arm(kStepDelayMs);
        return;
    }
    newest_ = nullptr;
    FailIfExhausted();
}

AutoNetConn::Step* AutoNetConn::Launch(RouteStep kind, bool probe) {
    Step* step = new Step(this, kind, probe);
    step->record = record_;
    if (!hasRecord_) step->record.type = PROXY_SYSTEM;
    std::vector<Step*>& list = probe ? probes_ : running_;
    // Listed first: a connect that completes at once reports inside Connect.
    list.push_back(step);
    LogLine(NamedLogger::TcpNetConn, LOG_LEVEL_INFO, L"auto %s: %s %s after %d ms", Target().c_str(),
            RouteStepName(kind), probe ? L"tried again in the background" : L"starts", MsSince(climbStart_));
    const std::shared_ptr<bool> alive = alive_;
    // A step shares what is left of the climb; a background try, which may
    // start near the climb's end, has the host's whole limit.
    const int limit = probe ? timeout_ : LeftMs();
    int result = NETCONN_NO_SOCKET;
    if (kind == RouteStep::Http) {
        HttpNetConn* http = new HttpNetConn();
        step->conn = http;
        http->ConnectOnAnswer(true);
        http->SetCallback(step);
        http->SetCodec(codec_);
        http->SetUrl(gatewayUrl_);
        http->SetVerb(L"POST");
        // As the system's setting says, as a browser goes: the host's own
        // record is the proxy step's, which may well have failed.
        step->record = DirectCandidate();
        result = http->Connect(gatewayHost_, gatewayPort_, limit, &step->record);
    } else {
        TcpNetConn* tcp = new TcpNetConn();
        step->conn = tcp;
        tcp->SetCallback(step);
        tcp->SetCodec(codec_);
        result = tcp->Connect(host_, port_, limit, kind == RouteStep::Proxy ? &step->record : nullptr);
    }
    // Deleted by the host, or the step already ended, inside Connect.
    if (!*alive || std::find(list.begin(), list.end(), step) == list.end()) return nullptr;
    if (result == NETCONN_OK) return step;
    LogLine(NamedLogger::TcpNetConn, LOG_LEVEL_ERROR, L"auto %s: %s could not start (%d)", Target().c_str(),
            RouteStepName(kind), result);
    if (!probe) {
        failedSteps_ |= Bit(kind);
    }
    list.erase(std::remove(list.begin(), list.end(), step), list.end());
    Retire(step);
    return nullptr;
}

void AutoNetConn::Won(Step* step) {
    running_.erase(std::remove(running_.begin(), running_.end(), step), running_.end());
    EndClimb();
    RetireAll();
    winner_ = step;
    bool betterFailed = true;
    for (int s = 0; s < int(step->kind); ++s)
        if (!(failedSteps_ & Bit(RouteStep(s)))) betterFailed = false;
    RouteWon(host_, port_, step->kind, betterFailed, plat::MicroTicks());
    LogLine(NamedLogger::TcpNetConn, LOG_LEVEL_INFO, L"auto %s: %s won after %d ms", Target().c_str(),
            RouteStepName(step->kind), MsSince(climbStart_));
    // Ahead of anything the host sends from its OnConnect.
    if (!held_.empty()) {
        std::string bytes;
        bytes.swap(held_);
        step->conn->Send(bytes.data(), int(bytes.size()));
    }
    if (heldTimerMs_ > 0) {
        const int passed = MsSince(heldTimerSince_);
        step->hostTimer = true;
        step->conn->SetTimeout(heldTimerMs_ > passed ? heldTimerMs_ - passed : 1);
        heldTimerMs_ = 0;
    }
    if (recall_.probeBetter && step->kind == recall_.start) StartProbes(step->kind);
    if (callback_) callback_->OnConnect(NETCONN_OK);
}

void AutoNetConn::Failed(Step* step, int event, bool authRefused) {
    LogLine(NamedLogger::TcpNetConn, LOG_LEVEL_INFO, L"auto %s: %s failed after %d ms (%s %d)", Target().c_str(),
            RouteStepName(step->kind), MsSince(climbStart_), authRefused ? L"refused," : L"event", event);
    failedSteps_ |= Bit(step->kind);
    if (authRefused) ++authRefusals_;
    const bool wasNewest = step == newest_;
    running_.erase(std::remove(running_.begin(), running_.end(), step), running_.end());
    Retire(step);
    if (wasNewest) StartNext();
    else FailIfExhausted();
}

void AutoNetConn::FailIfExhausted() {
    if (!climbing_ || !running_.empty() || proxyWaiting_ || next_ < plan_.size()) return;
    ReportFailure(NETCONN_EVENT_CONNECT_FAILED);
}

void AutoNetConn::ReportFailure(int event) {
    if (!climbing_) return;
    // A way that was there but refused (the proxy's handshake or
    // authentication, the gateway's answer) tells the host more than the
    // ways that could not connect: its credentials or its settings are wrong.
    if (authRefusals_ > 0) event = NETCONN_EVENT_HANDSHAKE_FAILED;
    LogLine(NamedLogger::TcpNetConn, LOG_LEVEL_ERROR, L"auto %s: every way failed after %d ms: OnConnect(%d)",
            Target().c_str(), MsSince(climbStart_), event);
    EndClimb();
    RetireAll();
    held_.clear();
    heldTimerMs_ = 0;
    if (callback_) callback_->OnConnect(event);
}

void AutoNetConn::EndClimb() {
    climbing_ = false;
    proxyWaiting_ = false;
    newest_ = nullptr;
    if (nextStep_) nextStep_->Cancel();
    if (limit_) limit_->Cancel();
}

// The better steps, tried once in the background; one that connects is
// where later connections start. This connection stays where it is.
void AutoNetConn::StartProbes(RouteStep winner) {
    for (int s = 0; s < int(winner); ++s) {
        const RouteStep kind = RouteStep(s);
        if (kind == RouteStep::Proxy && (SystemProxyStep() ? systemDirect_ || !systemAnswered_
                                                           : !IsUsableProxy(record_)))
            continue;
        Launch(kind, true);
    }
}

void AutoNetConn::Retire(Step* step) {
    step->owner = nullptr;
    if (step->conn) step->conn->Close();
    RunOnFrame(frame_, [step] { delete step; });
}

void AutoNetConn::RetireAll() {
    for (Step* step : running_) Retire(step);
    running_.clear();
}

// ---- the steps' events --------------------------------------------------

void AutoNetConn::StepConnect(Step* step, int result) {
    if (step->probe) {
        if (result == NETCONN_OK) {
            RouteProbeWon(host_, port_, step->kind, plat::MicroTicks());
            LogLine(NamedLogger::TcpNetConn, LOG_LEVEL_INFO,
                    L"auto %s: %s works again: later connections start there", Target().c_str(),
                    RouteStepName(step->kind));
        }
        probes_.erase(std::remove(probes_.begin(), probes_.end(), step), probes_.end());
        Retire(step);
        return;
    }
    if (step == winner_) return;
    if (result == NETCONN_OK) Won(step);
    else Failed(step, result, false);
}

void AutoNetConn::StepError(Step* step, int code) {
    if (step == winner_) {
        if (callback_) callback_->OnError(code);
        return;
    }
    if (step->probe) {
        probes_.erase(std::remove(probes_.begin(), probes_.end(), step), probes_.end());
        Retire(step);
        return;
    }
    Failed(step, code, code == NETCONN_EVENT_HANDSHAKE_FAILED);
}

void AutoNetConn::StepClose(Step* step) {
    if (step == winner_) {
        if (callback_) callback_->OnClose();
        return;
    }
    StepError(step, NETCONN_EVENT_FAILED);
}

int AutoNetConn::StepData(Step* step, const char* data, int length) {
    if (step != winner_ || !callback_) return 0;
    return callback_->OnData(data, length);
}

void AutoNetConn::StepSent(Step* step) {
    if (step == winner_ && callback_) callback_->OnSent();
}

void AutoNetConn::StepTimeout(Step* step) {
    if (step != winner_ || !step->hostTimer) return;
    step->hostTimer = false;
    if (callback_) callback_->OnTimeout();
}

}  // namespace VemNetwork
