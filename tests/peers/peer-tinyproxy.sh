# tinyproxy with Basic credentials: VEMNET_TINYPROXY_PORT. It answers 401
# (not 407) to wrong credentials and closes after every refusal.

start_tinyproxy() {
    local d="$1" port
    command -v tinyproxy >/dev/null || { echo "tinyproxy is not installed" >"$d/tinyproxy.log"; return 1; }
    port=$(peer_free_port) || return 1
    cat >"$d/tinyproxy.conf" <<CONF
User tinyproxy
Group tinyproxy
Port $port
Listen 127.0.0.1
Timeout 60
LogFile "$d/tinyproxy.log"
LogLevel Info
PidFile "$d/tinyproxy.pid"
MaxClients 50
Allow 127.0.0.1
BasicAuth $VEMNET_PROXY_USER $VEMNET_PROXY_PASSWORD
DisableViaHeader Yes
CONF
    touch "$d/tinyproxy.log"
    chown -R tinyproxy:tinyproxy "$d" 2>/dev/null
    peer_spawn "$d/stderr.log" tinyproxy -d -c "$d/tinyproxy.conf"
    peer_wait_port "$port" "$PEER_LAST_PID" || return 1
    export VEMNET_TINYPROXY_PORT=$port
}

stop_tinyproxy() {
    :
}
