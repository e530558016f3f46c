// A connection that gets out by whatever way the network allows: directly,
// through the proxy, or as HTTP through a session gateway. Each way (a step
// of the climb) starts when the one before it failed or has not connected
// within kStepDelayMs; the first to connect carries the connection, the
// others are closed without an event to the host, and the bytes the host
// sent meanwhile go out on the winner, once and in order. The step that won
// is remembered per target (conn/route/route_memory.h): the next connection
// starts there and, now and then, tries the better steps in the background
// so that later connections move back up.
//
// It composes a TcpNetConn per TCP step and an HttpNetConn, which do the
// work; this object only runs the climb and passes the winner's events on.
//
// Threads: every entry point holds the default frame's (recursive) lock,
// as TcpNetConn's do. The climb runs on the frame's thread: Connect queues
// its start there, so the steps' own Connect calls never let the lock go
// and every step's event arrives there.
#ifndef VEMNET_AUTO_NET_CONN_H
#define VEMNET_AUTO_NET_CONN_H

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "conn/route/route_memory.h"
#include "vemnet/netconn.h"

class BaseSelector;
class FrameTimer;

namespace VemNetwork {

class AutoNetConn : public INetConn {
public:
    // gatewayHost/gatewayPort/gatewayUrl: where the HTTP step goes (an empty
    // host: no HTTP step).
    AutoNetConn(const std::wstring& gatewayHost, int gatewayPort, const std::wstring& gatewayUrl);
    ~AutoNetConn() override;

    // INetConn. A type-5 record is read, not rewritten.
    int Connect(const WideStringView& host, int port, int timeout, ProxyInfo* proxy) override;
    int Send(const char* data, int length) override;
    int SetTimeout(int milliseconds) override;
    void Close() override;
    bool IsConnected() override;
    void SetCallback(INetConnCallback* callback) override;
    void SetCodec(INetCodec* codec) override;

    // The head start of each step over the next one (Happy Eyeballs' delay).
    static const int kStepDelayMs = 250;
    // The whole climb's limit when the host gives none (0 or less).
    static const int kDefaultTimeoutMs = 10000;
    // What the host may send before a step has won.
    static const size_t kMostHeldBytes = 131072;

    // For tests and diagnostics: the step the last climb started with, and
    // the one carrying the connection (false when none does).
    RouteStep FirstStep() const;
    bool Winner(RouteStep* step) const;

    class Step;
    // From a step's events (frame thread, frame lock held).
    void StepConnect(Step* step, int result);
    void StepError(Step* step, int code);
    void StepClose(Step* step);
    int StepData(Step* step, const char* data, int length);
    void StepSent(Step* step);
    void StepTimeout(Step* step);

private:
    void BeginClimb(unsigned climb);
    void AskSystemProxy(unsigned climb);
    void SystemProxyAnswered(bool direct);
    // Starts the next step of the plan that can start; reports the failure
    // when none is left and none runs.
    void StartNext();
    // Starts a step; null when it could not start (counted as failed).
    Step* Launch(RouteStep kind, bool probe);
    void Won(Step* step);
    void Failed(Step* step, int event, bool authRefused);
    void FailIfExhausted();
    void ReportFailure(int event);
    void StartProbes(RouteStep winner);
    // Closes a step at once and deletes it later, off its own call stack.
    void Retire(Step* step);
    void RetireAll();
    void EndClimb();
    int LeftMs() const;
    bool SystemProxyStep() const;
    std::wstring Target() const;

    const std::wstring gatewayHost_;
    const int gatewayPort_;
    const std::wstring gatewayUrl_;
    std::wstring host_;
    int port_ = 0;
    int timeout_ = kDefaultTimeoutMs;
    bool hasRecord_ = false;
    ProxyInfo record_;
    INetConnCallback* callback_ = nullptr;
    INetCodec* codec_ = nullptr;

    // The climb: the steps in the order to try, the next to start, those
    // running, the newest started (null: none, or the proxy step waiting for
    // the system's answer).
    bool climbing_ = false;
    unsigned climb_ = 0;
    RouteRecall recall_;
    std::vector<RouteStep> plan_;
    size_t next_ = 0;
    std::vector<Step*> running_;
    Step* newest_ = nullptr;
    bool proxyWaiting_ = false;
    bool systemAsked_ = false;
    bool systemAnswered_ = false;
    bool systemDirect_ = false;
    unsigned failedSteps_ = 0;   // bit per RouteStep
    int authRefusals_ = 0;
    uint64_t climbStart_ = 0;
    uint64_t climbEnd_ = 0;
    std::unique_ptr<FrameTimer> nextStep_;
    std::unique_ptr<FrameTimer> limit_;
    // Bytes and a timer the host gave before a step won.
    std::string held_;
    int heldTimerMs_ = 0;
    uint64_t heldTimerSince_ = 0;

    Step* winner_ = nullptr;
    std::vector<Step*> probes_;

    std::shared_ptr<bool> alive_;
    BaseSelector* frame_;
};

}  // namespace VemNetwork

#endif
