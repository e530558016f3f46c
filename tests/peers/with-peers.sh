#!/bin/bash
# with-peers.sh CMD [ARGS...]
#
# Starts the real peers on 127.0.0.1, runs CMD with their ports in the
# environment, stops them again and exits with CMD's status.
#
# Every tests/peers/peer-NAME.sh next to this script is sourced and its
# start_NAME "$dir/NAME" called (dashes in NAME become underscores in the
# function names). A start function picks free ports (peer_free_port),
# launches its servers with peer_spawn, waits for them with peer_wait_port and
# exports its variables. A peer that cannot start prints a warning and the run
# goes on: the tests that need it fail on their own (REQUIRE_PEER_PORT).
# Afterwards every stop_NAME "$dir/NAME" runs, whatever is left of the
# spawned processes is terminated (TERM, then KILL after about 3 s), and only
# those processes are waited for.
set -u

if [ $# -lt 1 ]; then
    echo "usage: $0 CMD [ARGS...]" >&2
    exit 2
fi

# Names for the loopback addresses of both families, which the machine's
# own /etc/hosts lacks: the run goes on in a mount namespace of its own whose
# /etc/hosts adds them (v6only.vemnet.test: ::1; dual.vemnet.test: ::1 and
# 127.0.0.1), and VEMNET_TEST_NAMES=1 tells the tests so. They resolve from
# the file, so no query ever leaves the machine. Where no namespace can be
# made (not root, no unshare) the variable stays unset and the tests that
# need the names fail on their own.
if [ -z "${VEMNET_PEERS_NAMESPACE:-}" ] && [ "$(id -u)" = 0 ] && unshare --mount true 2>/dev/null; then
    export VEMNET_PEERS_NAMESPACE=1
    PEER_HOSTS="$(mktemp "${TMPDIR:-/tmp}/vemnet-hosts.XXXXXX")" || exit 2
    { cat /etc/hosts; printf '::1 v6only.vemnet.test\n::1 dual.vemnet.test\n127.0.0.1 dual.vemnet.test\n'; } >"$PEER_HOSTS"
    chmod 644 "$PEER_HOSTS"
    # The mount keeps the file's contents; its name goes at once.
    exec unshare --mount bash -c 'mount --bind "$1" /etc/hosts && export VEMNET_TEST_NAMES=1
        rm -f "$1"; shift; exec bash "$@"' with-peers-names "$PEER_HOSTS" "${BASH_SOURCE[0]}" "$@"
fi

PEERS_HERE="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"

export VEMNET_PROXY_USER=vemuser
export VEMNET_PROXY_PASSWORD=vempass

# Processes launched by the start functions, each the leader of its own
# session, so that helpers they fork (squid's auth programs, dante's
# children) go with them.
PEER_PIDS=()
PEER_PORTS_TAKEN=" "
PEER_NAMES=()
PEER_DIR=""
PEER_CLEANED=0

peer_warn() {
    echo "" >&2
    echo "!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!" >&2
    echo "!!! with-peers: $*" >&2
    echo "!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!" >&2
    echo "" >&2
}

# Prints a port that can be bound on 127.0.0.1 now and that no other peer of
# this run was given. Chosen below the range of outgoing local ports
# (32768-60999 here), so that no connection of the tests can hold it.
peer_free_port() {
    local port i
    for i in $(seq 1 200); do
        port=$(( 20000 + (RANDOM * 32768 + RANDOM) % 12000 ))
        case "$PEER_PORTS_TAKEN" in *" $port "*) continue ;; esac
        if python3 - "$port" <<'EOF' 2>/dev/null
import socket, sys
s = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
s.bind(("127.0.0.1", int(sys.argv[1])))
s.close()
EOF
        then
            PEER_PORTS_TAKEN="$PEER_PORTS_TAKEN$port "
            echo "$port"
            return 0
        fi
    done
    return 1
}

# peer_spawn LOGFILE CMD [ARGS...]: starts CMD in the background in a session
# of its own; its pid is left in PEER_LAST_PID.
peer_spawn() {
    local log="$1"
    shift
    setsid "$@" >>"$log" 2>&1 </dev/null &
    PEER_LAST_PID=$!
    PEER_PIDS+=("$PEER_LAST_PID")
}

# A pid that still runs (not a zombie).
peer_alive() {
    local state
    [ -r "/proc/$1/stat" ] || return 1
    state=$(sed -e 's/^.*) //' "/proc/$1/stat" 2>/dev/null | cut -d' ' -f1)
    [ -n "$state" ] && [ "$state" != "Z" ] && [ "$state" != "X" ]
}

# peer_wait_port PORT [PID] [SECONDS]: true once 127.0.0.1:PORT accepts a
# connection; false when PID ends first or SECONDS (default 5) pass.
peer_wait_port() {
    local port="$1" pid="${2:-}" secs="${3:-5}" i
    for i in $(seq 1 $(( secs * 10 ))); do
        if (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null; then
            return 0
        fi
        if [ -n "$pid" ] && ! peer_alive "$pid"; then
            return 1
        fi
        sleep 0.1
    done
    return 1
}

# peer_stop_pid PID: TERM to its session, KILL after about 3 s.
peer_stop_pid() {
    local pid="$1" i
    peer_alive "$pid" || return 0
    kill -TERM -- "-$pid" 2>/dev/null || kill -TERM "$pid" 2>/dev/null
    for i in $(seq 1 30); do
        peer_alive "$pid" || return 0
        sleep 0.1
    done
    kill -KILL -- "-$pid" 2>/dev/null || kill -KILL "$pid" 2>/dev/null
}

peer_cleanup() {
    [ "$PEER_CLEANED" = 1 ] && return
    PEER_CLEANED=1
    local name fn pid
    for name in "${PEER_NAMES[@]}"; do
        fn="stop_${name//-/_}"
        if declare -F "$fn" >/dev/null; then
            "$fn" "$PEER_DIR/$name" || true
        fi
    done
    # Everything at once, then the laggards: the bound stays about 3 s.
    for pid in "${PEER_PIDS[@]}"; do
        peer_alive "$pid" && { kill -TERM -- "-$pid" 2>/dev/null || kill -TERM "$pid" 2>/dev/null; }
    done
    for pid in "${PEER_PIDS[@]}"; do
        peer_stop_pid "$pid"
    done
    for pid in "${PEER_PIDS[@]}"; do
        wait "$pid" 2>/dev/null
    done
    if [ -n "$PEER_DIR" ] && [ -d "$PEER_DIR" ]; then
        rm -rf "$PEER_DIR"
    fi
}

PEER_CMD_PID=""
peer_on_signal() {
    [ -n "$PEER_CMD_PID" ] && kill -TERM "$PEER_CMD_PID" 2>/dev/null
    exit "$1"
}
trap 'peer_cleanup' EXIT
trap 'peer_on_signal 129' HUP
trap 'peer_on_signal 130' INT
trap 'peer_on_signal 143' TERM

PEER_DIR="$(mktemp -d "${TMPDIR:-/tmp}/vemnet-peers.XXXXXX")" || { echo "with-peers: no temp dir" >&2; exit 2; }
# Servers that drop their privileges (squid as proxy, tinyproxy) must reach
# their files below it.
chmod 755 "$PEER_DIR"

for file in "$PEERS_HERE"/peer-*.sh; do
    [ -e "$file" ] || continue
    name="$(basename "$file" .sh)"
    name="${name#peer-}"
    # shellcheck disable=SC1090
    if ! source "$file"; then
        peer_warn "could not load $file"
        continue
    fi
    fn="start_${name//-/_}"
    if ! declare -F "$fn" >/dev/null; then
        peer_warn "$file defines no $fn"
        continue
    fi
    PEER_NAMES+=("$name")
    mkdir -p "$PEER_DIR/$name"
    chmod 755 "$PEER_DIR/$name"
    if ! "$fn" "$PEER_DIR/$name"; then
        peer_warn "peer '$name' did not start; the tests that need it will fail (logs: $PEER_DIR/$name)"
        for log in "$PEER_DIR/$name"/*.log; do
            [ -s "$log" ] && { echo "--- $log" >&2; tail -n 20 "$log" >&2; }
        done
    fi
done

# In the background, so that a signal reaches the traps at once rather than
# after the command.
"$@" &
PEER_CMD_PID=$!
wait "$PEER_CMD_PID"
status=$?
PEER_CMD_PID=""
peer_cleanup
exit $status
