// Proxy auto-configuration through libproxy, loaded at run time when the
// system has it (Debian's libproxy1v5, with libproxy1-plugin-webkit to run
// PAC scripts). It is asked only when http_proxy names a script
// ("pac+http://host/file.pac") or auto-detection ("wpad:"): every other
// setting is read by SystemProxySetting, which, unlike libproxy 0.4, also
// honours all_proxy. libproxy answers in URLs ("http://h:p", "socks5://h:p",
// "direct://"), turned here into a PAC script's words.
#include <dlfcn.h>

#include <cstdlib>
#include <map>
#include <mutex>
#include <string>

#include "platform/platform.h"

namespace plat {

namespace {

const char* const kDefaultModule = "libproxy.so.1";

struct LibProxy {
    using New = void* (*)();
    using GetProxies = char** (*)(void*, const char*);
    using FreeProxies = void (*)(char**);
    New create = nullptr;
    GetProxies get = nullptr;
    FreeProxies freeList = nullptr;   // absent before libproxy 0.4.16
    void* factory = nullptr;
};

std::mutex g_lock;
std::string g_module = kDefaultModule;
// Each module tried, with its factory (null when it did not load). Kept
// until the process ends, never destroyed: a thread may still be asking a
// factory while the process exits.
std::map<std::string, LibProxy*>* const g_loaded = new std::map<std::string, LibProxy*>;

LibProxy* Load(const std::string& name) {
    void* module = ::dlopen(name.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!module) return nullptr;
    LibProxy lib;
    lib.create = reinterpret_cast<LibProxy::New>(::dlsym(module, "px_proxy_factory_new"));
    lib.get = reinterpret_cast<LibProxy::GetProxies>(::dlsym(module, "px_proxy_factory_get_proxies"));
    lib.freeList = reinterpret_cast<LibProxy::FreeProxies>(::dlsym(module, "px_proxy_factory_free_proxies"));
    if (!lib.create || !lib.get) return nullptr;
    lib.factory = lib.create();
    if (!lib.factory) return nullptr;
    return new LibProxy(lib);
}

// The library with its factory; null without libproxy. Under g_lock.
LibProxy* Loaded() {
    auto it = g_loaded->find(g_module);
    if (it == g_loaded->end()) it = g_loaded->emplace(g_module, Load(g_module)).first;
    return it->second;
}

bool NamesAutoConfig(const char* name) {
    const char* v = std::getenv(name);
    if (!v) return false;
    const std::string value(v);
    return value.compare(0, 4, "pac+") == 0 || value.compare(0, 4, "wpad") == 0;
}

// "scheme://[user@]host:port[/]" -> "PROXY host:port" and so on; empty for
// a kind the library does not speak.
std::string AnswerEntry(const std::string& url) {
    const size_t sep = url.find("://");
    if (sep == std::string::npos) return std::string();
    const std::string scheme = url.substr(0, sep);
    if (scheme == "direct") return "DIRECT";
    const char* keyword = nullptr;
    if (scheme == "http") keyword = "PROXY";
    else if (scheme == "socks5") keyword = "SOCKS5";
    else if (scheme == "socks" || scheme == "socks4" || scheme == "socks4a") keyword = "SOCKS";
    if (!keyword) return std::string();
    std::string where = url.substr(sep + 3);
    const size_t at = where.rfind('@');
    if (at != std::string::npos) where.erase(0, at + 1);
    const size_t slash = where.find('/');
    if (slash != std::string::npos) where.erase(slash);
    return where.empty() ? std::string() : std::string(keyword) + " " + where;
}

}  // namespace

bool ProxyAutoConfigured() {
    // The one variable libproxy reads for the http:// URLs it is asked about.
    if (!NamesAutoConfig("http_proxy")) return false;
    std::lock_guard<std::mutex> g(g_lock);
    return Loaded() != nullptr;
}

bool ProxyAutoConfigAnswer(const std::wstring& url, std::wstring* answer) {
    LibProxy* lib;
    {
        std::lock_guard<std::mutex> g(g_lock);
        lib = Loaded();
    }
    // The factory serialises its callers itself; a script that never comes
    // back holds up only the threads that ask it.
    if (!lib || !answer) return false;
    char** proxies = lib->get(lib->factory, ToAnsi(url).c_str());
    if (!proxies) return false;
    std::string text;
    for (char** p = proxies; *p; ++p) {
        const std::string entry = AnswerEntry(*p);
        if (!entry.empty()) text += (text.empty() ? "" : "; ") + entry;
    }
    if (lib->freeList) {
        lib->freeList(proxies);
    } else {
        for (char** p = proxies; *p; ++p) std::free(*p);
        std::free(proxies);
    }
    *answer = FromAnsi(text);
    return !text.empty();
}

void SetProxyAutoConfigModule(const std::string& name) {
    std::lock_guard<std::mutex> g(g_lock);
    g_module = name.empty() ? kDefaultModule : name;
}

}  // namespace plat
