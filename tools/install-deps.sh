#!/usr/bin/env bash
# Installs, from Debian's archive, every package the project needs to build,
# test, cross-build for Windows and benchmark. Does nothing when all of them
# are installed already. Meant for Debian 12, as root (or with sudo), with or
# without a terminal.
set -euo pipefail

PACKAGES=(
    # build
    cmake ninja-build g++ clang libclang-rt-14-dev dpkg-dev
    # test hosts in the Visual C++ ABI (clang, lld-link, wine's CRT)
    lld llvm libwine-dev
    # libraries
    libntlm0-dev libcurl4-openssl-dev libboost-dev
    # the system's proxy answer (PAC scripts, auto-detection), loaded at run time
    libproxy1v5 libproxy1-plugin-webkit
    # tests and benchmarks
    libgtest-dev libbenchmark-dev libevent-dev libuv1-dev liburing-dev iperf3
    # Windows cross build, run under wine
    g++-mingw-w64-x86-64 wine64
    # real proxy peers for the tests
    squid tinyproxy dante-server microsocks openssh-server openssh-client apache2-utils
    # Negotiate (Kerberos) against squid: a private MIT KDC, kinit, and the
    # GSSAPI library the connection loads at run time
    krb5-kdc krb5-admin-server krb5-user libgssapi-krb5-2
    # load balancer in front of the HTTP session gateways
    haproxy
    # scripts
    python3 curl ca-certificates pkg-config zip unzip gnuplot-nox
)

installed() {
    dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q 'install ok installed'
}

missing=()
for p in "${PACKAGES[@]}"; do
    installed "$p" || missing+=("$p")
done
if [ ${#missing[@]} -eq 0 ]; then
    echo "install-deps: all ${#PACKAGES[@]} packages are installed"
    exit 0
fi
echo "install-deps: missing: ${missing[*]}"

SUDO=()
if [ "$(id -u)" -ne 0 ]; then
    if command -v sudo >/dev/null 2>&1; then
        SUDO=(sudo -n)
    else
        echo "install-deps: need root (or sudo) to install packages" >&2
        exit 1
    fi
fi

export DEBIAN_FRONTEND=noninteractive
"${SUDO[@]}" apt-get update -q </dev/null

unknown=()
for p in "${missing[@]}"; do
    candidate=$(apt-cache policy "$p" 2>/dev/null | awk '/Candidate:/{print $2}')
    if [ -z "$candidate" ] || [ "$candidate" = "(none)" ]; then
        unknown+=("$p")
    fi
done
if [ ${#unknown[@]} -ne 0 ]; then
    echo "install-deps: not in the configured archives: ${unknown[*]}" >&2
    exit 1
fi

# The proxy and ssh packages start their system daemons on installation,
# which would take the ports 22, 1080, 3128 and 8888; the tests start private
# instances of their own. Where the machine has no policy of its own, keep
# daemons from starting while installing.
POLICY=/usr/sbin/policy-rc.d
made_policy=0
if [ ! -e "$POLICY" ]; then
    printf '#!/bin/sh\nexit 101\n' | "${SUDO[@]}" tee "$POLICY" >/dev/null
    "${SUDO[@]}" chmod 755 "$POLICY"
    made_policy=1
fi
cleanup() {
    if [ "$made_policy" -eq 1 ]; then "${SUDO[@]}" rm -f "$POLICY"; fi
}
trap cleanup EXIT

"${SUDO[@]}" apt-get install -y -q --no-install-recommends \
    -o Dpkg::Options::=--force-confdef -o Dpkg::Options::=--force-confold \
    "${missing[@]}" </dev/null

still=()
for p in "${missing[@]}"; do
    installed "$p" || still+=("$p")
done
if [ ${#still[@]} -ne 0 ]; then
    echo "install-deps: still missing after installation: ${still[*]}" >&2
    exit 1
fi
echo "install-deps: installed ${#missing[@]} packages"
