// HTTP polling connections: the INetConn contract carried over form-encoded
// HTTP requests with a server-assigned session.
#ifndef VEMNET_HTTPCONN_H
#define VEMNET_HTTPCONN_H

#include <map>
#include <string>

#include "vemnet/netconn.h"

namespace VemNetwork {

class IHttpConn : public INetConn {
public:
    virtual void AddParam(const std::wstring& key, const std::wstring& value) = 0;
    virtual void SetVerb(const std::wstring& verb) = 0;
    virtual void SetHeaders(const std::wstring& headers) = 0;
    virtual void SetData(const char* data, int length) = 0;
    virtual void SetPollInterval(int baseInterval, int maxInterval) = 0;
    virtual bool SetUrl(const std::wstring& url) = 0;
};

}  // namespace VemNetwork

extern "C" {
VEMNET_API void VEMNET_CALL CreateHttpConn(VemNetwork::IHttpConn** out, VemNetwork::INetConnCallback* callback,
                                           const std::wstring& url, const std::wstring& verb, int baseInterval,
                                           int maxInterval, const std::wstring& headers,
                                           std::map<std::wstring, std::wstring> params, const std::string& data,
                                           VemNetwork::INetCodec* codec);
}

#endif
