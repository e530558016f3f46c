// With -v, the library's own diagnostic lines (a failed proxy handshake names
// its stage and what the proxy said) go to standard error too. The library
// writes them through the logger module it loaded; that module is told to
// write to standard error ("file=-"). Without the module the library logs
// nothing, and neither does this.
#ifndef VEMCAT_LIBRARY_LOG_H
#define VEMCAT_LIBRARY_LOG_H

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include "logging/logger_api.h"

#if defined(_WIN32)
#  include <windows.h>
#else
#  include <dlfcn.h>
#endif

namespace vemcat {

// The logger module's own interface; only Configure is used.
using LoggerModule = ILoggerModule;
using GetModuleFn = GetCppModuleInterfaceFn;

// The module the library loaded, or null when it found none.
inline GetModuleFn LoadedLoggerModule() {
#if defined(_WIN32)
    HMODULE m = GetModuleHandleW(L"logger.dll");
    return m ? reinterpret_cast<GetModuleFn>(GetProcAddress(m, "GetCppModuleInterface")) : nullptr;
#else
    void* m = dlopen("liblogger.so", RTLD_NOW | RTLD_NOLOAD);
    GetModuleFn fn = m ? reinterpret_cast<GetModuleFn>(dlsym(m, "GetCppModuleInterface")) : nullptr;
    if (m) dlclose(m);   // only the reference taken here
    return fn;
#endif
}

// True when the module now writes to standard error.
inline bool LibraryLogToStderr() {
    GetModuleFn get = LoadedLoggerModule();
    LoggerModule* module = nullptr;
    if (get) get(&module);
    if (!module) return false;
    // The module reads its settings from a file: a private one, gone again
    // once read.
    std::error_code ec;
    const std::filesystem::path dir = std::filesystem::temp_directory_path(ec);
    if (ec) return false;
    const auto stamp = std::chrono::steady_clock::now().time_since_epoch().count();
    const std::filesystem::path file = dir / ("vemnet-cat-" + std::to_string(stamp) + ".property");
    {
        std::ofstream out(file);
        out << "file=-\nlevel=1\n";
        if (!out) return false;
    }
    module->Configure(file.wstring().c_str());
    std::filesystem::remove(file, ec);
    return true;
}

}  // namespace vemcat

#endif
