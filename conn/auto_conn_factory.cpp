#include <exception>
#include <new>
#include <string>

#include "conn/auto_net_conn.h"
#include "http/url_parts.h"
#include "logging/logger.h"
#include "vemnet/netconn.h"

namespace {

// Where the HTTP step goes: the URL's host and port (80 when it names none);
// false for a text that is no http:// URL, even with "http://" before it.
bool GatewayOf(const std::wstring& url, std::wstring* host, int* port) {
    VemNetwork::UrlParts parts;
    bool split = VemNetwork::SplitUrl(url, parts);
    // No scheme, or "host:port/path" read as an unknown one: HTTP is meant.
    if (parts.schemeIndex < 0) split = VemNetwork::SplitUrl(L"http://" + url, parts);
    // The HTTP connection speaks plain HTTP only: an https:// gateway would
    // get it on its TLS port.
    if (!split || parts.host.empty() || parts.schemeIndex != VemNetwork::kSchemeHttp) return false;
    *host = parts.host;
    *port = parts.port > 0 ? parts.port : VemNetwork::DefaultPort(parts.schemeIndex);
    return *port > 0;
}

}  // namespace

// Nothing is thrown to the host: null (and *out null) when the connection
// cannot be made or httpUrl names no server.
extern "C" VEMNET_API VemNetwork::INetConn** VEMNET_CALL CreateAutoConn(VemNetwork::INetConn** out,
                                                                         VemNetwork::INetConnCallback* callback,
                                                                         VemNetwork::INetCodec* codec,
                                                                         const wchar_t* httpUrl) {
    if (!out) return nullptr;
    *out = nullptr;
    try {
        std::wstring url = httpUrl ? httpUrl : L"";
        std::wstring host;
        int port = 0;
        if (!url.empty() && !GatewayOf(url, &host, &port)) {
            LogLine(NamedLogger::TcpNetConn, LOG_LEVEL_ERROR, L"auto: %s is not an http:// URL", url.c_str());
            return nullptr;
        }
        VemNetwork::AutoNetConn* conn = new (std::nothrow) VemNetwork::AutoNetConn(host, port, url);
        if (!conn) return nullptr;
        conn->SetCallback(callback);
        conn->SetCodec(codec);
        *out = conn;
        return out;
    } catch (const std::exception&) {
        return nullptr;
    }
}
