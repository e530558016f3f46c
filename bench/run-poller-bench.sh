#!/usr/bin/env bash
# Runs vemnet-poller-bench for every poller backend of a build, alternating
# them, and prints the RESULT lines. The idle connections beyond the
# accepted-and-echoed ones are held by a Python process outside the program
# (for the Windows build under wine, whose wineserver also holds a
# descriptor for every socket).
#
#   bench/run-poller-bench.sh PROGRAM "BACKENDS" [REPS] [program options]
#   bench/run-poller-bench.sh build/windows/bench/vemnet-poller-bench.exe "wsapoll select" 3
#   bench/run-poller-bench.sh build/linux/bench/vemnet-poller-bench "epoll" 3
#
# A program ending in .exe runs under wine (WINEPREFIX as set, or
# build/wine-prefix).
set -u
ROOT=$(cd "$(dirname "$0")/.." && pwd)
PROGRAM=$1; BACKENDS=$2; REPS=${3:-3}; shift; shift; [ $# -gt 0 ] && shift
RUN=()
case "$PROGRAM" in
  *.exe)
    export WINEDEBUG=-all WINEPREFIX=${WINEPREFIX:-$ROOT/build/wine-prefix}
    RUN=(/usr/lib/wine/wine64) ;;
esac

HOLDER='
import socket, sys
port, n = int(sys.argv[1]), int(sys.argv[2])
held = [socket.create_connection(("127.0.0.1", port)) for _ in range(n)]
print("ready", flush=True)
sys.stdin.read()
'

# one BACKEND: one run, the idle peer started when the program asks for it
one() {
  local backend=$1; shift
  local holder_pid=
  coproc BENCH { timeout 900 "${RUN[@]}" "$PROGRAM" "$backend" --peer-idle 1 "$@" 2>&1; }
  local in=${BENCH[1]} out=${BENCH[0]} pid=$BENCH_PID hin=
  while IFS= read -r line <&"$out"; do
    line=${line%$'\r'}
    case "$line" in
      WANT-IDLE*)
        set -- $line
        exec {hin}> >(python3 -c "$HOLDER" "$2" "$3" > "$TMP_READY")
        holder_pid=$!
        until grep -q ready "$TMP_READY" 2>/dev/null; do sleep 0.2; done
        echo go >&"$in" ;;
      RESULT*) echo "$line" ;;
      *) echo "  $line" >&2 ;;
    esac
  done
  wait "$pid" 2>/dev/null
  if [ -n "$hin" ]; then exec {hin}>&-; wait "$holder_pid" 2>/dev/null; fi
  : > "$TMP_READY"
}

TMP_READY=$(mktemp)
trap 'rm -f "$TMP_READY"' EXIT
for r in $(seq "$REPS"); do
  for b in $BACKENDS; do one "$b" "$@"; done
done
