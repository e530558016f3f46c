#!/usr/bin/env bash
# Runs vemnet-http-latency against the session server on loopback.
#
#   bench/run-http-latency.sh PROGRAM [MESSAGES]
#
# PROGRAM is the built vemnet-http-latency; a .exe runs under wine (with the
# DLL, which the Windows build copies beside it). The server is stopped
# afterwards.
set -u
ROOT=$(cd "$(dirname "$0")/.." && pwd)
PROG=$1
MESSAGES=${2:-100}
DIR=$(mktemp -d)
trap 'kill "$SERVER" 2>/dev/null; wait "$SERVER" 2>/dev/null; rm -rf "$DIR"' EXIT
python3 "$ROOT/tests/peers/session_server.py" --port-file "$DIR/port" --max-seconds 600 > "$DIR/server.log" 2>&1 &
SERVER=$!
for _ in $(seq 100); do [ -s "$DIR/port" ] && break; sleep 0.1; done
PORT=$(cat "$DIR/port")
case "$PROG" in
  *.exe) WINEPREFIX=${WINEPREFIX:-$ROOT/build/wine-prefix} WINEDEBUG=-all timeout 300 /usr/lib/wine/wine64 "$PROG" "$PORT" "$MESSAGES" ;;
  *) timeout 300 "$PROG" "$PORT" "$MESSAGES" ;;
esac
