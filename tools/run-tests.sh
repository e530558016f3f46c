#!/usr/bin/env bash
# The one command that installs the dependencies, builds every configuration
# and runs every test:
#
#   stage      what
#   deps       tools/install-deps.sh
#   linux      RelWithDebInfo with assertions kept, ctest
#   asan       AddressSanitizer + UndefinedBehaviorSanitizer build, ctest
#   tsan       ThreadSanitizer build, ctest
#   ntlm-mingw libntlm cross-built for Windows (tools/build-libntlm-mingw.sh)
#   windows    mingw-w64 cross build, ctest running the programs under wine
#   fuzz       tests/fuzz/run-fuzzers.sh 15 (when present)
#   bench      bench/run-bench.sh --smoke (when present)
#
# Build trees go to build/<stage> in the repository, logs to build/logs.
# Every stage runs even when an earlier one failed (a stage whose input is
# missing is reported as failed); the exit status is non-zero when any stage
# failed. Each stage's time is printed, and a summary at the end.
#
# Environment: JOBS (default 2) parallel build and test jobs; STAGES, a
# space-separated subset of the stages above to run (default: all).
set -uo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
BUILD="$ROOT/build"
LOGS="$BUILD/logs"
JOBS=${JOBS:-2}
ALL_STAGES="deps linux asan tsan ntlm-mingw windows fuzz bench"
STAGES=${STAGES:-$ALL_STAGES}
mkdir -p "$LOGS"
exec </dev/null

# Bounds, in seconds, so that a hung build or test cannot hold the run.
BUILD_LIMIT=${BUILD_LIMIT:-1800}
TEST_LIMIT=${TEST_LIMIT:-1500}

# Assertions stay on in the optimised builds.
OPT_FLAGS=(-DCMAKE_BUILD_TYPE=RelWithDebInfo
           "-DCMAKE_CXX_FLAGS_RELWITHDEBINFO=-O2 -g"
           "-DCMAKE_C_FLAGS_RELWITHDEBINFO=-O2 -g")

export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1:detect_stack_use_after_return=0}
export LSAN_OPTIONS=${LSAN_OPTIONS:-suppressions=$ROOT/tests/support/lsan.supp:print_suppressions=0}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
export TSAN_OPTIONS=${TSAN_OPTIONS:-halt_on_error=1:second_deadlock_stack=1}
export WINEDEBUG=-all
export WINEPREFIX="$BUILD/wine-prefix"
WINE=/usr/lib/wine/wine64
WINESERVER=/usr/lib/wine/wineserver

declare -a SUMMARY=()
FAILED=0

now() { date +%s; }

# run_stage NAME FUNCTION: runs FUNCTION with its output on the terminal and
# in build/logs/NAME.log, and records its result and time.
run_stage() {
    local name=$1 fn=$2
    case " $STAGES " in *" $name "*) ;; *) return 0 ;; esac
    local start rc
    start=$(now)
    echo
    echo "===== stage $name ====="
    "$fn" 2>&1 | tee "$LOGS/$name.log"
    rc=${PIPESTATUS[0]}
    local took=$(( $(now) - start ))
    local result=PASS
    if [ "$rc" -eq 2 ]; then
        result=SKIP
    elif [ "$rc" -ne 0 ]; then
        result=FAIL
        FAILED=1
    fi
    echo "===== stage $name: $result in ${took}s ====="
    SUMMARY+=("$(printf '%-11s %-4s %5ss' "$name" "$result" "$took")")
    eval "STAGE_RESULT_${name//-/_}=$result"
}

# configure_build DIR CMAKE-ARGS...: configures and builds everything in DIR.
# A target that fails to build does not stop the others (ninja -k 0); the
# tests whose programs are missing then fail in ctest.
configure_build() {
    local dir=$1
    shift
    timeout "$BUILD_LIMIT" cmake -S "$ROOT" -B "$dir" -G Ninja "$@" || return 1
    local rc=0
    timeout "$BUILD_LIMIT" cmake --build "$dir" -j"$JOBS" -- -k 0 || rc=1
    return $rc
}

run_ctest() {
    local dir=$1
    shift
    (cd "$dir" && timeout "$TEST_LIMIT" ctest --output-on-failure -j"$JOBS" "$@")
}

build_and_test() {
    local dir=$1
    shift
    local rc=0
    configure_build "$dir" "$@" || rc=1
    if [ -f "$dir/CTestTestfile.cmake" ]; then
        run_ctest "$dir" || rc=1
    else
        echo "no tests configured in $dir"
        rc=1
    fi
    return $rc
}

stage_deps() { bash "$ROOT/tools/install-deps.sh"; }

stage_linux() { build_and_test "$BUILD/linux" "${OPT_FLAGS[@]}"; }

stage_asan() { build_and_test "$BUILD/asan" "${OPT_FLAGS[@]}" -DVEMNET_SANITIZE=address; }

stage_tsan() { build_and_test "$BUILD/tsan" "${OPT_FLAGS[@]}" -DVEMNET_SANITIZE=thread; }

stage_ntlm_mingw() { bash "$ROOT/tools/build-libntlm-mingw.sh" "$BUILD/ntlm-mingw"; }

stage_windows() {
    if [ "${STAGE_RESULT_ntlm_mingw:-PASS}" = FAIL ]; then
        echo "libntlm for mingw is missing; no Windows build"
        return 1
    fi
    if [ ! -f "$BUILD/ntlm-mingw/lib/libntlm.a" ]; then
        bash "$ROOT/tools/build-libntlm-mingw.sh" "$BUILD/ntlm-mingw" || return 1
    fi
    local rc=0
    configure_build "$BUILD/windows" -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/mingw-w64.cmake" \
        "${OPT_FLAGS[@]}" -DVEMNET_NTLM_PREFIX="$BUILD/ntlm-mingw" || rc=1
    # The first start of wine creates its prefix, which takes a while; done
    # here, once, so that no test's time limit pays for it.
    if [ ! -f "$WINEPREFIX/system.reg" ]; then
        echo "creating the wine prefix $WINEPREFIX"
        timeout 300 "$WINE" wineboot -i || true
        timeout 60 "$WINESERVER" -w 2>/dev/null || true
    fi
    if [ -f "$BUILD/windows/CTestTestfile.cmake" ]; then
        run_ctest "$BUILD/windows" || rc=1
    else
        rc=1
    fi
    # Leave no wineserver behind.
    timeout 30 "$WINESERVER" -k 2>/dev/null || true
    return $rc
}

stage_fuzz() {
    if [ ! -f "$ROOT/tests/fuzz/run-fuzzers.sh" ]; then
        echo "tests/fuzz/run-fuzzers.sh does not exist"
        return 2
    fi
    timeout "$TEST_LIMIT" bash "$ROOT/tests/fuzz/run-fuzzers.sh" 15
}

stage_bench() {
    if [ ! -f "$ROOT/bench/run-bench.sh" ]; then
        echo "bench/run-bench.sh does not exist"
        return 2
    fi
    timeout "$TEST_LIMIT" bash "$ROOT/bench/run-bench.sh" --smoke
}

TOTAL_START=$(now)
run_stage deps stage_deps
run_stage linux stage_linux
run_stage asan stage_asan
run_stage tsan stage_tsan
run_stage ntlm-mingw stage_ntlm_mingw
run_stage windows stage_windows
run_stage fuzz stage_fuzz
run_stage bench stage_bench

echo
echo "===== summary ($(( $(now) - TOTAL_START ))s in all; logs in $LOGS) ====="
for line in "${SUMMARY[@]}"; do echo "$line"; done
exit $FAILED
