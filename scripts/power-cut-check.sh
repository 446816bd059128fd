#!/usr/bin/env bash
# A power cut right after acceptance, for fennick-ingest; run by hand as root (it mounts a
# loop device). Three reports are sent; right after the last {"code":0} the ext4 file
# system under the store is shut down without flushing its journal, which leaves on the
# disk what a power cut would. After a fresh mount every accepted report must be listed by
# the server and its dump must be whole.
#   scripts/power-cut-check.sh [fennick-ingest]   (default build/tools/ingest/fennick-ingest)
# Needs 127.0.0.1:5001 free: `unshare -n sh -c 'ip link set lo up && scripts/power-cut-check.sh'`.
set -euo pipefail
cd "$(dirname "$0")/.."
ingest=$(realpath "${1:-build/tools/ingest/fennick-ingest}")
key="X-Api-Key: QZVMTRA-PLKXNE-HDWQGS-5B1D7E9C03"

work=$(mktemp -d)
loop=""
server_pid=""
cleanup() {
  [ -z "$server_pid" ] || { kill "$server_pid" 2>/dev/null; wait "$server_pid" 2>/dev/null || true; }
  umount "$work/disk" 2>/dev/null || true
  [ -z "$loop" ] || losetup -d "$loop"
  rm -rf "$work"
}
trap cleanup EXIT

start_server() {
  "$ingest" --port 5001 --store "$work/disk/store" 2>/dev/null &
  server_pid=$!
  until curl --noproxy '*' -s -o /dev/null http://127.0.0.1:5001/api/reports; do sleep 0.05; done
}
stop_server() { kill "$server_pid"; wait "$server_pid" || true; server_pid=""; }

truncate -s 64M "$work/disk.img"
mkfs.ext4 -q "$work/disk.img"
loop=$(losetup -f --show "$work/disk.img")
mkdir "$work/disk"
mount "$loop" "$work/disk"
head -c 200000 /dev/urandom >"$work/dump.dmp"

start_server
for i in 1 2 3; do
  reply=$(curl --noproxy '*' -s -H "$key" -F "file=@$work/dump.dmp" -F "dump_id=R$i" \
    http://127.0.0.1:5001/api/report/crash)
  [ "$reply" = '{"code":0}' ] || { echo "R$i was not accepted: $reply" >&2; exit 1; }
done
# EXT4_IOC_SHUTDOWN with EXT4_GOING_FLAGS_NOLOGFLUSH: nothing more reaches the disk.
perl -e 'open(my $f, "<", $ARGV[0]) or die "$!"; my $flags = pack("L", 2); ioctl($f, 0x8004587D, $flags) or die "$!"' \
  "$work/disk"
stop_server
umount "$work/disk"
mount "$loop" "$work/disk"

start_server
whole=0
for i in 1 2 3; do
  if curl --noproxy '*' -s http://127.0.0.1:5001/api/reports | grep -q "\"dump_id\": \"R$i\"" &&
     curl --noproxy '*' -s http://127.0.0.1:5001/reports/R$i/dump | cmp -s - "$work/dump.dmp"; then
    whole=$((whole + 1))
  else
    echo "R$i was accepted but is not whole after the power cut" >&2
  fi
done
echo "$whole of 3 accepted reports whole after the power cut"
[ "$whole" -eq 3 ]
