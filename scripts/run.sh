#!/usr/bin/env bash
# The main job: sets up the machine, builds the add-in's native tools and evaluates every
# TEXTBRAID formula of the sample workbook with the stand-in Excel.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh

cmake --preset release >/dev/null
cmake --build --preset release --target textbraid

out=build/release/sample
mkdir -p "$out"
python3 tools/make_sample_workbook.py "$out/sample.xlsx"
echo "== TEXTBRAID formulas of the sample workbook (stand-in Excel, native) =="
build/release/tools/textbraid calc "$out/sample.xlsx"
