# microsocks, SOCKS5 only: VEMNET_MICROSOCKS_PORT without authentication,
# VEMNET_MICROSOCKS_AUTH_PORT with user and password. It drops bytes sent
# before its reply, so clients must wait for each answer.

start_microsocks() {
    local d="$1" port authport
    command -v microsocks >/dev/null || { echo "microsocks is not installed" >"$d/microsocks.log"; return 1; }
    port=$(peer_free_port) || return 1
    authport=$(peer_free_port) || return 1
    peer_spawn "$d/microsocks.log" microsocks -i 127.0.0.1 -p "$port"
    local plain=$PEER_LAST_PID
    peer_spawn "$d/microsocks-auth.log" microsocks -i 127.0.0.1 -p "$authport" \
        -u "$VEMNET_PROXY_USER" -P "$VEMNET_PROXY_PASSWORD"
    local auth=$PEER_LAST_PID
    local ok=0
    if peer_wait_port "$port" "$plain"; then export VEMNET_MICROSOCKS_PORT=$port; ok=$((ok + 1)); fi
    if peer_wait_port "$authport" "$auth"; then export VEMNET_MICROSOCKS_AUTH_PORT=$authport; ok=$((ok + 1)); fi
    [ "$ok" = 2 ]
}

stop_microsocks() {
    :
}
