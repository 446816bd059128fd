#!/usr/bin/env bash
# Installs what is missing, then builds and runs the whole suite three times: a Linux
# Release build (the configuration that ships) in build/, an AddressSanitizer +
# UndefinedBehaviorSanitizer build in build-sanitize/, and the Windows Release build in
# build-windows/, whose tests run under Wine. Each parser is also fuzzed for 30 seconds
# (build-fuzz/), and the release packages are made (dist/) and checked.
set -euo pipefail
cd "$(dirname "$0")"

scripts/install-deps.sh --tests

jobs=$(nproc)

# libcurl's configure checks for Windows run one at a time, so the Windows libraries are
# built beside the Linux stages, on the core those leave idle.
mkdir -p build-windows
setsid scripts/build-windows-deps.sh build-windows/sysroot >build-windows/deps.log 2>&1 &
windows_deps=$!
# The Windows tests start the build tree's Wine servers; they are stopped when they are done.
trap '[ -z "$windows_deps" ] || kill -- -"$windows_deps" 2>/dev/null || true
      for prefix in wine-prefix tests/platform/proxy-wine-prefix; do
        WINEPREFIX="$PWD/build-windows/$prefix" wineserver -k 2>/dev/null || true
      done' EXIT

echo "== normal build =="
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release -DCMAKE_COMPILE_WARNING_AS_ERROR=ON >/dev/null
cmake --build build -j"$jobs"
ctest --test-dir build --output-on-failure -j"$jobs"

echo "== sanitizer build =="
cmake -S . -B build-sanitize -DCMAKE_BUILD_TYPE=Debug -DFENNICK_SANITIZE=ON -DCMAKE_COMPILE_WARNING_AS_ERROR=ON >/dev/null
cmake --build build-sanitize -j"$jobs"
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:strict_string_checks=1 \
UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
  ctest --test-dir build-sanitize --output-on-failure -j"$jobs"

echo "== fuzzing, 30 seconds per parser =="
scripts/fuzz.sh 30

echo "== Windows build, tests under Wine =="
if ! wait "$windows_deps"; then
  cat build-windows/deps.log >&2
  exit 1
fi
windows_deps=
cat build-windows/deps.log
# The HTTPS test under Wine is served by the Linux build's fennick-ingest.
scripts/build-windows.sh build-windows -DCMAKE_BUILD_TYPE=Release -DCMAKE_COMPILE_WARNING_AS_ERROR=ON \
  -DFENNICK_LINUX_INGEST="$PWD/build/tools/ingest/fennick-ingest"
ctest --test-dir build-windows --output-on-failure -j"$jobs"

echo "== release packages =="
FENNICK_PACKAGE_BUILDS="build build-windows" scripts/package.sh
tests/package/check_packages.sh dist
