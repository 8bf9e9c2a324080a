#!/usr/bin/env bash
# The release zip under Wine, unpacked into a path with blanks: without Excel's Options key
# install.cmd changes nothing; with one whose add-in list cannot be read it says the add-in is not
# listed, with the step that lists it, and ends non-zero; with Excel's Options key as Excel
# leaves it (values, no default value) it registers the DLL (in a win64 prefix both) for the user
# only, lists the add-in after an unrelated OPEN value and writes the COM add-in entry, twice as
# once; the guide's examples give their results through the installed add-in; uninstall.cmd
# restores HKCU's Software tree, also for a package that lost its x64\ folder. In a win64 prefix
# a 64-bit and a 32-bit stand-in Excel each load their own DLL. install.cmd runs over Wine's own
# WScript.Shell; uninstall.cmd over the installer tests' stand-in, which adds the RegDelete that
# Wine's lacks. Runs inside scripts/with-wine.sh.
#   dist_install.sh TextBraid-x.y.z.zip xlstandin.exe installer_standin_shell.dll WORK_DIR [APP32]
set -euo pipefail
zip=$1 app=$2 shell=$3 work=$4 app32=${5:-}
win64= view=  # view: the registry view of the prefix's own bitness (wine reg is 32-bit)
if [ "${WINEARCH:-win32}" = win64 ]; then win64=1 view=/reg:64; fi
here=$(cd "$(dirname "$0")" && pwd)
rm -rf "$work" && mkdir -p "$work/Program Files" && cd "$work"
unzip -q "$zip" -d "Program Files"
pkg=$(ls -d "$PWD/Program Files"/TextBraid-*)
office='HKCU\Software\Microsoft\Office' options='HKCU\Software\Microsoft\Office\16.0\Excel\Options'
cleanup() {
  wine cmd /c "$(winepath -w "$pkg/uninstall.cmd")" >/dev/null 2>&1 || true
  for k in 16.0 Excel; do wine reg delete "$office\\$k" /f >/dev/null 2>&1 || true; done
  wine regsvr32 /s /u "$(winepath -w "$shell")" >/dev/null 2>&1 || true
}
trap cleanup EXIT

failures=0
fail() { failures=$((failures + 1)); echo "dist_install: $*" >&2; }
expect() {  # expect WHAT EXPECTED ACTUAL
  [ "$2" = "$3" ] || { fail "$1:"; diff <(echo "$2") <(echo "$3") >&2 || true; }
}
normalise() {  # reg query's listing sorted (Wine lists values in no fixed order), no blank lines
  tr -d '\r' | sed 's/ *$//' | grep . | LC_ALL=C sort
}
snapshot() {  # the current user's software settings and our classes
  for k in 'HKCU\Software' HKCR\\kzTEXTBRAID.{TEXTBRAID,ConnectExcel,CExcelEvents}; do
    wine reg query "$k" /s 2>/dev/null || true
  done | normalise
}
machine_classes() {  # HKEY_LOCAL_MACHINE's classes, in each registry view of the prefix
  for v in ${win64:+64} 32; do
    wine reg export 'HKLM\Software\Classes' "machine$v.reg" /reg:$v /y >/dev/null 2>&1
    cat "machine$v.reg"
  done | md5sum
}
# Wine's COM finds classes below HKEY_LOCAL_MACHINE only (it neither merges the user's classes
# into HKEY_CLASSES_ROOT nor keeps the user's 32-bit and 64-bit classes apart; install.cmd
# registers the 64-bit DLL last). So that the stand-in Excel of the prefix's bitness sees the
# per-user registration as on Windows, it is copied there while the stand-in runs, then removed.
tops() {  # HKEY_LOCAL_MACHINE's class keys: top-level ones and those below the containers
  for c in '' CLSID Interface TypeLib; do wine reg query "HKLM\\Software\\Classes${c:+\\$c}" $view 2>/dev/null; done |
    tr -d '\r' | grep '^HKEY' | LC_ALL=C sort
}
user_classes() {  # user_classes add|remove
  if [ "$1" = remove ]; then
    tops | LC_ALL=C comm -13 tops.before - | while read -r k; do wine reg delete "$k" /f $view >/dev/null 2>&1; done
    return
  fi
  tops >tops.before
  wine reg export 'HKCU\Software\Classes' user.reg /y >/dev/null 2>&1
  python3 -c 'text = open("user.reg", encoding="utf-16").read()
open("mirror.reg", "w", encoding="utf-16").write(text.replace("HKEY_CURRENT_USER\\", "HKEY_LOCAL_MACHINE\\"))'
  wine reg import mirror.reg $view >/dev/null 2>&1
}
run_cmd() {  # run_cmd SCRIPT: runs it with Wine's cmd.exe; sets status and said
  status=0
  [ "$1" = uninstall.cmd ] && wine regsvr32 /s "$(winepath -w "$shell")"
  said=$(wine cmd /c "$(winepath -w "$pkg/$1")" 2>&1 | tr -d '\r') || status=$?
  [ "$1" = uninstall.cmd ] && wine regsvr32 /s /u "$(winepath -w "$shell")"  # Wine's own again
  true
}

# No Excel settings yet: nothing changes, exit status 2.
before=$(snapshot)
run_cmd install.cmd
expect "install.cmd without Options: exit status ($said)" 2 "$status"
grep -q "Start Excel once" <<<"$said" || fail "install.cmd without Options said: $said"
expect "install.cmd without Options changed the registry" "$before" "$(snapshot)"

# An add-in list Wine's shell cannot read (a REG_QWORD OPEN): not listed, said so with the step
# that lists it, exit status 4; uninstall.cmd removes everything, the keys install.cmd created
# above the COM add-in entry too.
wine reg add "$options" /v Zoom /t REG_DWORD /d 100 /f >/dev/null
clean=$(snapshot)
wine reg add "$options" /v OPEN /t REG_QWORD /d 7 /f >/dev/null
run_cmd install.cmd
expect "install.cmd over an unreadable list: exit status ($said)" 4 "$status"
grep -q "not in Excel's add-in list of Excel 16.0" <<<"$said" && grep -q "Automation" <<<"$said" &&
  ! grep -q "is installed" <<<"$said" || fail "install.cmd over an unreadable list said: $said"
run_cmd uninstall.cmd
expect "uninstall.cmd over an unreadable list: exit status ($said)" 3 "$status"
wine reg delete "$options" /v OPEN /f >/dev/null
expect "registry after install and uninstall over an unreadable list" "$clean" "$(snapshot)"

# Excel's settings as Excel leaves them (no default value: install makes none, which the listing
# of Options below would show), with an unrelated add-in listed and another value.
wine reg add "$options" /v OPEN /d '/A "Other.Addin"' /f >/dev/null
wine reg add "$office\\Excel\\Addins\\Other.Connect" /v LoadBehavior /t REG_DWORD /d 2 /f >/dev/null
before=$(snapshot) machine_before=$(machine_classes)
for time in once again; do
  run_cmd install.cmd
  expect "install.cmd ($time): exit status ($said)" 0 "$status"
  expect "install.cmd ($time) changed HKEY_LOCAL_MACHINE's classes" "$machine_before" "$(machine_classes)"
done
expect "Options after install" '    OPEN    REG_SZ    /A "Other.Addin"
    OPEN1    REG_SZ    /A "kzTEXTBRAID.TEXTBRAID"
    Zoom    REG_DWORD    0x64
HKEY_CURRENT_USER\Software\Microsoft\Office\16.0\Excel\Options' "$(wine reg query "$options" | normalise)"
expect "COM add-in entry after install" '    Description    REG_SZ    Concatenates Excel Cell Ranges.
    FriendlyName    REG_SZ    TextBraid
    LoadBehavior    REG_DWORD    0x3
HKEY_CURRENT_USER\Software\Microsoft\Office\Excel\Addins\kzTEXTBRAID.ConnectExcel' "$(wine reg query "$office\\Excel\\Addins\\kzTEXTBRAID.ConnectExcel" | normalise)"
bits=${win64:+x64}
expect "the user's registration of the function's class" "$(basename "$pkg")\\${bits:-x86}\\TextBraid.dll" \
  "$(wine reg query 'HKCU\Software\Classes\CLSID\{539B4813-F9FD-4371-8BB0-1675C1F177ED}\InprocServer32' \
     /ve $view 2>/dev/null | tr -d '\r' | grep -io 'TextBraid-[^ ]*' || true)"
for b in x86 $bits; do
  grep -q "registered $b.TextBraid.dll" <<<"$said" || fail "install.cmd did not say it registered $b: $said"
done
user_classes add
# The guide's examples table as a workbook (the cells it describes, one example a row in column
# E) and the lines `calc` prints for them when the guide is right.
PYTHONPATH="$here/../../../tools" python3 - "$pkg/user-guide.txt" >guide.expected <<'PY'
import datetime, re, sys
from make_sample_workbook import Book
guide = open(sys.argv[1], encoding="utf-8").read()
section = re.search(r"^## Examples\n(.*?)(?=^## |\Z)", guide, re.M | re.S)
rows = re.findall(r"^\| `=(.*)` \| `(.*?)`", section[1] if section else "", re.M)
assert len(rows) >= 5, "the guide's examples table was not found"
book = Book()
sheet = book.sheet("Sheet1")
sheet.set("A1", "alpha"), sheet.set("A3", "gamma"), sheet.set("B1", 1234.5, "#,##0.00")
sheet.set("C1", datetime.date(2024, 1, 15), "m/d/yyyy")
for i, (formula, result) in enumerate(rows, start=1):
    sheet.set(f"E{i}", None, formula=formula)
    print(f"Sheet1!E{i}\t{result}")
book.save("guide.xlsx")
PY
guide() {  # guide APP: the guide's examples through the registered add-in
  wine "$1" calc guide.xlsx >guide.actual 2>/dev/null || fail "$1 failed on the guide's examples"
  diff guide.expected guide.actual >&2 || fail "the user guide's examples give other results in $1"
}
guide "$app"
user_classes remove
expect "the copy of the user's classes was not removed" "$machine_before" "$(machine_classes)"

if [ -n "$win64" ]; then
  # Both DLLs registered machine-wide, where Wine keeps the two bitnesses' classes apart (its
  # regsvr32 hands a DLL of the other bitness to its other regsvr32, as Windows' does).
  regsvr() { wine regsvr32 /s $1 "$(winepath -w "$pkg/$2/TextBraid.dll")"; }
  regsvr "" x64 && regsvr "" x86 || fail "machine-wide registration of both DLLs failed"
  guide "$app"
  guide "$app32"
  regsvr /u x86 || fail "unregistering the 32-bit DLL failed"
  for a in "$app:a-b" "$app32:#NAME?"; do
    got=$(wine "${a%:*}" eval 'TEXTBRAID("-",TRUE,FALSE,"a","b")' 2>/dev/null | tr -d '\r') || true  # 1: unknown
    expect "${a%:*} after unregistering x86" "${a##*:}" "$got"
  done
  regsvr /u x64 || fail "unregistering the 64-bit DLL failed"
  expect "registering and unregistering both changed the machine's classes" "$machine_before" "$(machine_classes)"
fi

run_cmd uninstall.cmd
expect "uninstall.cmd: exit status ($said)" 0 "$status"
expect "registry after uninstall differs from before install" "$before" "$(snapshot)"
expect "uninstall.cmd changed HKEY_LOCAL_MACHINE's classes" "$machine_before" "$(machine_classes)"

if [ -n "$win64" ]; then
  # A package that lost its x64\ folder: install.cmd registers x86\ and stops at x64\, saying
  # so; uninstall.cmd removes what was done and counts the missing DLL as not registered.
  rm -r "$pkg/x64"
  run_cmd install.cmd
  expect "install.cmd without x64\\: exit status ($said)" 1 "$status"
  run_cmd uninstall.cmd
  expect "uninstall.cmd without x64\\: exit status ($said)" 0 "$status"
  grep -q "TextBraid is removed." <<<"$said" || fail "uninstall.cmd without x64\\ said: $said"
  expect "registry after uninstall without x64\\" "$before" "$(snapshot)"
fi
[ "$failures" = 0 ] && echo "dist_install: install and uninstall as expected"
