// The SOCKS4 and SOCKS5 reply handlers with the helper in each state. The
// first byte picks helper, state and slice size; the rest is the proxy's
// byte stream.
#include <cstddef>
#include <cstdint>
#include <string>

#include "conn/proxy/socks4_proxy_helper.h"
#include "conn/proxy/socks5_proxy_helper.h"
#include "tests/fuzz/fuzz_sock.h"

using namespace VemNetwork;

namespace {

template <typename Helper>
void Drive(Helper& helper, const char* bytes, int len, size_t step) {
    std::string pending;
    for (size_t at = 0; at < size_t(len); at += step) {
        pending.append(bytes + at, std::min(step, size_t(len) - at));
        int status = -1;
        const int consumed = helper.OnReply(pending.data(), int(pending.size()), &status);
        CheckAnswer(consumed, status, int(pending.size()));
        pending.erase(0, size_t(consumed));
        if (status != HS_WAIT) break;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    const uint8_t mode = data[0];
    const char* bytes = reinterpret_cast<const char*>(data + 1);
    const int len = int(size - 1);
    const size_t step = 1 + (mode >> 4);

    FuzzSock sock;
    ProxyInfo proxy;
    proxy.host = L"127.0.0.1";
    proxy.port = 1080;
    const std::wstring target = L"localhost";
    int status = 0;

    switch (mode & 7) {
        case 0: {   // SOCKS4 before Start, then in "request"
            proxy.type = 1;
            Socket4ProxyHelper h(&sock, &proxy, &target, 80);
            Drive(h, bytes, len, step);
            h.Start();
            Drive(h, bytes, len, step);
            break;
        }
        case 1:
        case 2: {   // SOCKS5 "init", without and with a user
            proxy.type = 3;
            if ((mode & 7) == 2) proxy.user = L"bob", proxy.password = L"pw";
            Socket5ProxyHelper h(&sock, &proxy, &target, 80);
            h.Start();
            Drive(h, bytes, len, step);
            break;
        }
        case 3: {   // SOCKS5 "auth"
            proxy.type = 3;
            proxy.user = L"bob";
            Socket5ProxyHelper h(&sock, &proxy, &target, 80);
            h.Start();
            h.OnReply("\x05\x02", 2, &status);
            Drive(h, bytes, len, step);
            break;
        }
        case 4: {   // SOCKS5 "request"
            proxy.type = 3;
            Socket5ProxyHelper h(&sock, &proxy, &target, 80);
            h.Start();
            h.OnReply("\x05\x00", 2, &status);
            Drive(h, bytes, len, step);
            break;
        }
        case 5: {   // SOCKS5 whose fields did not fit: "failed"
            proxy.type = 3;
            const std::wstring longHost(300, L'h');
            Socket5ProxyHelper h(&sock, &proxy, &longHost, 80);
            if (h.Start() || !h.Failed() || sock.sends) __builtin_trap();
            Drive(h, bytes, len, step);
            break;
        }
        default: {  // the reply handlers called directly on the whole input
            proxy.type = 3;
            proxy.user = L"bob";
            Socket5ProxyHelper h(&sock, &proxy, &target, 80);
            h.Start();
            status = 2;
            CheckAnswer(h.OnMethodReply(bytes, len, &status), status, len);
            status = 2;
            CheckAnswer(h.OnAuthReply(bytes, len, &status), status, len);
            status = 2;
            CheckAnswer(h.OnRequestReply(bytes, len, &status), status, len);
            Socket4ProxyHelper h4(&sock, &proxy, &target, 80);
            status = 2;
            CheckAnswer(h4.OnRequestReply(bytes, len, &status), status, len);
            break;
        }
    }
    return 0;
}
