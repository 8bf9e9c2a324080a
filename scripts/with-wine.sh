#!/usr/bin/env bash
# Runs a command with a fresh Wine prefix, a persistent wineserver and a virtual display.
#   scripts/with-wine.sh [win32|win64] PREFIX_DIR command [args…]
# The prefix is 32-bit (win32, the default) or 64-bit (win64: runs 64-bit and 32-bit programs).
# Exports WINEPREFIX, WINEARCH, WINEDEBUG, WINEDLLOVERRIDES and DISPLAY for the command; tears
# the wineserver and the display down afterwards, whatever the command's outcome.
set -euo pipefail
arch=win32
case "${1:-}" in win32 | win64) arch=$1; shift ;; esac
prefix=$(realpath -m "$1"); shift

export WINEARCH=$arch WINEPREFIX="$prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="

xvfb_pid=
cleanup() {
  wineserver -k >/dev/null 2>&1 || true
  if [ -n "$xvfb_pid" ]; then kill "$xvfb_pid" 2>/dev/null || true; fi
}
trap cleanup EXIT

# A display of our own: message boxes need one, and a wineserver keeps the display it started with.
for n in $(seq 90 140); do
  if [ ! -e "/tmp/.X11-unix/X$n" ] && [ ! -e "/tmp/.X$n-lock" ]; then
    Xvfb ":$n" -screen 0 1024x768x24 -nolisten tcp >/dev/null 2>&1 </dev/null &
    xvfb_pid=$!
    export DISPLAY=":$n"
    break
  fi
done
for _ in $(seq 1 50); do [ -e "/tmp/.X11-unix/${DISPLAY#:}" ] || [ -e "/tmp/.X11-unix/X${DISPLAY#:}" ] && break; sleep 0.1; done

wineserver -k >/dev/null 2>&1 || true
rm -rf "$prefix"
mkdir -p "$prefix"
# A persistent server whose output is detached, so helper processes do not hold test pipes open;
# started before the prefix is made so wineboot uses it rather than a server of its own.
wineserver -p >/dev/null 2>&1 </dev/null
wineboot -i >/dev/null 2>&1 </dev/null
"$@"
