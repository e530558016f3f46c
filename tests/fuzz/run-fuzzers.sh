#!/usr/bin/env bash
# Builds the libFuzzer targets of tests/fuzz with clang++ and runs each for a
# bounded time. Usage: tests/fuzz/run-fuzzers.sh [seconds-per-target] [build-dir]
# Exits non-zero when a target does not build or finds a crash, a leak or
# undefined behaviour. Corpora stay in the build dir between runs.
set -u -o pipefail

SECONDS_PER_TARGET=${1:-20}
ROOT=$(cd "$(dirname "$0")/../.." && pwd)
BUILD=${2:-${TMPDIR:-/tmp}/vemnet-fuzz}
CXX=${CXX_FUZZ:-clang++}
mkdir -p "$BUILD"

FLAGS=(-std=c++17 -g -O1 -fno-omit-frame-pointer
       -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=undefined
       -I"$ROOT" -I"$ROOT/include")
# The platform functions needed are the text conversions, the proxy setting
# reader, the address parsing with its error translation, all self-contained.
COMMON=("$ROOT/conn/auth/base64.cpp" "$ROOT/platform/posix/text.cpp" "$ROOT/conn/wide_text.cpp")
PROXY=("${COMMON[@]}" "$ROOT/conn/auth/ntlm_messages.cpp" "$ROOT/conn/proxy/proxy_reply.cpp"
       "$ROOT/conn/auth/auth_challenge.cpp" "$ROOT/conn/auth/digest_auth.cpp" "$ROOT/conn/auth/hash_functions.cpp"
       "$ROOT/platform/posix/security_gssapi.cpp" "$ROOT/platform/posix/sockets.cpp"
       "$ROOT/platform/posix/errors.cpp"
       "$ROOT/conn/proxy/http_proxy_helper.cpp" "$ROOT/conn/proxy/socks4_proxy_helper.cpp"
       "$ROOT/conn/proxy/socks5_proxy_helper.cpp" "$ROOT/conn/proxy/socks_reply_text.cpp")

GATEWAY=("$ROOT/conn/auth/base64.cpp" "$ROOT/tools/gateway/form_body.cpp" "$ROOT/tools/gateway/request_router.cpp"
         "$ROOT/tools/gateway/session_table.cpp" "$ROOT/tools/gateway/session.cpp" "$ROOT/tools/gateway/session_id.cpp"
         "$ROOT/tools/gateway/client_limits.cpp" "$ROOT/tools/gateway/log.cpp" "$ROOT/tools/gateway/metrics.cpp"
         "$ROOT/http/session_extension.cpp")

declare -A SOURCES=(
  [proxy_reply_fuzz]="${PROXY[*]}"
  [socks_reply_fuzz]="${PROXY[*]}"
  [base64_fuzz]="${COMMON[*]}"
  [proxy_list_fuzz]="${COMMON[*]} $ROOT/conn/route/proxy_list_text.cpp"
  [gateway_request_fuzz]="${GATEWAY[*]}"
)
declare -A LIBS=([proxy_reply_fuzz]="-lntlm -ldl" [socks_reply_fuzz]="-lntlm -ldl" [gateway_request_fuzz]=-pthread)
TARGETS=(proxy_reply_fuzz socks_reply_fuzz base64_fuzz proxy_list_fuzz gateway_request_fuzz)

# A few well-formed inputs to start from (first byte: the target's mode).
seed() {  # target name bytes...
    mkdir -p "$BUILD/corpus/$1"
    printf "$3" > "$BUILD/corpus/$1/$2"
}
seed proxy_reply_fuzz ok '\x00HTTP/1.1 200 Connection established\r\n\r\n'
seed proxy_reply_fuzz basic '\x01HTTP/1.1 407 Denied\r\nProxy-Authenticate: Basic realm=x\r\nContent-Length: 5\r\n\r\nabcde'
seed proxy_reply_fuzz ntlm '\x05HTTP/1.1 407 x\r\nProxy-Authenticate: NTLM TlRMTVNTUAACAAAAAAAAADAAAAABAgAAAQIDBAUGBwg=\r\n\r\n'
seed proxy_reply_fuzz schemes '\x01HTTP/1.1 407 x\r\nProxy-Authenticate: Basic realm="a, b", Digest realm="r", nonce="n", qop="auth,auth-int", algorithm=SHA-256, stale=true\r\nProxy-Authenticate: NTLM\r\nProxy-Authenticate: Negotiate YII=\r\n\r\n'
seed proxy_reply_fuzz digest '\x09HTTP/1.1 407 x\r\nProxy-Authenticate: Digest realm="r\\"q", nonce="n2", opaque="o", stale=TRUE, algorithm=MD5-sess\r\nContent-Length: 0\r\n\r\n'
seed proxy_reply_fuzz html '\x41HTTP/1.0 407 x\r\n\r\n<Html><Body>x</Body></Html>'
seed socks_reply_fuzz s4 '\x00\x00\x5a\x00\x00\x00\x00\x00\x00'
seed socks_reply_fuzz s5 '\x02\x05\x02\x01\x00\x05\x00\x00\x01\x7f\x00\x00\x01\x00\x50'
seed socks_reply_fuzz s5req '\x14\x05\x00\x00\x01\x7f\x00\x00\x01\x00\x50'
seed base64_fuzz text '\x00YWJj ZGVm\r\nZ2g='
seed proxy_list_fuzz list 'http=10.0.0.1:8080 socks=10.0.0.2:1080 a: b:7'
seed gateway_request_fuzz new '\x00POST /s HTTP/1.1\r\nHost: x\r\nContent-Length: 14\r\n\r\nsession=&data='
seed gateway_request_fuzz data '\x01POST http://h/s?q HTTP/1.1\r\nContent-Length: 27\r\n\r\nsession=abc&data=aGk=\r\nYQ=='
seed gateway_request_fuzz extended '\x01POST /s HTTP/1.1\r\nX-Vemnet-Ext: ext=1; rid=1; ack=0; wait=1\r\nContent-Length: 14\r\n\r\nsession=&data='
seed gateway_request_fuzz health '\x02GET /healthz HTTP/1.1\r\n\r\n'
seed gateway_request_fuzz chunked '\x03HEAD /metrics HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n3\r\nabc\r\n0\r\n\r\n'
seed proxy_list_fuzz answer 'PROXY a:3128; SOCKS5 b:1080; SOCKS c; DIRECT'

status=0
summary=()
for t in "${TARGETS[@]}"; do
    exe="$BUILD/$t"
    # shellcheck disable=SC2086
    if ! "$CXX" "${FLAGS[@]}" "$ROOT/tests/fuzz/$t.cpp" ${SOURCES[$t]} ${LIBS[$t]:-} -o "$exe" \
            2> "$BUILD/$t.build.log"; then
        echo "$t: build failed (see $BUILD/$t.build.log)"
        cat "$BUILD/$t.build.log" | head -30
        status=1
        continue
    fi
    mkdir -p "$BUILD/corpus/$t" "$BUILD/artifacts/$t"
    log="$BUILD/$t.log"
    echo "== $t: ${SECONDS_PER_TARGET}s"
    # -timeout: one input running longer than 10 s counts as a hang.
    (cd "$BUILD" && "$exe" -max_total_time="$SECONDS_PER_TARGET" -timeout=10 -rss_limit_mb=2048 \
        -max_len=8192 -print_final_stats=1 \
        -artifact_prefix="$BUILD/artifacts/$t/" "$BUILD/corpus/$t") > "$log" 2>&1
    rc=$?
    done_line=$(grep -E '^#[0-9]+[[:space:]]+DONE' "$log" | tail -1)
    execs=$(grep -E 'stat::number_of_executed_units' "$log" | awk '{print $2}')
    rate=$(grep -E 'stat::average_exec_per_sec' "$log" | awk '{print $2}')
    cov=$(echo "$done_line" | sed -n 's/.*cov: \([0-9]*\).*/\1/p')
    ft=$(echo "$done_line" | sed -n 's/.*ft: \([0-9]*\).*/\1/p')
    corpus=$(echo "$done_line" | sed -n 's/.*corp: \([0-9]*\/[0-9a-zA-Z]*\).*/\1/p')
    if [ $rc -ne 0 ]; then
        echo "$t: FAILED (exit $rc); artifacts in $BUILD/artifacts/$t"
        grep -E 'ERROR|SUMMARY|runtime error|deadly signal' "$log" | head -10
        status=1
        summary+=("$t: FAILED")
    else
        summary+=("$t: ok, ${execs:-?} execs, ${rate:-?} exec/s, cov ${cov:-?}, ft ${ft:-?}, corpus ${corpus:-?}")
    fi
done

echo
printf '%s\n' "${summary[@]}"
exit $status
