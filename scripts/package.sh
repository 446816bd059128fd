#!/usr/bin/env bash
# Makes the release artefacts in dist/:
#   fennick_1.0.0_amd64.deb   the Linux build: fennick and fennick-ingest, with the docs
#   fennick-1.0.0-win64.zip   the Windows build: fennick.exe (static) and the README
#   scripts/package.sh [cmake options...]    for example -DFENNICK_INGEST_HOST=ingest.example.internal
# Release builds go to build-release/ and build-windows-release/; the Windows libraries are
# built once into build-windows/sysroot, shared with the test build.
#   FENNICK_PACKAGE_BUILDS="<linux build> <windows build>" scripts/package.sh
# packages two Release trees already built instead (the test command packages the builds it
# has just tested).
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh --windows
jobs=$(nproc)
dist=$PWD/dist
mkdir -p "$dist"

if [ -n "${FENNICK_PACKAGE_BUILDS:-}" ]; then
  read -r linux_build windows_build <<<"$FENNICK_PACKAGE_BUILDS"
  for build in "$linux_build" "$windows_build"; do
    grep -qx 'CMAKE_BUILD_TYPE:STRING=Release' "$build/CMakeCache.txt" ||
      { echo "$build is no Release build" >&2; exit 2; }
  done
else
  linux_build=build-release
  windows_build=build-windows-release
  echo "== Linux release build =="
  cmake -S . -B "$linux_build" -DCMAKE_BUILD_TYPE=Release -DFENNICK_BUILD_TESTS=OFF "$@" >/dev/null
  cmake --build "$linux_build" -j"$jobs" >/dev/null
  echo "== Windows release build =="
  FENNICK_WINDOWS_SYSROOT=$PWD/build-windows/sysroot \
    scripts/build-windows.sh "$windows_build" -DCMAKE_BUILD_TYPE=Release \
    -DFENNICK_BUILD_TESTS=OFF "$@" >/dev/null
fi

echo "== Debian package from $linux_build, ZIP from $windows_build =="
(cd "$linux_build" && cpack -G DEB -B "$dist" >/dev/null)
(cd "$windows_build" && cpack -G ZIP -B "$dist" >/dev/null)

rm -rf "$dist/_CPack_Packages"
ls -l "$dist"
