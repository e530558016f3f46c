# SOCKS4 and SOCKS4a through OpenSSH's dynamic forwarding: a private sshd on
# loopback (key authentication only) and "ssh -N -D": VEMNET_SOCKS4A_PORT.

start_socks4a() {
    local d="$1" sshport port me
    command -v sshd >/dev/null || command -v /usr/sbin/sshd >/dev/null || { echo "sshd is not installed" >"$d/sshd.log"; return 1; }
    local sshd_bin
    sshd_bin="$(command -v sshd || echo /usr/sbin/sshd)"
    sshport=$(peer_free_port) || return 1
    port=$(peer_free_port) || return 1
    me="$(id -un)"
    mkdir -p /run/sshd 2>/dev/null
    chmod 700 "$d"
    ssh-keygen -q -t ed25519 -N '' -f "$d/host_key" >/dev/null || return 1
    ssh-keygen -q -t ed25519 -N '' -f "$d/client_key" >/dev/null || return 1
    cp "$d/client_key.pub" "$d/authorized_keys"
    cat >"$d/sshd_config" <<CONF
Port $sshport
ListenAddress 127.0.0.1
HostKey $d/host_key
PidFile $d/sshd.pid
AuthorizedKeysFile $d/authorized_keys
PubkeyAuthentication yes
PasswordAuthentication no
KbdInteractiveAuthentication no
PermitRootLogin prohibit-password
UsePAM no
StrictModes no
UseDNS no
AllowTcpForwarding yes
PermitTunnel no
X11Forwarding no
PrintMotd no
LogLevel ERROR
CONF
    peer_spawn "$d/sshd.log" "$sshd_bin" -D -e -f "$d/sshd_config"
    peer_wait_port "$sshport" "$PEER_LAST_PID" || return 1
    peer_spawn "$d/ssh.log" ssh -N -D "127.0.0.1:$port" -p "$sshport" -i "$d/client_key" \
        -F /dev/null -o BatchMode=yes -o StrictHostKeyChecking=no -o UserKnownHostsFile=/dev/null \
        -o ExitOnForwardFailure=yes -o ServerAliveInterval=0 -o LogLevel=ERROR "$me@127.0.0.1"
    peer_wait_port "$port" "$PEER_LAST_PID" 10 || return 1
    export VEMNET_SOCKS4A_PORT=$port
}

stop_socks4a() {
    :
}
