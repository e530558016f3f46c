// The interface of the outside logger module, as both sides see it. The
// module exports GetCppModuleInterface and FreeCppModuleInterface.
#ifndef VEMNET_LOGGER_API_H
#define VEMNET_LOGGER_API_H

#include <cstdarg>

class ILogger {
public:
    virtual const wchar_t* GetName() = 0;
    virtual bool IsEnabled(int level) = 0;
    // One line; "%s" in format takes a wide string.
    virtual bool Log(int level, const wchar_t* format, va_list args) = 0;
protected:
    ~ILogger() {}
};

class ILoggerModule {
public:
    virtual int Version() = 0;
    virtual ILogger* GetLogger(const wchar_t* name, int flags) = 0;
    virtual void ReleaseLogger(ILogger* logger) = 0;
    virtual void Configure(const wchar_t* path) = 0;
protected:
    ~ILoggerModule() {}
};

extern "C" {
typedef void (*GetCppModuleInterfaceFn)(ILoggerModule** out);
typedef void (*FreeCppModuleInterfaceFn)(ILoggerModule** module);
}

#endif
