// The thin layer between the library and the operating system. Everything
// above it is shared code; each platform implements this header once
// (posix/ and win32/, the same file names in each).
//
// Socket errors are Windows Sockets codes on every platform: the POSIX layer
// translates errno once, here, so that codes, OnError values and error texts
// agree everywhere.
#ifndef VEMNET_PLATFORM_H
#define VEMNET_PLATFORM_H

#include <cstdint>
#include <string>
#include <vector>

#include "vemnet/export.h"

// <windows.h> defines FreeModule as a macro for FreeLibrary; include
// <windows.h> before this header so that the name below stays ours.
#if defined(_WIN32) && defined(FreeModule)
#undef FreeModule
#endif

namespace plat {

using socket_t = vemnet_socket_t;
const socket_t kInvalidSocket = VEMNET_INVALID_SOCKET;

// Windows Sockets error codes used by the shared code.
enum : int {
    kErrInterrupted = 10004,     // WSAEINTR
    kErrBadHandle = 10009,       // WSAEBADF
    kErrAccess = 10013,          // WSAEACCES
    kErrFault = 10014,           // WSAEFAULT
    kErrInvalid = 10022,         // WSAEINVAL
    kErrTooManyFiles = 10024,    // WSAEMFILE
    kErrWouldBlock = 10035,      // WSAEWOULDBLOCK
    kErrInProgress = 10036,      // WSAEINPROGRESS
    kErrAlready = 10037,         // WSAEALREADY
    kErrNotSocket = 10038,       // WSAENOTSOCK
    kErrMsgSize = 10040,         // WSAEMSGSIZE
    kErrAddrInUse = 10048,       // WSAEADDRINUSE
    kErrAddrNotAvail = 10049,    // WSAEADDRNOTAVAIL
    kErrNetDown = 10050,         // WSAENETDOWN
    kErrNetUnreach = 10051,      // WSAENETUNREACH
    kErrConnAborted = 10053,     // WSAECONNABORTED
    kErrConnReset = 10054,       // WSAECONNRESET
    kErrNoBufs = 10055,          // WSAENOBUFS
    kErrIsConn = 10056,          // WSAEISCONN
    kErrNotConn = 10057,         // WSAENOTCONN
    kErrShutdown = 10058,        // WSAESHUTDOWN
    kErrTimedOut = 10060,        // WSAETIMEDOUT
    kErrConnRefused = 10061,     // WSAECONNREFUSED
    kErrHostUnreach = 10065,     // WSAEHOSTUNREACH
    kErrHostNotFound = 11001,    // WSAHOST_NOT_FOUND
};

// ---- errors -------------------------------------------------------------
// The calling thread's last socket error (WSAGetLastError).
int LastSocketError();
void SetLastSocketError(int code);
// The system's description of a socket error code; false when it has none.
bool SocketErrorText(int code, std::string* text);

// ---- sockets ------------------------------------------------------------
// Every call returns as the Windows Sockets call does (-1 / kInvalidSocket on
// failure) and leaves the failure's code in LastSocketError().
bool StartSockets();                          // WSAStartup(1.1); false on failure
socket_t OpenSocket(bool stream);             // AF_INET, SOCK_STREAM or SOCK_DGRAM
int CloseSocket(socket_t s);
int SetNonBlocking(socket_t s);               // ioctlsocket(FIONBIO, 1)
int Connect(socket_t s, uint32_t ip, int port);  // ip in network byte order
int Bind(socket_t s, uint32_t ip, int port);
int Listen(socket_t s, int backlog);
socket_t Accept(socket_t s, uint32_t* ip, int* port);
int Recv(socket_t s, char* buf, int len);     // never raises SIGPIPE
int Send(socket_t s, const char* buf, int len);
int SendTo(socket_t s, const char* buf, int len, uint32_t ip, int port);
int GetSockName(socket_t s, uint32_t* ip, int* port);
int GetPendingError(socket_t s, int* code);   // SO_ERROR, translated
// Integer socket options by portable name.
enum class Option { ReuseAddr, NoDelay };
int SetOption(socket_t s, Option opt, int value);
// inet_addr: INADDR_NONE (all bits set) when text is not a dotted address.
uint32_t ParseIPv4(const char* text);
// First IPv4 address of a host name; INADDR_NONE when it has none.
uint32_t LookupHost(const char* name);

// An address of either family, as the family-neutral calls take it.
struct NetAddress {
    bool v6 = false;
    unsigned char bytes[16] = {};   // IPv4: the first 4, network order
    uint32_t scope = 0;             // IPv6 scope (interface) id
};
// An IPv6 literal, with or without the brackets of a URL ("::1", "[::1]",
// "fe80::1%2"); false for anything else.
bool ParseIPv6(const char* text, NetAddress* address);
// Every address of a host name, both families, in the system's order of
// preference (getaddrinfo's, which follows its configured policy), without
// repeats; false, with kErrHostNotFound, when it has none.
bool LookupAddresses(const char* name, std::vector<NetAddress>* addresses);
// "127.0.0.1", "::1".
std::string AddressText(const NetAddress& address);
// A stream socket of the address's family.
socket_t OpenStreamSocket(const NetAddress& family);
int ConnectAddress(socket_t s, const NetAddress& address, int port);
int GetSockNameAddress(socket_t s, NetAddress* address, int* port);

// ---- time and threads ---------------------------------------------------
uint32_t TickCount();      // milliseconds, wraps like GetTickCount
uint64_t TickCount64();    // milliseconds, monotonic, does not wrap
uint64_t MicroTicks();     // microseconds, monotonic
void SleepMs(int ms);
// A recursive lock (a critical section).
class Lock {
public:
    Lock();
    ~Lock();
    Lock(const Lock&) = delete;
    Lock& operator=(const Lock&) = delete;
    void lock();
    void unlock();
    bool try_lock();
private:
    alignas(16) unsigned char storage_[64];
};
// Starts a detached thread running fn(arg); false when it cannot be started.
// The first call pins the library (PinLibrary): a thread that runs its code
// must never see that code unmapped.
bool StartThread(void (*fn)(void*), void* arg);

// ---- text ---------------------------------------------------------------
// Between wide strings and the thread's ANSI code page (CP_ACP on Windows,
// UTF-8 elsewhere).
std::string ToAnsi(const std::wstring& text);
std::wstring FromAnsi(const std::string& text);
std::wstring FromAnsi(const char* text, size_t len);

// ---- modules and paths --------------------------------------------------
// Keeps the module that holds this library loaded until the process ends,
// whatever the host unloads. Any thread, any number of times.
void PinLibrary();
// True while the process itself is ending (ExitProcess on Windows): the
// library's other threads are gone, perhaps holding locks, and the modules
// it would call may be unloaded already, so teardown must touch nothing.
bool ProcessEnding();
void* LoadModule(const std::wstring& path);   // null when it cannot be loaded
void* ModuleSymbol(void* module, const char* name);
void FreeModule(void* module);
// The executable's full path; empty when unknown.
std::wstring ExecutablePath();
// The character that ends a directory in a path ('\\' on Windows, '/' elsewhere).
wchar_t PathSeparator();
// The file name the logger module has on this platform.
const wchar_t* LoggerModuleName();

// ---- system proxy setting -------------------------------------------------
// One proxy the platform named itself, with its kind (PROXY_HTTP,
// PROXY_SOCKS4, PROXY_SOCKS5 of vemnet/netconn.h).
struct ProxyEntry {
    int type;
    std::wstring host;
    int port;
    std::wstring user;       // from the URL's "user:password@", decoded
    std::wstring password;
};
// The system's proxy setting: the list text in the form "http=host:port
// socks=host:port" or "host:port" (WinInet), or the entries themselves (the
// environment, which can name SOCKS5, which the list text cannot); and the
// hosts reached without a proxy: names, ".suffix" or "*.suffix" patterns,
// addresses, "*" for all, "<local>" for names without a dot, separated by
// ";", "," or blanks.
struct ProxySetting {
    std::wstring list;
    std::vector<ProxyEntry> entries;
    std::wstring bypass;
};
// False when the system names no proxy.
bool SystemProxySetting(ProxySetting* setting);

// ---- proxy auto-configuration -------------------------------------------
// Whether the system chooses proxies by a script (a PAC file's URL) or by
// auto-detection (WPAD) rather than by a fixed list, and can be asked for
// its choice. Quick: reads the setting only.
bool ProxyAutoConfigured();
// The auto-configuration's choice for url, in a PAC script's words
// ("PROXY a:3128; SOCKS5 b:1080; DIRECT"); false when it gives none. May
// take seconds, or never come back (fetching and running a script): call it
// on a thread of its own, never on a frame's.
bool ProxyAutoConfigAnswer(const std::wstring& url, std::wstring* answer);
// Tests: the file the auto-configuration is loaded from where it is loaded
// at run time (libproxy); a name that does not load stands for a system
// without it; empty goes back to the usual one. Where the system's own API
// answers, nothing changes.
void SetProxyAutoConfigModule(const std::string& name);

}  // namespace plat

#endif
