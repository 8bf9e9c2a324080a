#!/usr/bin/env bash
# How xlstandin.exe finds and loads add-ins, checked through its trace (XLSTANDIN_TRACE): the
# newest Office version with an Excel\Options key, the OPEN chain up to the first missing name
# with entries that are no /A listing skipped and duplicates loaded once, COM add-ins only with
# LoadBehavior 3, the IDTExtensibility2 calls in Excel's order, WorkbookOpen reaching the add-in's
# event sink, nothing alive at shutdown, and add-ins that cannot be created reported and skipped.
# Runs inside scripts/with-wine.sh; leaves the registry as it found it.
#   app_loading.sh XLSTANDIN.EXE TextBraid.dll WORK_DIR SAMPLE_GENERATOR
set -euo pipefail
app=$1 dll=$2 work=$3 generator=$4
mkdir -p "$work"
cd "$work"
office='HKCU\Software\Microsoft\Office'
addins="$office\\Excel\\Addins"
cleanup() {
  for k in 16.0 15.0 9.5 "Excel"; do wine reg delete "$office\\$k" /f >/dev/null 2>&1 || true; done
  wine regsvr32 /s /u "$dll" >/dev/null 2>&1 || true
}
trap cleanup EXIT
wine regsvr32 /s "$dll"
python3 "$generator" sample.xlsx

failures=0
check() {  # check NAME EXPECTED ACTUAL
  if [ "$2" != "$3" ]; then
    failures=$((failures + 1))
    echo "app_loading: $1 differs" >&2
    diff <(echo "$2") <(echo "$3") >&2 || true
  fi
}
# run ARGS…: runs the application with a fresh trace; sets status, out, err, trace.
run() {
  rm -f trace.txt
  status=0
  XLSTANDIN_TRACE=$(winepath -w "$PWD/trace.txt") wine "$app" "$@" >out.txt 2>err.txt || status=$?
  out=$(cat out.txt)
  err=$(cat err.txt)
  trace=$(cat trace.txt 2>/dev/null || true)
}
reg() { wine reg add "$@" /f >/dev/null; }

# 16.0 is the newest version with Excel\Options; 15.0's list and 9.5 (no Options key) are not read.
# The chain: an .xlam path, a duplicate in other letter case, entries that only look like a
# listing (another switch, an empty ProgID), and OPEN6 beyond the gap at OPEN5 (never read).
reg "$office\\16.0\\Excel\\Options" /v OPEN /d 'C:\Add-ins\tools.xlam'
reg "$office\\16.0\\Excel\\Options" /v OPEN1 /d '/A "kzTEXTBRAID.TEXTBRAID"'
reg "$office\\16.0\\Excel\\Options" /v OPEN2 /d '  /a "KZTEXTBRAID.textbraid"  '
reg "$office\\16.0\\Excel\\Options" /v OPEN3 /d '/AB "Other.Switch"'
reg "$office\\16.0\\Excel\\Options" /v OPEN4 /d '/A ""'
reg "$office\\16.0\\Excel\\Options" /v OPEN6 /d '/A "Beyond.TheGap"'
reg "$office\\15.0\\Excel\\Options" /v OPEN /d '/A "Old.Version"'
reg "$office\\9.5\\Excel"
reg "$addins\\kzTEXTBRAID.ConnectExcel" /v LoadBehavior /t REG_DWORD /d 3
reg "$addins\\Not.Loaded" /v LoadBehavior /t REG_DWORD /d 2
run calc sample.xlsx
check "calc exit code" 0 "$status"
check "first result" "Formulas!B2	alpha, 1234.5, 45306, beta, 1234567, 45356, gamma, 0.256, TRUE" \
  "$(head -1 <<<"$out")"
check "warnings" "" "$err"
check "calc trace" "options 16.0
com kzTEXTBRAID.ConnectExcel OnConnection 0x00000000
automation kzTEXTBRAID.TEXTBRAID 0x00000000
com kzTEXTBRAID.ConnectExcel OnStartupComplete 0x00000000
com kzTEXTBRAID.ConnectExcel OnBeginShutdown 0x00000000
com kzTEXTBRAID.ConnectExcel OnDisconnection 0x00000000
events WorkbookOpen 1 NewWorkbook 0 delivered 1
alive 0 0 servers 0" "$trace"

# Without a workbook Excel starts with a new one; --disconnected loads no COM add-in, so the
# function has no Application and answers #VALUE!.
run eval 'TEXTBRAID("-",TRUE,FALSE,"a","b")'
check "eval" "a-b" "$out"
check "NewWorkbook" "events WorkbookOpen 0 NewWorkbook 1 delivered 1" "$(grep '^events' <<<"$trace")"
run eval --disconnected 'TEXTBRAID("-",TRUE,FALSE,"a","b")'
check "disconnected" "#VALUE!" "$out"
check "disconnected trace" "options 16.0
automation kzTEXTBRAID.TEXTBRAID 0x00000000
events WorkbookOpen 0 NewWorkbook 1 delivered 0
alive 0 0 servers 0" "$trace"

# Add-ins that cannot be created are reported and skipped; the function is then unknown.
reg "$office\\16.0\\Excel\\Options" /v OPEN1 /d '/A "No.Such.Addin"'
reg "$office\\16.0\\Excel\\Options" /v OPEN2 /d 'C:\Add-ins\more.xlam'
reg "$addins\\Broken.Addin" /v LoadBehavior /t REG_DWORD /d 3
run eval 'TEXTBRAID("-",TRUE,FALSE,"a","b")'
check "no add-in: exit code" 1 "$status"
check "no add-in: result" "#NAME?" "$out"
check "no add-in: warnings" "xlstandin: the COM add-in Broken.Addin could not be loaded (0x800401F3)
xlstandin: the Automation add-in No.Such.Addin could not be loaded (0x800401F3)
xlstandin: unsupported function TEXTBRAID (gives #NAME?)" "$err"

# No Options key in any version: nothing listed.
wine reg delete "$office\\16.0" /f >/dev/null
wine reg delete "$office\\15.0" /f >/dev/null
run eval --disconnected 'TEXTBRAID("-",TRUE,FALSE,"a","b")'
check "no options: result" "#NAME?" "$out"
check "no options: trace" "options " "$(head -1 <<<"$trace")"

if [ "$failures" -ne 0 ]; then exit 1; fi
echo "app_loading: all checks passed"
