#include <cstdio>
#include <cstring>
#include <mutex>
#include <vector>

#include "conn/auth/base64.h"
#include "conn/route/proxy_record.h"
#include "conn/wide_text.h"
#include "http/http_net_context.h"
#include "logging/logger.h"

namespace VemNetwork {
namespace {

// A reply is read in pieces of one block less some slack. A body longer
// than kReplyLimit is not kept: the exchange fails instead.
const int kReadChunk = 4096 - 1000;
const int kDrainChunk = 1000;
const size_t kReplyLimit = size_t(1) << 20;

// OnError codes of a send that failed by timing out, or on a client in the
// wrong state.
const int kErrorTimedOut = 4;
const int kErrorWrongState = 3;

}  // namespace

std::string FormatCode(const char* format, int value) {
    char text[96];
    std::snprintf(text, sizeof(text), format, value);
    return text;
}

ReplyKind ClassifyReply(const char* body, uint32_t length) {
    if (length < 5) return ReplyKind::Ignore;
    if (length == 5) return ReplyKind::Empty;
    if (std::memcmp(body, "data=", 5) == 0) return ReplyKind::Data;
    if (length > 8 && std::memcmp(body, "session=", 8) == 0) return ReplyKind::Session;
    return ReplyKind::Empty;
}

std::string BuildRequestBody(const std::string& session, const std::string& message) {
    std::string body = "session=" + session + "&" + "data=";
    if (message.empty()) return body;
    int n = int(message.size());
    int room = Base64EncodeGetRequiredLength(n, 0);
    std::vector<char> text(size_t(room > 0 ? room : 1));
    int written = room;
    if (!Base64Encode(reinterpret_cast<const unsigned char*>(message.data()), n, text.data(), &written, 0)) {
        throw std::runtime_error("base64 encoding failed");
    }
    body.append(text.data(), size_t(written));
    return body;
}

bool HttpNetContext::OpenHandles(plat::HttpClient& c) {
    int error = 0;
    if (!c.SessionOpen()) {
        plat::HttpSessionSettings settings;
        if (!IsUsableProxy(proxy)) {
            settings.access = plat::HttpAccess::Direct;
        } else if (proxy.type == PROXY_SYSTEM) {
            settings.access = plat::HttpAccess::System;
        } else {
            settings.access = plat::HttpAccess::Named;
            if (proxy.type == PROXY_SOCKS5) {
                settings.proxyList = L"SOCKS5=" + ToWString(proxy.host) + L":" + std::to_wstring(proxy.port);
            } else if (proxy.type == PROXY_SOCKS4 || proxy.type == PROXY_SOCKS4_ALT) {
                settings.proxyList = L"SOCKS=" + ToWString(proxy.host) + L":" + std::to_wstring(proxy.port);
            } else if (proxy.type == PROXY_HTTP) {
                settings.proxyList = L"HTTP=HTTP://" + ToWString(proxy.host) + L":" + std::to_wstring(proxy.port);
            }
        }
        settings.host = host;
        settings.port = port & 0xFFFF;
        settings.verb = verb;
        settings.path = url.path;
        if (!c.OpenSession(settings, &error)) {
            ReportOpenFailure(FormatCode("Init InternetOpen: %d", error));
            return false;
        }
    }
    if (!c.ConnectionOpen() && !c.OpenConnection(&error)) {
        ReportOpenFailure(FormatCode("Init InternetConnect: %d", error));
        return false;
    }
    if (!c.RequestOpen() && !c.OpenRequest(&error)) {
        ReportOpenFailure(FormatCode("Init HttpOpenRequest: %d", error));
        return false;
    }
    if (!proxy.user.empty() && !proxy.password.empty()) c.SetProxyCredentials(proxy.user, proxy.password);
    return true;
}

// The whole body is read before recvLock is taken, so a delivery to the
// host does not wait for the network. A body that ends short of its
// declared length, or fails to read, is an error, never data.
int HttpNetContext::ReadBody(plat::HttpClient& c, std::string* reply) {
    char chunk[kReadChunk];
    for (;;) {
        int got = c.Read(chunk, kReadChunk);
        if (got == 0) return 0;
        if (got < 0) return kReadFailed;
        if (reply->size() + size_t(got) > kReplyLimit) return kReplyTooLong;
        reply->append(chunk, size_t(got));
    }
}

// One exchange:
//   open what is not open yet (session, connection, request; a failure is
//   reported and the next exchange tries again), set the timeouts and proxy
//   credentials, send the body, then either read the 200 reply under
//   recvLock or report the failure and stop the worker. The first request
//   announces the extension; once the server offered it, the exchanges are
//   numbered instead.
void HttpNetContext::SendRequest(const std::string& message) {
    if (extended.load()) {
        const size_t piece = MessagePiece();
        size_t at = 0;
        do {
            const size_t n = message.size() - at < piece ? message.size() - at : piece;
            if (!NumberedExchange(*client, message.substr(at, n), false)) return;
            at += n;
        } while (at < message.size());
        return;
    }
    if (!OpenHandles(*client)) return;
    client->SetTimeouts(connectTimeoutMs.load(), sendTimeoutMs.load());

    session_ext::RequestFields announce;
    announce.announce = session.empty();
    announce.rid = announce.announce ? nextRid.fetch_add(1) : 0;
    std::string body = BuildRequestBody(session, message);
    int error = 0;
    if (!client->Send(announce.announce ? HeadersWith(announce) : headers, body, &error)) {
        int code = error == plat::kHttpTimeout ? kErrorTimedOut
                   : error == plat::kHttpWrongState ? kErrorWrongState
                                                    : NETCONN_EVENT_FAILED;
        StopWithError(code, FormatCode("send request fail: %d", error));
        return;
    }

    int status = client->StatusCode();
    if (status != 200) {
        StopWithError(NETCONN_EVENT_HANDSHAKE_FAILED, FormatCode("auth fail,maybe password not correct: %d", status));
        char sink[kDrainChunk];
        while (client->Read(sink, kDrainChunk) > 0) {
        }
        return;
    }

    std::string reply;
    int read = ReadBody(*client, &reply);
    if (read == kReadFailed) {
        StopWithError(NETCONN_EVENT_FAILED, FormatCode("read reply fail after %d bytes", int(reply.size())));
        return;
    }
    if (read == kReplyTooLong) {
        StopWithError(NETCONN_EVENT_FAILED, FormatCode("reply longer than %d bytes", int(kReplyLimit)));
        return;
    }
    if (announce.announce && TakeOffer(reply)) {
        MarkAnswered(announce.rid);
        return;
    }

    std::lock_guard<plat::Lock> guard(recvLock);
    const char* text = reply.data();
    uint32_t length = uint32_t(reply.size());
    switch (ClassifyReply(text, length)) {
    case ReplyKind::Ignore:
        break;
    case ReplyKind::Empty:
        DoubleInterval();
        break;
    case ReplyKind::Data: {
        uint32_t encoded = length - 5;
        std::vector<unsigned char> decoded(encoded);
        int decodedLength = int(encoded);
        Base64Decode(text + 5, int(encoded), decoded.data(), &decodedLength);
        if (decodedLength > int(encoded)) decodedLength = int(encoded);
        if (decodedLength > 0) StoreReceived(reinterpret_cast<const char*>(decoded.data()), uint32_t(decodedLength));
        interval.store(baseInterval);
        break;
    }
    case ReplyKind::Session:
        session.assign(text + 8, length - 8);
        interval.store(baseInterval);
        LogLine(NamedLogger::HttpNetConn, LOG_LEVEL_INFO, L"http sessionNo=%s", plat::FromAnsi(session).c_str());
        break;
    }
}

void HttpNetContext::OpenSessionFirst() {
    SendRequest(std::string());
    if (!running.load() || failed.load()) return;
    bool opened = false;
    {
        std::lock_guard<plat::Lock> guard(recvLock);
        opened = !session.empty();
    }
    // A handle that could not be opened was reported and leaves the worker
    // running; here that, like a 200 without a session, is the end.
    if (!opened) {
        StopWithError(NETCONN_EVENT_FAILED, "no session opened by the first answer");
        return;
    }
    PostConnected(0, false);
    if (HoldsPolls()) StartPoller();
}

}  // namespace VemNetwork
