#!/usr/bin/env bash
# The fuzz step of the test command, the same on every run: replays every input under
# regressions/<target>/, then runs each target for a fixed number of inputs from a fixed seed,
# starting from its seed corpus under corpus/<target>/ (new inputs go to a scratch folder; the
# committed corpus stays as it is). Time-bounded exploration is explore.sh's job.
#
#   tests/fuzz/run_bounded.sh [BUILD_DIR]     (default: build/fuzz)
#
# A finding stops the run with the target's log tail; the input that caused it is kept under
# BUILD_DIR/fuzz-artifacts/ (replay it with: BUILD_DIR/tests/fuzz/<target> <file>).
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
build="$(cd "${1:-$here/../../build/fuzz}" && pwd)"
artifacts="$build/fuzz-artifacts"
logs="$build/fuzz-logs"
scratch="$(mktemp -d)"
trap 'rm -rf "$scratch"' EXIT
mkdir -p "$artifacts" "$logs"
# Same inputs on every run: no corpus reloads (timing-dependent) and, where the system allows it,
# no address randomisation (addresses reach the coverage through hashed containers).
fixed=(setarch "$(uname -m)" -R)
"${fixed[@]}" true 2>/dev/null || fixed=()

fail() {
    echo "fuzz: $1 FAILED (log: $2)" >&2
    grep -E 'invariant violated|ERROR|SUMMARY|terminate|what\(\)' "$2" | head -20 >&2 || true
    tail -n 5 "$2" >&2
    exit 1
}

# Inputs per target: a few seconds each under the sanitizers.
for entry in fuzz_textbraid:3000 fuzz_xlsx:6000; do
    target="${entry%%:*}"
    runs="${entry#*:}"
    bin="$build/tests/fuzz/$target"
    log="$logs/$target.log"
    if [ -d "$here/regressions/$target" ]; then
        mapfile -t inputs < <(find "$here/regressions/$target" -type f | sort)
        if [ "${#inputs[@]}" -gt 0 ]; then
            "$bin" -timeout=60 -rss_limit_mb=2560 "${inputs[@]}" \
                >"$logs/$target.regressions.log" 2>&1 ||
                fail "$target regressions" "$logs/$target.regressions.log"
            echo "fuzz: $target: ${#inputs[@]} regression inputs pass"
        fi
    fi
    mkdir -p "$scratch/$target"
    "${fixed[@]}" "$bin" "$scratch/$target" "$here/corpus/$target" -seed=1 -runs="$runs" \
        -reload=0 -timeout=60 -rss_limit_mb=2560 -artifact_prefix="$artifacts/$target-" \
        -print_final_stats=1 \
        >"$log" 2>&1 || fail "$target" "$log"
    echo "fuzz: $target: $runs inputs from seed 1, no finding"
done
