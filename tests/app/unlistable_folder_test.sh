#!/bin/sh
# unlistable_folder_test.sh <fennick program> [emulator...]
# A dump folder that is there but cannot be listed is a failure with its own line, on Linux
# and (through the emulator, with the folder on drive Z:) on Windows.
set -eu
program=$1
shift
work=$(mktemp -d)
trap 'chmod 700 "$work/locked"; rm -rf "$work"' EXIT
mkdir "$work/locked"
printf 'MDMP' >"$work/locked/a.dmp"
chmod 000 "$work/locked"
folder=$work/locked
[ $# -eq 0 ] || folder=Z:$folder
# Root reads any folder; without these two capabilities the mode bits bind it too.
as_user=""
[ "$(id -u)" -ne 0 ] || as_user="setpriv --bounding-set=-dac_override,-dac_read_search --"
status=0
log=$($as_user "$@" "$program" --scan "$folder" 2>&1 >/dev/null) || status=$?
expected="[Fennick] cannot list dump folder: $folder"
if [ "$status" -ne 1 ] || [ "$log" != "$expected" ]; then
  echo "expected exit 1 and: $expected" >&2
  echo "got exit $status and: $log" >&2
  exit 1
fi
