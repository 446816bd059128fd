#!/usr/bin/env bash
# https_delivery_test.sh <client> <pinned client> <fennick-ingest> <tls folder> [emulator...]
# Clients built for https://localhost:5443 that trust the CA in <tls folder> (made here, new
# for each run; the first finds it through a path relative to its own folder), the pinned one with a key no server here has, against the real server, on
# Linux and (through the emulator, the dump folder on drive Z:) under Wine. A report goes
# over HTTPS, directly and through a proxy, and arrives whole; a certificate of another CA,
# an expired one, one for another host, a key other than the pinned one and a proxy that
# refuses each fail the run with the files kept.
set -eu
client=$1 pinned=$2 ingest=$3 tls=$4
shift 4
kServerPort=5443
kProxyPort=5444
source_dir=$(realpath "$(dirname "$0")/../..")
work=$(mktemp -d)
# The clients must find their CA from their own folder, not from where they are started.
cd "$work"
server="" proxy=""
stop() {
  for pid in $server $proxy; do kill "$pid" 2>/dev/null && wait "$pid" 2>/dev/null || true; done
  server="" proxy=""
}
trap 'stop; rm -rf "$work"' EXIT
# The environment's own proxy settings stay out of the runs that do not ask for one.
unset http_proxy https_proxy HTTPS_PROXY all_proxy ALL_PROXY no_proxy NO_PROXY
"$source_dir/tests/support/make_test_certs.sh" "$tls"
failures=0
fail() { echo "FAILED: $*" >&2; failures=$((failures + 1)); }

# Waits until something accepts connections on port $1 (a slow machine can take long).
await_port() {
  tries=0
  until (echo >/dev/tcp/127.0.0.1/"$1") 2>/dev/null; do
    tries=$((tries + 1))
    [ "$tries" -lt 600 ] || { echo "nothing listens on port $1" >&2; exit 1; }
    sleep 0.2
  done
}

# start_server <certificate>: fennick-ingest over HTTPS with a store of its own.
start_server() {
  rm -rf "$work/store"
  "$ingest" --port "$kServerPort" --store "$work/store" \
    --tls-cert "$tls/$1" --tls-key "$tls/server.key" 2>>"$work/server.log" &
  server=$!
  await_port "$kServerPort"
}

# start_proxy <port CONNECT may reach>: a real forwarding proxy that logs each request.
start_proxy() {
  cat >"$work/proxy.conf" <<CONF
Port $kProxyPort
Listen 127.0.0.1
Timeout 60
LogFile "$work/proxy.log"
LogLevel Info
Allow 127.0.0.1
ConnectPort $1
CONF
  tinyproxy -d -c "$work/proxy.conf" >/dev/null 2>&1 &
  proxy=$!
  await_port "$kProxyPort"
}

# run_client <case> <program> <expected exit> [environment...]: one run over a fresh report.
run_client() {
  name=$1 program=$2 expected=$3
  shift 3
  rm -rf "$work/dumps" && mkdir "$work/dumps"
  cp "$source_dir/tests/fixtures/dumps/null_write.dmp" "$work/dumps/a.dmp"
  printf '{"schema_version":1,"dump_id":"%s","dump_file":"a.dmp"}' "$name" >"$work/dumps/a.crash.json"
  folder=$work/dumps
  [ -z "$emulator" ] || folder=Z:$folder
  status=0
  env "$@" XDG_DATA_HOME="$work/data" $emulator "$program" --scan "$folder" 2>"$work/client.log" ||
    status=$?
  [ "$status" -eq "$expected" ] || fail "$name: exit $status, not $expected: $(cat "$work/client.log")"
}

delivered() {  # delivered <case>: the store holds the report with the dump byte for byte
  if ! cmp -s "$source_dir/tests/fixtures/dumps/null_write.dmp" "$work/store/$1/a.dmp" ||
     [ -n "$(ls "$work/dumps")" ]; then
    fail "$1: not delivered whole, or the files stayed: $(cat "$work/client.log")"
  fi
}

# kept <case> <curl code>: nothing stored, both files still there, and the one upload
# failure said with libcurl's code for the reason
kept() {
  if [ -e "$work/store/$1" ] || [ "$(ls "$work/dumps" | wc -l)" -ne 2 ] ||
     [ "$(grep -c "^\[Fennick\] upload failed, curl=$2, http=0, dump=" "$work/client.log")" -ne 1 ]; then
    fail "$1: not refused (curl=$2) with the files kept: $(cat "$work/client.log")"
  fi
}

# The user's Windows proxy setting: version 0x46, a change count, flags direct|proxy, then
# the proxy text, an empty bypass list and no script URL, each a DWORD length before its bytes.
kProxySettingKey='HKCU\Software\Microsoft\Windows\CurrentVersion\Internet Settings\Connections'
wine_reg() { $emulator reg "$@" >/dev/null 2>&1; }
set_windows_proxy() {
  proxy_text=127.0.0.1:$kProxyPort
  blob=460000000000000003000000$(printf '%02x000000' "${#proxy_text}")
  blob=$blob$(printf '%s' "$proxy_text" | od -An -tx1 | tr -d ' \n')
  blob=${blob}0000000000000000$(printf '0%.0s' $(seq 64))
  wine_reg add "$kProxySettingKey" /v DefaultConnectionSettings /t REG_BINARY /d "$blob" /f
}

emulator="$*"
if [ -n "$emulator" ]; then
  # A prefix of the test's own: every other Windows test's fennick would follow the proxy.
  export FENNICK_WINE_PREFIX
  FENNICK_WINE_PREFIX=$(dirname "$client")/https-wine-prefix
  trap 'stop; wine_reg delete "$kProxySettingKey" /v DefaultConnectionSettings /f || true
        WINEPREFIX=$FENNICK_WINE_PREFIX wineserver -k 2>/dev/null || true; rm -rf "$work"' EXIT
fi
start_server server.pem
run_client direct "$client" 0 && delivered direct
run_client pinned "$pinned" 1 && kept pinned 90
start_proxy "$kServerPort"
if [ -z "$emulator" ]; then
  proxy_setting=https_proxy=http://127.0.0.1:$kProxyPort
else
  proxy_setting=""
  set_windows_proxy
fi
run_client proxied "$client" 0 $proxy_setting
delivered proxied
grep -q "CONNECT localhost:$kServerPort " "$work/proxy.log" || fail "the proxy saw no CONNECT"
if [ -n "$emulator" ] && ! grep -q "^\[Fennick\] using proxy 127.0.0.1:$kProxyPort, dump=" "$work/client.log"; then
  fail "no log line named the user's proxy: $(cat "$work/client.log")"
fi
stop
start_proxy 1
start_server server.pem
run_client refused-by-proxy "$client" 1 $proxy_setting
kept refused-by-proxy 56
[ -z "$emulator" ] || wine_reg delete "$kProxySettingKey" /v DefaultConnectionSettings /f
for certificate in other-ca-server.pem expired.pem wrong-host.pem; do
  stop
  start_server "$certificate"
  run_client "$certificate" "$client" 1 && kept "$certificate" 60
done
[ "$failures" -eq 0 ]
