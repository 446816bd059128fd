#!/bin/sh
# unlistable_folder_test.sh <fennick program> [emulator...]
# A dump folder that is there but cannot be listed is a failure with its own line, on Linux
# and (through the emulator, with the folder on drive Z:) on Windows: a folder that cannot
# be read, one in a folder that cannot be searched, and (Linux) one whose reading fails
# after it opened.
set -eu
program=$1
shift
work=$(mktemp -d)
holder=""
trap '[ -z "$holder" ] || kill "$holder"; chmod 700 "$work/locked" "$work/closed"; rm -rf "$work"' EXIT
mkdir "$work/locked" "$work/closed" "$work/closed/dumps"
printf 'MDMP' >"$work/locked/a.dmp"
printf 'MDMP' >"$work/closed/dumps/a.dmp"
chmod 000 "$work/locked" "$work/closed"
# Root reads any folder; without these two capabilities the mode bits bind it too.
as_user=""
[ "$(id -u)" -ne 0 ] || as_user="setpriv --bounding-set=-dac_override,-dac_read_search --"
folders="$work/locked $work/closed/dumps"
if [ $# -eq 0 ]; then
  # A process that has ended but is not yet reaped keeps its folder in /proc, and its net
  # folder there opens but fails to be read (EINVAL). The child is ended once its shell has
  # become `sleep`, which never reaps it.
  sh -c 'sleep 600 & echo $!; exec sleep 600' >"$work/child" &
  holder=$!
  until [ -s "$work/child" ] && [ "$(cat "/proc/$holder/comm")" = sleep ]; do sleep 0.1; done
  ended=$(cat "$work/child")
  kill "$ended"
  until grep -qs '^State:.Z' "/proc/$ended/status"; do sleep 0.1; done
  folders="$folders /proc/$ended/net"
fi
failed=0
for folder in $folders; do
  [ $# -eq 0 ] || folder=Z:$folder
  status=0
  log=$($as_user "$@" "$program" --scan "$folder" 2>&1 >/dev/null) || status=$?
  expected="[Fennick] cannot list dump folder: $folder"
  if [ "$status" -ne 1 ] || [ "$log" != "$expected" ]; then
    echo "expected exit 1 and: $expected" >&2
    echo "got exit $status and: $log" >&2
    failed=1
  fi
done
exit $failed
