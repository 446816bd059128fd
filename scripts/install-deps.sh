#!/usr/bin/env bash
# Installs the Debian packages Fennick builds, tests and demonstrates with. Quick when
# everything is already there: apt-get runs only for packages that are missing.
#   scripts/install-deps.sh            the Linux build and the demo
#   scripts/install-deps.sh --windows  also the Windows cross build and Wine
#   scripts/install-deps.sh --tests    everything the test command uses: both builds, the
#                                      fuzzers, the browser and the package checks
set -euo pipefail

packages=(cmake g++ make pkg-config libcurl4-openssl-dev libmspack-dev nlohmann-json3-dev uuid-dev libgtest-dev
          libcpp-httplib-dev libssl-dev openssl llvm-14-dev libsqlite3-dev curl time)
windows=(g++-mingw-w64-x86-64-posix wine wine64 googletest dpkg-dev)
for option in "$@"; do
  case "$option" in
    --windows) packages+=("${windows[@]}") ;;
    # The MinGW compiler also builds the PE fixtures of the Linux test suite.
    --tests) packages+=("${windows[@]}" strace clang libclang-rt-dev clang-14 lld-14 chromium unzip iproute2
                        tinyproxy) ;;
    *) echo "unknown option: $option" >&2; exit 2 ;;
  esac
done

missing=()
for package in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$package")
  fi
done

if [ "${#missing[@]}" -gt 0 ]; then
  echo "Installing: ${missing[*]}"
  sudo_cmd=()
  [ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
  "${sudo_cmd[@]}" apt-get update -qq
  DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
