// The entry points of docs/examples/*.cpp, which the guide quotes.
#ifndef VEMNET_TEST_GUIDE_EXAMPLES_H
#define VEMNET_TEST_GUIDE_EXAMPLES_H

#include <string>

#include "vemnet/vemnet.h"

namespace guide {

// tcp_client.cpp
std::string EchoOverTcp(const std::wstring& host, int port, VemNetwork::ProxyInfo* proxy,
                        const std::string& message, std::string* error);
// proxy_records.cpp
VemNetwork::ProxyInfo HttpProxy(const std::wstring& host, int port, const std::wstring& user,
                                const std::wstring& password);
VemNetwork::ProxyInfo NtlmProxy(const std::wstring& host, int port, const std::wstring& user,
                                const std::wstring& password, const std::wstring& domain);
VemNetwork::ProxyInfo Socks4Proxy(const std::wstring& host, int port);
VemNetwork::ProxyInfo Socks5Proxy(const std::wstring& host, int port, const std::wstring& user,
                                  const std::wstring& password);
VemNetwork::ProxyInfo SystemProxy();
// frame_echo.cpp
std::string EchoOnOwnFrame(const std::string& message, std::string* error);
// udp_send.cpp
unsigned Ipv4(unsigned char a, unsigned char b, unsigned char c, unsigned char d);
int SendDatagram(int port, const std::string& payload, std::string* error);
// tasks_timers.cpp
std::string TaskOrder();
int RunHeartbeat(int port, int beats, int intervalMs, std::string* error);
// http_client.cpp
std::string EchoOverHttp(const std::wstring& host, int port, const std::wstring& url,
                         const std::string& message, std::string* error);
// auto_client.cpp
std::string EchoAnyWayOut(const wchar_t* gatewayUrl, const std::wstring& host, int port,
                          const std::string& message, std::string* error);

}  // namespace guide

#endif
