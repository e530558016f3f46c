#include <new>

#include "conn/tcp_net_conn.h"
#include "vemnet/netconn.h"

extern "C" VEMNET_API VemNetwork::INetConn** VEMNET_CALL CreateBaseConn(VemNetwork::INetConn** out,
                                                                         VemNetwork::INetConnCallback* callback,
                                                                         VemNetwork::INetCodec* codec) {
    if (!out) return nullptr;
    VemNetwork::TcpNetConn* conn = new (std::nothrow) VemNetwork::TcpNetConn();
    if (conn) {
        conn->SetCallback(callback);
        conn->SetCodec(codec);
    }
    *out = conn;
    return out;
}
