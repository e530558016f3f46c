// Points the system's proxy setting at a proxy auto-config script for the
// test's duration, the way each platform's users set it: http_proxy as
// "pac+URL" (read by libproxy), or the Internet Options' script address in
// the registry (read by WinHTTP). One implementation per platform.
#ifndef VEMNET_TEST_PROXY_SCRIPT_H
#define VEMNET_TEST_PROXY_SCRIPT_H

#include <string>

namespace testing_support {

class ProxyScriptSetting {
public:
    // fallback: an HTTP proxy ("127.0.0.1:3128") the setting names besides
    // the script, where the platform keeps both apart (https_proxy); ignored
    // elsewhere.
    explicit ProxyScriptSetting(const std::string& url, const std::string& fallback = std::string());
    ~ProxyScriptSetting();   // puts back what was set before
    ProxyScriptSetting(const ProxyScriptSetting&) = delete;
    ProxyScriptSetting& operator=(const ProxyScriptSetting&) = delete;

private:
    std::string saved_;
    bool had_ = false;
    std::string savedOther_;
    bool hadOther_ = false;
};

}  // namespace testing_support

#endif
