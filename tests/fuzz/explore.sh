#!/usr/bin/env bash
# Exploratory fuzzing for a time budget (not part of the test command): runs one target from its
# seed corpus and a working corpus kept in the build folder, so coverage grows from one session
# to the next. A finding is saved under BUILD_DIR/fuzz-artifacts/; once fixed, it becomes a
# regression input (see README.md).
#
#   tests/fuzz/explore.sh TARGET SECONDS [BUILD_DIR]     (default BUILD_DIR: build/fuzz)
set -euo pipefail
[ $# -ge 2 ] || { echo "usage: $0 TARGET SECONDS [BUILD_DIR]" >&2; exit 2; }
here="$(cd "$(dirname "$0")" && pwd)"
target="$1"
build="$(cd "${3:-$here/../../build/fuzz}" && pwd)"
work="$build/explore-corpus/$target"
mkdir -p "$work" "$build/fuzz-artifacts"
exec "$build/tests/fuzz/$target" "$work" "$here/corpus/$target" -max_total_time="$2" \
    -timeout=10 -rss_limit_mb=2560 -artifact_prefix="$build/fuzz-artifacts/$target-" \
    -print_final_stats=1
