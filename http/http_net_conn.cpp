#include "http/http_net_conn.h"

#include <new>
#include <utility>

#include <boost/bind/bind.hpp>
#include <boost/make_shared.hpp>

#include "conn/wide_text.h"
#include "frame/default_frame.h"
#include "http/http_net_context.h"
#include "platform/platform.h"

namespace VemNetwork {

HttpNetConn::HttpNetConn()
    : callback(nullptr), codec(nullptr), connected(false), baseInterval(1000), maxInterval(7000) {}

HttpNetConn::~HttpNetConn() { Close(); }

int HttpNetConn::Connect(const WideStringView& hostName, int port, int timeout, ProxyInfo* proxy) {
    if (proxy && HasCutText(*proxy)) return NETCONN_NO_SOCKET;
    Close();
    boost::shared_ptr<HttpNetContext> fresh;
    try {
        fresh = boost::make_shared<HttpNetContext>();
    } catch (const std::exception&) {
        return NETCONN_NO_SOCKET;
    }
    boost::shared_ptr<HttpNetContext> replaced = fresh;
    {
        // The frame's events of the old context read `context` through
        // PushBaseTask; replacing it under the frame lock keeps them apart.
        FrameGuard guard(GetDefaultFrame());
        SwapContext(replaced);
        fresh->conn.store(this);
    }
    // A context another thread's Connect put in place meanwhile stops.
    if (replaced) {
        replaced->running.store(false);
        replaced->conn.store(nullptr);
        replaced.reset();
    }
    fresh->ResetSession();
    fresh->host = ToWString(hostName);
    fresh->port = port;
    fresh->ArmDeadline(plat::TickCount() + uint32_t(timeout));
    if (proxy) fresh->proxy = *proxy;
    fresh->SetVerb(verb);
    fresh->SetHeaders(headers);
    fresh->SetPollInterval(baseInterval, maxInterval);
    fresh->SetUrl(url);

    boost::shared_ptr<HttpNetContext>* ref = new (std::nothrow) boost::shared_ptr<HttpNetContext>(fresh);
    if (!ref || !plat::StartThread(RunWorker, ref)) {
        delete ref;
        Close();
        return NETCONN_NO_SOCKET;
    }
    plat::SleepMs(100);
    return NETCONN_OK;
}

int HttpNetConn::Send(const char* bytes, int length) { return Queue(bytes, length, true); }

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
    ctx->PushTask(L"senddata", boost::bind(&HttpNetContext::SendRequest, ctx, message));
    if (wake) ctx->Wake();
    return NETCONN_OK;
}

int HttpNetConn::SetTimeout(int milliseconds) {
    boost::shared_ptr<HttpNetContext> ctx = Context();
    if (!ctx) return NETCONN_NOT_CONNECTED;
    return ctx->SetTimeout(milliseconds);
}

void HttpNetConn::Close() {
    if (!Context()) return;
    // Declared before the guard: the last reference may go here, and the
    // context's clean-up needs no frame lock.
    boost::shared_ptr<HttpNetContext> old;
    {
        FrameGuard guard(GetDefaultFrame());
        SwapContext(old);
        if (old) {
            old->running.store(false);
            old->conn.store(nullptr);
        }
    }
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
    if (cb) cb->OnConnect(result == 0 ? 0 : 4);
}

void HttpNetConn::NotifyError(int code, const char*) {
    connected.store(false);
    INetConnCallback* cb = callback.load();
    if (cb) cb->OnError(code);
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
