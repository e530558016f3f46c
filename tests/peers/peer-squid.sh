# squid instances, one per way of asking for proxy credentials:
#   VEMNET_SQUID_PLAIN_PORT  CONNECT without authentication
#   VEMNET_SQUID_BASIC_PORT  Basic (basic_ncsa_auth, htpasswd file); also a
#                            plain forward proxy with Basic
#   VEMNET_SQUID_NTLM_PORT   NTLM only (ntlm_fake_auth: any user and password)
#   VEMNET_SQUID_BOTH_PORT   NTLM and Basic, offered in that order
#   VEMNET_SQUID_DIGEST_PORT Digest only (digest_file_auth, MD5)
#   VEMNET_SQUID_NEGOTIATE_PORT  Negotiate only (negotiate_kerberos_auth with
#                            the keytab of peer-kdc.sh)
#   VEMNET_SQUID_ALL_PORT    Negotiate, NTLM and Basic, in that order; its
#                            access log, VEMNET_SQUID_ALL_LOG, names the
#                            scheme of each request's credentials
# The instances that need the Kerberos realm start only when peer-kdc.sh has.
# CONNECT goes to any port of 127.0.0.1; squid never asks an outside resolver.
# squid drops to user proxy, so each instance's directory belongs to it.

SQUID_BIN="${SQUID_BIN:-squid}"
SQUID_INSTANCES="plain basic ntlm both digest negotiate all"

# squid_conf DIR PORT KIND
squid_conf() {
    local d="$1" port="$2" kind="$3"
    cat <<EOF
http_port 127.0.0.1:$port
visible_hostname localhost
pid_filename $d/squid.pid
cache_log $d/cache.log
access_log stdio:$d/access.log
cache_store_log none
logfile_rotate 0
coredump_dir $d
cache deny all
cache_mem 8 MB
memory_pools off
netdb_filename none
pinger_enable off
dns_nameservers 127.0.0.1
hosts_file /etc/hosts
shutdown_lifetime 0 seconds
max_filedescriptors 4096
forwarded_for delete
via off
acl from_loopback src 127.0.0.1/32
acl to_loopback dst 127.0.0.1/32 ::1/128
EOF
    case "$kind" in
    digest)
        cat <<EOF
auth_param digest program /usr/lib/squid/digest_file_auth $d/digest_passwd
auth_param digest children 2 startup=1
auth_param digest realm vemnet
EOF
        ;;
    negotiate | all)
        cat <<EOF
auth_param negotiate program /usr/lib/squid/negotiate_kerberos_auth -s GSS_C_NO_NAME -k $VEMNET_KERBEROS_KEYTAB -t none
auth_param negotiate children 2 startup=1
auth_param negotiate keep_alive on
EOF
        if [ "$kind" = all ]; then
            cat <<EOF
auth_param ntlm program /usr/lib/squid/ntlm_fake_auth
auth_param ntlm children 2 startup=1
auth_param ntlm keep_alive on
auth_param basic program /usr/lib/squid/basic_ncsa_auth $d/passwd
auth_param basic children 2 startup=1
auth_param basic realm vemnet
logformat schemes %rm %{Proxy-Authorization}>h
access_log stdio:$d/schemes.log schemes
EOF
        fi
        ;;
    basic | both)
        [ "$kind" = both ] && cat <<EOF
auth_param ntlm program /usr/lib/squid/ntlm_fake_auth
auth_param ntlm children 2 startup=1
auth_param ntlm keep_alive on
EOF
        cat <<EOF
auth_param basic program /usr/lib/squid/basic_ncsa_auth $d/passwd
auth_param basic children 2 startup=1
auth_param basic realm vemnet
auth_param basic credentialsttl 1 second
EOF
        ;;
    ntlm)
        cat <<EOF
auth_param ntlm program /usr/lib/squid/ntlm_fake_auth
auth_param ntlm children 2 startup=1
auth_param ntlm keep_alive on
EOF
        ;;
    esac
    if [ "$kind" = plain ]; then
        echo "http_access allow from_loopback to_loopback"
    else
        echo "acl authed proxy_auth REQUIRED"
        echo "http_access deny !from_loopback"
        echo "http_access deny !to_loopback"
        echo "http_access allow authed"
    fi
    echo "http_access deny all"
}

start_squid() {
    local base="$1" kind d port ok=0 var
    command -v "$SQUID_BIN" >/dev/null || { echo "squid is not installed" >"$base/squid.log"; return 1; }
    local wanted=0
    for kind in $SQUID_INSTANCES; do
        case "$kind" in negotiate | all) [ -n "${VEMNET_KERBEROS_KEYTAB:-}" ] || continue ;; esac
        wanted=$((wanted + 1))
        d="$base/$kind"
        mkdir -p "$d"
        port=$(peer_free_port) || return 1
        squid_conf "$d" "$port" "$kind" >"$d/squid.conf"
        if [ "$kind" != plain ]; then
            printf '%s:%s\n' "$VEMNET_PROXY_USER" "$(openssl passwd -apr1 "$VEMNET_PROXY_PASSWORD")" >"$d/passwd"
            printf '%s:%s\n' "$VEMNET_PROXY_USER" "$VEMNET_PROXY_PASSWORD" >"$d/digest_passwd"
        fi
        chown -R proxy:proxy "$d" 2>/dev/null
        chmod 755 "$d"
        peer_spawn "$d/squid.log" "$SQUID_BIN" -N -n "vemnet$kind$port" -f "$d/squid.conf"
        if peer_wait_port "$port" "$PEER_LAST_PID" 8; then
            var="VEMNET_SQUID_$(echo "$kind" | tr a-z A-Z)_PORT"
            export "$var=$port"
            ok=$((ok + 1))
            [ "$kind" = all ] && export VEMNET_SQUID_ALL_LOG="$d/schemes.log"
        else
            echo "squid ($kind) did not come up on port $port" >>"$base/squid.log"
            tail -n 20 "$d/squid.log" "$d/cache.log" >>"$base/squid.log" 2>/dev/null
        fi
    done
    [ "$ok" = "$wanted" ]
}

stop_squid() {
    :
}
