#include "conn/tcp_net_conn.h"

#include <climits>
#include <exception>
#include <thread>
#include <vector>

#include "conn/route/failed_proxies.h"
#include "conn/route/name_lookup.h"
#include "conn/proxy/http_proxy_helper.h"
#include "conn/proxy/socks4_proxy_helper.h"
#include "conn/proxy/socks5_proxy_helper.h"
#include "conn/route/proxy_record.h"
#include "conn/route/system_proxy.h"
#include "conn/wide_text.h"
#include "frame/base_selector.h"
#include "frame/default_frame.h"
#include "frame/sockethelper.h"
#include "logging/logger.h"
#include "platform/platform.h"
#include "sockets/buffered_sock.h"

namespace VemNetwork {

namespace {

// Helper kinds by proxy type: SOCKS4 and its twin share one.
int HelperKind(int type) { return type == PROXY_SOCKS4_ALT ? PROXY_SOCKS4 : type; }

// A failed handshake, and what the socket is told to drop with it.
const char kAuthFail[] = "auth fail";
const unsigned kDropAll = UINT_MAX;

// The socket's own codes reach the host as they are; others become
// NETCONN_EVENT_FAILED.
const int kLargestSocketCode = 12;

bool SameCandidate(const ProxyInfo& a, const ProxyInfo& b) {
    return a.type == b.type && a.port == b.port && a.host == b.host && a.user == b.user;
}

// Why a connect to peer ("a.b.c.d:port") failed, from the socket's code
// (Windows Sockets numbering).
std::wstring ConnectFailure(const std::wstring& peer, int code) {
    switch (code) {
    case plat::kErrConnRefused: return L"refused by " + peer;
    case plat::kErrHostUnreach:
    case plat::kErrNetUnreach: return peer + L" unreachable";
    default: return L"connect to " + peer + L" failed (" + std::to_wstring(code) + L")";
    }
}

}  // namespace

TcpNetConn::TcpNetConn()
    : port_(0),
      timeout_(kDefaultTimeoutMs),
      callback_(nullptr),
      codec_(nullptr),
      socket_(nullptr),
      established_(false),
      helper_(nullptr),
      helperKind_(0),
      systemProxy_(false),
      lookingUp_(false),
      attempt_(0),
      hostRecord_(nullptr),
      reported_(false),
      heldTimerMs_(0),
      heldTimerSince_(0),
      climbEnd_(0),
      sliceEnd_(0),
      deferred_(false),
      deferredStatus_(0),
      alive_(std::make_shared<bool>(true)),
      frame_(GetDefaultFrame()) {}

TcpNetConn::~TcpNetConn() {
    // Once the socket is closed under the lock no event can reach this
    // object any more: the frame thread dispatches only while holding it.
    FrameGuard guard(frame_);
    *alive_ = false;
    hostRecord_ = nullptr;
    ReleaseSocket();
    proxy_.reset();
    established_ = false;
    DropHelper();
    candidates_.clear();
    pending_.clear();
}

// ---- host calls ---------------------------------------------------------

int TcpNetConn::Connect(const WideStringView& host, int port, int timeout, ProxyInfo* proxy) {
    if (proxy && HasCutText(*proxy)) return NETCONN_NO_SOCKET;
    // A port the wire cannot carry is refused rather than cut to 16 bits.
    if (!IsTcpPort(port) || (proxy && proxy->type != PROXY_SYSTEM && IsUsableProxy(*proxy) && !IsTcpPort(proxy->port))) {
        LogLine(NamedLogger::TcpNetConn, LOG_LEVEL_ERROR, L"connect refused: port %d is not in 1 to 65535",
                IsTcpPort(port) ? int(proxy->port) : port);
        return NETCONN_NO_SOCKET;
    }
    FrameGuard guard(frame_);
    // A new attempt of the host owes nothing to an earlier one: a helper
    // left in some step of another proxy's dialogue, or bytes meant for an
    // earlier tunnel, would otherwise leak into this one.
    DropHelper();
    pending_.clear();
    candidates_.clear();
    heldTimerMs_ = 0;
    systemProxy_ = proxy && proxy->type == PROXY_SYSTEM;
    hostRecord_ = systemProxy_ ? proxy : nullptr;
    // The whole climb through the system's candidates keeps to the limit.
    climbEnd_ = systemProxy_ ? plat::MicroTicks() + uint64_t(LimitMs(timeout)) * 1000 : 0;
    sliceEnd_ = climbEnd_;
    // Nothing is thrown to a host, whose compiler may not know our exceptions.
    try {
        return StartAttempt(ToWString(host), port, timeout, proxy);
    } catch (const std::exception&) {
        return NETCONN_NO_SOCKET;
    }
}

int TcpNetConn::Send(const char* data, int length) {
    FrameGuard guard(frame_);
    if (!socket_ && !lookingUp_) return NETCONN_NOT_CONNECTED;
    if (length < 0) return NETCONN_FULL;
    if (!data) length = 0;
    if (!socket_ || (proxy_ && !established_)) {
        // Held back until the tunnel is up, already transformed: the peer
        // cannot tell where an untransformed part would end, and a codec
        // that keeps state must see every byte once, in order.
        const char* bytes = data;
        std::vector<char> coded;
        if (codec_ && length > 0) {
            coded.resize(size_t(length));
            codec_->Transform(coded.data(), data, length);
            bytes = coded.data();
        }
        return pending_.append(bytes, uint32_t(length)) ? NETCONN_OK : NETCONN_FULL;
    }
    return SendPayload(data, unsigned(length)) ? NETCONN_OK : NETCONN_FULL;
}

int TcpNetConn::SetTimeout(int milliseconds) {
    FrameGuard guard(frame_);
    const bool attempting = lookingUp_ || (link_ && link_->Opening());
    if (!socket_ && !attempting) return NETCONN_NOT_CONNECTED;
    if (!reported_) {
        // Until the host has its OnConnect(0) the socket's timer is the
        // connect's and the handshake's: the host's waits, counting from
        // now, and is armed when the connection is reported.
        heldTimerMs_ = milliseconds > 0 ? milliseconds : 0;
        heldTimerSince_ = plat::MicroTicks();
        return NETCONN_OK;
    }
    socket_->SetTimer(milliseconds);
    return NETCONN_OK;
}

void TcpNetConn::Close() {
    FrameGuard guard(frame_);
    // The host is done with the attempt, and with its record.
    hostRecord_ = nullptr;
    heldTimerMs_ = 0;
    ReleaseSocket();
}

void TcpNetConn::ReleaseSocket() {
    // An answer still to come from the resolver, or a socket still being
    // made on another thread, belongs to no attempt now.
    lookingUp_ = false;
    ++attempt_;
    if (link_) {
        link_->Detach();
        link_.reset();
    }
    if (socket_) {
        ISock* s = socket_;
        socket_ = nullptr;
        s->Close();
    }
}

bool TcpNetConn::IsConnected() {
    FrameGuard guard(frame_);
    return (socket_ || lookingUp_ || (link_ && link_->Opening())) && established_;
}

void TcpNetConn::SetCallback(INetConnCallback* callback) {
    FrameGuard guard(frame_);
    callback_ = callback;
}

void TcpNetConn::SetCodec(INetCodec* codec) {
    FrameGuard guard(frame_);
    codec_ = codec;
}

// ---- attempts -------------------------------------------------------------

bool TcpNetConn::StillCurrent(const std::shared_ptr<bool>& alive, const unsigned& current, unsigned attempt) {
    // current is only read while the connection is known to exist.
    return *alive && current == attempt;
}

int TcpNetConn::StartAttempt(const std::wstring& host, int port, int timeout, ProxyInfo* proxy) {
    if (&host != &host_) host_ = host;
    port_ = port;
    timeout_ = timeout;
    ReleaseSocket();
    reported_ = false;
    if (proxy_ && proxy_.get() != proxy) proxy_.reset();
    established_ = false;

    if (proxy) {
        if (proxy->type == PROXY_SYSTEM) {
            if (frame_ && frame_->InFrameThread() && HasProxyAnswerSource()) {
                // Asking an auto-config may take seconds, which the frame's
                // thread cannot wait: the attempt goes on when the answer
                // is back, and the caller's record keeps type 5.
                CandidatesLater();
                return NETCONN_OK;
            }
            {
                // The question may take its time; other connections go on,
                // and the host may close this one meanwhile.
                const std::wstring target = host_;
                const int targetPort = port_;
                const std::shared_ptr<bool> alive = alive_;
                const unsigned attempt = attempt_;
                std::list<ProxyInfo> found;
                {
                    FrameUnlock unlocked(frame_ && !frame_->InFrameThread() ? frame_ : nullptr);
                    found = SystemProxyCandidates(target, targetPort);
                }
                if (!StillCurrent(alive, attempt_, attempt)) return NETCONN_OK;
                candidates_.swap(found);
            }
            LogCandidates();
            proxy->host.clear();
            if (!candidates_.empty()) {
                *proxy = candidates_.front();
                candidates_.pop_front();
                BeginSlice();
                LogLine(NamedLogger::TcpNetConn, LOG_LEVEL_INFO, L"trying system proxy candidate %s",
                        DescribeCandidate(*proxy).c_str());
            }
        }
        // A record still of type 5 means the system names no proxy at all:
        // that is a direct connection, not one to an empty host name.
        if (proxy->type != PROXY_SYSTEM && IsUsableProxy(*proxy)) {
            if (proxy_.get() != proxy) proxy_.reset(new ProxyInfo(*proxy));
            std::string proxyHost = plat::ToAnsi(proxy_->host);
            return OpenSocket(proxyHost, proxy_->port, ConnectLimit()) ? NETCONN_OK : NETCONN_NO_SOCKET;
        }
    }

    proxy_.reset();
    established_ = true;
    std::string target = plat::ToAnsi(host_);
    return OpenSocket(target, port_, ConnectLimit()) ? NETCONN_OK : NETCONN_NO_SOCKET;
}

bool TcpNetConn::OpenSocket(const std::string& host, int port, int timeout) {
    std::vector<plat::NetAddress> addresses(1);
    if (!LiteralAddress(host, &addresses.front())) {
        if (frame_ && frame_->InFrameThread()) {
            // A lookup here would stop every connection of the frame until
            // the answer came: it goes to a resolver thread, and the attempt
            // goes on when the answer is back.
            LookUpLater(host, port, timeout);
            return true;
        }
        const std::shared_ptr<bool> alive = alive_;
        const unsigned attempt = attempt_;
        {
            FrameUnlock unlocked(frame_);
            ResolveHostAddresses(host, &addresses);
        }
        if (!StillCurrent(alive, attempt_, attempt)) return true;
        if (addresses.empty()) {
            LogLine(NamedLogger::TcpNetConn, LOG_LEVEL_ERROR, L"lookup of %s failed", plat::FromAnsi(host).c_str());
            return false;
        }
    }
    return ConnectTo(addresses, port, timeout);
}

void TcpNetConn::LogCandidates() {
    LogLine(NamedLogger::TcpNetConn, LOG_LEVEL_INFO, L"system proxy candidates for %s: %s", host_.c_str(),
            candidates_.empty() ? L"none (direct)" : DescribeCandidates(candidates_).c_str());
}

void TcpNetConn::CandidatesLater() {
    lookingUp_ = true;
    const unsigned attempt = attempt_;
    std::shared_ptr<bool> alive = alive_;
    BaseSelector* frame = frame_;
    auto found = std::make_shared<std::list<ProxyInfo>>();
    const std::wstring target = host_;
    const int targetPort = port_;
    RunOffFrame(frame_, [found, target, targetPort] { *found = SystemProxyCandidates(target, targetPort); },
                [this, frame, alive, attempt, found] {
                    FrameGuard guard(frame);
                    if (!*alive || attempt != attempt_ || !lookingUp_) return;
                    lookingUp_ = false;
                    candidates_.swap(*found);
                    LogCandidates();
                    // No proxy named: the target itself.
                    if (candidates_.empty()) candidates_.push_back(DirectCandidate());
                    if (NextCandidate()) return;
                    ReportFailure(NETCONN_EVENT_CONNECT_FAILED);
                });
}

void TcpNetConn::LookUpLater(const std::string& host, int port, int timeout) {
    lookingUp_ = true;
    const unsigned attempt = attempt_;
    std::shared_ptr<bool> alive = alive_;
    LookUpOnResolverThread(frame_, host, [this, alive, attempt, host, port, timeout](
                                             const std::vector<plat::NetAddress>& addresses) {
        FrameGuard guard(frame_);
        // Deleted, closed or connected elsewhere meanwhile: the answer is
        // nobody's any more.
        if (!*alive || attempt != attempt_ || !lookingUp_) return;
        lookingUp_ = false;
        if (addresses.empty()) ConnectFailed(L"lookup of " + plat::FromAnsi(host) + L" failed");
        else if (!ConnectTo(addresses, port, timeout)) ConnectFailed(L"no socket");
    });
}

bool TcpNetConn::ConnectTo(const std::vector<plat::NetAddress>& addresses, int port, int timeout) {
    // For the log: the one address, or all that race ("a:p or b:p").
    peer_.clear();
    for (const plat::NetAddress& address : addresses)
        peer_ += (peer_.empty() ? L"" : L" or ") + plat::FromAnsi(AddressAndPort(address, port));
    peerLimitMs_ = timeout;
    peerPort_ = port;
    // Off the frame's thread the factory runs without our hold on the frame
    // lock: a blocking connect (timeout 0 or less) waits in it, and the
    // frame goes on meanwhile. The socket reports through a link of its
    // own; events the frame thread delivers before the factory has returned
    // wait for the handoff (TakeOpenedSocket), and a connect that completes
    // inside the factory, on this thread, is deferred until the socket is
    // known. The host may Close or delete the connection meanwhile: then the
    // socket is closed by whoever claims it first, and nothing of this
    // connection is touched.
    BaseSelector* frame = frame_;
    const bool offFrame = frame && !frame->InFrameThread();
    std::shared_ptr<SocketLink> link = std::make_shared<SocketLink>(frame, this);
    link_ = link;
    deferred_ = false;
    ISock* s = nullptr;
    {
        FrameUnlock unlocked(offFrame ? frame : nullptr);
        // The factory returns null for any failure; it throws nothing.
        s = CreateAsyncTcpSockTo(link.get(), addresses, port, timeout, nullptr);
        link->Handoff(s);
    }
    if (!link->owner()) {
        ISock* unclaimed = link->Claim();
        if (unclaimed) unclaimed->Close();
        return true;
    }
    TakeOpenedSocket();
    return s != nullptr;
}

bool TcpNetConn::TakeOpenedSocket() {
    if (!link_ || !link_->Opening()) return true;
    ISock* s = link_->Claim();
    socket_ = s;
    const bool deferred = deferred_;
    deferred_ = false;
    if (!s) return true;
    if (!proxy_ && !pending_.empty()) {
        // Sent while the name was being looked up: ahead of anything the
        // host sends from its OnConnect.
        s->Send(pending_.data(), pending_.size());
        pending_.clear();
    }
    if (!deferred) return true;
    // The host may delete the connection in its OnConnect.
    std::shared_ptr<bool> alive = alive_;
    HandleConnect(deferredStatus_);
    return *alive;
}

void TcpNetConn::ConnectFailed(const std::wstring& why) {
    const bool viaProxy = proxy_ && !established_;
    if (systemProxy_) {
        if (viaProxy) FailedProxies::OfProcess().Mark(*proxy_, plat::MicroTicks());
        const std::wstring what = viaProxy ? DescribeCandidate(*proxy_) : DescribeCandidate(DirectCandidate());
        LogLine(NamedLogger::TcpNetConn, LOG_LEVEL_ERROR, L"system proxy candidate %s failed: %s; %d left",
                what.c_str(), why.c_str(), int(candidates_.size()));
    } else if (viaProxy) {
        LogLine(NamedLogger::TcpNetConn, LOG_LEVEL_ERROR, L"connection to proxy %s:%d failed: %s",
                ToWString(proxy_->host).c_str(), int(proxy_->port), why.c_str());
    } else {
        LogLine(NamedLogger::TcpNetConn, LOG_LEVEL_ERROR, L"connection to %s port %d failed: %s", host_.c_str(),
                port_, why.c_str());
    }
    proxy_.reset();
    if (NextCandidate()) return;
    ReportFailure(NETCONN_EVENT_CONNECT_FAILED);
}

bool TcpNetConn::NextCandidate() {
    // A candidate starts its own dialogue: a helper left in some step of the
    // last one's would carry on with this one from there.
    if (!candidates_.empty()) DropHelper();
    while (!candidates_.empty()) {
        const ProxyInfo next = candidates_.front();
        candidates_.pop_front();
        BeginSlice();
        LogLine(NamedLogger::TcpNetConn, LOG_LEVEL_INFO, L"trying system proxy candidate %s",
                DescribeCandidate(next).c_str());
        if (IsDirectCandidate(next)) {
            // "DIRECT" in the list is an attempt like the others.
            if (StartAttempt(host_, port_, timeout_, nullptr) == NETCONN_OK) return true;
            continue;
        }
        // An entry that names no proxy is passed over, not the end of the list.
        if (!IsUsableProxy(next)) continue;
        proxy_.reset(new ProxyInfo(next));
        if (StartAttempt(host_, port_, timeout_, proxy_.get()) == NETCONN_OK) return true;
        // No socket for this one (its name does not resolve): the host
        // still gets an outcome, after the remaining entries.
        proxy_.reset();
    }
    return false;
}

void TcpNetConn::BeginSlice() {
    if (!climbEnd_) return;
    // Each candidate left gets an equal share of what remains of the limit,
    // so that one that stalls leaves time for those after it.
    const uint64_t now = plat::MicroTicks();
    const uint64_t left = climbEnd_ > now ? climbEnd_ - now : 0;
    sliceEnd_ = now + left / (candidates_.size() + 1);
}

int TcpNetConn::SliceLeftMs() const {
    const uint64_t now = plat::MicroTicks();
    const uint64_t left = sliceEnd_ > now ? (sliceEnd_ - now + 999) / 1000 : 1;
    return left > uint64_t(INT_MAX) ? INT_MAX : (left < 1 ? 1 : int(left));
}

int TcpNetConn::ConnectLimit() const {
    // A blocking connect (0 or less) stays one; the system's candidates
    // connect within their share.
    if (timeout_ <= 0 || !climbEnd_) return timeout_;
    return SliceLeftMs();
}

void TcpNetConn::BeginHandshake() {
    int kind = HelperKind(proxy_->type);
    if (kind != PROXY_SOCKS4 && kind != PROXY_SOCKS5 && kind != PROXY_HTTP) {
        LogLine(NamedLogger::TcpNetConn, LOG_LEVEL_ERROR, L"proxy type %d is not supported", int(proxy_->type));
        ReportFailure(NETCONN_EVENT_UNSUPPORTED_PROXY);
        return;
    }
    // The helper goes on from its step only with a proxy of its own kind; a
    // later candidate of another kind starts a dialogue of its own.
    if (helper_ && helperKind_ != kind) DropHelper();
    if (!helper_) {
        switch (kind) {
        case PROXY_SOCKS4: helper_ = new Socket4ProxyHelper(socket_, proxy_.get(), &host_, port_); break;
        case PROXY_SOCKS5: helper_ = new Socket5ProxyHelper(socket_, proxy_.get(), &host_, port_); break;
        default: helper_ = new HttpProxyHelper(socket_, proxy_.get(), &host_, port_); break;
        }
        helperKind_ = kind;
    } else {
        helper_->Init(socket_, proxy_.get(), &host_, port_);
    }
    // Every connection to the proxy gets the limit, also the ones a helper
    // asked for: the connect completion cancelled the socket's only timer,
    // and a proxy that falls silent after a reconnect must end the attempt
    // as well. Without a limit of the host's the handshake still gets one:
    // a silent proxy would otherwise leave the host without any event.
    handshakeMs_ = HandshakeLimit();
    socket_->SetTimer(handshakeMs_);
    helper_->Start();
    if (helper_->Failed()) {
        // The request could not even be put into the protocol's fields; no
        // reply will ever come to report it.
        HandshakeFailed(helper_->failure());
    }
}

void TcpNetConn::ReportConnected() {
    reported_ = true;
    if (hostRecord_) {
        // The record names what carries the connection, after a failover
        // too. Written only when that is not what it already says: a host
        // that reads it right after Connect, without a failover, reads a
        // record nobody writes any more.
        const ProxyInfo carrier = proxy_ ? *proxy_ : DirectCandidate();
        if (!SameCandidate(carrier, *hostRecord_)) *hostRecord_ = carrier;
        hostRecord_ = nullptr;
    }
    if (heldTimerMs_ > 0) {
        // The host's SetTimeout from before the connection was up, counted
        // from the call.
        const uint64_t spent = (plat::MicroTicks() - heldTimerSince_) / 1000;
        const int left = spent >= uint64_t(heldTimerMs_) ? 1 : heldTimerMs_ - int(spent);
        heldTimerMs_ = 0;
        socket_->SetTimer(left);
    }
    if (callback_) callback_->OnConnect(NETCONN_OK);
}

void TcpNetConn::ReportFailure(int event) {
    ReleaseSocket();
    hostRecord_ = nullptr;
    if (callback_) callback_->OnConnect(event);
}

// ---- socket events --------------------------------------------------------

void TcpNetConn::OnConnect(int status) {
    FrameGuard guard(frame_);
    if (link_ && link_->Opening()) {
        if (link_->OnOpenerThread()) {
            // Inside CreateAsyncTcpSock: the socket is not known yet.
            deferred_ = true;
            deferredStatus_ = status;
            return;
        }
        if (!TakeOpenedSocket()) return;
    }
    HandleConnect(status);
}

bool TcpNetConn::SocketKnown() {
    if (!link_ || !link_->Opening() || link_->OnOpenerThread()) return true;
    return TakeOpenedSocket();
}

void TcpNetConn::HandleConnect(int status) {
    if (status != 0) {
        // The socket's code tells a refusal from other failures; a time-out
        // has none.
        const int code = status == 1 ? plat::LastSocketError() : 0;
        ConnectFailed(status == 2 ? L"no answer from " + peer_ + L" within " + std::to_wstring(peerLimitMs_) + L" ms"
                                  : ConnectFailure(peer_, code));
        return;
    }
    if (!socket_) return;
    // The address that carries the connection (the race's winner).
    LogLine(NamedLogger::TcpNetConn, LOG_LEVEL_INFO, L"connected to %s%s",
            plat::FromAnsi(AddressAndPort(static_cast<TcpSocket*>(socket_)->PeerAddress(), peerPort_)).c_str(),
            proxy_ && !established_ ? L" (proxy)" : L"");
    if (proxy_ && !established_) {
        BeginHandshake();
        return;
    }
    ReportConnected();
}

void TcpNetConn::OnClose() {
    FrameGuard guard(frame_);
    if (!SocketKnown()) return;
    if (proxy_ && !established_) {
        HandshakeBroke(L"proxy closed the connection");
        return;
    }
    // Forget the socket first: the host may reuse or delete the connection
    // inside its callback.
    ReleaseSocket();
    if (callback_) callback_->OnClose();
}

void TcpNetConn::OnError(int code, const char* text) {
    FrameGuard guard(frame_);
    if (!SocketKnown()) return;
    if (proxy_ && !established_) {
        HandshakeBroke(L"proxy reset the connection (" + std::to_wstring(code) + L")");
        return;
    }
    ReportError(code, text);
}

void TcpNetConn::HandshakeBroke(const std::wstring& why) {
    // The host has not been told the outcome yet: a proxy that closes,
    // resets or stays silent is as good as unreachable, and the next
    // candidate (if any) is tried.
    ReleaseSocket();
    LogHandshakeEnd(why + DuringStep());
    ConnectFailed(why);
}

void TcpNetConn::ReportError(int code, const char* text) {
    std::wstring message = text ? plat::FromAnsi(text) : std::wstring();
    LogLine(NamedLogger::TcpNetConn, LOG_LEVEL_ERROR, L"basic socket error: %d, %s", code, message.c_str());
    if (code < 0 || code > kLargestSocketCode) code = NETCONN_EVENT_FAILED;
    ReleaseSocket();
    hostRecord_ = nullptr;
    if (callback_) callback_->OnError(code);
}

void TcpNetConn::OnTimer() {
    FrameGuard guard(frame_);
    if (!SocketKnown()) return;
    if (proxy_ && !established_) {
        HandshakeBroke(L"no answer from proxy within " + std::to_wstring(handshakeMs_) + L" ms");
        return;
    }
    if (callback_) callback_->OnTimeout();
}

unsigned TcpNetConn::OnData(const char* data, unsigned len) {
    FrameGuard guard(frame_);
    if (!SocketKnown()) return len;
    if (!proxy_ || established_) return Deliver(data, len);
    return HandshakeData(data, len);
}

void TcpNetConn::OnSent() {
    FrameGuard guard(frame_);
    if (!SocketKnown()) return;
    if (callback_) callback_->OnSent();
}

// ---- payload ----------------------------------------------------------------

unsigned TcpNetConn::Deliver(const char* data, unsigned len) {
    if (!callback_) return len;
    if (!codec_ || len == 0) return unsigned(callback_->OnData(data, int(len)));
    std::vector<char> plain(len);
    codec_->Transform(plain.data(), data, int(len));
    return unsigned(callback_->OnData(plain.data(), int(len)));
}

bool TcpNetConn::SendPayload(const char* data, unsigned len) {
    if (!codec_ || len == 0) return socket_->Send(data, len);
    std::vector<char> coded(len);
    codec_->Transform(coded.data(), data, int(len));
    return socket_->Send(coded.data(), len);
}

unsigned TcpNetConn::HandshakeData(const char* data, unsigned len) {
    if (!helper_) return 0;
    int status = HS_WAIT;
    int consumed = helper_->OnReply(data, int(len), &status);
    unsigned used = consumed < 0 ? 0 : (unsigned(consumed) > len ? len : unsigned(consumed));
    switch (status) {
    case HS_ESTABLISHED: {
        DropHelper();
        established_ = true;
        ISock* s = socket_;
        s->SetTimer(0);
        // The held-back bytes go out before anything the host sends from
        // its OnConnect, so that the peer sees them in the order sent.
        if (!pending_.empty()) s->Send(pending_.data(), pending_.size());
        pending_.clear();
        std::shared_ptr<bool> alive = alive_;
        ReportConnected();
        // Tunnel bytes that came in the same read as the reply belong to the
        // host now; left in the socket they would wait for the next read,
        // which may never come when the server waits for an answer.
        if (!*alive || socket_ != s || used >= len) return used;
        unsigned taken = Deliver(data + used, len - used);
        return taken >= len - used ? len : used + taken;
    }
    case HS_RECONNECT:
        ReleaseSocket();
        if (StartAttempt(host_, port_, timeout_, proxy_.get()) != NETCONN_OK) ConnectFailed(L"no new connection");
        return 0;
    case HS_WAIT:
        // The reply is bounded here, not by the input queue: a queue that
        // overflows would end the attempt with a code that says nothing of
        // the proxy.
        if (len - used > kMaxProxyReply) {
            HandshakeFailed(L"proxy reply larger than " + std::to_wstring(kMaxProxyReply) +
                            L" bytes" + DuringStep());
            return kDropAll;
        }
        return used;
    default:
        HandshakeFailed(helper_->failure());
        return kDropAll;
    }
}

void TcpNetConn::HandshakeFailed(const std::wstring& why) {
    ReleaseSocket();
    LogHandshakeEnd(why);
    ReportError(NETCONN_EVENT_HANDSHAKE_FAILED, kAuthFail);
}

std::wstring TcpNetConn::DuringStep() const {
    return helper_ ? L" (step \"" + helper_->state() + L"\")" : std::wstring();
}

int TcpNetConn::LimitMs(int timeout) { return timeout > 0 ? timeout : kDefaultTimeoutMs; }

int TcpNetConn::HandshakeLimit() const { return climbEnd_ ? SliceLeftMs() : LimitMs(timeout_); }

void TcpNetConn::LogHandshakeEnd(const std::wstring& why) {
    const std::wstring where = proxy_ ? ToWString(proxy_->host) + L":" + std::to_wstring(proxy_->port) : std::wstring();
    LogLine(NamedLogger::TcpNetConn, LOG_LEVEL_ERROR, L"proxy handshake with %s failed: %s",
            where.c_str(), why.c_str());
}

void TcpNetConn::DropHelper() {
    delete helper_;
    helper_ = nullptr;
    helperKind_ = 0;
}

}  // namespace VemNetwork
