// Everything a host compiles against.
#ifndef VEMNET_VEMNET_H
#define VEMNET_VEMNET_H

#include "vemnet/frame.h"
#include "vemnet/sock.h"
#include "vemnet/netconn.h"
#include "vemnet/httpconn.h"

#endif
