// Socket error codes and their system texts.
//
// Codes are native here: Windows Sockets reports its own codes, so nothing
// is translated. Texts come from the system message table in English (US);
// codes the table lacks are looked up in the network message module, which
// is loaded as a data file only.
#include <winsock2.h>
#include <windows.h>

#include <string>

#include "platform/platform.h"

namespace plat {

namespace {

const DWORD kLangEnglishUS = 0x0409;

// Asks FormatMessageW for code; the system allocates the buffer, released
// with LocalFree once the text is copied out.
bool Lookup(DWORD flags, HMODULE module, int code, std::wstring* out) {
    wchar_t* buffer = nullptr;
    // Inserts are ignored: with no arguments to give, a message holding %1
    // would otherwise make the call read arguments that do not exist.
    DWORD n = FormatMessageW(flags | FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_IGNORE_INSERTS,
                             module, static_cast<DWORD>(code), kLangEnglishUS,
                             reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
    if (n == 0 || buffer == nullptr) {
        if (buffer) LocalFree(buffer);
        return false;
    }
    out->assign(buffer, n);
    LocalFree(buffer);
    return true;
}

}  // namespace

int LastSocketError() { return WSAGetLastError(); }

void SetLastSocketError(int code) { WSASetLastError(code); }

bool SocketErrorText(int code, std::string* text) {
    // FormatMessageW overwrites the thread's last error, which for sockets is
    // the same slot WSAGetLastError reads; callers compose texts inside catch
    // blocks that still report that code, so it is kept.
    int saved = WSAGetLastError();
    std::wstring wide;
    bool found = Lookup(FORMAT_MESSAGE_FROM_SYSTEM, nullptr, code, &wide);
    if (!found) {
        HMODULE netmsg = LoadLibraryExW(L"netmsg.dll", nullptr, DONT_RESOLVE_DLL_REFERENCES);
        if (netmsg) {
            found = Lookup(FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_FROM_SYSTEM, netmsg, code, &wide);
            FreeLibrary(netmsg);
        }
    }
    if (found && text) *text = ToAnsi(wide);
    WSASetLastError(saved);
    return found;
}

}  // namespace plat
