#include <cstdio>
#include <cstring>
#include <mutex>
#include <vector>

#include "conn/auth/base64.h"
#include "conn/proxy_record.h"
#include "conn/wide_text.h"
#include "http/http_net_context.h"
#include "logging/logger.h"

namespace VemNetwork {
namespace {

// A reply is read in pieces of one block less some slack, into a buffer of
// at most 32 blocks; what does not fit is dropped.
const int kReadChunk = 4096 - 1000;
const int kDrainChunk = 1000;

std::string Format(const char* format, int value) {
    char text[96];
    std::snprintf(text, sizeof(text), format, value);
    return text;
}

}  // namespace

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

// One exchange:
//   open what is not open yet (session, connection, request; a failure is
//   reported and the next exchange tries again), set the timeouts and proxy
//   credentials, send the body, then either read the 200 reply under
//   recvLock or report the failure and stop the worker.
void HttpNetContext::SendRequest(const std::string& message) {
    int error = 0;
    if (!client) client = plat::HttpClient::Create();
    if (!client->SessionOpen()) {
        plat::HttpSessionSettings settings;
        if (!IsUsableProxy(proxy)) {
            settings.access = plat::HttpAccess::Direct;
        } else if (proxy.type == 5) {
            settings.access = plat::HttpAccess::System;
        } else {
            settings.access = plat::HttpAccess::Named;
            if (proxy.type >= 1 && proxy.type <= 3) {
                settings.proxyList = L"SOCKS=" + ToWString(proxy.host) + L":" + std::to_wstring(proxy.port);
            } else if (proxy.type == 4) {
                settings.proxyList = L"HTTP=HTTP://" + ToWString(proxy.host) + L":" + std::to_wstring(proxy.port);
            }
        }
        settings.host = host;
        settings.port = port & 0xFFFF;
        settings.verb = verb;
        settings.path = url.path;
        if (!client->OpenSession(settings, &error)) {
            PostError(2, Format("Init InternetOpen: %d", error), false);
            return;
        }
    }
    if (!client->ConnectionOpen() && !client->OpenConnection(&error)) {
        PostError(2, Format("Init InternetConnect: %d", error), false);
        return;
    }
    if (!client->RequestOpen() && !client->OpenRequest(&error)) {
        PostError(2, Format("Init HttpOpenRequest: %d", error), false);
        return;
    }

    client->SetTimeouts(connectTimeoutMs.load(), sendTimeoutMs.load());
    if (!proxy.user.empty() && !proxy.password.empty()) client->SetProxyCredentials(proxy.user, proxy.password);

    std::string body = BuildRequestBody(session, message);
    if (!client->Send(headers, body, &error)) {
        int code = error == plat::kHttpTimeout ? 4 : error == plat::kHttpWrongState ? 3 : 11;
        StopWithError(code, Format("send request fail: %d", error));
        return;
    }

    int status = client->StatusCode();
    if (status != 200) {
        StopWithError(6, Format("auth fail,maybe password not correct: %d", status));
        char sink[kDrainChunk];
        while (client->Read(sink, kDrainChunk) > 0) {
        }
        return;
    }

    std::lock_guard<plat::Lock> guard(recvLock);
    SmallBlockBuffer reply;
    char chunk[kReadChunk];
    // Once a piece did not fit, the rest of the body is read and thrown
    // away: a later, shorter piece that would still fit must not be glued on
    // behind the gap, or the cut body would turn into corrupted data.
    bool cut = false;
    for (;;) {
        int got = client->Read(chunk, kReadChunk);
        if (got <= 0) break;
        if (!cut && !reply.append(chunk, uint32_t(got))) cut = true;
    }
    const char* text = reply.data();
    uint32_t length = reply.size();
    switch (ClassifyReply(text, length)) {
    case ReplyKind::Ignore:
        break;
    case ReplyKind::Empty:
        DoubleInterval();
        break;
    case ReplyKind::Data: {
        uint32_t encoded = length - 5;
        if (recvBuffer.reserve(encoded)) {
            std::vector<unsigned char> decoded(encoded);
            int decodedLength = int(encoded);
            Base64Decode(text + 5, int(encoded), decoded.data(), &decodedLength);
            if (decodedLength > int(encoded)) decodedLength = int(encoded);
            recvBuffer.append(decoded.data(), uint32_t(decodedLength));
        }
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

}  // namespace VemNetwork
