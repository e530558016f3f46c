// The Internet Options keep the setting twice: the binary record WinHTTP and
// WinInet read ("DefaultConnectionSettings": version, counter, flags, then
// the proxy list, the bypass list and the script's URL, each as a length
// and its bytes) and the script's URL as "AutoConfigURL".
#include <windows.h>

#include <cstdint>

#include "tests/support/proxy_script.h"

namespace testing_support {

namespace {

const wchar_t kSettings[] = L"Software\\Microsoft\\Windows\\CurrentVersion\\Internet Settings";
const wchar_t kConnections[] = L"Software\\Microsoft\\Windows\\CurrentVersion\\Internet Settings\\Connections";
const uint32_t kRecordVersion = 0x46;
const uint32_t kFlagDirect = 0x1;
const uint32_t kFlagScript = 0x4;

void PutWord(std::string* out, uint32_t v) {
    for (int i = 0; i < 4; ++i) out->push_back(char((v >> (8 * i)) & 0xff));
}

bool ReadValue(const wchar_t* key, const wchar_t* name, std::string* value) {
    HKEY k;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, key, 0, KEY_READ, &k) != ERROR_SUCCESS) return false;
    DWORD size = 0;
    bool ok = RegQueryValueExW(k, name, nullptr, nullptr, nullptr, &size) == ERROR_SUCCESS;
    if (ok) {
        value->assign(size, '\0');
        ok = RegQueryValueExW(k, name, nullptr, nullptr, reinterpret_cast<BYTE*>(&(*value)[0]), &size) ==
             ERROR_SUCCESS;
    }
    RegCloseKey(k);
    return ok;
}

void WriteValue(const wchar_t* key, const wchar_t* name, DWORD type, const std::string& value) {
    HKEY k;
    if (RegCreateKeyExW(HKEY_CURRENT_USER, key, 0, nullptr, 0, KEY_WRITE, nullptr, &k, nullptr) != ERROR_SUCCESS)
        return;
    RegSetValueExW(k, name, 0, type, reinterpret_cast<const BYTE*>(value.data()), DWORD(value.size()));
    RegCloseKey(k);
}

void DeleteValue(const wchar_t* key, const wchar_t* name) {
    HKEY k;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, key, 0, KEY_WRITE, &k) != ERROR_SUCCESS) return;
    RegDeleteValueW(k, name);
    RegCloseKey(k);
}

}  // namespace

ProxyScriptSetting::ProxyScriptSetting(const std::string& url, const std::string&) {
    had_ = ReadValue(kConnections, L"DefaultConnectionSettings", &saved_);
    hadOther_ = ReadValue(kSettings, L"AutoConfigURL", &savedOther_);
    std::string record;
    PutWord(&record, kRecordVersion);
    PutWord(&record, 1);
    PutWord(&record, kFlagDirect | kFlagScript);
    PutWord(&record, 0);   // no proxy list
    PutWord(&record, 0);   // no bypass list
    PutWord(&record, uint32_t(url.size()));
    record += url;
    record.append(32, '\0');
    WriteValue(kConnections, L"DefaultConnectionSettings", REG_BINARY, record);
    std::wstring wide(url.begin(), url.end());
    WriteValue(kSettings, L"AutoConfigURL", REG_SZ,
               std::string(reinterpret_cast<const char*>(wide.c_str()), (wide.size() + 1) * sizeof(wchar_t)));
}

ProxyScriptSetting::~ProxyScriptSetting() {
    if (had_) WriteValue(kConnections, L"DefaultConnectionSettings", REG_BINARY, saved_);
    else DeleteValue(kConnections, L"DefaultConnectionSettings");
    if (hadOther_) WriteValue(kSettings, L"AutoConfigURL", REG_SZ, savedOther_);
    else DeleteValue(kSettings, L"AutoConfigURL");
}

}  // namespace testing_support
