#!/usr/bin/env bash
# package-windows.sh BUILD_DIR OUT.zip
#
# Packs a finished mingw-w64 build (cmake/mingw-w64.cmake) for Windows hosts:
#
#   bin/vemnet.dll  bin/vemnet-cat.exe  bin/logger.dll
#   lib/libvemnet.dll.a (MinGW hosts)  lib/vemnet.lib (Visual C++ hosts)
#   lib/cmake/vemnet/  lib/pkgconfig/vemnet.pc
#   include/vemnet/*.h
#
# Everything is linked statically against the mingw runtime, so the DLLs and
# the tool need nothing else. Uses `cmake --install`, so the layout is the
# one the CMake package config expects.
set -euo pipefail

if [ $# -ne 2 ]; then
    echo "usage: $0 BUILD_DIR OUT.zip" >&2
    exit 2
fi
BUILD=$(cd "$1" && pwd)
OUT=$2
case "$OUT" in /*) ;; *) OUT="$PWD/$OUT" ;; esac
command -v zip >/dev/null || { echo "zip is not installed (apt-get install zip)" >&2; exit 1; }

STAGE=$(mktemp -d)
trap 'rm -rf "$STAGE"' EXIT
ROOT="$STAGE/vemnet"

cmake --install "$BUILD" --prefix "$ROOT" >/dev/null
for f in bin/vemnet.dll bin/vemnet-cat.exe include/vemnet/vemnet.h; do
    [ -f "$ROOT/$f" ] || { echo "$f is missing: is $BUILD a finished Windows build?" >&2; exit 1; }
done
IMPLIB=$(find "$ROOT" -name libvemnet.dll.a -print -quit)
[ -n "$IMPLIB" ] || { echo "the import library libvemnet.dll.a is missing" >&2; exit 1; }
[ -f "$ROOT/lib/vemnet.lib" ] || { echo "the import library vemnet.lib is missing" >&2; exit 1; }

rm -f "$OUT"
(cd "$STAGE" && zip -qr "$OUT" vemnet)
echo "wrote $OUT:"
unzip -l "$OUT" | sed -n '4,$p' | awk 'NF == 4 { print "  " $4 }'
