#!/usr/bin/env bash
# Builds the libFuzzer targets with Debian's clang (AddressSanitizer and
# UndefinedBehaviorSanitizer on) in build-fuzz/ and fuzzes each for a while:
#   scripts/fuzz.sh [seconds per target, default 30]
# The targets run side by side, each starting from its checked-in corpus
# (tests/fuzz/corpus/<name>); what they find goes to build-fuzz/corpus/<name>, and a crash
# leaves its input in build-fuzz/crashes/ and fails the run.
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-30}
targets=(metadata reply utf8 bare_name pe_header minidump unwind call_check cabinet)

CXX=clang++ cmake -S . -B build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DFENNICK_FUZZ=ON \
  -DFENNICK_BUILD_TESTS=OFF -DCMAKE_COMPILE_WARNING_AS_ERROR=ON >/dev/null
cmake --build build-fuzz -j"$(nproc)" --target "${targets[@]/#/fuzz_}" >/dev/null

mkdir -p build-fuzz/crashes
pids=()
for name in "${targets[@]}"; do
  mkdir -p "build-fuzz/corpus/$name"
  build-fuzz/tests/fuzz/"fuzz_$name" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
    -artifact_prefix="build-fuzz/crashes/$name-" -print_final_stats=1 \
    "build-fuzz/corpus/$name" "tests/fuzz/corpus/$name" >"build-fuzz/$name.log" 2>&1 &
  pids+=($!)
done

failed=0
for i in "${!targets[@]}"; do
  name=${targets[$i]}
  if wait "${pids[$i]}"; then
    echo "fuzz_$name: $(grep -m1 -o 'stat::number_of_executed_units: *[0-9]*' "build-fuzz/$name.log" | grep -o '[0-9]*$') runs, no failure"
  else
    echo "fuzz_$name FAILED:" >&2
    tail -n 40 "build-fuzz/$name.log" >&2
    failed=1
  fi
done
exit "$failed"
