#!/usr/bin/env bash
# The textbraid command as scripts use it: results, JSON, help boxes on stderr, exit codes.
#   textbraid_cli_test.sh TEXTBRAID_BINARY SOURCE_DIR WORK_DIR
set -u
bin=$1; src=$2; work=$3
mkdir -p "$work"
book="$work/sample.xlsx"
python3 "$src/tools/make_sample_workbook.py" "$book" || { echo "cannot make the sample workbook"; exit 1; }

passed=0; failed=0
check() {  # name expected-exit expected-stdout expected-stderr-pattern -- command…
    local name=$1 want_rc=$2 want_out=$3 want_err=$4; shift 5
    local out err rc
    out=$("$@" 2>"$work/stderr"); rc=$?; err=$(cat "$work/stderr")
    if [ "$rc" = "$want_rc" ] && [ "$out" = "$want_out" ] && [[ "$err" =~ $want_err ]]; then
        passed=$((passed + 1))
    else
        failed=$((failed + 1))
        printf 'FAIL %s\n  exit %s (want %s)\n  out  [%s]\n  want [%s]\n  err  [%s]\n' \
            "$name" "$rc" "$want_rc" "$out" "$want_out" "$err"
    fi
}

check "plain value" 0 "a,b" "^$" -- "$bin" eval 'TEXTBRAID(",", TRUE, FALSE, "a", , "b")'
check "leading equals" 0 "a-b" "^$" -- "$bin" eval '=TEXTBRAID("-", TRUE, FALSE, {"a","b"})'
check "error result is success" 0 "#N/A" "^$" -- "$bin" eval 'TEXTBRAID(",", TRUE, FALSE, NA())'
check "help box on stderr" 0 "#VALUE!" "^\[TEXTBRAID\] This function concatenates" -- \
    "$bin" eval 'TEXTBRAID(",", TRUE)'
check "json" 0 '{"type": "text", "value": "x;y", "boxes": []}' "^$" -- \
    "$bin" eval --json 'TEXTBRAID(";", TRUE, FALSE, "x", "y")'
check "json box" 0 '{"type": "error", "value": "#VALUE!", "boxes": [{"title": "TEXTBRAID", "text": ' \
    "^$" -- bash -c "\"$bin\" eval --json 'TEXTBRAID()' | cut -c1-79"
check "disconnected" 0 "#VALUE!" "^$" -- "$bin" eval --disconnected 'TEXTBRAID()'
check "workbook range" 0 "alpha, 1234.5, 45306, beta, 1234567, 45356, gamma, 0.256, TRUE" "^$" -- \
    "$bin" eval --workbook "$book" --sheet Data 'TEXTBRAID(", ", TRUE, FALSE, A1:C3)'
check "displayed text" 0 "1/15/2024 / 5-Mar-24" "^$" -- \
    "$bin" eval --workbook "$book" 'TEXTBRAID(" / ", TRUE, TRUE, Data!C1:C2)'
check "legacy host" 0 "alpha-beta-gamma-delta-two words" "^$" -- \
    "$bin" eval --workbook "$book" --legacy-host 'TEXTBRAID("-", TRUE, FALSE, Data!A:A)'
check "error cell" 0 "#N/A" "^$" -- \
    "$bin" eval --workbook "$book" 'TEXTBRAID(", ", TRUE, FALSE, Data!C4:C5)'
check "missing file" 2 "" "^textbraid: .*nothing.xlsx" -- \
    "$bin" eval --workbook "$work/nothing.xlsx" 'TEXTBRAID(",", TRUE, FALSE, A1)'
printf 'not a zip' > "$work/bad.xlsx"
check "unreadable file" 2 "" "^textbraid: .*bad.xlsx" -- "$bin" calc "$work/bad.xlsx"
check "over the cell budget" 2 "" "^textbraid: .*more than 5 cells; --max-cells raises" -- \
    "$bin" calc "$book" --max-cells 5
check "unknown sheet" 2 "" "no sheet named 'Nope'" -- \
    "$bin" eval --workbook "$book" --sheet Nope 'TEXTBRAID(",", TRUE, FALSE, A1)'
check "formula does not parse" 2 "" "does not parse" -- "$bin" eval 'TEXTBRAID(",", TRUE'
check "unknown option" 2 "" "unknown option '--fast'" -- "$bin" eval --fast '1'
check "no command" 2 "" "usage:" -- "$bin"

calc_lines=$("$bin" calc "$book" | wc -l)
if [ "$calc_lines" -ge 12 ]; then passed=$((passed + 1)); else
    failed=$((failed + 1)); echo "FAIL calc printed $calc_lines lines"; fi

echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
