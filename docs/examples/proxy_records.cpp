// The proxy record for each kind of proxy. Connect takes a pointer to one;
// null means a direct connection.
#include <string>

#include <vemnet/vemnet.h>

namespace guide {

// HTTP CONNECT. With a user, the strongest scheme the proxy offers that
// works (Negotiate, NTLM, Digest, Basic). With no user: the signed-in
// user's own credentials (Negotiate; NTLM on Windows), or none.
VemNetwork::ProxyInfo HttpProxy(const std::wstring& host, int port, const std::wstring& user,
                                const std::wstring& password) {
    VemNetwork::ProxyInfo p;
    p.type = 4;
    p.host = host;
    p.port = port;
    p.user = user;
    p.password = password;
    return p;
}

// An HTTP proxy that wants NTLM: the same kind, with the domain that goes
// into the negotiate message.
VemNetwork::ProxyInfo NtlmProxy(const std::wstring& host, int port, const std::wstring& user,
                                const std::wstring& password, const std::wstring& domain) {
    VemNetwork::ProxyInfo p = HttpProxy(host, port, user, password);
    p.domain = domain;
    return p;
}

// SOCKS4a (type 1; 2 is the same): the target's name goes to the proxy,
// which resolves it. No user id is sent.
VemNetwork::ProxyInfo Socks4Proxy(const std::wstring& host, int port) {
    VemNetwork::ProxyInfo p;
    p.type = 1;
    p.host = host;
    p.port = port;
    return p;
}

// SOCKS5, with user name and password when user is not empty.
VemNetwork::ProxyInfo Socks5Proxy(const std::wstring& host, int port, const std::wstring& user,
                                  const std::wstring& password) {
    VemNetwork::ProxyInfo p;
    p.type = 3;
    p.host = host;
    p.port = port;
    p.user = user;
    p.password = password;
    return p;
}

// Whatever the system's proxy setting names. Connect rewrites the record
// with the entry it used; when the setting names none it stays type 5 and
// the connection goes direct.
VemNetwork::ProxyInfo SystemProxy() {
    VemNetwork::ProxyInfo p;
    p.type = 5;
    return p;
}

}  // namespace guide
