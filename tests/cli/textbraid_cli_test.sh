#!/usr/bin/env bash
# The textbraid command as scripts use it: results, JSON, help boxes and notes on stderr, exit codes.
#   textbraid_cli_test.sh TEXTBRAID_BINARY SOURCE_DIR WORK_DIR
set -u
bin=$1 src=$2 work=$3 book=$3/sample.xlsx
mkdir -p "$work"
python3 "$src/tools/make_sample_workbook.py" "$book" || { echo "cannot make the sample workbook"; exit 1; }
# calc.xlsx: formula cells saved without results, read before their turn, that do not parse,
# call an unknown function or form a cycle; a result with a tab and a backslash.
# twins.xlsx: two sheets whose names differ only in case.
PYTHONPATH="$src/tools" python3 - "$work" <<'PY' || { echo "cannot make the test workbooks"; exit 1; }
import sys
from make_sample_workbook import Book
b = Book(); s = b.sheet("S")
for row, f in enumerate(['TEXTBRAID("|",TRUE,FALSE,A2,"end")', 'UPPER("c")', 'TEXTBRAID(",",TRUE,FALSE,VLOOKUP(1,B1,1))',
                         'TEXTBRAID(",",TRUE', 'TEXTBRAID(",",TRUE,FALSE,B1)', 'TEXTBRAID(",",TRUE,FALSE,A7)',
                         'TEXTBRAID(",",TRUE,FALSE,A6)'], 1):
    s.set(f"A{row}", None, formula=f)
s.set("B1", "x\ty\\z")
s.set("A8", None, formula='TEXTBRAID(",",TRUE,FALSE,B2:B4)')  # values saved for what is not computed
s.set("B2", "banana", formula="VLOOKUP(1,C1:D2,2,FALSE)"); s.set("B3", None, formula='PROPER("cherry pie")')
s.set("B4", "Dates", formula="_xlfn.XLOOKUP(1,C1:C2,D1:D2)")
b.save(sys.argv[1] + "/calc.xlsx")
b = Book(); b.sheet("Data"); b.sheet("DATA"); b.save(sys.argv[1] + "/twins.xlsx")
PY
version=$(sed -n 's/^project(TextBraid VERSION \([0-9.]*\).*/\1/p' "$src/CMakeLists.txt")
calc_out=$(printf 'S!A1\tC|end\nS!A3\t#NAME?\nS!A4\t#NAME?\nS!A5\tx\\ty\\\\z\nS!A6\t0\nS!A7\t0\nS!A8\tbanana,Cherry Pie,Dates')

passed=0; failed=0
check() {  # name expected-exit expected-stdout expected-stderr-pattern -- command…
    local name=$1 want_rc=$2 want_out=$3 want_err=$4; shift 5
    local out err rc
    out=$("$@" 2>"$work/stderr"); rc=$?; err=$(cat "$work/stderr")
    if [ "$rc" = "$want_rc" ] && [ "$out" = "$want_out" ] && [[ "$err" =~ $want_err ]]; then
        passed=$((passed + 1)); return; fi
    failed=$((failed + 1))
    printf 'FAIL %s\n  exit %s (want %s)\n  out  [%s]\n  want [%s]\n  err  [%s]\n' \
        "$name" "$rc" "$want_rc" "$out" "$want_out" "$err"
}

check "values, leading equals, an error result, a new blank workbook" 0 $'a,b\na-b\n#N/A\n\n,,,' "^$" -- \
    "$bin" eval 'TEXTBRAID(",", TRUE, FALSE, "a", , "b")' '=TEXTBRAID("-", TRUE, FALSE, {"a","b"})' \
    'TEXTBRAID(",", TRUE, FALSE, NA())' '=A1' 'TEXTBRAID(",",FALSE,FALSE,A1:B2)'
check "help box on stderr" 0 "#VALUE!" "^\[TEXTBRAID\] This function concatenates" -- \
    "$bin" eval 'TEXTBRAID(",", TRUE)'
check "json, the exact text kept, numbers that read back the same" 2 $'{"index": 1, "type": "text", "value": "x;y", "boxes": []}\n{"index": 2, "type": "text", "value": "a\\tb\\\\", "boxes": []}\n{"index": 3, "type": "number", "value": 0.30000000000000004, "boxes": []}\n{"index": 4, "type": "error", "value": "#NAME?", "boxes": []}\n{"index": 5, "type": "number", "value": -1e+300, "boxes": []}' \
    "^textbraid: formula 4 does not parse: .*" -- "$bin" eval --json 'TEXTBRAID(";", TRUE, FALSE, "x", "y")' $'TEXTBRAID(",",TRUE,FALSE,"a\tb\\")' '0.1+0.2' '((' '-1E+300'
check "json box" 0 '{"index": 1, "type": "error", "value": "#VALUE!", "boxes": [{"title": "TEXTBRAID", "text": ' \
    "^$" -- bash -c "\"$bin\" eval --json 'TEXTBRAID()' | cut -c1-91"
check "disconnected" 0 "#VALUE!" "^$" -- "$bin" eval --disconnected 'TEXTBRAID()'
check "workbook range, displayed text, error cell" 0 \
    $'alpha, 1234.5, 45306, beta, 1234567, 45356, gamma, 0.256, TRUE\n1/15/2024 / 5-Mar-24\n#N/A' "^$" -- \
    "$bin" eval --workbook "$book" --sheet Data 'TEXTBRAID(", ", TRUE, FALSE, A1:C3)' \
    'TEXTBRAID(" / ", TRUE, TRUE, Data!C1:C2)' 'TEXTBRAID(", ", TRUE, FALSE, Data!C4:C5)'
check "legacy host" 0 "alpha-beta-gamma-delta-two words" "^$" -- \
    "$bin" eval --workbook "$book" --legacy-host 'TEXTBRAID("-", TRUE, FALSE, Data!A:A)'
check "missing file" 2 "" "^textbraid: .*nothing.xlsx" -- \
    "$bin" eval --workbook "$work/nothing.xlsx" 'TEXTBRAID(",", TRUE, FALSE, A1)'
printf 'not a zip' > "$work/bad.xlsx"
check "unreadable file" 2 "" "^textbraid: .*bad.xlsx" -- "$bin" calc "$work/bad.xlsx"
check "over the cell budget" 2 "" "^textbraid: .*more than 5 cells; --max-cells raises" -- \
    "$bin" calc "$book" --max-cells 5
check "unknown sheet" 2 "" "no sheet named 'Nope'" -- \
    "$bin" eval --workbook "$book" --sheet Nope 'TEXTBRAID(",", TRUE, FALSE, A1)'
check "one line per formula, one that does not parse included" 2 $'a\n#NAME?\nb\n#NAME?' \
    "^textbraid: formula 2 does not parse: .* \(gives #NAME\?\)"$'\n'"textbraid: unsupported function VLOOKUP \(gives #NAME\?\)$" -- \
    "$bin" eval '="a"' '=((' '="b"' 'VLOOKUP(1,A1,1)'
check "formulas and - together" 2 "" "either formulas or -" -- "$bin" eval 1 -
check "a workbook from stdin for eval" 2 "" "--workbook needs a file" -- "$bin" eval --workbook - 1
check "formulas after --" 0 "-1" "^$" -- "$bin" eval -- -1
check "a byte-order mark before the formulas" 0 $'x\n1' "^$" -- bash -c "printf '\\xEF\\xBB\\xBF\"x\"\\n1\\n' | \"$bin\" eval -"
check "unknown name" 1 $'#VALUE!\nAb' "^textbraid: unknown name tru \(gives #NAME\?\)$" -- \
    "$bin" eval 'TEXTBRAID("-",tru,FALSE,"a")' 'LEFT(PROPER("ab"),1)&LOWER(CHAR(66))'
check "unknown option" 2 "" "unknown option '--fast'" -- "$bin" eval --fast '1'
check "no command" 2 "" "Try 'textbraid --help'" -- "$bin"
check "usage error is one line and a hint" 2 "" "^textbraid: eval needs a FORMULA.*"$'\n'"Try '[^']*' for more information.$" -- "$bin" eval
check "help" 0 "usage: textbraid eval [--workbook FILE.xlsx] [--sheet NAME] [--legacy-host] [--disconnected]" \
    "^$" -- bash -c "\"$bin\" eval --help | head -1"
check "version" 0 "textbraid $version" "^$" -- "$bin" --version
check "cmake --install installs the command" 0 "textbraid $version" "^$" -- bash -c \
    "cmake --install '$(dirname "$(dirname "$bin")")' --prefix '$work/inst' >/dev/null && '$work/inst/bin/textbraid' --version"
check "formulas from stdin" 0 $'2\nx' "^$" -- bash -c "printf '1+1\r\n\n  \n\"x\"\n' | \"$bin\" eval -"
check "unsupported function" 1 "#NAME?" "^textbraid: unsupported function VLOOKUP \(gives #NAME\?\)$" -- \
    "$bin" eval 'VLOOKUP(1,A1,1)'
cells_err="^textbraid: S!A3: unsupported function VLOOKUP.*"$'\n'"textbraid: S!A4: the formula does not parse: .* \(gives #NAME\?\)"$'\n'"textbraid: S!A6: circular reference: S!A6 -> S!A7 -> S!A6 \(gives 0\)"$'\n'"textbraid: S!B2: unsupported function VLOOKUP \(keeps the value the file saved\)"$'\n'"textbraid: S!B4: unsupported function XLOOKUP \(keeps the value the file saved\)$"
check "calc goes on past cells it cannot evaluate" 1 "$calc_out" "$cells_err" -- "$bin" calc "$work/calc.xlsx"
check "calc from stdin" 1 "$calc_out" "$cells_err" -- bash -c "\"$bin\" calc - < \"$work/calc.xlsx\""
check "sheet names differing in case" 2 "" "two sheets are named 'DATA'" -- "$bin" calc "$work/twins.xlsx"
check "calc prints every formula cell" 0 "" "^$" -- bash -c "[ \$(\"$bin\" calc \"$book\" | wc -l) -ge 12 ]"

echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
