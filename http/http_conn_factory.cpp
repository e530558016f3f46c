#include <new>

#include "http/http_net_conn.h"
#include "vemnet/httpconn.h"

extern "C" VEMNET_API void VEMNET_CALL CreateHttpConn(VemNetwork::IHttpConn** out,
                                                      VemNetwork::INetConnCallback* callback,
                                                      const std::wstring& url, const std::wstring& verb,
                                                      int baseInterval, int maxInterval, const std::wstring& headers,
                                                      std::map<std::wstring, std::wstring> params,
                                                      const std::string& data, VemNetwork::INetCodec* codec) {
    if (!out) return;
    VemNetwork::HttpNetConn* conn = new (std::nothrow) VemNetwork::HttpNetConn();
    if (!conn) {
        *out = nullptr;
        return;
    }
    conn->SetCallback(callback);
    conn->SetCodec(codec);
    conn->SetUrl(url);
    conn->SetPollInterval(baseInterval, maxInterval);
    conn->SetData(data.data(), int(data.size()));
    conn->SetVerb(verb);
    conn->SetHeaders(headers);
    for (const auto& pair : params) conn->AddParam(pair.first, pair.second);
    *out = conn;
}
