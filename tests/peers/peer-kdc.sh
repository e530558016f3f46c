# A Kerberos realm of its own on the loopback, for Negotiate through squid:
# an MIT KDC (krb5kdc) with a private configuration, database and keytab.
#   KRB5_CONFIG               the realm's client configuration (127.0.0.1 only)
#   KRB5CCNAME                a ticket cache with a ticket for kerbuser
#                             (password kerbpass, realm VEMNET.TEST), got
#                             with kinit
#   VEMNET_KERBEROS_KEYTAB    the keys of HTTP/localhost and HTTP/127.0.0.1,
#                             for squid's negotiate_kerberos_auth
#   VEMNET_KDC_PORT           the KDC's port (UDP and TCP)
# Names are never canonicalised: no DNS query leaves the machine.

VEMNET_KERBEROS_REALM=VEMNET.TEST

start_kdc() {
    local d="$1" port tool
    for tool in krb5kdc kdb5_util kadmin.local kinit; do
        command -v "$tool" >/dev/null || { echo "$tool is not installed (krb5-kdc, krb5-admin-server, krb5-user)" >"$d/kdc.log"; return 1; }
    done
    port=$(peer_free_port) || return 1
    cat >"$d/krb5.conf" <<EOF
[libdefaults]
    default_realm = $VEMNET_KERBEROS_REALM
    dns_lookup_kdc = false
    dns_lookup_realm = false
    dns_canonicalize_hostname = false
    rdns = false
    udp_preference_limit = 1
[realms]
    $VEMNET_KERBEROS_REALM = {
        kdc = 127.0.0.1:$port
    }
EOF
    cat >"$d/kdc.conf" <<EOF
[kdcdefaults]
    kdc_ports = $port
    kdc_tcp_ports = $port
[realms]
    $VEMNET_KERBEROS_REALM = {
        database_name = $d/principal
        key_stash_file = $d/stash
        acl_file = $d/kadm5.acl
        max_life = 1h
    }
[logging]
    kdc = FILE:$d/kdc-own.log
EOF
    : >"$d/kadm5.acl"
    export KRB5_CONFIG="$d/krb5.conf"
    export KRB5_KDC_PROFILE="$d/kdc.conf"
    {
        kdb5_util create -s -r "$VEMNET_KERBEROS_REALM" -P vemnet-master-key &&
        kadmin.local -r "$VEMNET_KERBEROS_REALM" -q "addprinc -pw kerbpass kerbuser" &&
        kadmin.local -r "$VEMNET_KERBEROS_REALM" -q "addprinc -randkey HTTP/localhost" &&
        kadmin.local -r "$VEMNET_KERBEROS_REALM" -q "addprinc -randkey HTTP/127.0.0.1" &&
        kadmin.local -r "$VEMNET_KERBEROS_REALM" -q "ktadd -k $d/http.keytab HTTP/localhost HTTP/127.0.0.1"
    } >>"$d/kdc.log" 2>&1 || return 1
    # squid's helper runs as proxy.
    chown proxy "$d/http.keytab" 2>/dev/null
    peer_spawn "$d/kdc.log" krb5kdc -n -r "$VEMNET_KERBEROS_REALM" -P "$d/kdc.pid"
    peer_wait_port "$port" "$PEER_LAST_PID" 8 || return 1
    export KRB5CCNAME="FILE:$d/ccache"
    echo kerbpass | kinit "kerbuser@$VEMNET_KERBEROS_REALM" >>"$d/kdc.log" 2>&1 || return 1
    export VEMNET_KERBEROS_KEYTAB="$d/http.keytab"
    export VEMNET_KDC_PORT="$port"
}
