#!/usr/bin/env bash
# The parity test: the same formulas through the native `textbraid` command and through the
# stand-in Excel application (xlstandin.exe) with the real TextBraid.dll under Wine, loaded the
# way Excel loads it (registered with regsvr32, listed by AddinSetup, the COM add-in entry with
# LoadBehavior 3). Standard output, the help-box lines on standard error and the exit codes must
# be identical; error lines may differ only in the program's name.
# Runs inside scripts/with-wine.sh (WINEPREFIX set, a display); leaves the registry as it found it.
#   parity.sh NATIVE_TEXTBRAID XLSTANDIN.EXE TextBraid.dll AddinSetup.exe WORK_DIR
set -euo pipefail
native=$1 app=$2 dll=$3 setup=$4 work=$5
here=$(cd "$(dirname "$0")" && pwd)
if [ ! -x "$native" ]; then
  echo "parity: the native textbraid is missing: $native (build the native preset first)" >&2
  exit 1
fi
mkdir -p "$work"
cd "$work"

options='HKCU\Software\Microsoft\Office\16.0\Excel\Options'
comaddin='HKCU\Software\Microsoft\Office\Excel\Addins\kzTEXTBRAID.ConnectExcel'
made_options=0
cleanup() {
  wine "$setup" kzTEXTBRAID.TEXTBRAID EXCEL 1 >/dev/null 2>&1 || true
  wine reg delete "$comaddin" /f >/dev/null 2>&1 || true
  if [ "$made_options" = 1 ]; then wine reg delete "$options" /f >/dev/null 2>&1 || true; fi
  wine regsvr32 /s /u "$dll" >/dev/null 2>&1 || true
}
trap cleanup EXIT

wine regsvr32 /s "$dll"
if ! wine reg query "$options" >/dev/null 2>&1; then
  wine reg add "$options" /f >/dev/null
  made_options=1
fi
wine "$setup" kzTEXTBRAID.TEXTBRAID EXCEL 0
wine reg add "$comaddin" /v LoadBehavior /t REG_DWORD /d 3 /f >/dev/null

python3 "$here/make_parity_workbook.py" parity.xlsx
python3 "$(dirname "$here")/../tools/make_sample_workbook.py" sample.xlsx

failures=0
runs=0
# compare NAME ARGS…: runs both programs with the arguments and compares what they print.
compare() {
  local name=$1; shift
  runs=$((runs + 1))
  local n=0 a=0
  "$native" "$@" >"$name.native.out" 2>"$name.native.err" || n=$?
  wine "$app" "$@" >"$name.app.out" 2>"$name.app.err" || a=$?
  sed -i -e 's/^xlstandin: /textbraid: /; s/^usage: xlstandin /usage: textbraid /; s/^       xlstandin /       textbraid /' \
      -e "s/^Try 'xlstandin /Try 'textbraid /" "$name.app.err"
  if [ "$n" != "$a" ] || ! cmp -s "$name.native.out" "$name.app.out" ||
     ! cmp -s "$name.native.err" "$name.app.err"; then
    failures=$((failures + 1))
    echo "parity: $name differs (exit codes: native $n, application $a)" >&2
    diff "$name.native.out" "$name.app.out" | head -20 >&2 || true
    diff "$name.native.err" "$name.app.err" | head -20 >&2 || true
  fi
}

compare calc calc parity.xlsx
compare calc-json calc parity.xlsx --json
compare sample calc sample.xlsx
compare sample-json calc sample.xlsx --json
compare eval-array eval '=TEXTBRAID(";",TRUE,FALSE,{1,"a";TRUE,2.5})'
compare eval-help eval --json 'TEXTBRAID(",")'
compare eval-help-plain eval 'TEXTBRAID()'
compare eval-sheet eval --workbook parity.xlsx --sheet Data 'TEXTBRAID("-",TRUE,TRUE,A:B)'
compare eval-legacy eval --legacy-host --workbook parity.xlsx 'TEXTBRAID("-",TRUE,FALSE,Data!A:A)'
compare eval-disconnected eval --disconnected --workbook parity.xlsx 'TEXTBRAID("-",TRUE,FALSE,Data!A1:A2)'
compare eval-unknown-function eval 'NOSUCHFUNCTION(1)'
compare bad-formula eval 'TEXTBRAID(",",TRUE'
compare bad-sheet eval --workbook parity.xlsx --sheet Nowhere 'TEXTBRAID(",",TRUE,FALSE,A1)'
compare bad-workbook calc missing.xlsx
compare bad-command frobnicate
compare eval-blank-workbook eval '=A1' 'TEXTBRAID(",",FALSE,FALSE,A1:B2)'

formulas=$(grep -c . calc.native.out)
if [ "$failures" -ne 0 ]; then
  echo "parity: $failures of $runs runs differ" >&2
  exit 1
fi
echo "parity: $runs runs ($formulas formulas of the parity workbook, plain and JSON) identical"
