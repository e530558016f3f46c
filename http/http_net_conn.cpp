#include "http/http_net_conn.h"

#include <new>
#include <utility>

#include <boost/bind/bind.hpp>
#include <boost/make_shared.hpp>

#include "conn/route/proxy_record.h"
#include "conn/wide_text.h"
#include "frame/default_frame.h"
#include "http/http_net_context.h"
#include "logging/logger.h"
#include "platform/platform.h"

namespace VemNetwork {

HttpNetConn::HttpNetConn()
    : callback(nullptr), codec(nullptr), connected(false), generation(0), baseInterval(1000), maxInterval(7000) {}

HttpNetConn::~HttpNetConn() {
    // Declared before the guard: the last reference may go here, and the
    // context's clean-up needs no frame lock.
    boost::shared_ptr<HttpNetContext> old;
    FrameGuard guard(GetDefaultFrame());
    StopContext(true, old);
}

int HttpNetConn::Connect(const WideStringView& hostName, int port, int timeout, ProxyInfo* proxy) {
    if (proxy && HasCutText(*proxy)) return NETCONN_NO_SOCKET;
    if (!IsTcpPort(port)) {
        LogLine(NamedLogger::HttpNetConn, LOG_LEVEL_ERROR, L"connect refused: port %d is not in 1 to 65535", port);
        return NETCONN_NO_SOCKET;
    }
    BaseSelector* frame = GetDefaultFrame();
    unsigned mine = 0;
    {
        boost::shared_ptr<HttpNetContext> old;
        FrameGuard guard(frame);
        StopContext(false, old);
        mine = generation;
    }
    boost::shared_ptr<HttpNetContext> fresh;
    try {
        fresh = boost::make_shared<HttpNetContext>();
        fresh->ResetSession();
        fresh->host = ToWString(hostName);
        fresh->port = port;
        fresh->ArmDeadline(plat::TickCount() + uint32_t(timeout));
        if (proxy) fresh->proxy = *proxy;
        fresh->SetVerb(verb);
        fresh->SetHeaders(headers);
        fresh->SetPollInterval(baseInterval, maxInterval);
        fresh->SetUrl(url);
        fresh->connectOnAnswer = connectOnAnswer;
    } catch (const std::exception&) {
        return NETCONN_NO_SOCKET;
    }

    FrameGuard guard(frame);
    // Closed (or connected anew) by another thread meanwhile: this attempt
    // is over before it began, and no event of it reaches the host.
    if (mine != generation) return NETCONN_OK;
    boost::shared_ptr<HttpNetContext>* ref = new (std::nothrow) boost::shared_ptr<HttpNetContext>(fresh);
    if (!ref) return NETCONN_NO_SOCKET;
    fresh->conn.store(this);
    boost::shared_ptr<HttpNetContext> in = fresh;
    SwapContext(in);
    // Started under the frame lock: its first event waits for this call to end.
    if (!plat::StartThread(RunWorker, ref)) {
        delete ref;
        boost::shared_ptr<HttpNetContext> none;
        SwapContext(none);
        fresh->running.store(false);
        fresh->conn.store(nullptr);
        return NETCONN_NO_SOCKET;
    }
    return NETCONN_OK;
}

void HttpNetConn::StopContext(bool abandon, boost::shared_ptr<HttpNetContext>& old) {
    ++generation;
    connected.store(false);
    SwapContext(old);
    if (!old) return;
    old->running.store(false);
    old->conn.store(nullptr);
    // A held poll would keep its thread for the rest of the hold; Abandon
    // cuts it off with the worker's exchange.
    if (abandon) {
        old->Abandon();
    } else {
        old->StopPolling();
    }
    // A worker asleep between polls goes at once.
    old->Wake();
}

int HttpNetConn::Send(const char* bytes, int length) {
    if (length < 0) return NETCONN_FULL;
    // No bytes is an empty message, as for a TCP connection.
    if (!bytes) length = 0;
    return Queue(bytes, length, true);
}

int HttpNetConn::QueuePoll() { return Queue(nullptr, 0, false); }

boost::shared_ptr<HttpNetContext> HttpNetConn::Context() const {
    std::lock_guard<std::mutex> guard(contextLock);
    return context;
}

void HttpNetConn::SwapContext(boost::shared_ptr<HttpNetContext>& other) {
    std::lock_guard<std::mutex> guard(contextLock);
    context.swap(other);
}

int HttpNetConn::Queue(const char* bytes, int length, bool wake) {
    boost::shared_ptr<HttpNetContext> ctx = Context();
    if (!ctx || !ctx->running.load()) return NETCONN_NOT_CONNECTED;
    std::string message;
    if (length > 0) {
        INetCodec* c = codec.load();
        if (c) {
            message.resize(size_t(length));
            c->Transform(&message[0], bytes, length);
        } else {
            message.assign(bytes, size_t(length));
        }
    }
    if (ctx->extended.load() && !message.empty()) {
        ctx->QueueOutgoing(message);
        if (wake) ctx->Wake();
        return NETCONN_OK;
    }
    // A large message goes in pieces, each an exchange of its own.
    const size_t most = ctx->MessagePiece();
    size_t at = 0;
    do {
        const size_t piece = message.size() - at < most ? message.size() - at : most;
        ctx->PushTask(L"senddata", boost::bind(&HttpNetContext::SendRequest, ctx, message.substr(at, piece)));
        at += piece;
    } while (at < message.size());
    if (wake) ctx->Wake();
    return NETCONN_OK;
}

int HttpNetConn::SetTimeout(int milliseconds) {
    boost::shared_ptr<HttpNetContext> ctx = Context();
    if (!ctx) return NETCONN_NOT_CONNECTED;
    return ctx->SetTimeout(milliseconds);
}

void HttpNetConn::Close() {
    boost::shared_ptr<HttpNetContext> old;
    FrameGuard guard(GetDefaultFrame());
    StopContext(false, old);
}

bool HttpNetConn::IsConnected() { return connected.load(); }

void HttpNetConn::SetCallback(INetConnCallback* p) { callback.store(p); }

void HttpNetConn::SetCodec(INetCodec* p) { codec.store(p); }

void HttpNetConn::AddParam(const WideStringView& key, const WideStringView& value) {
    params[ToWString(key)] = ToWString(value);
}

void HttpNetConn::SetVerb(const WideStringView& v) { verb = ToWString(v); }

void HttpNetConn::SetHeaders(const WideStringView& h) { headers = ToWString(h); }

void HttpNetConn::SetData(const char* bytes, int length) {
    if (bytes && length > 0) {
        data.assign(bytes, size_t(length));
    } else {
        data.clear();
    }
}

void HttpNetConn::SetPollInterval(int baseMs, int maxMs) {
    baseInterval = baseMs;
    maxInterval = maxMs;
}

bool HttpNetConn::SetUrl(const WideStringView& view) {
    const std::wstring text = ToWString(view);
    UrlParts parts;
    if (!SplitUrl(text, parts)) {
        if (parts.schemeIndex == -1 && !SplitUrl(L"http://" + text, parts)) return false;
    }
    url = text;
    return true;
}

void HttpNetConn::NotifyConnect(int result) {
    connected.store(result == 0);
    INetConnCallback* cb = callback.load();
    if (cb) cb->OnConnect(result == 0 || result == NETCONN_EVENT_UNSUPPORTED_PROXY ? result : NETCONN_EVENT_CONNECT_FAILED);
}

void HttpNetConn::NotifyError(int code, const char*) {
    connected.store(false);
    INetConnCallback* cb = callback.load();
    if (cb) cb->OnError(code);
}

void HttpNetConn::NotifyClose() {
    connected.store(false);
    INetConnCallback* cb = callback.load();
    if (cb) cb->OnClose();
}

void HttpNetConn::NotifyTimeout() {
    INetConnCallback* cb = callback.load();
    if (cb) cb->OnTimeout();
}

int HttpNetConn::NotifyData(const char* bytes, int length) {
    INetConnCallback* cb = callback.load();
    INetCodec* c = codec.load();
    if (c) {
        std::string plain(size_t(length), '\0');
        c->Transform(&plain[0], bytes, length);
        return cb ? cb->OnData(plain.data(), length) : 0;
    }
    return cb ? cb->OnData(bytes, length) : 0;
}

void HttpNetConn::NotifySent() {
    INetConnCallback* cb = callback.load();
    if (cb) cb->OnSent();
}

}  // namespace VemNetwork
