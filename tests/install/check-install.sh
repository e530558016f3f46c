#!/usr/bin/env bash
# check-install.sh BUILD_DIR
#
# Installs a finished build into a temporary prefix and uses it as a host
# would: builds examples/minimal_host against it once with find_package and
# once with pkg-config, runs both, and runs the installed vemnet-cat and
# vemnet-gateway. Leaves
# nothing behind.
set -euo pipefail

if [ $# -ne 1 ]; then
    echo "usage: $0 BUILD_DIR" >&2
    exit 2
fi
BUILD=$(cd "$1" && pwd)
ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
WORK=$(mktemp -d)
trap 'rm -rf "$WORK"' EXIT
PREFIX="$WORK/prefix"

step() { echo "== $*"; }
fail() { echo "FAIL: $*" >&2; exit 1; }

step "cmake --install $BUILD --prefix $PREFIX"
cmake --install "$BUILD" --prefix "$PREFIX" >"$WORK/install.log" || { cat "$WORK/install.log"; fail "install"; }

# Where GNUInstallDirs put things depends on the configured prefix.
find_one() {
    local found
    found=$(find "$PREFIX" -path "$1" -print -quit)
    [ -n "$found" ] || fail "nothing installed matches $1"
    echo "$found"
}
for h in export.h frame.h sock.h netconn.h httpconn.h vemnet.h; do
    [ -f "$PREFIX/include/vemnet/$h" ] || fail "include/vemnet/$h is not installed"
done
LIB=$(find_one "*/libvemnet.so*")
CONFIG=$(find_one "*/cmake/vemnet/vemnetConfig.cmake")
find_one "*/cmake/vemnet/vemnetConfigVersion.cmake" >/dev/null
find_one "*/cmake/vemnet/vemnetTargets.cmake" >/dev/null
PC=$(find_one "*/pkgconfig/vemnet.pc")
CAT=$(find_one "*/bin/vemnet-cat")
LIBDIR=$(dirname "$LIB")
echo "library $LIB"
echo "config  $CONFIG"
echo "pc      $PC"

run_host() {
    local exe=$1 out
    out=$(LD_LIBRARY_PATH="$LIBDIR" timeout 30 "$exe") || fail "$exe failed: $out"
    echo "$out"
    case "$out" in *"echo: hello vemnet"*) ;; *) fail "$exe did not print the echo" ;; esac
}

step "find_package(vemnet): configure and build examples/minimal_host"
cmake -S "$ROOT/examples/minimal_host" -B "$WORK/with-cmake" -DCMAKE_PREFIX_PATH="$PREFIX" \
    -DCMAKE_BUILD_TYPE=Release >"$WORK/cmake.log" 2>&1 || { cat "$WORK/cmake.log"; fail "configure"; }
cmake --build "$WORK/with-cmake" >"$WORK/build.log" 2>&1 || { cat "$WORK/build.log"; fail "build"; }
run_host "$WORK/with-cmake/minimal_host"

step "find_package(vemnet 2.0) must refuse version 1"
mkdir -p "$WORK/version-check"
cat >"$WORK/version-check/CMakeLists.txt" <<'CMAKE'
cmake_minimum_required(VERSION 3.16)
project(version_check LANGUAGES CXX)
find_package(vemnet 2.0 QUIET)
if(vemnet_FOUND)
  message(FATAL_ERROR "vemnet ${vemnet_VERSION} was accepted for 2.0")
endif()
find_package(vemnet 1.0 REQUIRED)
message(STATUS "vemnet ${vemnet_VERSION}")
CMAKE
cmake -S "$WORK/version-check" -B "$WORK/version-check/b" -DCMAKE_PREFIX_PATH="$PREFIX" \
    >"$WORK/version.log" 2>&1 || { cat "$WORK/version.log"; fail "version check"; }
grep "vemnet 1" "$WORK/version.log"

step "pkg-config: build examples/minimal_host/main.cpp"
export PKG_CONFIG_PATH
PKG_CONFIG_PATH=$(dirname "$PC")
FLAGS=$(pkg-config --cflags --libs vemnet) || fail "pkg-config does not know vemnet"
echo "pkg-config --cflags --libs vemnet: $FLAGS"
[ "$(pkg-config --modversion vemnet)" = "$(sed -n 's/^Version: //p' "$PC")" ] || fail "modversion"
# shellcheck disable=SC2086
${CXX:-c++} -std=c++17 "$ROOT/examples/minimal_host/main.cpp" $FLAGS -pthread -o "$WORK/with-pkgconfig" \
    || fail "build with pkg-config"
run_host "$WORK/with-pkgconfig"

step "the installed vemnet-cat runs (and finds its library by itself)"
"$CAT" --help | grep -q "Exit codes" || fail "vemnet-cat --help"
set +e
env -u LD_LIBRARY_PATH "$CAT" 127.0.0.1 >/dev/null 2>&1
code=$?
set -e
[ "$code" = 2 ] || fail "vemnet-cat with a bad command line exited $code, not 2"

step "the installed vemnet-gateway runs"
GATEWAY=$(find_one "*/bin/vemnet-gateway")
"$GATEWAY" --help | grep -q "Example" || fail "vemnet-gateway --help"
set +e
"$GATEWAY" --listen 127.0.0.1:0 >/dev/null 2>&1
code=$?
set -e
[ "$code" = 2 ] || fail "vemnet-gateway without --backend exited $code, not 2"

echo "install check passed"
