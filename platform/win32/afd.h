// The few native (ntdll) declarations the AFD poller needs: the ancillary
// function driver's poll request, which reports readiness of many sockets
// through one completion port. The SDK headers of mingw do not all carry
// them, so they are written out here; the functions are taken from ntdll at
// run time.
#ifndef VEMNET_WIN32_AFD_H
#define VEMNET_WIN32_AFD_H

#include <winsock2.h>
#include <windows.h>

namespace plat {
namespace afd {

typedef LONG NtStatus;

const NtStatus kStatusSuccess = 0;
const NtStatus kStatusPending = 0x00000103;
const NtStatus kStatusCancelled = static_cast<NtStatus>(0xC0000120);

inline bool Failed(NtStatus s) { return s < 0; }

struct IoStatusBlock {
    union {
        NtStatus Status;
        void* Pointer;
    };
    ULONG_PTR Information;
};

struct UnicodeString {
    USHORT Length;          // bytes, without a terminating zero
    USHORT MaximumLength;
    PWSTR Buffer;
};

struct ObjectAttributes {
    ULONG Length;
    HANDLE RootDirectory;
    UnicodeString* ObjectName;
    ULONG Attributes;
    void* SecurityDescriptor;
    void* SecurityQualityOfService;
};

// The socket control code (WSAIoctl) that gives a socket's base handle, the
// one the driver knows it by.
const DWORD kSioBaseHandle = 0x48000022;

// The poll request's device control code, and its event bits.
const ULONG kIoctlPoll = 0x00012024;

enum PollEventBit : ULONG {
    kPollReceive = 0x0001,           // data to read
    kPollReceiveExpedited = 0x0002,  // out-of-band data
    kPollSend = 0x0004,              // room to send
    kPollDisconnect = 0x0008,        // the peer's FIN
    kPollAbort = 0x0010,             // reset
    kPollLocalClose = 0x0020,        // the handle was closed here
    kPollAccept = 0x0080,            // a connection waits on a listener
    kPollConnectFail = 0x0100,       // a connect under way failed
};

// One socket of a poll request (the layout the driver reads and writes).
struct PollHandleInfo {
    HANDLE Handle;
    ULONG Events;
    NtStatus Status;
};

// A poll request of one socket: the driver fills in Handles[0].Events with
// what happened, NumberOfHandles with 1 (or 0 when nothing did).
struct PollInfo {
    LARGE_INTEGER Timeout;   // absolute or relative, in 100 ns; INT64_MAX: none
    ULONG NumberOfHandles;
    ULONG Exclusive;
    PollHandleInfo Handles[1];
};

// Options of NtCreateFile used to open the driver.
const ULONG kFileOpen = 0x00000001;
const ULONG kObjCaseInsensitive = 0x00000040;

typedef VOID(NTAPI* IoApcRoutine)(void* context, IoStatusBlock* iosb, ULONG reserved);

typedef NtStatus(NTAPI* NtCreateFileFn)(HANDLE* file, ACCESS_MASK access, ObjectAttributes* attributes,
                                        IoStatusBlock* iosb, LARGE_INTEGER* allocationSize, ULONG fileAttributes,
                                        ULONG shareAccess, ULONG createDisposition, ULONG createOptions,
                                        void* eaBuffer, ULONG eaLength);
typedef NtStatus(NTAPI* NtDeviceIoControlFileFn)(HANDLE file, HANDLE event, IoApcRoutine apc, void* apcContext,
                                                 IoStatusBlock* iosb, ULONG code, void* in, ULONG inLength,
                                                 void* out, ULONG outLength);
typedef NtStatus(NTAPI* NtCancelIoFileExFn)(HANDLE file, IoStatusBlock* request, IoStatusBlock* iosb);

// The functions, found in ntdll once; null members where ntdll lacks one.
struct NtFunctions {
    NtCreateFileFn createFile = nullptr;
    NtDeviceIoControlFileFn deviceIoControlFile = nullptr;
    NtCancelIoFileExFn cancelIoFileEx = nullptr;

    bool Complete() const { return createFile && deviceIoControlFile && cancelIoFileEx; }
};

inline NtFunctions FindNtFunctions() {
    NtFunctions f;
    HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    if (!ntdll) return f;
    f.createFile = reinterpret_cast<NtCreateFileFn>(reinterpret_cast<void*>(GetProcAddress(ntdll, "NtCreateFile")));
    f.deviceIoControlFile = reinterpret_cast<NtDeviceIoControlFileFn>(
        reinterpret_cast<void*>(GetProcAddress(ntdll, "NtDeviceIoControlFile")));
    f.cancelIoFileEx =
        reinterpret_cast<NtCancelIoFileExFn>(reinterpret_cast<void*>(GetProcAddress(ntdll, "NtCancelIoFileEx")));
    return f;
}

}  // namespace afd
}  // namespace plat

#endif
