#!/usr/bin/env bash
# Cross-builds Fennick for 64-bit Windows with MinGW-w64:
#   scripts/build-windows.sh <build-dir> [cmake options...]
# Installs the toolchain and Wine, builds libcurl and GoogleTest for Windows into
# <build-dir>/sysroot, or into $FENNICK_WINDOWS_SYSROOT when set (once), then configures and
# builds. The program is
# <build-dir>/src/app/fennick.exe; tests run with `ctest --test-dir <build-dir>` under Wine.
set -euo pipefail
cd "$(dirname "$0")/.."

build=${1:?usage: scripts/build-windows.sh <build-dir> [cmake options...]}
shift

sysroot=$(realpath -m "${FENNICK_WINDOWS_SYSROOT:-$build/sysroot}")

scripts/install-deps.sh --windows
scripts/build-windows-deps.sh "$sysroot"
cmake -S . -B "$build" -DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/mingw-w64-x86_64.cmake" \
  -DFENNICK_WINDOWS_SYSROOT="$sysroot" "$@" >/dev/null
cmake --build "$build" -j"$(nproc)"
