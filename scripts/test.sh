#!/usr/bin/env bash
# Sets up the machine, builds the presets and runs every test: native (ASan/UBSan), the Calc
# extension in headless LibreOffice Calc, a bounded fuzz run, and, under Wine, the 32-bit and
# the 64-bit Windows builds.
# On a kernel that cannot run 32-bit programs the Windows builds are still made in full, but only
# the 64-bit tests that need no 32-bit program run (scripts/wine-env.sh).
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/wine-env.sh
scripts/setup.sh

cmake --preset native >/dev/null
cmake --build --preset native
# The native tests include calc_headless: TextBraid.oxt installed with unopkg into a fresh
# profile (as nobody when root), the sample workbook and the formula case table evaluated in
# headless LibreOffice Calc and compared with the native command (about a minute).
ctest --preset native -j2

# libFuzzer targets (clang, ASan/UBSan): regression inputs, then a fixed number of inputs from a
# fixed seed per target.
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz
tests/fuzz/run_bounded.sh build/fuzz

# Windows: the 64-bit build first (the release zip of the 32-bit build carries its stripped DLL),
# then the 32-bit build with the zip; each build's tests in a prefix of its own architecture.
cmake --preset mingw64 >/dev/null
cmake --build --preset mingw64
cmake --build --preset mingw64 --target dist
cmake --preset mingw32 >/dev/null
cmake --build --preset mingw32
cmake --build --preset mingw32 --target dist  # the release zip, installed by a Wine test
tests/wine/app/dist_text.sh build/mingw32/TextBraid-*.zip
if kernel_runs_i386; then
  scripts/with-wine.sh win32 build/mingw32/wineprefix ctest --preset mingw32
  scripts/with-wine.sh win64 build/mingw64/wineprefix ctest --preset mingw64
else
  echo "test.sh: SKIPPED the 32-bit build's Wine tests and the 64-bit tests labelled i386: $no_i386_reason" >&2
  scripts/with-wine.sh win64 build/mingw64/wineprefix ctest --preset mingw64 -LE i386
fi
