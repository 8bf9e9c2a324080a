#!/usr/bin/env bash
# Installs the Debian packages a job needs.
#   scripts/setup.sh run    what the main job (scripts/run.sh) needs: the compilers, Wine, a display,
#                           LibreOffice Calc and its SDK (the Calc extension is built and run)
#   scripts/setup.sh        the same plus what the tests need (scripts/test.sh): the test and
#                           benchmark libraries, clang for the fuzz targets, zip for the
#                           release package, matplotlib for the benchmarks' plot
#                           (scripts/performance.sh)
# Idempotent: packages already present are left alone; safe to run on every invocation.
set -euo pipefail

# The main job: build the native command and the Windows deliverables, run them under Wine.
run_packages=(
  build-essential cmake ninja-build pkg-config git python3
  zlib1g-dev libz-mingw-w64-dev
  g++-mingw-w64-i686-posix mingw-w64-tools binutils-mingw-w64-i686
  g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64
  wine wine32:i386 libwine:i386 wine64
  xvfb
  libreoffice-calc-nogui libreoffice-dev
)
# The tests only.
test_packages=(
  clang clang-format libclang-rt-14-dev
  googletest libgtest-dev libgmock-dev libbenchmark-dev
  zip unzip
  xauth x11-apps netpbm
  python3-matplotlib time
)

case "${1:-test}" in
  run) packages=("${run_packages[@]}") ;;
  test) packages=("${run_packages[@]}" "${test_packages[@]}") ;;
  *)
    echo "setup: unknown job '$1' (run or test)" >&2
    exit 2
    ;;
esac

need_root() {
  if [ "$(id -u)" -ne 0 ]; then
    if command -v sudo >/dev/null 2>&1; then exec sudo -E "$0" "$@"; fi
    echo "setup: run as root (apt-get needs it)" >&2
    exit 1
  fi
}

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done
if ! dpkg --print-foreign-architectures | grep -qx i386; then
  need_root "$@"
  dpkg --add-architecture i386
  missing+=(__update__)
fi
if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi
need_root "$@"
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
real=()
for p in "${missing[@]}"; do [ "$p" = __update__ ] || real+=("$p"); done
if [ ${#real[@]} -gt 0 ]; then
  apt-get install -y -qq --no-install-recommends "${real[@]}" >/dev/null
fi
