#!/usr/bin/env bash
# Makes the release artefacts in dist/:
#   fennick_1.0.0_amd64.deb   the Linux build: fennick and fennick-ingest, with the docs
#   fennick-1.0.0-win64.zip   the Windows build: fennick.exe (static) and the README
#   scripts/package.sh [cmake options...]    for example -DFENNICK_INGEST_HOST=ingest.example.internal
# Release builds go to build-release/ and build-windows-release/; the Windows libraries are
# built once into build-windows/sysroot, shared with the test build.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh --windows
jobs=$(nproc)
mkdir -p dist

echo "== Linux release build and Debian package =="
cmake -S . -B build-release -DCMAKE_BUILD_TYPE=Release -DFENNICK_BUILD_TESTS=OFF "$@" >/dev/null
cmake --build build-release -j"$jobs" >/dev/null
(cd build-release && cpack -G DEB -B "$PWD/../dist" >/dev/null)

echo "== Windows release build and ZIP =="
FENNICK_WINDOWS_SYSROOT=$PWD/build-windows/sysroot \
  scripts/build-windows.sh build-windows-release -DCMAKE_BUILD_TYPE=Release \
  -DFENNICK_BUILD_TESTS=OFF "$@" >/dev/null
(cd build-windows-release && cpack -G ZIP -B "$PWD/../dist" >/dev/null)

rm -rf dist/_CPack_Packages
ls -l dist
