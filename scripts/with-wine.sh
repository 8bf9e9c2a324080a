#!/usr/bin/env bash
# Runs a command with a fresh Wine prefix, a persistent wineserver and a virtual display.
#   scripts/with-wine.sh [win32|win64] PREFIX_DIR command [args…]
# The prefix is 32-bit (win32, the default) or 64-bit (win64: runs 64-bit and 32-bit programs).
# Exports WINEPREFIX, WINEARCH, WINEDEBUG, WINEDLLOVERRIDES and DISPLAY for the command; tears
# the wineserver and the display down afterwards, whatever the command's outcome.
# On a kernel that cannot run 32-bit programs a win32 prefix is refused, and for win64 the command
# finds `wine`, `wineboot`, … on PATH starting Wine's 64-bit loader (scripts/wine-env.sh).
set -euo pipefail
. "$(dirname "$0")/wine-env.sh"
arch=win32
case "${1:-}" in win32 | win64) arch=$1; shift ;; esac
prefix=$(realpath -m "$1"); shift

shims=
if ! kernel_runs_i386; then
  if [ "$arch" = win32 ]; then
    echo "with-wine.sh: a win32 prefix cannot be used: $no_i386_reason" >&2
    exit 1
  fi
  shims=$(mktemp -d "${TMPDIR:-/tmp}/wine64-shims.XXXXXX")
  write_wine64_shims "$shims"
  export PATH="$shims:$PATH" WINELOADER=$wine_loader64
fi

export WINEARCH=$arch WINEPREFIX="$prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="

xvfb_pid=
cleanup() {
  wineserver -k >/dev/null 2>&1 || true
  if [ -n "$xvfb_pid" ]; then kill "$xvfb_pid" 2>/dev/null || true; fi
  if [ -n "$shims" ]; then rm -rf "$shims"; fi
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
