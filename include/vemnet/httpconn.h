// HTTP polling connections: the INetConn contract carried over form-encoded
// HTTP requests with a server-assigned session.
#ifndef VEMNET_HTTPCONN_H
#define VEMNET_HTTPCONN_H

#include "vemnet/netconn.h"

namespace VemNetwork {

// Slots 0 to 7 as INetConn, then 8 AddParam, 9 SetVerb, 10 SetHeaders,
// 11 SetData, 12 SetPollInterval, 13 SetUrl.
class IHttpConn : public INetConn {
public:
    using INetConn::AddParam;
    using INetConn::SetVerb;
    using INetConn::SetHeaders;
    using INetConn::SetData;
    using INetConn::SetPollInterval;
    using INetConn::SetUrl;
};

}  // namespace VemNetwork

extern "C" {
VEMNET_API void VEMNET_CALL CreateHttpConn(VemNetwork::IHttpConn** out, VemNetwork::INetConnCallback* callback,
                                           const VemNetwork::WideStringView& url,
                                           const VemNetwork::WideStringView& verb, int baseInterval,
                                           int maxInterval, const VemNetwork::WideStringView& headers,
                                           const VemNetwork::WideStringMap& params,
                                           const VemNetwork::ByteStringView& data, VemNetwork::INetCodec* codec);
}

#endif
