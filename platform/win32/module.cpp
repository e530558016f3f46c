// Modules loaded at run time, and the paths that name them.
#include <windows.h>

#include <cstring>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace plat {

void PinLibrary() {
    static const bool pinned = [] {
        // A pinned module stays loaded until the process ends; FreeLibrary
        // by the host no longer unmaps it. Taking the handle is no loader
        // work, so the loader lock is never needed here.
        HMODULE self = nullptr;
        return GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_PIN,
                                  reinterpret_cast<LPCWSTR>(&PinLibrary), &self) != 0;
    }();
    (void)pinned;
}

bool ProcessEnding() {
    // ntdll's own answer: set once ExitProcess has ended the other threads.
    using ShutdownQuery = BOOLEAN(WINAPI*)();
    static const ShutdownQuery query = [] {
        HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
        return ntdll ? reinterpret_cast<ShutdownQuery>(
                           reinterpret_cast<void*>(GetProcAddress(ntdll, "RtlDllShutdownInProgress")))
                     : nullptr;
    }();
    return query != nullptr && query() != 0;
}

void* LoadModule(const std::wstring& path) {
    if (path.empty()) return nullptr;
    return reinterpret_cast<void*>(LoadLibraryW(path.c_str()));
}

void* ModuleSymbol(void* module, const char* name) {
    if (module == nullptr || name == nullptr) return nullptr;
    FARPROC proc = GetProcAddress(static_cast<HMODULE>(module), name);
    // A function pointer travels as void*; copying the bits avoids the cast
    // between unrelated function and object pointer types.
    void* symbol = nullptr;
    static_assert(sizeof(symbol) == sizeof(proc), "pointer sizes differ");
    std::memcpy(&symbol, &proc, sizeof(symbol));
    return symbol;
}

void FreeModule(void* module) {
    if (module) FreeLibrary(static_cast<HMODULE>(module));
}

std::wstring ExecutablePath() {
    // Paths may be longer than MAX_PATH; grow until the name fits.
    std::vector<wchar_t> buffer(MAX_PATH);
    for (int i = 0; i < 6; ++i) {
        DWORD n = GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
        if (n == 0) return std::wstring();
        if (n < buffer.size()) return std::wstring(buffer.data(), n);
        buffer.resize(buffer.size() * 4);
    }
    return std::wstring();
}

wchar_t PathSeparator() { return L'\\'; }

const wchar_t* LoggerModuleName() { return L"logger.dll"; }

}  // namespace plat
