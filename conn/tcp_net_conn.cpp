#include "conn/tcp_net_conn.h"

#include <climits>
#include <exception>
#include <thread>
#include <vector>

#include "conn/failed_proxies.h"
#include "conn/name_lookup.h"
#include "conn/proxy/http_proxy_helper.h"
#include "conn/proxy/socks4_proxy_helper.h"
#include "conn/proxy/socks5_proxy_helper.h"
#include "conn/proxy_record.h"
#include "conn/system_proxy.h"
#include "conn/wide_text.h"
#include "frame/base_selector.h"
#include "frame/default_frame.h"
#include "frame/sockethelper.h"
#include "logging/logger.h"
#include "platform/platform.h"

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
      opening_(false),
      deferred_(false),
      deferredStatus_(0),
      handoffDone_(false),
      handoffSocket_(nullptr),
      alive_(std::make_shared<bool>(true)),
      frame_(GetDefaultFrame()) {}

TcpNetConn::~TcpNetConn() {
    // Once the socket is closed under the lock no event can reach this
    // object any more: the frame thread dispatches only while holding it.
    FrameGuard guard(frame_);
    *alive_ = false;
    Close();
    proxy_.reset();
    established_ = false;
    DropHelper();
    candidates_.clear();
    pending_.clear();
}

// ---- host calls ---------------------------------------------------------

int TcpNetConn::Connect(const WideStringView& host, int port, int timeout, ProxyInfo* proxy) {
    if (proxy && HasCutText(*proxy)) return NETCONN_NO_SOCKET;
    FrameGuard guard(frame_);
    // A new attempt of the host owes nothing to an earlier one: a helper
    // left in some step of another proxy's dialogue, or bytes meant for an
    // earlier tunnel, would otherwise leak into this one.
    DropHelper();
    pending_.clear();
    candidates_.clear();
    systemProxy_ = proxy && proxy->type == PROXY_SYSTEM;
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
    if (!socket_) return NETCONN_NOT_CONNECTED;
    socket_->SetTimer(milliseconds);
    return NETCONN_OK;
}

void TcpNetConn::Close() {
    FrameGuard guard(frame_);
    // An answer still to come from the resolver belongs to no attempt now.
    lookingUp_ = false;
    ++attempt_;
    if (socket_) {
        ISock* s = socket_;
        socket_ = nullptr;
        s->Close();
    }
}

bool TcpNetConn::IsConnected() {
    FrameGuard guard(frame_);
    return (socket_ || lookingUp_) && established_;
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

int TcpNetConn::StartAttempt(const std::wstring& host, int port, int timeout, ProxyInfo* proxy) {
    if (&host != &host_) host_ = host;
    port_ = port;
    timeout_ = timeout;
    Close();
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
                // The question may take its time; other connections go on.
                const std::wstring target = host_;
                std::list<ProxyInfo> found;
                {
                    FrameUnlock unlocked(frame_ && !frame_->InFrameThread() ? frame_ : nullptr);
                    found = SystemProxyCandidates(target);
                }
                candidates_.swap(found);
            }
            LogCandidates();
            proxy->host.clear();
            if (!candidates_.empty()) {
                *proxy = candidates_.front();
                candidates_.pop_front();
                LogLine(NamedLogger::TcpNetConn, LOG_LEVEL_INFO, L"trying system proxy candidate %s",
                        DescribeCandidate(*proxy).c_str());
            }
        }
        // A record still of type 5 means the system names no proxy at all:
        // that is a direct connection, not one to an empty host name.
        if (proxy->type != PROXY_SYSTEM && IsUsableProxy(*proxy)) {
            if (proxy_.get() != proxy) proxy_.reset(new ProxyInfo(*proxy));
            std::string proxyHost = plat::ToAnsi(proxy_->host);
            return OpenSocket(proxyHost, proxy_->port, timeout) ? NETCONN_OK : NETCONN_NO_SOCKET;
        }
    }

    proxy_.reset();
    established_ = true;
    std::string target = plat::ToAnsi(host_);
    return OpenSocket(target, port_, timeout) ? NETCONN_OK : NETCONN_NO_SOCKET;
}

bool TcpNetConn::OpenSocket(const std::string& host, int port, int timeout) {
    uint32_t address = plat::ParseIPv4(host.c_str());
    if (address == kAddrNone) {
        if (frame_ && frame_->InFrameThread()) {
            // A lookup here would stop every connection of the frame until
            // the answer came: it goes to a resolver thread, and the attempt
            // goes on when the answer is back.
            LookUpLater(host, port, timeout);
            return true;
        }
        {
            FrameUnlock unlocked(frame_);
            address = ResolveHost(host);
        }
        if (address == kAddrNone) return false;
    }
    return ConnectTo(address, port, timeout);
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
    RunOffFrame(frame_, [found, target] { *found = SystemProxyCandidates(target); },
                [this, frame, alive, attempt, found] {
                    FrameGuard guard(frame);
                    if (!*alive || attempt != attempt_ || !lookingUp_) return;
                    lookingUp_ = false;
                    candidates_.swap(*found);
                    LogCandidates();
                    // No proxy named: the target itself.
                    if (candidates_.empty()) candidates_.push_back(DirectCandidate());
                    if (NextCandidate()) return;
                    Close();
                    if (callback_) callback_->OnConnect(NETCONN_EVENT_CONNECT_FAILED);
                });
}

void TcpNetConn::LookUpLater(const std::string& host, int port, int timeout) {
    lookingUp_ = true;
    const unsigned attempt = attempt_;
    std::shared_ptr<bool> alive = alive_;
    LookUpOnResolverThread(frame_, host, [this, alive, attempt, port, timeout](uint32_t address) {
        FrameGuard guard(frame_);
        // Deleted, closed or connected elsewhere meanwhile: the answer is
        // nobody's any more.
        if (!*alive || attempt != attempt_ || !lookingUp_) return;
        lookingUp_ = false;
        if (address == kAddrNone) ConnectFailed(L"the name does not resolve");
        else if (!ConnectTo(address, port, timeout)) ConnectFailed(L"no socket");
    });
}

bool TcpNetConn::ConnectTo(uint32_t address, int port, int timeout) {
    const std::string dotted = DottedAddress(address);
    // Off the frame's thread the factory runs without our hold on the frame
    // lock: a blocking connect (timeout 0 or less) waits in it, and the
    // frame goes on meanwhile. Events of the new socket that the frame
    // thread delivers before the factory has returned wait for the handoff
    // (TakeOpenedSocket); a connect that completes inside the factory, on
    // this thread, is deferred until the socket is known.
    const bool offFrame = frame_ && !frame_->InFrameThread();
    opening_ = true;
    opener_ = std::this_thread::get_id();
    deferred_ = false;
    {
        std::lock_guard<std::mutex> g(handoffLock_);
        handoffDone_ = false;
        handoffSocket_ = nullptr;
    }
    // Once the handoff is made, the frame's thread may report the connect,
    // and the host may delete this connection in its OnConnect: from then on
    // nothing of it is touched before it is known to be alive.
    std::shared_ptr<bool> alive = alive_;
    ISock* s = CreateAsyncTcpSockUnlocked(offFrame, dotted, port, timeout);
    if (!*alive) return true;
    TakeOpenedSocket();
    return s != nullptr;
}

ISock* TcpNetConn::CreateAsyncTcpSockUnlocked(bool offFrame, const std::string& dotted, int port, int timeout) {
    FrameUnlock unlocked(offFrame ? frame_ : nullptr);
    // The factory returns null for any failure; it throws nothing.
    ISock* s = CreateAsyncTcpSock(this, dotted.c_str(), port, timeout, nullptr);
    std::lock_guard<std::mutex> g(handoffLock_);
    handoffSocket_ = s;
    handoffDone_ = true;
    // Notified under the lock: the waiter cannot go on (and perhaps delete
    // this connection) before this thread has let go of the lock.
    handoffReady_.notify_all();
    return s;
}

bool TcpNetConn::TakeOpenedSocket() {
    if (!opening_) return true;
    const bool opener = std::this_thread::get_id() == opener_;
    ISock* s = nullptr;
    {
        std::unique_lock<std::mutex> l(handoffLock_);
        // The opener comes here only once the factory has returned; the
        // frame's thread only with an event of the registered socket, when
        // all that is left of the factory is its return.
        if (opener && !handoffDone_) return true;
        handoffReady_.wait(l, [this] { return handoffDone_; });
        s = handoffSocket_;
    }
    opening_ = false;
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
    if (systemProxy_) {
        const bool viaProxy = proxy_ && !established_;
        if (viaProxy) FailedProxies::OfProcess().Mark(*proxy_, plat::MicroTicks());
        const std::wstring what = viaProxy ? DescribeCandidate(*proxy_) : DescribeCandidate(DirectCandidate());
        LogLine(NamedLogger::TcpNetConn, LOG_LEVEL_ERROR, L"system proxy candidate %s failed: %s; %d left",
                what.c_str(), why.c_str(), int(candidates_.size()));
    }
    proxy_.reset();
    if (NextCandidate()) return;
    Close();
    if (callback_) callback_->OnConnect(NETCONN_EVENT_CONNECT_FAILED);
}

bool TcpNetConn::NextCandidate() {
    while (!candidates_.empty()) {
        const ProxyInfo next = candidates_.front();
        candidates_.pop_front();
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

void TcpNetConn::BeginHandshake() {
    int kind = HelperKind(proxy_->type);
    if (kind != PROXY_SOCKS4 && kind != PROXY_SOCKS5 && kind != PROXY_HTTP) {
        Close();
        if (callback_) callback_->OnConnect(NETCONN_EVENT_UNSUPPORTED_PROXY);
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
    socket_->SetTimer(HandshakeLimit());
    helper_->Start();
    if (helper_->Failed()) {
        // The request could not even be put into the protocol's fields; no
        // reply will ever come to report it.
        HandshakeFailed(helper_->failure());
    }
}

// ---- socket events --------------------------------------------------------

void TcpNetConn::OnConnect(int status) {
    FrameGuard guard(frame_);
    if (opening_) {
        if (std::this_thread::get_id() == opener_) {
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
    if (!opening_ || std::this_thread::get_id() == opener_) return true;
    return TakeOpenedSocket();
}

void TcpNetConn::HandleConnect(int status) {
    if (status != 0) {
        ConnectFailed(L"connect refused, unreachable or timed out (status " + std::to_wstring(status) + L")");
        return;
    }
    if (!socket_) return;
    if (proxy_ && !established_) {
        BeginHandshake();
        return;
    }
    if (callback_) callback_->OnConnect(NETCONN_OK);
}

void TcpNetConn::OnClose() {
    FrameGuard guard(frame_);
    if (!SocketKnown()) return;
    // Forget the socket first: the host may reuse or delete the connection
    // inside its callback.
    Close();
    if (proxy_ && !established_) {
        // The host asked to connect and has not been told the outcome yet.
        LogHandshakeEnd(L"proxy closed the connection" + DuringStep());
        if (callback_) callback_->OnConnect(NETCONN_EVENT_CONNECT_FAILED);
        return;
    }
    if (callback_) callback_->OnClose();
}

void TcpNetConn::OnError(int code, const char* text) {
    FrameGuard guard(frame_);
    if (!SocketKnown()) return;
    std::wstring message = text ? plat::FromAnsi(text) : std::wstring();
    LogLine(NamedLogger::TcpNetConn, LOG_LEVEL_ERROR, L"basic socket error: %d, %s", code, message.c_str());
    if (code < 0 || code > kLargestSocketCode) code = NETCONN_EVENT_FAILED;
    Close();
    if (callback_) callback_->OnError(code);
}

void TcpNetConn::OnTimer() {
    FrameGuard guard(frame_);
    if (!SocketKnown()) return;
    if (proxy_ && !established_) {
        // The proxy did not finish its handshake in time.
        Close();
        LogHandshakeEnd(L"no answer from proxy within " + std::to_wstring(HandshakeLimit()) + L" ms" +
                        DuringStep());
        if (callback_) callback_->OnConnect(NETCONN_EVENT_CONNECT_FAILED);
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
        if (callback_) callback_->OnConnect(NETCONN_OK);
        // Tunnel bytes that came in the same read as the reply belong to the
        // host now; left in the socket they would wait for the next read,
        // which may never come when the server waits for an answer.
        if (!*alive || socket_ != s || used >= len) return used;
        unsigned taken = Deliver(data + used, len - used);
        return taken >= len - used ? len : used + taken;
    }
    case HS_RECONNECT:
        Close();
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
    Close();
    LogHandshakeEnd(why);
    OnError(NETCONN_EVENT_HANDSHAKE_FAILED, kAuthFail);
}

std::wstring TcpNetConn::DuringStep() const {
    return helper_ ? L" (step \"" + helper_->state() + L"\")" : std::wstring();
}

int TcpNetConn::HandshakeLimit() const { return timeout_ > 0 ? timeout_ : kDefaultTimeoutMs; }

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
