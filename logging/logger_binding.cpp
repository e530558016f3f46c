// The binding to the outside logger module. The module is optional: without
// it every handle stays null and LogLine does nothing.
//
// Handles are read and given back under one lock, so a thread still running
// (the default frame's, at unload) never writes through a released logger.
#include <cstdarg>
#include <mutex>

#include "logging/logger.h"
#include "logging/logger_api.h"
#include "platform/platform.h"

namespace {

const wchar_t* const kNames[3] = {L"ZIRarEdod.HttpNetConn", L"VemNetwork.TcpNetConn", L"ZIRaredod.SelSelector"};

struct Binding {
    std::mutex lock;
    bool bound = false;        // the module was looked for
    void* module = nullptr;
    ILoggerModule* iface = nullptr;
    FreeCppModuleInterfaceFn freeFn = nullptr;
    bool acquired = false;
    bool released = false;
    ILogger* loggers[3] = {nullptr, nullptr, nullptr};
};

// Never destroyed: threads may log while static destructors run.
Binding& State() {
    static Binding* b = new Binding;
    return *b;
}

std::wstring ModulePathBesideExecutable(const wchar_t* file) {
    std::wstring exe = plat::ExecutablePath();
    size_t cut = exe.rfind(plat::PathSeparator());
    if (cut == std::wstring::npos) return std::wstring();
    return exe.substr(0, cut + 1) + file;
}

void BindModule(Binding& b) {
    if (b.bound) return;
    b.bound = true;
    // Windows looks beside the executable first by itself; elsewhere ask for
    // that place explicitly, then the loader's search path.
    std::wstring beside = ModulePathBesideExecutable(plat::LoggerModuleName());
    void* module = beside.empty() ? nullptr : plat::LoadModule(beside);
    if (!module) module = plat::LoadModule(plat::LoggerModuleName());
    if (!module) return;
    auto getFn = reinterpret_cast<GetCppModuleInterfaceFn>(plat::ModuleSymbol(module, "GetCppModuleInterface"));
    auto freeFn = reinterpret_cast<FreeCppModuleInterfaceFn>(plat::ModuleSymbol(module, "FreeCppModuleInterface"));
    ILoggerModule* iface = nullptr;
    if (getFn) getFn(&iface);
    std::wstring exe = plat::ExecutablePath();
    if (!iface || exe.empty() || exe.size() >= 260) {
        if (iface && freeFn) freeFn(&iface);
        plat::FreeModule(module);
        return;
    }
    std::wstring config = exe.substr(0, exe.rfind(plat::PathSeparator()) + 1) + L"log.property";
    if (config.size() > 260) config.resize(260);
    iface->Configure(config.c_str());
    b.module = module;   // stays loaded until the process ends
    b.iface = iface;
    b.freeFn = freeFn;
}

void AcquireLocked(Binding& b) {
    if (b.acquired || b.released) return;
    b.acquired = true;
    BindModule(b);
    if (!b.iface) return;
    for (int i = 0; i < 3; ++i) b.loggers[i] = b.iface->GetLogger(kNames[i], 1);
}

}  // namespace

void AcquireNamedLoggers() {
    Binding& b = State();
    std::lock_guard<std::mutex> g(b.lock);
    AcquireLocked(b);
}

void ReleaseNamedLoggers() {
    Binding& b = State();
    std::lock_guard<std::mutex> g(b.lock);
    if (b.released) return;
    b.released = true;
    if (!b.iface) return;
    for (ILogger*& l : b.loggers) {
        b.iface->ReleaseLogger(l);
        l = nullptr;
    }
}

bool LoggerModuleBound() {
    Binding& b = State();
    std::lock_guard<std::mutex> g(b.lock);
    AcquireLocked(b);
    return b.iface != nullptr;
}

void LogLine(NamedLogger which, int level, const wchar_t* format, ...) {
    Binding& b = State();
    std::lock_guard<std::mutex> g(b.lock);
    AcquireLocked(b);
    ILogger* logger = b.loggers[int(which)];
    if (!logger) return;
    va_list args;
    va_start(args, format);
    logger->Log(level, format, args);
    va_end(args);
}
