// A TCP connection to a target, direct or through a proxy, with the host's
// optional transform on the payload.
//
// Threads: the host calls in from its own threads while the default frame's
// thread delivers socket events. Every entry point, host calls and socket
// events alike, holds the default frame's (recursive) lock, so the object
// is only ever touched by one thread at a time and a host callback may call
// straight back into the connection. The lock is let go while a host's
// Connect looks a name up and while the socket factory runs (a blocking
// connect waits there): no connection waits for another one's DNS or
// connect. A Connect made on the frame's thread looks names up on a
// resolver thread and goes on when the answer is back.
//
// While the lock is let go, another thread may Close, Connect again or
// delete the connection: every step after such a window first checks that
// its attempt is still the current one, and a socket opened meanwhile
// reaches the connection through a SocketLink of its own, which swallows
// its events once the connection has let it go.
#ifndef VEMNET_TCP_NET_CONN_H
#define VEMNET_TCP_NET_CONN_H

#include <cstdint>
#include <list>
#include <memory>
#include <string>
#include <vector>

#include "conn/proxy/proxy_helper.h"
#include "conn/socket_link.h"
#include "platform/platform.h"
#include "sockets/block_buffer.h"
#include "vemnet/netconn.h"
#include "vemnet/sock.h"

class BaseSelector;

namespace VemNetwork {

class TcpNetConn : public INetConn, public IASockCallback {
public:
    TcpNetConn();
    ~TcpNetConn() override;

    // INetConn
    int Connect(const WideStringView& host, int port, int timeout, ProxyInfo* proxy) override;
    int Send(const char* data, int length) override;
    int SetTimeout(int milliseconds) override;
    void Close() override;
    bool IsConnected() override;
    void SetCallback(INetConnCallback* callback) override;
    void SetCodec(INetCodec* codec) override;

    // IASockCallback
    void OnConnect(int status) override;
    void OnClose() override;
    void OnError(int code, const char* text) override;
    void OnTimer() override;
    unsigned OnData(const char* data, unsigned len) override;
    void OnSent() override;

    // The connect timeout until the host gives one, and the handshake limit
    // when the host gave none (a timeout of 0 or less).
    static const int kDefaultTimeoutMs = 10000;
    // The most a proxy's reply may take before it is complete.
    static const unsigned kMaxProxyReply = 65536;

private:
    // One attempt: the host's Connect after its resets, the reconnect a
    // helper asks for, and the move to the next candidate all come here.
    int StartAttempt(const std::wstring& host, int port, int timeout, ProxyInfo* proxy);
    // Resolves host (here on a host's thread, on the resolver thread from
    // the frame's) and connects; true when an attempt is under way.
    bool OpenSocket(const std::string& host, int port, int timeout);
    void LookUpLater(const std::string& host, int port, int timeout);
    // The system setting's candidates asked for on a thread of their own (a
    // Connect on the frame's thread); the attempt goes on with the answer.
    void CandidatesLater();
    void LogCandidates();
    // Creates the socket and stores it before acting on a connect that
    // completed inside the factory.
    bool ConnectTo(const std::vector<plat::NetAddress>& addresses, int port, int timeout);
    // Claims the socket being opened; false when the host deleted the
    // connection in the deferred OnConnect.
    bool TakeOpenedSocket();
    // Called first by every socket event: the event's socket is known (it
    // was handed over), and false when the connection is gone.
    bool SocketKnown();
    // After the frame lock was let go: false when the attempt begun as
    // `attempt` was closed or replaced meanwhile, or the connection deleted
    // (then nothing of it may be touched any more).
    static bool StillCurrent(const std::shared_ptr<bool>& alive, const unsigned& current, unsigned attempt);
    void HandleConnect(int status);
    // A TCP attempt to the target or the current proxy did not come up: the
    // next candidate of the system setting, or OnConnect(4) to the host.
    void ConnectFailed(const std::wstring& why);
    // Tries the remaining candidates in order; false when none could start.
    bool NextCandidate();
    // The system's candidates share the limit: each one's attempt (connect
    // and handshake) ends at sliceEnd_.
    void BeginSlice();
    int SliceLeftMs() const;
    // The socket's connect limit for the attempt being started.
    int ConnectLimit() const;
    void BeginHandshake();
    // The outcome for the host: OnConnect(0) (the record rewritten, the
    // host's early timer armed), or a failure event after the socket is let go.
    void ReportConnected();
    void ReportFailure(int event);
    // The proxy closed, reset or timed out during the handshake: the log
    // line, then the next candidate or OnConnect(4).
    void HandshakeBroke(const std::wstring& why);
    // OnError to the host, after the log line and with the socket let go.
    void ReportError(int code, const char* text);
    // Lets the current socket go (internal; the host's Close also forgets
    // what belongs to the host's attempt).
    void ReleaseSocket();
    unsigned Deliver(const char* data, unsigned len);
    unsigned HandshakeData(const char* data, unsigned len);
    bool SendPayload(const char* data, unsigned len);
    void DropHelper();
    // The handshake ends as failed: the log line, then OnError(6).
    void HandshakeFailed(const std::wstring& why);
    void LogHandshakeEnd(const std::wstring& why);
    std::wstring DuringStep() const;
    int HandshakeLimit() const;
    static int LimitMs(int timeout);

    std::wstring host_;
    int port_;
    int timeout_;
    INetConnCallback* callback_;
    INetCodec* codec_;
    ISock* socket_;
    std::unique_ptr<ProxyInfo> proxy_;
    bool established_;
    ProxyHelperBase* helper_;
    int helperKind_;   // the proxy type the helper was made for (1, 3 or 4)
    SmallBlockBuffer pending_;
    std::list<ProxyInfo> candidates_;
    // The host's Connect asked for the system setting: a candidate that
    // cannot be reached is remembered for later connections.
    bool systemProxy_;

    // A name looked up on the resolver thread (Connect from the frame's
    // thread); attempt_ tells a late answer from the current one.
    bool lookingUp_;
    unsigned attempt_;

    // The caller's type-5 record, rewritten with the candidate that carries
    // the connection when it is up; forgotten at Close and every outcome.
    ProxyInfo* hostRecord_;
    // OnConnect(0) reached the host; before that a SetTimeout of the host's
    // is held (heldTimerMs_, from heldTimerSince_ in microseconds).
    bool reported_;
    int heldTimerMs_;
    uint64_t heldTimerSince_;
    // End of the whole climb through the system's candidates, and of the
    // current candidate's share (microseconds; 0 without candidates).
    uint64_t climbEnd_;
    uint64_t sliceEnd_;
    // The address and limit of the connect under way, for the log.
    std::wstring peer_;
    int peerLimitMs_ = 0;
    int peerPort_ = 0;
    // The limit the current handshake was given, for the log.
    int handshakeMs_ = 0;

    // The current socket's link (also while the factory is still making
    // the socket). A connect that completes inside the factory, on the
    // opener's thread, waits in deferred_ until the socket is claimed.
    std::shared_ptr<SocketLink> link_;
    bool deferred_;
    int deferredStatus_;

    // Cleared by the destructor: lets a method that called the host find out
    // whether the host deleted the connection meanwhile.
    std::shared_ptr<bool> alive_;
    BaseSelector* frame_;
};

}  // namespace VemNetwork

#endif
