# dante (danted), SOCKS5 (and SOCKS4, not 4a): VEMNET_DANTE_PORT without
# authentication, VEMNET_DANTE_AUTH_PORT with the username method, which
# checks the system's accounts: the account is made here when missing.

dante_conf() {
    local d="$1" port="$2" method="$3"
    cat <<CONF
logoutput: $d/danted-$method.log
internal: 127.0.0.1 port = $port
external: 127.0.0.1
clientmethod: none
socksmethod: $method
user.privileged: root
user.unprivileged: nobody
client pass {
    from: 127.0.0.1/32 to: 0.0.0.0/0
}
socks pass {
    from: 127.0.0.1/32 to: 127.0.0.1/32
    command: connect
}
socks block {
    from: 0.0.0.0/0 to: 0.0.0.0/0
}
CONF
}

dante_account() {
    if ! id "$VEMNET_PROXY_USER" >/dev/null 2>&1; then
        useradd -M -s /usr/sbin/nologin "$VEMNET_PROXY_USER" || return 1
    fi
    echo "$VEMNET_PROXY_USER:$VEMNET_PROXY_PASSWORD" | chpasswd
}

start_dante() {
    local d="$1" port authport ok=0
    command -v danted >/dev/null || { echo "danted is not installed" >"$d/dante.log"; return 1; }
    port=$(peer_free_port) || return 1
    authport=$(peer_free_port) || return 1
    dante_conf "$d" "$port" none >"$d/none.conf"
    dante_conf "$d" "$authport" username >"$d/username.conf"
    peer_spawn "$d/dante.log" danted -f "$d/none.conf" -p "$d/none.pid" -N 1
    local plain=$PEER_LAST_PID
    if dante_account; then
        peer_spawn "$d/dante-auth.log" danted -f "$d/username.conf" -p "$d/username.pid" -N 1
        local auth=$PEER_LAST_PID
        if peer_wait_port "$authport" "$auth"; then export VEMNET_DANTE_AUTH_PORT=$authport; ok=$((ok + 1)); fi
    else
        echo "could not make the account $VEMNET_PROXY_USER" >>"$d/dante.log"
    fi
    if peer_wait_port "$port" "$plain"; then export VEMNET_DANTE_PORT=$port; ok=$((ok + 1)); fi
    [ "$ok" = 2 ]
}

stop_dante() {
    :
}
