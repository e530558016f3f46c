// A small logger module in the outside logger library's place: it implements
// ILoggerModule and ILogger and writes one timestamped line per Log call.
//
// Configuration, "log.property" beside the host executable, one key=value per
// line ('#' starts a comment):
//   file=<path>    where lines go (relative paths are taken from the
//                  property file's folder; "-" is standard error)
//   level=<n>      lowest level written; default 1
// Without the file, or without a "file" key, nothing is written.
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <ctime>
#include <cwchar>
#include <fstream>
#include <iostream>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "logging/logger_api.h"

#if defined(_WIN32)
#define LOGGER_EXPORT extern "C" __declspec(dllexport)
#else
#define LOGGER_EXPORT extern "C" __attribute__((visibility("default")))
#endif

namespace {

std::string ToUtf8(const std::wstring& w) {
    std::string out;
    for (size_t i = 0; i < w.size(); ++i) {
        uint32_t c = uint32_t(w[i]);
        if (sizeof(wchar_t) == 2 && c >= 0xD800 && c <= 0xDBFF && i + 1 < w.size()) {
            uint32_t lo = uint32_t(w[i + 1]);
            if (lo >= 0xDC00 && lo <= 0xDFFF) {
                c = 0x10000 + ((c - 0xD800) << 10) + (lo - 0xDC00);
                ++i;
            }
        }
        if (c < 0x80) {
            out += char(c);
        } else if (c < 0x800) {
            out += char(0xC0 | (c >> 6));
            out += char(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            out += char(0xE0 | (c >> 12));
            out += char(0x80 | ((c >> 6) & 0x3F));
            out += char(0x80 | (c & 0x3F));
        } else {
            out += char(0xF0 | (c >> 18));
            out += char(0x80 | ((c >> 12) & 0x3F));
            out += char(0x80 | ((c >> 6) & 0x3F));
            out += char(0x80 | (c & 0x3F));
        }
    }
    return out;
}

// Reads the file's bytes as UTF-8 (ASCII in practice) into a wide string.
std::wstring Widen(const std::string& s) {
    std::wstring w;
    for (unsigned char c : s) w += wchar_t(c);
    return w;
}

std::wstring Trim(const std::wstring& s) {
    size_t b = s.find_first_not_of(L" \t\r\n");
    if (b == std::wstring::npos) return std::wstring();
    size_t e = s.find_last_not_of(L" \t\r\n");
    return s.substr(b, e - b + 1);
}

// In the library's formats "%s" takes a wide string; C99's wide printf wants
// "%ls" for that, Microsoft's takes either. Say it the portable way.
std::wstring PortableFormat(const wchar_t* format) {
    std::wstring out;
    for (const wchar_t* p = format; *p; ++p) {
        out += *p;
        if (*p == L'%') {
            if (p[1] == L'%') {
                out += *++p;
            } else if (p[1] == L's') {
                out += L'l';
            }
        }
    }
    return out;
}

class Module;

class Logger : public ILogger {
public:
    Logger(Module* module, const std::wstring& name) : module_(module), name_(name) {}
    const wchar_t* GetName() override { return name_.c_str(); }
    bool IsEnabled(int level) override;
    bool Log(int level, const wchar_t* format, va_list args) override;

private:
    Module* module_;
    std::wstring name_;
};

class Module : public ILoggerModule {
public:
    int Version() override { return 1; }

    ILogger* GetLogger(const wchar_t* name, int) override {
        std::lock_guard<std::mutex> g(lock_);
        std::unique_ptr<Logger>& slot = loggers_[name ? name : L""];
        if (!slot) slot.reset(new Logger(this, name ? name : L""));
        return slot.get();
    }

    void ReleaseLogger(ILogger*) override {}   // loggers live as long as the module

    void Configure(const wchar_t* path) override {
        std::lock_guard<std::mutex> g(lock_);
        std::string narrow = ToUtf8(path ? path : L"");
        std::ifstream in(narrow.c_str());
        if (!in) return;
        std::wstring dir = path;
        size_t cut = dir.find_last_of(L"/\\");
        dir = cut == std::wstring::npos ? std::wstring() : dir.substr(0, cut + 1);
        std::wstring file;
        std::string line;
        while (std::getline(in, line)) {
            std::wstring w = Trim(Widen(line));
            if (w.empty() || w[0] == L'#') continue;
            size_t eq = w.find(L'=');
            if (eq == std::wstring::npos) continue;
            std::wstring key = Trim(w.substr(0, eq)), value = Trim(w.substr(eq + 1));
            if (key == L"file") file = value;
            if (key == L"level") minLevel_ = int(std::wcstol(value.c_str(), nullptr, 10));
        }
        if (file.empty()) return;
        if (file == L"-") {
            // Standard error, for tools that show the lines as they come.
            out_.reset(new std::ostream(std::cerr.rdbuf()));
            return;
        }
        bool absolute = file[0] == L'/' || file[0] == L'\\' || (file.size() > 1 && file[1] == L':');
        std::string target = ToUtf8(absolute ? file : dir + file);
        out_.reset(new std::ofstream(target.c_str(), std::ios::app));
        if (!*out_) out_.reset();
    }

    bool Enabled(int level) {
        std::lock_guard<std::mutex> g(lock_);
        return out_ && level >= minLevel_;
    }

    void Write(int level, const std::wstring& name, const std::wstring& text) {
        using namespace std::chrono;
        auto now = system_clock::now();
        std::time_t t = system_clock::to_time_t(now);
        int ms = int(duration_cast<milliseconds>(now.time_since_epoch()).count() % 1000);
        std::lock_guard<std::mutex> g(lock_);
        if (!out_ || level < minLevel_) return;
        char stamp[64];
        std::tm* tm = std::gmtime(&t);
        std::snprintf(stamp, sizeof stamp, "%04d-%02d-%02d %02d:%02d:%02d.%03dZ", tm->tm_year + 1900, tm->tm_mon + 1,
                      tm->tm_mday, tm->tm_hour, tm->tm_min, tm->tm_sec, ms);
        *out_ << stamp << " [" << level << "] " << ToUtf8(name) << ": " << ToUtf8(text) << '\n';
        out_->flush();
    }

private:
    std::mutex lock_;
    std::map<std::wstring, std::unique_ptr<Logger>> loggers_;
    std::unique_ptr<std::ostream> out_;
    int minLevel_ = 1;
};

bool Logger::IsEnabled(int level) { return module_->Enabled(level); }

bool Logger::Log(int level, const wchar_t* format, va_list args) {
    if (!format || !module_->Enabled(level)) return false;
    std::wstring fmt = PortableFormat(format);
    wchar_t buf[2048];
    int n = std::vswprintf(buf, sizeof buf / sizeof buf[0], fmt.c_str(), args);
    // An over-long line is cut rather than lost.
    if (n < 0) buf[sizeof buf / sizeof buf[0] - 1] = 0;
    module_->Write(level, name_, buf);
    return true;
}

}  // namespace

LOGGER_EXPORT void GetCppModuleInterface(ILoggerModule** out) {
    static Module* module = new Module;
    if (out) *out = module;
}

LOGGER_EXPORT void FreeCppModuleInterface(ILoggerModule** module) {
    if (module) *module = nullptr;
}
