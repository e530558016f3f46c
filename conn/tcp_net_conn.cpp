#include "conn/tcp_net_conn.h"

#include <climits>
#include <exception>
#include <vector>

#include "conn/proxy/http_proxy_helper.h"
#include "conn/proxy/socks4_proxy_helper.h"
#include "conn/proxy/socks5_proxy_helper.h"
#include "conn/system_proxy.h"
#include "conn/wide_text.h"
#include "frame/base_selector.h"
#include "frame/default_frame.h"
#include "logging/logger.h"
#include "platform/platform.h"

namespace VemNetwork {

namespace {

// Helper kinds by proxy type: SOCKS4 and its twin share one.
int HelperKind(int type) { return type == 2 ? 1 : type; }

// A failed handshake, and what the socket is told to drop with it.
const char kAuthFail[] = "auth fail";
const unsigned kDropAll = UINT_MAX;

// The SOCKS helpers refuse, before sending anything, a request whose fields
// do not fit their one-byte lengths. No reply would ever come to report
// that, so the connection asks right after Start.
bool HelperFailed(IProxyHelper* helper, int kind) {
    switch (kind) {
    case 1: return static_cast<Socket4ProxyHelper*>(helper)->Failed();
    case 3: return static_cast<Socket5ProxyHelper*>(helper)->Failed();
    default: return false;
    }
}

}  // namespace

bool TcpNetConn::Usable(const ProxyInfo& proxy) {
    return proxy.type == 5 || (!proxy.host.empty() && proxy.port > 0);
}

TcpNetConn::TcpNetConn()
    : port_(0),
      timeout_(10000),
      callback_(nullptr),
      codec_(nullptr),
      socket_(nullptr),
      established_(false),
      helper_(nullptr),
      helperKind_(0),
      opening_(false),
      deferred_(false),
      deferredStatus_(0),
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
    // Nothing is thrown to a host, whose compiler may not know our exceptions.
    try {
        return StartAttempt(ToWString(host), port, timeout, proxy);
    } catch (const std::exception&) {
        return NETCONN_NO_SOCKET;
    }
}

int TcpNetConn::Send(const char* data, int length) {
    FrameGuard guard(frame_);
    if (!socket_) return NETCONN_NOT_CONNECTED;
    if (length < 0) return NETCONN_FULL;
    if (!data) length = 0;
    if (proxy_ && !established_) {
        // Held back until the tunnel is up, untransformed.
        return pending_.append(data, uint32_t(length)) ? NETCONN_OK : NETCONN_FULL;
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
    if (socket_) {
        ISock* s = socket_;
        socket_ = nullptr;
        s->Close();
    }
}

bool TcpNetConn::IsConnected() {
    FrameGuard guard(frame_);
    return socket_ && established_;
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
        if (proxy->type == 5) {
            candidates_ = SystemProxyCandidates();
            proxy->host.clear();
            if (!candidates_.empty()) {
                *proxy = candidates_.front();
                candidates_.pop_front();
            }
        }
        // A record still of type 5 means the system names no proxy at all:
        // that is a direct connection, not one to an empty host name.
        if (proxy->type != 5 && Usable(*proxy)) {
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
    ISock* s = nullptr;
    opening_ = true;
    deferred_ = false;
    try {
        s = CreateAsyncTcpSock(this, host.c_str(), port, timeout, nullptr);
    } catch (const std::exception&) {
        // "create socket" escapes the factory; for the host it is simply no
        // socket.
        s = nullptr;
    }
    opening_ = false;
    socket_ = s;
    bool deferred = deferred_;
    deferred_ = false;
    if (!s) return false;
    if (deferred) HandleConnect(deferredStatus_);
    return true;
}

void TcpNetConn::ConnectFailed() {
    if (proxy_) {
        proxy_.reset();
        while (!candidates_.empty()) {
            std::unique_ptr<ProxyInfo> next(new ProxyInfo());
            next->host.clear();
            *next = candidates_.front();
            candidates_.pop_front();
            if (!Usable(*next)) break;
            proxy_ = std::move(next);
            if (StartAttempt(host_, port_, timeout_, proxy_.get()) == NETCONN_OK) return;
            // No socket for this one (its name does not resolve): the host
            // still gets an outcome, after the remaining entries.
            proxy_.reset();
        }
    }
    Close();
    if (callback_) callback_->OnConnect(4);
}

void TcpNetConn::BeginHandshake() {
    int kind = HelperKind(proxy_->type);
    if (kind != 1 && kind != 3 && kind != 4) {
        Close();
        if (callback_) callback_->OnConnect(5);
        return;
    }
    // The helper goes on from its step only with a proxy of its own kind; a
    // later candidate of another kind starts a dialogue of its own.
    if (helper_ && helperKind_ != kind) DropHelper();
    if (!helper_) {
        switch (kind) {
        case 1: helper_ = new Socket4ProxyHelper(socket_, proxy_.get(), &host_, port_); break;
        case 3: helper_ = new Socket5ProxyHelper(socket_, proxy_.get(), &host_, port_); break;
        default: helper_ = new HttpProxyHelper(socket_, proxy_.get(), &host_, port_); break;
        }
        helperKind_ = kind;
    } else {
        helper_->Init(socket_, proxy_.get(), &host_, port_);
    }
    // Every connection to the proxy gets the limit, also the ones a helper
    // asked for: the connect completion cancelled the socket's only timer,
    // and a proxy that falls silent after a reconnect must end the attempt
    // as well.
    socket_->SetTimer(timeout_);
    helper_->Start();
    if (HelperFailed(helper_, helperKind_)) {
        // The request could not even be put into the protocol's fields.
        Close();
        OnError(6, kAuthFail);
    }
}

// ---- socket events --------------------------------------------------------

void TcpNetConn::OnConnect(int status) {
    FrameGuard guard(frame_);
    if (opening_) {
        // Inside CreateAsyncTcpSock: the socket is not known yet.
        deferred_ = true;
        deferredStatus_ = status;
        return;
    }
    HandleConnect(status);
}

void TcpNetConn::HandleConnect(int status) {
    if (status != 0) {
        ConnectFailed();
        return;
    }
    if (!socket_) return;
    if (proxy_ && !established_) {
        BeginHandshake();
        return;
    }
    if (callback_) callback_->OnConnect(0);
}

void TcpNetConn::OnClose() {
    FrameGuard guard(frame_);
    // Forget the socket first: the host may reuse or delete the connection
    // inside its callback.
    Close();
    if (callback_) callback_->OnClose();
}

void TcpNetConn::OnError(int code, const char* text) {
    FrameGuard guard(frame_);
    std::wstring message = text ? plat::FromAnsi(text) : std::wstring();
    LogLine(NamedLogger::TcpNetConn, LOG_LEVEL_ERROR, L"basic socket error: %d, %s", code, message.c_str());
    if (code < 0 || code > 12) code = 11;
    Close();
    if (callback_) callback_->OnError(code);
}

void TcpNetConn::OnTimer() {
    FrameGuard guard(frame_);
    if (proxy_ && !established_) {
        // The proxy did not finish its handshake in time.
        Close();
        if (callback_) callback_->OnConnect(4);
        return;
    }
    if (callback_) callback_->OnTimeout();
}

unsigned TcpNetConn::OnData(const char* data, unsigned len) {
    FrameGuard guard(frame_);
    if (!proxy_ || established_) return Deliver(data, len);
    return HandshakeData(data, len);
}

void TcpNetConn::OnSent() {
    FrameGuard guard(frame_);
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
        if (callback_) callback_->OnConnect(0);
        // Tunnel bytes that came in the same read as the reply belong to the
        // host now; left in the socket they would wait for the next read,
        // which may never come when the server waits for an answer.
        if (!*alive || socket_ != s || used >= len) return used;
        unsigned taken = Deliver(data + used, len - used);
        return taken >= len - used ? len : used + taken;
    }
    case HS_RECONNECT:
        Close();
        if (StartAttempt(host_, port_, timeout_, proxy_.get()) != NETCONN_OK) ConnectFailed();
        return 0;
    case HS_WAIT:
        return used;
    default:
        Close();
        OnError(6, kAuthFail);
        return kDropAll;
    }
}

void TcpNetConn::DropHelper() {
    delete helper_;
    helper_ = nullptr;
    helperKind_ = 0;
}

}  // namespace VemNetwork
