#!/usr/bin/env bash
# Builds the benchmarks (Release, build/bench), runs vemnet and its peers
# through every benchmark and prints one table of figures and vemnet/peer
# ratios; writes the ping-pong chart beside the results.
#
#   bench/run-bench.sh            full run (about 15 minutes on 2 cores)
#   bench/run-bench.sh --smoke    each benchmark briefly with tiny sizes; fails
#                                 when any of them fails (CI uses this)
#   options: --reps N (repetitions of each throughput figure, default 5),
#            --out DIR (default build/bench/results)
#   BENCH_BUILD=DIR builds there instead of build/bench.
#   BENCH_PINS="none split" (the default): the throughput workloads run
#   with threads left to the scheduler (as hosts run them) and with the
#   server's loop on CPU 0 and the client's on CPU 1; the libraries
#   alternate within each repetition.
#
# Needs libevent-dev, libuv1-dev, liburing-dev, libboost-dev; iperf3 for the loopback
# limit of the bulk figure and gnuplot for the chart (both optional).
set -u

ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD=${BENCH_BUILD:-$ROOT/build/bench}
SMOKE=0
REPS=5
PINS=${BENCH_PINS:-none split}
OUT=
while [ $# -gt 0 ]; do
  case "$1" in
    --smoke) SMOKE=1 ;;
    --reps) REPS=$2; shift ;;
    --out) OUT=$2; shift ;;
    *) echo "unknown option $1" >&2; exit 2 ;;
  esac
  shift
done
[ -n "$OUT" ] || OUT=$BUILD/results
[ "$SMOKE" = 1 ] && REPS=1

echo "== configure and build (Release, $BUILD)"
cmake -S "$ROOT" -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=Release \
  -DVEMNET_BUILD_BENCH=ON -DVEMNET_BUILD_TESTS=OFF > "$BUILD.configure.log" 2>&1 \
  || { cat "$BUILD.configure.log"; echo "configure failed" >&2; exit 1; }
cmake --build "$BUILD" --target vemnet-bench -j2 > "$BUILD.build.log" 2>&1 \
  || { tail -40 "$BUILD.build.log"; echo "build failed" >&2; exit 1; }
BIN=$BUILD/bench/vemnet-bench

mkdir -p "$OUT"
RES=$OUT/results.txt
: > "$RES"
FAILED=0
START=$(date +%s)
echo "load before: $(uptime)" | tee -a "$RES"

# run LIMIT_SECS ARGS...: one run of the program; its RESULT line goes to $RES.
run() {
  local limit=$1; shift
  local line
  line=$(timeout "$limit" "$BIN" "$@" 2>>"$OUT/stderr.log" | grep '^RESULT')
  local rc=${PIPESTATUS[0]}
  if [ -z "$line" ]; then line="RESULT bench=$1 ok=0 error=no-output-rc-$rc args=$(echo "$*" | tr ' ' '_')"; fi
  echo "$line" >> "$RES"
  case "$line" in
    *ok=1*) echo "  $line" ;;
    *) echo "  FAILED: $* -> $line"; FAILED=$((FAILED + 1)) ;;
  esac
}

LIBS_NET="vemnet libevent asio"
if [ "$SMOKE" = 1 ]; then
  PP_CONNS="1 100"; PP_SECS=0.1; BULK=$((4 << 20)); IDLE=200; SCALE_SECS=0.1
  TASK_N=200; TIMER_N=10; CR_SECS=0.1
else
  PP_CONNS="1 100 1000 10000"; PP_SECS=1; BULK=$((1 << 30)); SCALE_SECS=1
  TASK_N=10000; TIMER_N=300; CR_SECS=1
  # As many idle connections as the descriptor limit leaves room for: the
  # server holds them plus the 100 active ones, its listener and its loop.
  LIM=$(ulimit -n)
  IDLE=$((LIM - 1000)); [ "$IDLE" -gt 19000 ] && IDLE=19000
fi

# The ping-pong rows also run two floors written on io_uring without a
# library (bench/uring_impl.cpp) where the kernel lets a process use it.
LIBS_PP=$LIBS_NET
if timeout 30 "$BIN" pingpong --lib uring --conns 1 --secs 0.05 2>/dev/null | grep -q 'ok=1'; then
  LIBS_PP="$LIBS_NET uring uring-batch"
else
  echo "io_uring: not usable here; the floors are left out" | tee -a "$RES"
fi

for pin in $PINS; do
  echo "== ping-pong (64-byte message, one in flight per connection; pin=$pin)"
  for c in $PP_CONNS; do
    for r in $(seq "$REPS"); do
      for lib in $LIBS_PP; do BENCH_PIN=$pin run 300 pingpong --lib "$lib" --conns "$c" --secs "$PP_SECS"; done
    done
  done
done
echo "== ping-pong, one connection, both sides on one CPU"
for r in $(seq "$REPS"); do
  for lib in $LIBS_NET; do BENCH_PIN=same run 120 pingpong --lib "$lib" --conns 1 --secs "$PP_SECS" ; done
done

for pin in $PINS; do
  echo "== bulk (one connection, $BULK bytes; pin=$pin)"
  for r in $(seq "$REPS"); do
    for lib in $LIBS_NET; do BENCH_PIN=$pin run 300 bulk --lib "$lib" --bytes "$BULK"; done
  done
done
if [ "$SMOKE" = 0 ] && command -v iperf3 > /dev/null; then
  PORT=$((20000 + RANDOM % 10000))
  timeout 60 iperf3 -s -1 -B 127.0.0.1 -p "$PORT" > /dev/null 2>&1 &
  IPERF_PID=$!
  sleep 0.5
  # The same CPU split as the other bulk runs: receiver on 0, sender on 1.
  MBPS=$(timeout 60 iperf3 -c 127.0.0.1 -p "$PORT" -n "$BULK" -A 1,0 -J 2>/dev/null \
    | python3 -c 'import json,sys; d=json.load(sys.stdin); print("%.1f" % (d["end"]["sum_received"]["bits_per_second"]/8e6))' 2>/dev/null)
  kill "$IPERF_PID" 2>/dev/null; wait "$IPERF_PID" 2>/dev/null
  if [ -n "$MBPS" ]; then
    echo "RESULT bench=bulk lib=iperf3 ok=1 mbps=$MBPS" | tee -a "$RES"
  else
    echo "  iperf3 did not give a figure (left out)"
  fi
fi

for pin in $PINS; do
  echo "== scale ($IDLE idle connections + 100 active, against 100 active alone; pin=$pin)"
  for r in $(seq "$REPS"); do
    for lib in vemnet libevent; do
      BENCH_PIN=$pin run 120 scale --lib "$lib" --idle 0 --conns 100 --secs "$SCALE_SECS"
      BENCH_PIN=$pin run 300 scale --lib "$lib" --idle "$IDLE" --conns 100 --secs "$SCALE_SECS"
    done
  done
done

echo "== task latency (cross-thread post to run)"
for r in $(seq "$REPS"); do
  for lib in vemnet libuv asio; do run 120 task --lib "$lib" --samples "$TASK_N"; done
done

echo "== timer lateness (10 ms one-shot timers)"
for r in $(seq "$REPS"); do
  for lib in vemnet libevent asio; do run 120 timer --lib "$lib" --samples "$TIMER_N"; done
done

for pin in $PINS; do
  echo "== connection rate (connect, accept, first byte, close; pin=$pin)"
  for r in $(seq "$REPS"); do
    for lib in $LIBS_NET; do BENCH_PIN=$pin run 120 connrate --lib "$lib" --secs "$CR_SECS"; done
  done
done

END=$(date +%s)
echo "load after: $(uptime)" | tee -a "$RES"
echo "elapsed: $((END - START)) s" | tee -a "$RES"

echo
python3 "$ROOT/bench/report.py" "$RES" --chart "$OUT/pingpong.png" | tee "$OUT/table.md"
[ "${PIPESTATUS[0]}" = 0 ] || FAILED=$((FAILED + 1))

if [ "$FAILED" -gt 0 ]; then
  echo "$FAILED benchmark run(s) failed; see $RES and $OUT/stderr.log" >&2
  exit 1
fi
echo "results: $RES, table: $OUT/table.md, chart: $OUT/pingpong.png"
