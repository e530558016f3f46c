# The HTTP session server (session_server.py) for the HTTP connection tests:
#   VEMNET_SESSION_SERVER_PORT  its port on 127.0.0.1

start_session() {
    local d="$1" port
    command -v python3 >/dev/null || { echo "python3 is not installed" >"$d/session.log"; return 1; }
    port=$(peer_free_port) || return 1
    peer_spawn "$d/session.log" python3 "$PEERS_HERE/session_server.py" --port "$port" --max-seconds 3600
    if ! peer_wait_port "$port" "$PEER_LAST_PID" 8; then
        echo "session server did not come up on port $port" >>"$d/session.log"
        return 1
    fi
    export VEMNET_SESSION_SERVER_PORT="$port"
}

stop_session() {
    :
}
