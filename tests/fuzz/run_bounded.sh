#!/usr/bin/env bash
# The bounded fuzz run of the test command: replays every input under regressions/<target>/,
# then fuzzes each target for a fixed time, starting from its seed corpus under corpus/<target>/
# (new inputs go to a scratch folder; the committed corpus stays as it is).
#
#   tests/fuzz/run_bounded.sh [BUILD_DIR] [SECONDS_PER_TARGET]     (defaults: build/fuzz, 25)
#
# A finding stops the run with the target's log tail; the input that caused it is kept under
# BUILD_DIR/fuzz-artifacts/ (replay it with: BUILD_DIR/tests/fuzz/<target> <file>).
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
build="$(cd "${1:-$here/../../build/fuzz}" && pwd)"
seconds="${2:-25}"
artifacts="$build/fuzz-artifacts"
logs="$build/fuzz-logs"
scratch="$(mktemp -d)"
trap 'rm -rf "$scratch"' EXIT
mkdir -p "$artifacts" "$logs"

fail() {
    echo "fuzz: $1 FAILED (log: $2)" >&2
    grep -E 'invariant violated|ERROR|SUMMARY|terminate|what\(\)' "$2" | head -20 >&2 || true
    tail -n 5 "$2" >&2
    exit 1
}

for target in fuzz_textbraid fuzz_xlsx; do
    bin="$build/tests/fuzz/$target"
    log="$logs/$target.log"
    if [ -d "$here/regressions/$target" ]; then
        mapfile -t inputs < <(find "$here/regressions/$target" -type f | sort)
        if [ "${#inputs[@]}" -gt 0 ]; then
            "$bin" "${inputs[@]}" >"$logs/$target.regressions.log" 2>&1 ||
                fail "$target regressions" "$logs/$target.regressions.log"
            echo "fuzz: $target: ${#inputs[@]} regression inputs pass"
        fi
    fi
    mkdir -p "$scratch/$target"
    "$bin" "$scratch/$target" "$here/corpus/$target" -max_total_time="$seconds" -timeout=10 \
        -rss_limit_mb=2560 -artifact_prefix="$artifacts/$target-" -print_final_stats=1 \
        >"$log" 2>&1 || fail "$target" "$log"
    runs="$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")"
    echo "fuzz: $target: $runs inputs in ${seconds}s, no finding"
done
