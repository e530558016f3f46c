// The library's three named loggers. Without the logger module every call
// here does nothing.
#ifndef VEMNET_LOGGER_H
#define VEMNET_LOGGER_H

enum class NamedLogger {
    HttpNetConn,   // "ZIRarEdod.HttpNetConn"
    TcpNetConn,    // "VemNetwork.TcpNetConn"
    SelSelector,   // "ZIRaredod.SelSelector"
};

enum : int {
    LOG_LEVEL_INFO = 1,
    LOG_LEVEL_ERROR = 4,
};

// Writes one line; format and %s arguments are wide strings.
void LogLine(NamedLogger logger, int level, const wchar_t* format, ...);

// Takes the three named loggers (binding the module on first use).
void AcquireNamedLoggers();
// Gives them back; no line is written through them afterwards.
void ReleaseNamedLoggers();
// True when the module was found and gave an interface.
bool LoggerModuleBound();

#endif
