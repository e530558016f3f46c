// Export macro and the socket handle type shared by every public header.
#ifndef VEMNET_EXPORT_H
#define VEMNET_EXPORT_H

#include <cstdint>

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

#endif
