#!/usr/bin/env bash
# Benchmarks, run by hand (not by CI). Prints the figures and writes them to
# docs/benchmarks.md. Needs 127.0.0.1:5001 free (and 5443 for section 13).
# BENCH_SECTIONS="6 7" bench/run.sh runs only the sections named (2 needs 1) and replaces
# only their rows in docs/benchmarks.md; by default every section runs and the whole
# table is written anew (the text above it and the sections after it are kept).
#   1. a 50 MiB dump: `fennick --report` against `curl -F` to the same reference server
#      (median wall time, ratio, peak memory)
#   2. Fennick's peak memory for a 1 KiB dump and for a 50 MiB dump
#   3. start-up cost: no arguments and no dump folders, against /bin/true
#   4. the same 50 MiB upload by the Windows build, fennick.exe under Wine, against the
#      Linux build (median wall time, ratio)
#   5. one pass over a folder of 10,000 reports with the server stopped
#   6. 8 concurrent fennick runs of 100 reports each against fennick-ingest, which flushes
#      every report to the disk before it answers: reports per second, and a check that
#      every report was stored once and sent once
#   7. 10,000 reports stored without analyses: the first start, which listens at once, the
#      analyses it then makes in the background, each rewriting its report.json, and the
#      inbox page (median time of a GET /, as curl measures the request, without its own
#      start) afterwards
#   8. minidump analysis of two 50 MiB dumps made from the real one in tests/fixtures/dumps
#   9. 10,000 stored reports that carry analyses of the real dump, in 100 crash groups:
#      the start, the inbox page, /api/groups, /api/reports (first and last page) and one
#      report's page (median times, as in 7)
#  10. 256 concurrent uploads of the dump that costs the server most to analyse (its module
#      names reach the reader's limit): the server's peak memory and its workers', once every
#      analysis is done, and a check that every upload was answered and stored
#  11. the analysis of the crash fixture's dump (tests/fixtures, the crasher built with DWARF,
#      crashed under Wine) with its executable in the symbol store: the first analysis,
#      which loads the symbols, and the median of later ones; and the first name looked up
#      in a large executable (20,000 functions with DWARF) and the memory it holds cached
#  12. the index at 100,000 reports written by fennick_generate_store: the first start,
#      which builds the index, the start with the index present, and the slowest of 5
#      answers of each list, filter, group and report the inbox and the API serve
#  13. the 50 MiB upload by an HTTPS build of fennick (build-bench-https, trusting a CA made
#      for the run) to fennick-ingest --tls-cert/--tls-key, beside the plain-HTTP build
#      and `curl -F` over HTTPS to the same server (median wall time)
set -euo pipefail
cd "$(dirname "$0")/.."

all_sections="1 2 3 4 5 6 7 8 9 10 11 12 13"
sections=${BENCH_SECTIONS:-$all_sections}
want() { [[ " $sections " == *" $1 "* ]]; }
if want 2 && ! want 1; then echo "section 2 needs section 1" >&2; exit 2; fi

runs=${RUNS:-7}
scripts/install-deps.sh
cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release -DFENNICK_BUILD_TESTS=OFF >/dev/null
cmake --build build-bench -j"$(nproc)" --target fennick-ingest >/dev/null
# Only the sections that run the client build it.
if want 1 || want 2 || want 3 || want 4 || want 5 || want 6 || want 13; then
  cmake --build build-bench -j"$(nproc)" --target fennick >/dev/null
fi
if want 8; then cmake --build build-bench -j"$(nproc)" --target minidump_bench >/dev/null; fi
if want 10; then cmake --build build-bench -j"$(nproc)" --target hostile_dump >/dev/null; fi
if want 11; then cmake --build build-bench -j"$(nproc)" --target symbols_bench >/dev/null; fi
if want 12; then cmake --build build-bench -j"$(nproc)" --target fennick_generate_store >/dev/null; fi
tls=$PWD/build-bench-https/tls
if want 13; then
  cmake -S . -B build-bench-https -DCMAKE_BUILD_TYPE=Release -DFENNICK_BUILD_TESTS=OFF \
    -DFENNICK_INGEST_SCHEME=https -DFENNICK_INGEST_HOST=localhost -DFENNICK_INGEST_PORT=5443 \
    -DFENNICK_INGEST_CA_FILE="$tls/ca.pem" >/dev/null
  cmake --build build-bench-https -j"$(nproc)" --target fennick >/dev/null
fi
if want 4; then
  scripts/build-windows.sh build-bench-windows -DCMAKE_BUILD_TYPE=Release -DFENNICK_BUILD_TESTS=OFF >/dev/null
fi
fennick=$PWD/build-bench/src/app/fennick
ingest=$PWD/build-bench/tools/ingest/fennick-ingest
fennick_exe=$PWD/build-bench-windows/src/app/fennick.exe
wine_run=$PWD/cmake/wine-emulator.sh

work=$(mktemp -d)
server_pid=""
tls_server_pid=""
stop_server() {
  for pid in $server_pid $tls_server_pid; do kill "$pid" 2>/dev/null || true; wait "$pid" 2>/dev/null || true; done
  server_pid="" tls_server_pid=""
}
stop_wine() { WINEPREFIX=$PWD/build-bench-windows/wine-prefix wineserver -k 2>/dev/null || true; }
trap 'stop_server; stop_wine; rm -rf "$work"' EXIT
export XDG_DATA_HOME=$work/data TMPDIR=$work/tmp
mkdir -p "$TMPDIR"

start_server() {  # start_server [store [log]]: a fresh store unless one is named
  local store=${1:-$work/store}
  [ -n "${1:-}" ] || rm -rf "$store"
  "$ingest" --port 5001 --store "$store" 2>"${2:-/dev/null}" &
  server_pid=$!
  # A first start over a large store that was never analysed takes a while.
  for _ in $(seq 12000); do (exec 3<>/dev/tcp/127.0.0.1/5001) 2>/dev/null && return; sleep 0.01; done
  echo "ingest server did not start" >&2; exit 1
}

# Waits until the server on 5001 has no analysis waiting or under way: they follow the
# uploads' answers, in the server's worker processes.
await_analyses() {
  until curl -s http://127.0.0.1:5001/api/analyses | grep -qx '{"running":0,"waiting":0}'; do
    sleep 0.05
  done
}

# The peak memory of the server's analysis workers together (KiB).
workers_peak() {
  local total=0 child
  for child in $(pgrep -P "$server_pid"); do
    total=$((total + $(awk '/^VmHWM/ {print $2}' "/proc/$child/status")))
  done
  echo "$total"
}

# measure <command...>: runs it under /usr/bin/time -v and prints "seconds kib"; the wall
# time comes from the shell's microsecond clock (time's own has 10 ms steps).
measure() {
  local start=$EPOCHREALTIME
  /usr/bin/time -v "$@" 2>"$work/time.txt" >/dev/null || true
  local end=$EPOCHREALTIME rss
  rss=$(awk -F': ' '/Maximum resident set size/ {print $2}' "$work/time.txt")
  awk -v a="$start" -v b="$end" -v r="$rss" 'BEGIN {printf "%.4f %s\n", b - a, r}'
}
median() { sort -g | awk '{a[NR]=$1} END {print (NR%2) ? a[(NR+1)/2] : (a[NR/2]+a[NR/2+1])/2}'; }

plant_report() {  # plant_report <folder> <stem> <bytes>
  mkdir -p "$1"
  { printf 'MDMP'; head -c "$(($3 - 4))" /dev/zero | tr '\0' 'x'; } >"$1/$2.dmp"
  printf '{"dump_id":"%s","dump_file":"%s.dmp","app_version":"1.0.0.0","client_ts":1}' "$2" "$2" >"$1/$2.crash.json"
}

big=$((50 * 1024 * 1024))
rows=()
if want 1 || want 4 || want 13; then plant_report "$work/src" big "$big"; fi

if want 1; then
  echo "== 1. 50 MiB upload: fennick --report vs curl -F ($runs runs each)"
  start_server
  : >"$work/fennick.txt"; : >"$work/curl.txt"
  for i in $(seq "$runs"); do
    cp "$work/src/big.dmp" "$work/src/big.crash.json" "$work/"
    measure "$fennick" --report "$work/big.crash.json" >>"$work/fennick.txt"
    measure curl -s -o /dev/null -H "X-Api-Key: QZVMTRA-PLKXNE-HDWQGS-5B1D7E9C03" -A Fennick/1.0 \
      -F "file=@$work/src/big.dmp;type=application/octet-stream" -F dump_id=big -F app_version=1.0.0.0 \
      -F process_name=Ortivo.exe -F client_ts=1 http://127.0.0.1:5001/api/report/crash >>"$work/curl.txt"
  done
  f_time=$(cut -d' ' -f1 "$work/fennick.txt" | median); c_time=$(cut -d' ' -f1 "$work/curl.txt" | median)
  f_rss=$(cut -d' ' -f2 "$work/fennick.txt" | median); c_rss=$(cut -d' ' -f2 "$work/curl.txt" | median)
  time_ratio=$(awk -v a="$f_time" -v b="$c_time" 'BEGIN {printf "%.2f", a / b}')
  rss_ratio=$(awk -v a="$f_rss" -v b="$c_rss" 'BEGIN {printf "%.2f", a / b}')
  rows+=("| 50 MiB upload, median wall time | ${f_time} s | curl -F ${c_time} s | ${time_ratio}x (target <= 1.1x) |"
         "| 50 MiB upload, median peak memory | ${f_rss} KiB | curl -F ${c_rss} KiB | ${rss_ratio}x (target <= 1.1x) |")
fi

if want 2; then
  echo "== 2. peak memory, 1 KiB dump against 50 MiB dump"
  plant_report "$work/small" small 1024
  small_rss=$(measure "$fennick" --report "$work/small/small.crash.json" | cut -d' ' -f2)
  growth=$((f_rss - small_rss))
  rows+=("| peak memory, 1 KiB dump | ${small_rss} KiB | | |"
         "| peak memory growth, 1 KiB to 50 MiB dump | ${growth} KiB | | target < 1024 KiB (streamed) |")
fi

if want 3; then
  echo "== 3. start-up: no arguments, no dump folders, against /bin/true"
  start_ns=$(date +%s%N); for _ in $(seq 200); do "$fennick"; done; fennick_ns=$(( $(date +%s%N) - start_ns ))
  start_ns=$(date +%s%N); for _ in $(seq 200); do /bin/true; done; true_ns=$(( $(date +%s%N) - start_ns ))
  startup_ms=$(awk -v n="$fennick_ns" 'BEGIN {printf "%.2f", n / 200 / 1e6}')
  true_ms=$(awk -v n="$true_ns" 'BEGIN {printf "%.2f", n / 200 / 1e6}')
  rows+=("| start-up, no arguments, no dump folders | ${startup_ms} ms | /bin/true ${true_ms} ms | |")
fi

if want 4; then
  echo "== 4. 50 MiB upload: fennick.exe under Wine vs the Linux build ($runs runs each)"
  [ -n "$server_pid" ] || start_server
  # The first run starts the Wine server; the timed runs find it running, as a Windows
  # machine has its system running.
  "$wine_run" "$fennick_exe" --help 2>/dev/null
  : >"$work/wine.txt"; : >"$work/linux.txt"
  for i in $(seq "$runs"); do
    cp "$work/src/big.dmp" "$work/src/big.crash.json" "$work/"
    measure "$wine_run" "$fennick_exe" --report "Z:$work/big.crash.json" >>"$work/wine.txt"
    cp "$work/src/big.dmp" "$work/src/big.crash.json" "$work/"
    measure "$fennick" --report "$work/big.crash.json" >>"$work/linux.txt"
  done
  w_time=$(cut -d' ' -f1 "$work/wine.txt" | median); l_time=$(cut -d' ' -f1 "$work/linux.txt" | median)
  wine_ratio=$(awk -v a="$w_time" -v b="$l_time" 'BEGIN {printf "%.2f", a / b}')
  stop_wine
  row_wine="| 50 MiB upload, fennick.exe under Wine 8, median wall time | ${w_time} s | Linux build ${l_time} s | ${wine_ratio}x (Wine's start included) |"
fi

if want 5; then
  echo "== 5. one pass over 10,000 reports, server stopped"
  stop_server
  mkdir -p "$work/many"
  for i in $(seq -w 1 10000); do
    printf 'MDMP' >"$work/many/r$i.dmp"
    printf '{"dump_id":"r%s","dump_file":"r%s.dmp","app_version":"1.0.0.0","client_ts":1}' "$i" "$i" >"$work/many/r$i.crash.json"
  done
  start_ns=$(date +%s%N); "$fennick" --scan "$work/many" 2>/dev/null || true; pass_ns=$(( $(date +%s%N) - start_ns ))
  per_thousand_ms=$(awk -v n="$pass_ns" 'BEGIN {printf "%.1f", n / 10 / 1e6}')
  rows+=("| one pass over 10,000 reports, server stopped | ${per_thousand_ms} ms per 1,000 metadata files | | 10 uploads attempted |")
fi
# The Wine row has always closed the table.
[ -z "${row_wine:-}" ] || rows+=("$row_wine")

if want 6; then
  echo "== 6. 8 concurrent fennick runs of 100 reports each against fennick-ingest (flushed)"
  stop_server
  start_server "" "$work/ingest.log"
  # Each run scans ten folders of ten reports (a pass takes ten reports per folder);
  # 64 KiB dumps.
  for run in $(seq 8); do
    for folder in $(seq 10); do
      for n in $(seq 10); do plant_report "$work/runs/$run/$folder" "w$run-$folder-$n" 65536; done
    done
  done
  start=$EPOCHREALTIME
  pids=()
  for run in $(seq 8); do
    scans=(); for folder in $(seq 10); do scans+=(--scan "$work/runs/$run/$folder"); done
    "$fennick" "${scans[@]}" 2>"$work/run$run.log" & pids+=($!)
  done
  for pid in "${pids[@]}"; do wait "$pid" || { echo "a fennick run failed" >&2; exit 1; }; done
  end=$EPOCHREALTIME
  stop_server
  # Every report was accepted (the client deleted it), stored whole once, and sent once.
  left=$(find "$work/runs" -type f | wc -l)
  stored=$(find "$work/store" -mindepth 2 -name '*.dmp' -size 65536c | wc -l)
  expected=$(for run in $(seq 8); do for f in $(seq 10); do for n in $(seq 10); do echo "w$run-$f-$n"; done; done; done | sort)
  [ "$(ls "$work/store" | sort)" = "$expected" ] || { echo "the store does not hold every report once" >&2; exit 1; }
  accepted=$(grep -c 'POST /api/report/crash 200 ' "$work/ingest.log" || true)
  if [ "$left" -ne 0 ] || [ "$stored" -ne 800 ] || [ "$accepted" -ne 800 ]; then
    echo "lost or doubled reports: $left left on the client, $stored stored, $accepted accepted" >&2; exit 1
  fi
  per_second=$(awk -v a="$start" -v b="$end" 'BEGIN {printf "%.0f", 800 / (b - a)}')
  rows+=("| 8 concurrent runs of 100 reports (64 KiB dumps), fennick-ingest flushing each report | ${per_second} reports/s | | 800 stored once, 800 accepted, none left |")
fi

if want 7; then
  echo "== 7. 10,000 reports stored without analyses: first start, then the inbox page ($runs runs)"
  stop_server
  inbox=$work/inbox-store
  mkdir -p "$inbox"
  for i in $(seq -w 1 10000); do
    mkdir "$inbox/r$i"
    printf 'MDMP' >"$inbox/r$i/r$i.dmp"
    printf '{"fields":{"dump_id":"r%s","app_version":"1.0.0.0","computer_name":"HOST","process_name":"Ortivo.exe","client_ts":"1"},"dump_file":"r%s.dmp","dump_bytes":4,"received_utc":"2026-12-08T10:15:30.%03dZ","received_ms":%d}\n' \
      "$i" "$i" "$((10#$i % 1000))" "$((1765188930000 + 10#$i))" >"$inbox/r$i/report.json"
  done
  start=$EPOCHREALTIME
  start_server "$inbox"
  first_start=$(awk -v a="$start" -v b="$EPOCHREALTIME" 'BEGIN {printf "%.2f", b - a}')
  await_analyses
  analysed_in=$(awk -v a="$start" -v b="$EPOCHREALTIME" 'BEGIN {printf "%.2f", b - a}')
  grep -q '"analysis"' "$inbox/r10000/report.json" || { echo "the first start analysed no report" >&2; exit 1; }
  : >"$work/inbox.txt"
  for i in $(seq "$runs"); do
    curl -s -o "$work/inbox.html" -w '%{time_total}\n' http://127.0.0.1:5001/ >>"$work/inbox.txt"
  done
  grep -q '10000 reports received' "$work/inbox.html" || { echo "the inbox does not count 10,000 reports" >&2; exit 1; }
  inbox_time=$(median <"$work/inbox.txt")
  rows+=("| first start over 10,000 reports stored without analyses, until it listens | ${first_start} s | | 4-byte dumps, all unreadable |"
         "| the same start, until every report is analysed in the background (its report.json rewritten and flushed) | ${analysed_in} s | | two worker processes |"
         "| inbox page (GET /) with 10,000 stored reports, median | ${inbox_time} s | | first page: 50 reports, $(wc -c <"$work/inbox.html") bytes |")
fi

if want 8; then
  echo "== 8. minidump analysis of two 50 MiB dumps ($runs runs)"
  build-bench/bench/minidump_bench tests/fixtures/dumps/null_write.dmp "$work" "$runs" >"$work/minidump.txt"
  # One line per dump: its kind, the median seconds, its size and the analysis outcome.
  while read -r kind seconds bytes outcome; do
    case $kind in
      memory) what="50 MiB of memory in 12,800 ranges" ;;
      *) what="3.3 million memory ranges (the most checking)" ;;
    esac
    ms=$(awk -v s="$seconds" 'BEGIN {printf "%.2f", s * 1000}')
    rows+=("| minidump analysis of a 50 MiB dump, $what, median | ${ms} ms | | $bytes bytes, analysis $outcome; target well under a second |")
  done <"$work/minidump.txt"
fi

if want 9; then
  echo "== 9. 10,000 stored reports with analyses, 100 crash groups ($runs runs)"
  stop_server
  # One report of the real dump, as the server stores it, is the model of the others.
  start_server
  curl -s -o /dev/null -H "X-Api-Key: QZVMTRA-PLKXNE-HDWQGS-5B1D7E9C03" \
    -F "file=@tests/fixtures/dumps/null_write.dmp" -F dump_id=MODEL -F device_id=DEVICE \
    -F app_version=3.2.1.45 -F computer_name=HOST -F process_name=Ortivo.exe \
    http://127.0.0.1:5001/api/report/crash
  await_analyses
  stop_server
  model=$work/store/MODEL/report.json
  grep -q '"signature": "EXCEPTION_ACCESS_VIOLATION_WRITE Ortivo.exe+0x156B"' "$model" || { echo "the model report names no crash" >&2; exit 1; }
  analysed=$work/analysed-store
  mkdir -p "$analysed"
  (cd "$analysed" && seq -f 'a%05g' 1 10000 | xargs mkdir)
  # Report i: crash group i % 100 (a module offset of its own), one of 500 devices and of
  # 5 versions, received i ms after the first. Its dump is a stand-in: lists never read it.
  awk -v store="$analysed" '
    { model[NR] = $0 }
    END {
      for (i = 1; i <= 10000; i++) {
        id = sprintf("a%05d", i); offset = sprintf("0x%X", 4096 + (i % 100) * 16)
        file = store "/" id "/report.json"
        for (n = 1; n <= NR; n++) {
          line = model[n]
          sub(/"MODEL"/, "\"" id "\"", line)
          sub(/"DEVICE"/, "\"device-" (i % 500) "\"", line)
          sub(/"3\.2\.1\.45"/, "\"3.2." (i % 5) ".0\"", line)
          sub(/Ortivo\.exe\+0x156B"/, "Ortivo.exe+" offset "\"", line)
          sub(/"module_offset": "0x156B"/, "\"module_offset\": \"" offset "\"", line)
          sub(/"received_ms": [0-9]+/, "\"received_ms\": " sprintf("%.0f", 1765188930000 + i), line)
          print line > file
        }
        close(file)
        dump = store "/" id "/null_write.dmp"
        printf "MDMP" > dump; close(dump)
      }
    }' "$model"
  : >"$work/start.txt"
  for i in $(seq "$runs"); do
    start=$EPOCHREALTIME
    start_server "$analysed" "$work/analysed.log"
    awk -v a="$start" -v b="$EPOCHREALTIME" 'BEGIN {printf "%.4f\n", b - a}' >>"$work/start.txt"
    stop_server
  done
  grep -q '10000 reports in the store, .*, 0 analysed now' "$work/analysed.log" || { echo "the planted analyses were not taken as current" >&2; exit 1; }
  rows+=("| start with 10,000 stored reports that carry analyses (the index loaded), median | $(median <"$work/start.txt") s | | |")
  start_server "$analysed"
  for page in "/" "/api/groups" "/api/reports" "/api/reports?page=200" "/reports/a05000"; do
    : >"$work/page.txt"
    for i in $(seq "$runs"); do
      curl -s -o "$work/page.out" -w '%{time_total}\n' "http://127.0.0.1:5001$page" >>"$work/page.txt"
    done
    case $page in
      /) check='Crashes 1&ndash;10 of 100'; what="inbox page (GET /)"; note="10 groups and 50 reports" ;;
      /api/groups) check='"count": 100'; what="GET /api/groups"; note="first page: 50 groups of 100" ;;
      /api/reports) check='"a10000"'; what="GET /api/reports"; note="first page: 50 reports" ;;
      /api/reports?page=200) check='"a00001"'; what="GET /api/reports?page=200"; note="last page: 50 reports" ;;
      *) check='ntdll.dll'; what="a report's page (GET /reports/<id>)"; note="8 modules" ;;
    esac
    grep -q -- "$check" "$work/page.out" || { echo "$page lacks $check" >&2; exit 1; }
    rows+=("| $what with 10,000 reports carrying analyses, median | $(median <"$work/page.txt") s | | $note, $(wc -c <"$work/page.out") bytes |")
  done
  stop_server
fi

if want 10; then
  echo "== 10. 256 concurrent uploads of the costliest hostile dump"
  stop_server
  build-bench/bench/hostile_dump "$work/hostile.dmp"
  start_server "" "$work/hostile.log"
  start=$EPOCHREALTIME
  pids=()
  for i in $(seq 256); do
    curl -s -o "$work/hostile-$i.out" --max-time 600 -H "X-Api-Key: QZVMTRA-PLKXNE-HDWQGS-5B1D7E9C03" \
      -F "file=@$work/hostile.dmp" -F "dump_id=hostile-$i" http://127.0.0.1:5001/api/report/crash &
    pids+=($!)
  done
  for pid in "${pids[@]}"; do wait "$pid" || true; done
  end=$EPOCHREALTIME
  await_analyses
  peak=$(awk '/^VmHWM/ {print $2}' "/proc/$server_pid/status")
  worker_peak=$(workers_peak)
  echo "peak $peak KiB, workers $worker_peak KiB" >&2
  stop_server
  answered=$(grep -lx '{"code":0}' "$work"/hostile-*.out | wc -l)
  stored=$(find "$work/store" -mindepth 2 -path '*/hostile-*/report.json' | wc -l)
  if [ "$answered" -ne 256 ] || [ "$stored" -ne 256 ]; then
    echo "hostile uploads lost: $answered answered 0, $stored stored" >&2; exit 1
  fi
  seconds=$(awk -v a="$start" -v b="$end" 'BEGIN {printf "%.1f", b - a}')
  rows+=("| 256 concurrent uploads of the costliest hostile dump ($(wc -c <"$work/hostile.dmp") bytes, 128 names of 32,767 characters), server's peak memory | ${peak} KiB | workers ${worker_peak} KiB | target < 524288 KiB; all 256 answered 0 and stored, in ${seconds} s |")
fi

if want 11; then
  echo "== 11. analysis with symbols"
  # The crasher with symbols is a test fixture: it is built in the test build tree.
  cmake -S . -B build -DCMAKE_BUILD_TYPE=Release >/dev/null
  cmake --build build -j"$(nproc)" --target ortivo_fixtures >/dev/null
  crasher=build/tests/fixtures/crasher-dwarf/Ortivo.exe
  # The crasher exits with its crash's code once it has written its dump.
  cmake/wine-emulator.sh "$crasher" nested-write "$work/nested.dmp" >/dev/null || true
  [ -s "$work/nested.dmp" ] || { echo "the crasher wrote no dump" >&2; exit 1; }
  "$ingest" --symbols "$work/symbols" --add-symbols "$crasher" >/dev/null
  {
    echo "int f0(int x) { return x; }"
    for i in $(seq 20000); do echo "int f$i(int x) { int y = x * $i; return f$((i - 1))(y - 1) + y; }"; done
    echo "int main() { return f20000(1); }"
  } >"$work/large.cpp"
  x86_64-w64-mingw32-g++-posix -O0 -g "$work/large.cpp" -o "$work/large.exe"
  build-bench/bench/symbols_bench "$work/nested.dmp" "$work/symbols" "$work/large.exe" "$runs" \
    >"$work/symbols.txt"
  value() { awk -v key="$1" '$1 == key {print $2}' "$work/symbols.txt"; }
  large_bytes=$(awk '$1 == "large" {print $3}' "$work/symbols.txt")
  rows+=("| analysis of the crash fixture's dump ($(wc -c <"$work/nested.dmp") bytes, its stack unwound and named) with its executable's DWARF, first (symbols loaded) | $(value first) s | | |")
  rows+=("| the same, symbols cached, median | $(value cached) s | | |")
  rows+=("| first name looked up in a large executable (20,000 functions, $large_bytes bytes with DWARF) | $(value large) s | | |")
  rows+=("| resident memory that large executable holds in the symbol cache | $(value held) KiB | | cache bounded by 256 MiB of symbol files |")
fi

if want 12; then
  echo "== 12. the index at 100,000 reports: starts and the slowest of 5 answers"
  stop_server
  large=$work/large-store
  start=$EPOCHREALTIME
  build-bench/bench/fennick_generate_store "$large" 100000
  generated=$(awk -v a="$start" -v b="$EPOCHREALTIME" 'BEGIN {printf "%.1f", b - a}')
  # Sets `listening` to the seconds from the start until the server says it listens, its
  # index up to date by then. Not in a subshell: the server must stay this shell's child.
  start_listening() {  # start_listening <log>
    local start=$EPOCHREALTIME
    "$ingest" --port 5001 --store "$large" 2>"$1" &
    server_pid=$!
    until grep -q 'listening on' "$1"; do
      kill -0 "$server_pid" 2>/dev/null || { echo "ingest server did not start" >&2; cat "$1" >&2; exit 1; }
      sleep 0.005
    done
    listening=$(awk -v a="$start" -v b="$EPOCHREALTIME" 'BEGIN {printf "%.2f", b - a}')
  }
  [ ! -e "$large/~index.sqlite" ] || { echo "the generated store holds an index" >&2; exit 1; }
  start_listening "$work/large-first.log"
  build_start=$listening
  stop_server
  [ -s "$large/~index.sqlite" ] || { echo "the first start wrote no index" >&2; exit 1; }
  start_listening "$work/large.log"
  index_start=$listening
  rows+=("| index at 100,000 reports: writing the store (fennick_generate_store) | ${generated} s | | 30 signatures, 5 versions, 2,000 machines, 60 days, 2% undecodable |"
         "| index at 100,000 reports: first start, the index built | ${build_start} s | | |"
         "| index at 100,000 reports: start with the index present | ${index_start} s | | target < 2 s |")
  # The slowest of 5 answers, in ms, to stdout; the body of the last in $work/answer.out.
  slowest() {
    local times=() answer
    for _ in 1 2 3 4 5; do
      answer=$(curl -s -o "$work/answer.out" -w '%{http_code} %{time_total}' "http://127.0.0.1:5001$1")
      [ "${answer% *}" = 200 ] || { echo "$1 answered ${answer% *}" >&2; exit 1; }
      times+=("${answer#* }")
    done
    printf '%s\n' "${times[@]}" | sort -g | tail -1 | awk '{printf "%.1f", $1 * 1000}'
  }
  json_text() { sed -n "s/^ *\"$1\": \"\\(.*\\)\",\\{0,1\\}\$/\\1/p" "$work/answer.out" | head -1; }
  percent_encoded() {
    local text=$1 out="" c i
    for ((i = 0; i < ${#text}; i++)); do
      c=${text:i:1}
      case $c in [A-Za-z0-9._-]) out+=$c ;; *) printf -v c '%%%02X' "'$c"; out+=$c ;; esac
    done
    printf '%s' "$out"
  }
  answer_row() {  # answer_row <path> <ms> <note>
    rows+=("| index at 100,000 reports: GET $1, slowest of 5 | $2 ms | | target < 100 ms; $3 |")
  }
  week_ago=$(date -u -d '7 days ago' +%Y-%m-%d)
  top="" dump_id=""
  for page in "/" "/?sort=last_seen" "/?app_version=3.10.0.1" "/?q=StoreField" "/api/reports" \
              "/api/reports?since=$week_ago" "/api/groups" "/api/groups?sort=machines"; do
    ms=$(slowest "$page")
    answer_row "${page/$week_ago/<7 days ago>}" "$ms" "$(wc -c <"$work/answer.out") bytes"
    case $page in
      /api/groups) top=$(json_text signature) ;;
      /api/reports) dump_id=$(json_text dump_id) ;;
    esac
  done
  [ -n "$top" ] && [ -n "$dump_id" ] || { echo "no group or report listed" >&2; exit 1; }
  encoded=$(LC_ALL=C percent_encoded "$top")
  for page in "/groups/$encoded" "/api/groups/$encoded" "/api/reports/$dump_id"; do
    ms=$(slowest "$page")
    case $page in
      /groups/*) label="/groups/<top signature>" ;;
      /api/groups/*) label="/api/groups/<top signature>" ;;
      *) label="/api/reports/<dump_id>" ;;
    esac
    answer_row "$label" "$ms" "$(wc -c <"$work/answer.out") bytes"
  done
  stop_server
  echo "top signature: $top" >&2
  rows+=("| index at 100,000 reports: the store on disk | $(du -sk "$large" | cut -f1) KiB | | report folders, 4-byte dumps, and the index |"
         "| index at 100,000 reports: the index file (~index.sqlite) | $(($(stat -c %s "$large/~index.sqlite") / 1024)) KiB | | |")
fi

if want 13; then
  echo "== 13. 50 MiB upload over HTTPS: an HTTPS build vs plain HTTP vs curl over HTTPS ($runs runs each)"
  [ -n "$server_pid" ] || start_server
  tests/support/make_test_certs.sh "$tls"
  "$ingest" --port 5443 --store "$work/store-tls" --tls-cert "$tls/server.pem" \
    --tls-key "$tls/server.key" 2>/dev/null &
  tls_server_pid=$!
  for _ in $(seq 3000); do (exec 3<>/dev/tcp/127.0.0.1/5443) 2>/dev/null && break; sleep 0.01; done
  : >"$work/https.txt"; : >"$work/http.txt"; : >"$work/curl-https.txt"
  for i in $(seq "$runs"); do
    cp "$work/src/big.dmp" "$work/src/big.crash.json" "$work/"
    measure build-bench-https/src/app/fennick --report "$work/big.crash.json" >>"$work/https.txt"
    cp "$work/src/big.dmp" "$work/src/big.crash.json" "$work/"
    measure "$fennick" --report "$work/big.crash.json" >>"$work/http.txt"
    measure curl -s -o /dev/null --cacert "$tls/ca.pem" -H "X-Api-Key: QZVMTRA-PLKXNE-HDWQGS-5B1D7E9C03" \
      -A Fennick/1.0 -F "file=@$work/src/big.dmp;type=application/octet-stream" -F dump_id=big \
      -F app_version=1.0.0.0 -F process_name=Ortivo.exe -F client_ts=1 \
      https://localhost:5443/api/report/crash >>"$work/curl-https.txt"
  done
  s_time=$(cut -d' ' -f1 "$work/https.txt" | median); p_time=$(cut -d' ' -f1 "$work/http.txt" | median)
  c_time=$(cut -d' ' -f1 "$work/curl-https.txt" | median)
  curl_ratio=$(awk -v a="$s_time" -v b="$c_time" 'BEGIN {printf "%.2f", a / b}')
  http_ratio=$(awk -v a="$s_time" -v b="$p_time" 'BEGIN {printf "%.2f", a / b}')
  rows+=("| 50 MiB upload over HTTPS, median wall time | ${s_time} s | curl -F over HTTPS ${c_time} s | ${curl_ratio}x |"
         "| 50 MiB upload over HTTPS against plain HTTP | ${s_time} s | plain HTTP ${p_time} s | ${http_ratio}x |")
fi

printf '%s\n' "${rows[@]}"
mkdir -p docs
touch docs/benchmarks.md
if [ "$sections" = "$all_sections" ]; then
  # The table anew; the text above it, and the sections after it (from the first "## "
  # heading on), are kept.
  heading='# Benchmarks'
  if grep -q '^Measured by ' docs/benchmarks.md; then
    heading=$(sed '/^Measured by /,$d' docs/benchmarks.md)
  fi
  {
    printf '%s\n\n' "$heading"
    echo "Measured by \`bench/run.sh\` on $(date -u +%Y-%m-%d), $(nproc) cores, Release build, $runs runs."
    echo
    echo "| What | Fennick | Reference | Ratio / note |"
    echo "|---|---|---|---|"
    echo
    sed -n '/^## /,$p' docs/benchmarks.md
  } >"$work/base.md"
else
  cp docs/benchmarks.md "$work/base.md"
fi
# Each row replaces the row of the same name wherever it stands (a section's own table
# included), or joins the end of the first table.
printf '%s\n' "${rows[@]}" | awk -F' [|] ' '
  function flush() {
    flushed = 1
    for (i = 1; i <= n; i++) if (!(order[i] in present)) print fresh[order[i]]
  }
  FNR == 1 { file++ }
  file == 1 { label = substr($1, 3); fresh[label] = $0; order[++n] = label; next }
  file == 2 { if (/^\|/) present[substr($1, 3)] = 1; next }
  /^\|/ { in_table = 1; label = substr($1, 3); print (label in fresh) ? fresh[label] : $0; next }
  in_table && !flushed { flush() }
  { print }
  END { if (!flushed) flush() }
' - "$work/base.md" "$work/base.md" >"$work/benchmarks.md"
cp "$work/benchmarks.md" docs/benchmarks.md
