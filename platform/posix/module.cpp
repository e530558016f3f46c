#include <dlfcn.h>
#include <unistd.h>

#include <climits>

#include "platform/platform.h"

namespace plat {

void PinLibrary() {
    static const bool pinned = [] {
        // RTLD_NODELETE on the object already loaded: a later dlclose by the
        // host leaves it mapped. Linked into a program, the lookup of the
        // program's own name fails harmlessly: a program is never unloaded.
        Dl_info info;
        if (!::dladdr(reinterpret_cast<void*>(&PinLibrary), &info) || !info.dli_fname) return false;
        return ::dlopen(info.dli_fname, RTLD_NOW | RTLD_NOLOAD | RTLD_NODELETE) != nullptr;
    }();
    (void)pinned;
}

// exit() leaves the other threads running: teardown may stop them as usual.
bool ProcessEnding() { return false; }

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
