#!/usr/bin/env bash
# Sets up the machine, builds the presets and runs every test: native (ASan/UBSan), a bounded
# fuzz run, and, under Wine, the 32-bit Windows build.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh

cmake --preset native >/dev/null
cmake --build --preset native
ctest --preset native -j2

# libFuzzer targets (clang, ASan/UBSan): regression inputs, then a fixed number of inputs from a
# fixed seed per target.
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz
tests/fuzz/run_bounded.sh build/fuzz

cmake --preset mingw32 >/dev/null
cmake --build --preset mingw32
cmake --build --preset mingw32 --target dist  # the release zip, installed by a Wine test
scripts/with-wine.sh build/mingw32/wineprefix ctest --preset mingw32
