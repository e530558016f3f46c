// Export macro, the socket handle type and the binary layout rules shared by
// every public header. Only C headers are needed: hosts built with another
// compiler or another C++ library than vemnet's use the same headers.
#ifndef VEMNET_EXPORT_H
#define VEMNET_EXPORT_H

#include <stdint.h>

#if defined(_WIN32)
#  if defined(VEMNET_BUILDING)
#    define VEMNET_API __declspec(dllexport)
#  else
#    define VEMNET_API __declspec(dllimport)
#  endif
#  define VEMNET_CALL __cdecl
// SOCKET as Windows Sockets defines it, without pulling <winsock2.h> into hosts.
typedef uintptr_t vemnet_socket_t;
#  define VEMNET_INVALID_SOCKET (~(vemnet_socket_t)0)
#else
#  if defined(VEMNET_BUILDING)
#    define VEMNET_API __attribute__((visibility("default")))
#  else
#    define VEMNET_API
#  endif
#  define VEMNET_CALL
typedef int vemnet_socket_t;
#  define VEMNET_INVALID_SOCKET (-1)
#endif

// The destructor of an interface is slot 0 and ONE slot, as Visual C++ lays
// it out: the scalar deleting destructor, `void* (unsigned flags)`, which
// frees the memory when bit 0 of flags is set.
//
// GCC and Clang (MinGW, Linux) give a virtual destructor two slots. With
// them, slot 0 is declared as that deleting destructor itself, and the
// compiler's own virtual destructor follows every slot of the contract, where
// a host of the other compiler never looks. `delete p` works in both kinds of
// host; the library destroys objects of the host's (tasks) through slot 0.
#if defined(_MSC_VER)
#  define VEMNET_DESTRUCTOR_SLOT(T) \
   public:                          \
    virtual ~T() {}
#  define VEMNET_COMPILER_DESTRUCTOR(T)
#else
#  define VEMNET_DESTRUCTOR_SLOT(T)                   \
   public:                                            \
    virtual void* VemnetDestroy(unsigned int flags) { \
        if (flags & 1u) {                             \
            delete this;                              \
        } else {                                      \
            this->~T();                               \
        }                                             \
        return this;                                  \
    }
#  define VEMNET_COMPILER_DESTRUCTOR(T) \
   public:                              \
    virtual ~T() {}
#endif

#endif
