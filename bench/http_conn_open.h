// An HTTP connection to a session server on 127.0.0.1, as the HTTP
// benchmarks open it: POST to path, the given poll intervals, no extra
// headers or parameters. Null when it cannot be made or connected.
#ifndef VEMNET_BENCH_HTTP_CONN_OPEN_H
#define VEMNET_BENCH_HTTP_CONN_OPEN_H

#include <map>
#include <string>

#include "vemnet/httpconn.h"

inline VemNetwork::IHttpConn* OpenHttpConn(VemNetwork::INetConnCallback* host, int port, const std::string& path,
                                           int baseMs, int maxMs) {
    std::wstring url = L"http://127.0.0.1:" + std::to_wstring(port) + std::wstring(path.begin(), path.end());
    VemNetwork::IHttpConn* conn = nullptr;
    CreateHttpConn(&conn, host, url, L"POST", baseMs, maxMs, L"", std::map<std::wstring, std::wstring>(),
                   std::string(), nullptr);
    if (conn && conn->Connect(L"127.0.0.1", port, 600000, nullptr) != 0) {
        delete conn;
        conn = nullptr;
    }
    return conn;
}

#endif
