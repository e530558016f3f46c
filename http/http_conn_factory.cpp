#include <new>

#include "conn/wide_text.h"
#include "http/http_net_conn.h"
#include "vemnet/httpconn.h"

namespace {

void AddOneParam(void* conn, const VemNetwork::WideStringView& key, const VemNetwork::WideStringView& value) {
    static_cast<VemNetwork::HttpNetConn*>(conn)->AddParam(key, value);
}

}  // namespace

// Nothing is thrown to the host: *out is null when the connection cannot be made.
extern "C" VEMNET_API void VEMNET_CALL CreateHttpConn(VemNetwork::IHttpConn** out,
                                                      VemNetwork::INetConnCallback* callback,
                                                      const VemNetwork::WideStringView& url,
                                                      const VemNetwork::WideStringView& verb, int baseInterval,
                                                      int maxInterval, const VemNetwork::WideStringView& headers,
                                                      const VemNetwork::WideStringMap& params,
                                                      const VemNetwork::ByteStringView& data,
                                                      VemNetwork::INetCodec* codec) {
    if (!out) return;
    *out = nullptr;
    VemNetwork::HttpNetConn* conn = new (std::nothrow) VemNetwork::HttpNetConn();
    if (!conn) return;
    try {
        conn->SetCallback(callback);
        conn->SetCodec(codec);
        conn->SetUrl(url);
        conn->SetPollInterval(baseInterval, maxInterval);
        conn->SetData(data.data(), int(data.size()));
        conn->SetVerb(verb);
        conn->SetHeaders(headers);
        params.ForEach(&AddOneParam, conn);
    } catch (...) {
        delete conn;
        return;
    }
    *out = conn;
}
