// errno to Windows Sockets codes, for the POSIX layer only.
#ifndef VEMNET_POSIX_ERRNO_MAP_H
#define VEMNET_POSIX_ERRNO_MAP_H

namespace plat {

int TranslateErrno(int err);
// Stores the translation of the current errno as the last socket error.
void SetLastErrorFromErrno();

}  // namespace plat

#endif
