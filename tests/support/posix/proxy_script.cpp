#include <cstdlib>

#include "tests/support/proxy_script.h"

namespace testing_support {

namespace {

bool Save(const char* name, std::string* value) {
    const char* v = std::getenv(name);
    if (v) *value = v;
    return v != nullptr;
}

void Restore(const char* name, bool had, const std::string& value) {
    if (had) setenv(name, value.c_str(), 1);
    else unsetenv(name);
}

}  // namespace

ProxyScriptSetting::ProxyScriptSetting(const std::string& url, const std::string& fallback) {
    had_ = Save("http_proxy", &saved_);
    hadOther_ = Save("https_proxy", &savedOther_);
    setenv("http_proxy", ("pac+" + url).c_str(), 1);
    if (!fallback.empty()) setenv("https_proxy", ("http://" + fallback).c_str(), 1);
}

ProxyScriptSetting::~ProxyScriptSetting() {
    Restore("http_proxy", had_, saved_);
    Restore("https_proxy", hadOther_, savedOther_);
}

}  // namespace testing_support
