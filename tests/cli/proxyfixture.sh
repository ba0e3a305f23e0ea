#!/usr/bin/env bash
# The proxies of the proxy tests, each a real squid of its own that asks
# for one sign-in scheme, and the offline Kerberos realm of the Negotiate
# one. Everything lives in DIR; nothing of the system's squid or Kerberos
# setting is used or changed.
#
#   proxyfixture.sh DIR KDC_PORT BASIC_PORT NTLM_PORT NEGOTIATE_PORT
#
# It prints "ready" once everything answers, and stops all of it when its
# standard input closes. It sets up the realm UPDATER.TEST with the desk's account desk / desk-pw (its
# ticket in DIR/ccache) and the proxy's HTTP/localhost (its key in
# DIR/http.keytab); Basic's account desk / right-pw; the squids on
# 127.0.0.1, logging to DIR/<scheme>/access.log. Each squid resolves the
# name updates.test to 127.0.0.1, which the desk cannot: a transfer to it
# that arrives went through a proxy.
set -euo pipefail

dir="$1"
realm=UPDATER.TEST
helpers=/usr/lib/squid
children=()

stop() {
  [ ${#children[@]} -gt 0 ] || return 0
  kill "${children[@]}" 2>/dev/null || true
  wait "${children[@]}" 2>/dev/null || true
  children=()
}
trap stop EXIT

kdc_port="$2"
declare -A ports=([basic]="$3" [ntlm]="$4" [negotiate]="$5")

# Squid works as its own user where it starts as root: it must reach the
# folder and read its files.
chmod 755 "$dir"

export KRB5_CONFIG="$dir/krb5.conf" KRB5_KDC_PROFILE="$dir/kdc.conf" KRB5CCNAME="FILE:$dir/ccache"
export KRB5_KTNAME="$dir/http.keytab" KRB5RCACHETYPE=none
cat >"$KRB5_CONFIG" <<CONF
[libdefaults]
    default_realm = $realm
    dns_lookup_kdc = false
    dns_lookup_realm = false
    dns_canonicalize_hostname = false
    rdns = false
    udp_preference_limit = 1
[realms]
    $realm = {
        kdc = 127.0.0.1:$kdc_port
    }
[domain_realm]
    localhost = $realm
CONF
cat >"$KRB5_KDC_PROFILE" <<CONF
[kdcdefaults]
    kdc_ports = $kdc_port
    kdc_tcp_ports = $kdc_port
[realms]
    $realm = {
        database_name = $dir/kdc/principal
        key_stash_file = $dir/kdc/stash
        acl_file = $dir/kdc/kadm5.acl
        kdc_ports = $kdc_port
        kdc_tcp_ports = $kdc_port
    }
[logging]
    kdc = FILE:$dir/kdc/kdc.log
CONF
mkdir -p "$dir/kdc"
kdb5_util create -s -r "$realm" -P master-pw >/dev/null
kadmin.local -r "$realm" -q "addprinc -pw desk-pw desk" >/dev/null 2>&1
kadmin.local -r "$realm" -q "addprinc -randkey HTTP/localhost" >/dev/null 2>&1
kadmin.local -r "$realm" -q "ktadd -k $KRB5_KTNAME HTTP/localhost" >/dev/null
chmod 644 "$KRB5_KTNAME"
krb5kdc -n </dev/null >"$dir/kdc/out.log" 2>&1 &
children+=($!)

htpasswd -bc "$dir/passwd" desk right-pw 2>/dev/null
chmod 644 "$dir/passwd"
printf '127.0.0.1 localhost updates.test\n' >"$dir/hosts"

declare -A schemes=(
  [basic]="auth_param basic program $helpers/basic_ncsa_auth $dir/passwd"
  [ntlm]="auth_param ntlm program $helpers/ntlm_fake_auth"
  [negotiate]="auth_param negotiate program $helpers/negotiate_kerberos_auth -k $KRB5_KTNAME -s HTTP/localhost@$realm"
)
for scheme in basic ntlm negotiate; do
  mkdir -p "$dir/$scheme"
  chmod 777 "$dir/$scheme"
  cat >"$dir/$scheme/squid.conf" <<CONF
http_port 127.0.0.1:${ports[$scheme]}
pid_filename $dir/$scheme/squid.pid
access_log stdio:$dir/$scheme/access.log
cache_log $dir/$scheme/cache.log
cache_store_log none
netdb_filename none
coredump_dir $dir/$scheme
pinger_enable off
icp_port 0
htcp_port 0
cache deny all
shutdown_lifetime 0 seconds
hosts_file $dir/hosts
${schemes[$scheme]}
auth_param $scheme children 1 startup=1
acl signedin proxy_auth REQUIRED
http_access allow signedin
http_access deny all
CONF
  squid -N -f "$dir/$scheme/squid.conf" </dev/null >"$dir/$scheme/out.log" 2>&1 &
  children+=($!)
done

# The desk's ticket, once the KDC answers.
for i in $(seq 1 50); do
  echo desk-pw | kinit desk >/dev/null 2>&1 && break
  sleep 0.1
done
klist -s
# Every squid takes connections.
for scheme in basic ntlm negotiate; do
  for i in $(seq 1 100); do
    (exec 3<>"/dev/tcp/127.0.0.1/${ports[$scheme]}") 2>/dev/null && break
    sleep 0.1
  done
  (exec 3<>"/dev/tcp/127.0.0.1/${ports[$scheme]}")
done
echo ready
# Until the test closes its end.
cat >/dev/null
