#include <dlfcn.h>
#include <unistd.h>

#include <climits>

#include "platform/platform.h"

namespace plat {

void* LoadModule(const std::wstring& path) {
    // dlopen("") would hand back the main program, where Windows fails.
    if (path.empty()) return nullptr;
    return ::dlopen(ToAnsi(path).c_str(), RTLD_NOW | RTLD_LOCAL);
}

void* ModuleSymbol(void* module, const char* name) { return module ? ::dlsym(module, name) : nullptr; }

void FreeModule(void* module) {
    if (module) ::dlclose(module);
}

std::wstring ExecutablePath() {
    char buf[PATH_MAX];
    ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf - 1);
    if (n <= 0) return std::wstring();
    return FromAnsi(buf, size_t(n));
}

wchar_t PathSeparator() { return L'/'; }

const wchar_t* LoggerModuleName() { return L"liblogger.so"; }

}  // namespace plat
