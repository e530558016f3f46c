#!/usr/bin/env bash
# The library exports its nine C functions and nothing else.
# usage: check-exports.sh LIBRARY
set -euo pipefail
lib=$1
expected="AddAsyncNetTask CreateAsyncFrame CreateAsyncServer CreateAsyncServerSock CreateAsyncTcpSock CreateAsyncUdpSock CreateAutoConn CreateBaseConn CreateHttpConn"
case "$lib" in
  *.dll)
    actual=$(x86_64-w64-mingw32-objdump -p "$lib" |
      awk '/\[Ordinal\/Name Pointer\] Table/{t=1;next} t&&/^[[:space:]]*\[/{print $NF} t&&/^$/{t=0}' | sort | xargs) ;;
  *)
    actual=$(nm -D --defined-only "$lib" | awk '$2=="T"{print $3}' | sort | xargs) ;;
esac
if [ "$actual" != "$expected" ]; then
  echo "exports of $lib differ"
  echo "  expected: $expected"
  echo "  actual:   $actual"
  exit 1
fi
echo "exports of $(basename "$lib"): $actual"
