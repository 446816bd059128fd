#!/usr/bin/env bash
# Shows Fennick's main job end to end: a reference ingest server on 127.0.0.1:5001 holding the
# symbols of the program that crashed, a dump folder holding one crash report and one orphan
# dump (both real minidumps of crashes), one `fennick --scan` pass, and what the server stored
# afterwards: the crash it named in each report with its stack and source lines, the groups it
# put them in, and its report inbox.
#   ./demo.sh          runs the demo and stops the server
#   ./demo.sh --keep   leaves the server (and its inbox) running until Enter is pressed
set -euo pipefail
cd "$(dirname "$0")"

keep=false
case "${1:-}" in
  "") ;;
  --keep) keep=true ;;
  *) echo "usage: ./demo.sh [--keep]" >&2; exit 2 ;;
esac

scripts/install-deps.sh
echo "== building fennick and fennick-ingest in build-demo/ (up to about 8 minutes the first time on two cores, seconds after)"
cmake -S . -B build-demo -DCMAKE_BUILD_TYPE=RelWithDebInfo -DFENNICK_BUILD_TESTS=OFF >/dev/null
cmake --build build-demo -j"$(nproc)" --target fennick fennick-ingest >/dev/null

fennick=build-demo/src/app/fennick
ingest=build-demo/tools/ingest/fennick-ingest
work=$(mktemp -d)
dumps=$work/dumps
store=$work/store
server_pid=""

cleanup() {
  if [ -n "$server_pid" ]; then
    kill "$server_pid" 2>/dev/null || true
    wait "$server_pid" 2>/dev/null || true
  fi
  rm -rf "$work"
}
trap cleanup EXIT

port_open() { (exec 3<>/dev/tcp/127.0.0.1/5001) 2>/dev/null; }
if port_open; then
  echo "Something already listens on 127.0.0.1:5001; stop it and run the demo again." >&2
  exit 1
fi

# The dumps come from a stripped release of the fixture program; its symbols are the shipped
# executable (the unwind data) and the build's unstripped output (names and lines).
fixtures=tests/fixtures/dumps/release
echo "== adding the symbols of the program that crashed: fennick-ingest --add-symbols $fixtures/symbols"
"$ingest" --store "$store" --add-symbols "$fixtures/symbols"

# The signature rules the server ships, with the crash handler of the program added: its
# frames stand above every abort and failed assert, and never name the crash.
rules=$work/signature-rules.txt
{ cat tools/ingest/signature-rules.txt; echo "function crash_handler::*"; } >"$rules"

echo "== starting fennick-ingest on 127.0.0.1:5001 (store: $store, rules: the shipped ones + crash_handler::*)"
"$ingest" --port 5001 --store "$store" --signature-rules "$rules" 2>"$work/server.log" &
server_pid=$!
for _ in $(seq 100); do port_open && break; sleep 0.1; done

echo "== planting a crash report and an orphan dump in $dumps"
mkdir -p "$dumps"
# Both dumps are real minidumps that the release fixture wrote of itself (see
# tests/fixtures/dumps/README.md): a write through a null pointer and a failed assert.
# The crash report: the agent's dump and the metadata it writes beside it.
cp "$fixtures/null_write.dmp" "$dumps/Ortivo_20261208_101530.dmp"
# client_ts is when the agent crashed, in ms since 1970: two minutes ago.
crashed_ms=$(( $(date +%s) * 1000 - 120000 ))
cat >"$dumps/Ortivo_20261208_101530.crash.json" <<JSON
{"schema_version":1,"dump_id":"0B5C9E2A-6D41-4F7E-A3C8-19D2E7F60B45","dump_file":"Ortivo_20261208_101530.dmp","app_version":"3.2.1.45","session_id":"S-104","uin":"20481937","lum_id":"7730142","pet_code":"P-0193","client_ts":$crashed_ms}
JSON
# The orphan: a dump with no metadata naming it. A dump written in the last ten seconds may
# still get its agent's metadata, so Fennick leaves it for a later run; this one is planted
# as one last written a minute ago, and Fennick writes its metadata itself.
cp "$fixtures/assert.dmp" "$dumps/Ortivo_20261208_114502.dmp"
touch -d '1 minute ago' "$dumps/Ortivo_20261208_114502.dmp"
ls -l "$dumps"

echo
echo "== running: fennick --scan $dumps"
set +e
XDG_DATA_HOME="$work/data" "$fennick" --scan "$dumps"
status=$?
set -e
echo "fennick exit code: $status"
inbox_get() { curl -s --noproxy '*' "http://127.0.0.1:5001$1"; }
# Each dump is analysed in the background once its report is stored.
for _ in $(seq 300); do
  inbox_get /api/analyses | grep -q '"running":0,"waiting":0' && break
  sleep 0.1
done

echo
echo "== the server's log"
cat "$work/server.log"
echo
echo "== what the server stored"
find "$store" -type f -printf '%P  (%s bytes)\n' | sort
for report in "$store"/*/report.json; do
  echo "-- $report (up to the analysis of its dump)"
  sed '/"analysis": {/q' "$report"
  echo "  ..."
done
echo
echo "== the crash of each report (GET /api/reports)"
inbox_get /api/reports | grep -E '^ {0,6}"(dump_id|exception_name|module|module_offset|signature|analysis_error)"'
echo
echo "== the stack of the crash report, named from the symbols (GET /api/reports/<dump_id>)"
inbox_get /api/reports/0B5C9E2A-6D41-4F7E-A3C8-19D2E7F60B45 | awk -F'"' '
  /"frames": \[/ { in_frames = 1 }
  in_frames && /^      \]/ { in_frames = 0 }
  in_frames && /"module":/ { module = $4 }
  in_frames && /"module_offset":/ { offset = $4 }
  in_frames && /"function":/ { function_name = $4 }
  in_frames && /"file":/ { file = $4 }
  in_frames && /"line":/ {
    line = $3; gsub(/[:, ]/, "", line)
    where = (file == "") ? "" : "  " file ":" line
    name = (function_name == "") ? module "+" offset : module "!" function_name
    printf "  %s%s\n", name, where
  }'
echo
echo "== the crashes, grouped by signature (GET /api/groups; its per-day counts left out here)"
inbox_get /api/groups |
  grep -E '^    "(signature|count|devices|first_crash_utc|last_crash_utc|new|rising|state)"'
echo
echo "== the dump folder afterwards"
if [ -z "$(ls -A "$dumps")" ]; then echo "(empty: both reports were accepted and removed)"; else ls -l "$dumps"; fi

echo
echo "== the report inbox: http://127.0.0.1:5001/ (JSON: http://127.0.0.1:5001/api/reports and /api/groups)"
if $keep; then
  read -r -p "The server keeps running; open the inbox in a browser, then press Enter to stop it. "
else
  echo "(run ./demo.sh --keep to leave the server running and open it in a browser)"
fi
