#!/usr/bin/env bash
# The main job: sets up the machine, builds the native `textbraid` command and the Windows
# deliverables (TextBraid.dll, AddinSetup.exe) with the stand-in Excel application, then, under
# Wine in a fresh prefix with a virtual display, installs the add-in the way a user would
# (regsvr32, AddinSetup, the COM add-in entry) and lets the stand-in Excel evaluate every
# TEXTBRAID formula of the sample workbook through the real DLL, once for the 32-bit build in a
# win32 prefix and once for the 64-bit build in a win64 prefix. It ends by comparing both with
# the native `textbraid calc` on the same workbook; a difference fails the job. Last, the same
# workbook in headless LibreOffice Calc with the extension TextBraid.oxt, against the same.
# It installs and builds only what it runs: no test libraries, no tests (scripts/test.sh does
# those), in build folders of its own so the presets' folders keep their tests.
# On a kernel that cannot run 32-bit programs it does the 64-bit half only; AddinSetup.exe, being
# 32-bit, cannot run there, so the add-in is listed by hand as a user does in the Add-ins dialog.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/wine-env.sh
root=$PWD
main=$root/build/main
out=$main/demo

# Inside Wine (called by this script through scripts/with-wine.sh), with the DLL and the stand-in
# Excel of one build (mingw32 or mingw64); AddinSetup.exe is the 32-bit one for both, or, with a
# third argument "by-hand", the add-in is listed without it.
if [ "${1:-}" = "--in-wine" ]; then
  w32=$main/mingw32 win=$main/$2
  options='HKCU\Software\Microsoft\Office\16.0\Excel\Options'
  wine regsvr32 /s "$win/server/com/TextBraid.dll"
  # The installer lists the add-in only where Excel's Options key exists; Excel makes that key
  # the first time it runs, so it is made here as Excel leaves it: values of its own and no
  # default value (`reg add` without /v would make an empty one).
  wine reg add "$options" /v Zoom /t REG_DWORD /d 100 /f >/dev/null
  if [ "${3:-}" = by-hand ]; then
    # What the user does in Excel's Add-ins dialog (Automation..., TextBraid): the OPEN value.
    wine reg add "$options" /v OPEN /d '/A "kzTEXTBRAID.TEXTBRAID"' /f >/dev/null
  else
    wine "$w32/installer/AddinSetup.exe" kzTEXTBRAID.TEXTBRAID EXCEL 0
  fi
  wine reg add 'HKCU\Software\Microsoft\Office\Excel\Addins\kzTEXTBRAID.ConnectExcel' \
    /v LoadBehavior /t REG_DWORD /d 3 /f >/dev/null
  wine reg add 'HKCU\Software\Microsoft\Office\Excel\Addins\kzTEXTBRAID.ConnectExcel' \
    /v FriendlyName /d TextBraid /f >/dev/null
  wine reg add 'HKCU\Software\Microsoft\Office\Excel\Addins\kzTEXTBRAID.ConnectExcel' \
    /v Description /d "Concatenates Excel Cell Ranges." /f >/dev/null
  cd "$out"
  wine "$win/tools/winexcel/xlstandin.exe" calc sample.xlsx >"$2.out" 2>"$2.err"
  exit 0
fi

log=$root/build/run.log
mkdir -p build "$out"
quietly() {  # runs a step with its output in the log; shows the log when it fails
  if ! "$@" >>"$log" 2>&1; then
    echo "run.sh: '$*' failed; its output:" >&2
    tail -40 "$log" >&2
    exit 1
  fi
}
: >"$log"
quietly scripts/setup.sh run
builds="mingw32 mingw64" by_hand=
if ! kernel_runs_i386; then
  echo "run.sh: 64-bit half only, AddinSetup.exe not run (the add-in is listed by hand): $no_i386_reason"
  builds=mingw64 by_hand=by-hand
fi
quietly cmake --preset release -B "$main/release" -DTB_TESTS=OFF -DTB_BENCH=OFF
quietly cmake --build "$main/release" --target textbraid
if [ -z "$by_hand" ]; then
  quietly cmake --preset mingw32 -B "$main/mingw32" -DTB_TESTS=OFF
  quietly cmake --build "$main/mingw32" --target TextBraid AddinSetup xlstandin
fi
quietly cmake --preset mingw64 -B "$main/mingw64" -DTB_TESTS=OFF
quietly cmake --build "$main/mingw64" --target TextBraid xlstandin

python3 tools/make_sample_workbook.py "$out/sample.xlsx"
[ -n "$by_hand" ] || quietly scripts/with-wine.sh win32 "$main/demo-prefix32" "$0" --in-wine mingw32
quietly scripts/with-wine.sh win64 "$main/demo-prefix64" "$0" --in-wine mingw64 $by_hand
first=${builds%% *}

# Each formula of the sample workbook with the result the stand-in Excel got from the DLL.
echo "== TEXTBRAID formulas of the sample workbook: TextBraid.dll in the stand-in Excel under Wine =="
python3 - "$out/$first.out" <<'PY'
import html, re, sys
sys.path.insert(0, "tools")
from make_sample_workbook import sample_book
formulas = {}
for sheet in sample_book().sheets:
    for (row, col), xml in sheet.cells.items():
        m = re.search(r"<f>(.*?)</f>", xml)
        if m:
            name = sheet.name if re.fullmatch(r"[A-Za-z0-9_.]+", sheet.name) else "'%s'" % sheet.name
            formulas[f"{name}!{chr(64 + col)}{row}"] = "=" + html.unescape(m.group(1))
for line in open(sys.argv[1], encoding="utf-8").read().splitlines():
    cell, _, result = line.partition("\t")
    print(f"{cell:<13} {formulas.get(cell, '?'):<52} -> {result}")
PY
sed 's/^/  (help box) /' "$out/$first.err"

"$main/release/tools/textbraid" calc "$out/sample.xlsx" >"$out/native.out" 2>"$out/native.err"
status=0
for build in $builds; do
  bits=${build#mingw}
  if cmp -s "$out/native.out" "$out/$build.out" && cmp -s "$out/native.err" "$out/$build.err"; then
    echo "== Native textbraid calc and the $bits-bit DLL in the $bits-bit stand-in Excel: identical results =="
  else
    echo "== Native textbraid calc and the $bits-bit DLL: DIFFERENT results (native < > DLL under Wine) =="
    diff "$out/native.out" "$out/$build.out" || true
    diff "$out/native.err" "$out/$build.err" || true
    status=1
  fi
done

# LibreOffice Calc: the same workbook in headless Calc with TextBraid.oxt installed as a user
# installs it (unopkg add into a fresh profile; as nobody when run as root), against the native
# command. Three formulas differ by design: Calc refuses an array or a literal as the first text
# (Err:504) and shows an error argument as it is (#N/A) without calling the add-in; the user
# guide's Calc section lists why.
quietly cmake --build "$main/release" --target calc
python3 calc/headless_calc.py "$main/release/TextBraid.oxt" "$out/sample.xlsx" >"$out/calc.out"
printf 'Formulas!B9\tErr:504\nFormulas!B14\tErr:504\nFormulas!B16\t#N/A\n' >"$out/calc.known"
python3 -c 'import sys
known = dict(l.split("\t", 1) for l in open(sys.argv[2], encoding="utf-8"))
for line in open(sys.argv[1], encoding="utf-8"):
    print(line.split("\t", 1)[0] + "\t" + known.get(line.split("\t", 1)[0], line.split("\t", 1)[1]), end="")
' "$out/native.out" "$out/calc.known" >"$out/calc.expected"
if cmp -s "$out/calc.expected" "$out/calc.out"; then
  echo "== Native textbraid calc and TextBraid.oxt in headless LibreOffice Calc: identical results," \
    "but for the 3 calls Calc refuses (Formulas!B9, B14, B16) =="
else
  echo "== Native textbraid calc and TextBraid.oxt in headless LibreOffice Calc: DIFFERENT results =="
  diff "$out/calc.expected" "$out/calc.out" || true
  status=1
fi
exit $status
