#!/usr/bin/env bash
# Checks the release artefacts that scripts/package.sh leaves in dist/: their file lists and
# version 1.0.0, the Debian package's dependencies, that the package installs with apt-get
# and is removed again, and that each packaged program answers --help with exit code 0.
#   tests/package/check_packages.sh [dist folder, default dist]
set -euo pipefail
cd "$(dirname "$0")/../.."

dist=$(realpath "${1:-dist}")
deb=$dist/fennick_1.0.0_amd64.deb
zip=$dist/fennick-1.0.0-win64.zip
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0

check() {  # check <what> <command...>: runs the command, reports and counts a failure
  local what=$1
  shift
  if "$@" >"$work/out" 2>&1; then
    echo "ok      $what"
  else
    echo "FAILED  $what" >&2
    sed 's/^/        /' "$work/out" >&2
    failures=$((failures + 1))
  fi
}
same_lines() {  # same_lines <expected> <actual>
  diff <(printf '%s\n' "$1") <(printf '%s\n' "$2")
}
contains() { grep -qE "$2" <<<"$1" || { echo "no match for '$2' in: $1"; return 1; }; }
runs_help() {  # runs_help <program> [runner]: --help exits 0 and shows the usage text
  local output
  output=$("${@:2}" "$1" --help 2>&1) || { echo "$output"; return 1; }
  contains "$output" "[Uu]sage"
}

# The Debian package.
check "deb exists" test -f "$deb"
check "deb version is 1.0.0" same_lines "1.0.0" "$(dpkg-deb --field "$deb" Version)"
check "deb package and architecture" same_lines "fennick amd64" \
  "$(dpkg-deb --field "$deb" Package) $(dpkg-deb --field "$deb" Architecture)"
depends=$(dpkg-deb --field "$deb" Depends)
for package in libcurl4 libuuid1 libc6; do
  check "deb depends on $package" contains "$depends" "(^|, )$package( |,|$)"
done
check "deb file list" same_lines "./usr/bin/fennick
./usr/bin/fennick-ingest
./usr/share/doc/fennick/README.md
./usr/share/doc/fennick/benchmarks.md
./usr/share/doc/fennick/decisions.md
./usr/share/doc/fennick/inbox.png
./usr/share/doc/fennick/ingest.md
./usr/share/doc/fennick/protocol.md
./usr/share/fennick/signature-rules.txt" "$(dpkg -c "$deb" | awk '$1 !~ /^d/ {print $6}' | sort)"
dpkg-deb -x "$deb" "$work/deb"
check "packaged fennick --help" runs_help "$work/deb/usr/bin/fennick"
check "packaged fennick-ingest --help" runs_help "$work/deb/usr/bin/fennick-ingest"

sudo_cmd=()
[ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
if dpkg-query -W -f='${Status}' fennick 2>/dev/null | grep -q "install ok installed"; then
  echo "FAILED  a fennick package is installed already; remove it first" >&2
  failures=$((failures + 1))
else
  check "apt-get install ./fennick_1.0.0_amd64.deb" env DEBIAN_FRONTEND=noninteractive \
    "${sudo_cmd[@]}" apt-get install -y -qq "$deb"
  check "installed fennick --help" runs_help /usr/bin/fennick
  check "installed fennick-ingest --help" runs_help /usr/bin/fennick-ingest
  check "apt-get remove fennick" env DEBIAN_FRONTEND=noninteractive \
    "${sudo_cmd[@]}" apt-get remove -y -qq fennick
fi

# The Windows ZIP.
check "zip exists" test -f "$zip"
check "zip file list" same_lines "README.md
fennick.exe" "$(unzip -Z1 "$zip" | sort)"
unzip -q "$zip" -d "$work/zip"
check "zip fennick.exe carries version 1.0.0.0" contains \
  "$(x86_64-w64-mingw32-windres -i "$work/zip/fennick.exe" -O rc 2>/dev/null)" "FILEVERSION 1, ?0, ?0, ?0"
# The Wine prefix of the Windows test build, beside the libraries every Windows build shares.
wine_prefix=$PWD/build-windows/wine-prefix
mkdir -p "$(dirname "$wine_prefix")"
check "zipped fennick.exe --help under Wine" runs_help "$work/zip/fennick.exe" \
  env FENNICK_WINE_PREFIX="$wine_prefix" cmake/wine-emulator.sh
WINEPREFIX="$wine_prefix" wineserver -k 2>/dev/null || true

if [ "$failures" -gt 0 ]; then
  echo "$failures package check(s) failed" >&2
  exit 1
fi
echo "all package checks passed"
