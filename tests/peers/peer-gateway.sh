# vemnet-gateway of the Linux build in front of an echo service that closes
# after "bye" (echo_backend.py), for the HTTP connection tests of every build:
#   VEMNET_GATEWAY_PORT  the gateway's port on 127.0.0.1
# The gateway program is $VEMNET_GATEWAY_PROGRAM, else build/linux's.

start_gateway() {
    local d="$1" echo_port port program
    program="${VEMNET_GATEWAY_PROGRAM:-$PEERS_HERE/../../build/linux/vemnet-gateway}"
    [ -x "$program" ] || { echo "no vemnet-gateway at $program (build the Linux tree first)" >"$d/gateway.log"; return 1; }
    echo_port=$(peer_free_port) || return 1
    port=$(peer_free_port) || return 1
    peer_spawn "$d/echo.log" python3 "$PEERS_HERE/echo_backend.py" --port "$echo_port" --max-seconds 3600
    peer_wait_port "$echo_port" "$PEER_LAST_PID" 8 || return 1
    peer_spawn "$d/gateway.log" "$program" --listen "127.0.0.1:$port" --backend "127.0.0.1:$echo_port"
    if ! peer_wait_port "$port" "$PEER_LAST_PID" 8; then
        echo "vemnet-gateway did not come up on port $port" >>"$d/gateway.log"
        return 1
    fi
    export VEMNET_GATEWAY_PORT="$port"
}

stop_gateway() {
    :
}
