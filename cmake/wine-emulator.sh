#!/bin/sh
# Runs a Windows program of a build tree under Wine: wine-emulator.sh <program.exe> [args...]
#
# The Wine prefix is FENNICK_WINE_PREFIX when that is set (a program outside any build tree,
# or a test that changes the user's settings and so needs a prefix of its own), else
# <build tree>/wine-prefix (the build tree is the nearest folder above the program that
# holds CMakeCache.txt). A prefix is made on first use and set to report Windows 10,
# so that the OS version text has its modern form. Wine's first process starts background
# services that inherit its standard output and error, and whoever reads those pipes to
# their end (CTest, a test capturing a child's output) would wait for the services to exit.
# So the Wine server is started here first, persistent for a minute after its last client,
# and the services with it, detached from every pipe. In a build tree, drive T: is the
# tree's folder t-drive, for tests of a drive named by its letter alone.
set -eu

t_drive=""
if [ -n "${FENNICK_WINE_PREFIX:-}" ]; then
  WINEPREFIX=$FENNICK_WINE_PREFIX
else
  build=$(dirname "$(realpath "$1")")
  while [ ! -f "$build/CMakeCache.txt" ] && [ "$build" != / ]; do
    build=$(dirname "$build")
  done
  if [ ! -f "$build/CMakeCache.txt" ]; then
    echo "wine-emulator.sh: $1 is in no build tree and FENNICK_WINE_PREFIX is not set" >&2
    exit 125
  fi
  WINEPREFIX=$build/wine-prefix
  t_drive=$build/t-drive
fi
WINEDEBUG=-all
export WINEPREFIX WINEDEBUG

# Runs a Wine command detached from this script's streams and from the lock below, which a
# lingering Wine process would otherwise hold for good.
detached() { "$@" </dev/null >/dev/null 2>&1 9>&-; }

(
  flock 9
  if [ ! -f "$WINEPREFIX/system.reg" ]; then
    detached wine wineboot --init
    detached wine winecfg -v win10
  fi
  if [ -n "$t_drive" ] && [ ! -e "$WINEPREFIX/dosdevices/t:" ]; then
    mkdir -p "$t_drive"
    ln -s "$t_drive" "$WINEPREFIX/dosdevices/t:"
  fi
  if detached wineserver -p60; then
    detached wine cmd /c exit
  fi
) 9>"$WINEPREFIX.lock"

exec wine "$@"
