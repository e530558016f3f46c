#!/usr/bin/env bash
# Installs the dependencies, builds the library (Linux, Release) and runs the
# echo demo, passing on any arguments.
#
#   tools/demo.sh [ARGS...]
set -euo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
BUILD="$ROOT/build/release"

if [ ! -f "$ROOT/tools/echo_demo.cpp" ]; then
    echo "demo: tools/echo_demo.cpp does not exist yet; there is no echo-demo to run" >&2
    exit 1
fi

bash "$ROOT/tools/install-deps.sh"
cmake -S "$ROOT" -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=Release -DVEMNET_BUILD_TESTS=OFF
cmake --build "$BUILD" --target echo-demo -j"${JOBS:-2}"
exec "$BUILD/echo-demo" "$@"
