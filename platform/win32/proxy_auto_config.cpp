// Proxy auto-configuration through WinHTTP: the user's Internet Options
// name a script's URL or "Automatically detect settings", and
// WinHttpGetProxyForUrl runs the script for a target. Its answer is a proxy
// list ("h:p", "http=h:p;socks=h:p") or none (direct), turned here into a
// PAC script's words. Wine runs scripts too, but hands back only the first
// entry, and only when it is a PROXY one; its auto-detection fails (12180).
#include <windows.h>
#include <winhttp.h>

#include <cwctype>
#include <string>

#include "platform/platform.h"

namespace plat {

namespace {

// How long WinHTTP may take to fetch a script, per step (resolve, connect,
// send, receive); the caller bounds the whole question anyway.
const int kScriptFetchLimitMs = 4000;

struct UserSetting {
    bool autoDetect = false;
    std::wstring scriptUrl;
};

bool ReadUserSetting(UserSetting* setting) {
    WINHTTP_CURRENT_USER_IE_PROXY_CONFIG config;
    ZeroMemory(&config, sizeof config);
    if (!WinHttpGetIEProxyConfigForCurrentUser(&config)) return false;
    setting->autoDetect = config.fAutoDetect != FALSE;
    if (config.lpszAutoConfigUrl) setting->scriptUrl = config.lpszAutoConfigUrl;
    if (config.lpszAutoConfigUrl) GlobalFree(config.lpszAutoConfigUrl);
    if (config.lpszProxy) GlobalFree(config.lpszProxy);
    if (config.lpszProxyBypass) GlobalFree(config.lpszProxyBypass);
    return setting->autoDetect || !setting->scriptUrl.empty();
}

// "h:p", "http=h:p", "socks=h:p", separated by ';' or blanks.
std::wstring AnswerOfList(const std::wstring& list) {
    std::wstring answer;
    size_t pos = 0;
    while (pos < list.size()) {
        const size_t end = list.find_first_of(L"; \t", pos);
        std::wstring token = list.substr(pos, end == std::wstring::npos ? std::wstring::npos : end - pos);
        pos = end == std::wstring::npos ? list.size() : end + 1;
        if (token.empty()) continue;
        const wchar_t* keyword = L"PROXY";
        const size_t eq = token.find(L'=');
        if (eq != std::wstring::npos) {
            std::wstring key = token.substr(0, eq);
            for (wchar_t& c : key) c = wchar_t(std::towlower(c));
            if (key == L"socks") keyword = L"SOCKS";
            else if (key != L"http" && key != L"https") continue;
            token.erase(0, eq + 1);
        }
        if (token.empty()) continue;
        answer += (answer.empty() ? L"" : L"; ") + std::wstring(keyword) + L" " + token;
    }
    return answer;
}

}  // namespace

bool ProxyAutoConfigured() {
    UserSetting setting;
    return ReadUserSetting(&setting);
}

bool ProxyAutoConfigAnswer(const std::wstring& url, std::wstring* answer) {
    UserSetting setting;
    if (!answer || !ReadUserSetting(&setting)) return false;
    HINTERNET session = WinHttpOpen(L"vemnet", WINHTTP_ACCESS_TYPE_NO_PROXY, WINHTTP_NO_PROXY_NAME,
                                    WINHTTP_NO_PROXY_BYPASS, 0);
    if (!session) return false;
    WinHttpSetTimeouts(session, kScriptFetchLimitMs, kScriptFetchLimitMs, kScriptFetchLimitMs, kScriptFetchLimitMs);
    WINHTTP_AUTOPROXY_OPTIONS options;
    ZeroMemory(&options, sizeof options);
    if (!setting.scriptUrl.empty()) {
        options.dwFlags |= WINHTTP_AUTOPROXY_CONFIG_URL;
        options.lpszAutoConfigUrl = setting.scriptUrl.c_str();
    }
    if (setting.autoDetect) {
        options.dwFlags |= WINHTTP_AUTOPROXY_AUTO_DETECT;
        options.dwAutoDetectFlags = WINHTTP_AUTO_DETECT_TYPE_DHCP | WINHTTP_AUTO_DETECT_TYPE_DNS_A;
    }
    WINHTTP_PROXY_INFO info;
    ZeroMemory(&info, sizeof info);
    // Without credentials first; with the user's logon only when the script's
    // server asks for it, as Microsoft recommends.
    BOOL ok = WinHttpGetProxyForUrl(session, url.c_str(), &options, &info);
    if (!ok && GetLastError() == ERROR_WINHTTP_LOGIN_FAILURE) {
        options.fAutoLogonIfChallenged = TRUE;
        ok = WinHttpGetProxyForUrl(session, url.c_str(), &options, &info);
    }
    WinHttpCloseHandle(session);
    if (!ok) return false;
    std::wstring text;
    if (info.dwAccessType == WINHTTP_ACCESS_TYPE_NAMED_PROXY && info.lpszProxy) text = AnswerOfList(info.lpszProxy);
    else if (info.dwAccessType == WINHTTP_ACCESS_TYPE_NO_PROXY) text = L"DIRECT";
    if (info.lpszProxy) GlobalFree(info.lpszProxy);
    if (info.lpszProxyBypass) GlobalFree(info.lpszProxyBypass);
    *answer = text;
    return !text.empty();
}

void SetProxyAutoConfigModule(const std::string&) {}

}  // namespace plat
