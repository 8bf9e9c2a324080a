#!/usr/bin/env bash
# The release zip under Wine: unpacked into a folder whose path has blanks, install.cmd and
# uninstall.cmd run by Wine's cmd.exe, the registry compared before and after. Without Excel's
# Options key install.cmd changes nothing; with it, it registers the DLL, lists the add-in after
# an unrelated OPEN value, writes the COM add-in entry, and the stand-in Excel then computes with
# the installed add-in; installing twice equals once; uninstall.cmd returns HKCU's Software tree
# to what it was and unregisters the DLL. The examples of the guide in the zip give, through the
# installed add-in, the results the guide shows.
# Wine's own WScript.Shell cannot delete registry values, so AddinSetup runs here over the
# installer tests' stand-in WScript.Shell, registered for the duration of the test.
# Runs inside scripts/with-wine.sh.
#   dist_install.sh TextBraid-x.y.z.zip xlstandin.exe installer_standin_shell.dll WORK_DIR
set -euo pipefail
zip=$1 app=$2 shell=$3 work=$4
here=$(cd "$(dirname "$0")" && pwd)
rm -rf "$work"
mkdir -p "$work/Program Files"
cd "$work"
unzip -q "$zip" -d "Program Files"
pkg=$(ls -d "$PWD/Program Files"/TextBraid-*)
office='HKCU\Software\Microsoft\Office'
cleanup() {
  wine cmd /c "$(winepath -w "$pkg/uninstall.cmd")" >/dev/null 2>&1 || true
  for k in 16.0 Excel; do wine reg delete "$office\\$k" /f >/dev/null 2>&1 || true; done
  wine regsvr32 /s /u "$(winepath -w "$shell")" >/dev/null 2>&1 || true
}
trap cleanup EXIT
wine regsvr32 /s "$(winepath -w "$shell")"

failures=0
fail() { failures=$((failures + 1)); echo "dist_install: $*" >&2; }
# reg query's listing with the values of each key sorted (Wine lists them in no fixed order).
normalise() {
  python3 -c '
import sys
key, values = None, []
def flush():
    if key is not None:
        print(key)
        print("\n".join(sorted(values)))
for line in sys.stdin.read().replace("\r", "").splitlines():
    line = line.rstrip()
    if not line:
        continue
    if line.startswith("HKEY_"):
        flush()
        key, values = line, []
    else:
        values.append(line)
flush()'
}
snapshot() {  # the current user's software settings and our classes
  { wine reg query 'HKCU\Software' /s 2>/dev/null || true
    for c in kzTEXTBRAID.TEXTBRAID kzTEXTBRAID.ConnectExcel kzTEXTBRAID.CExcelEvents; do
      wine reg query "HKCR\\$c" /s 2>/dev/null || true
    done; } | normalise
}
run_cmd() {  # run_cmd SCRIPT: runs it with Wine's cmd.exe; sets status and said
  status=0
  said=$(wine cmd /c "$(winepath -w "$pkg/$1")" 2>&1 | tr -d '\r') || status=$?
}

# No Excel settings yet: nothing changes, exit status 2.
before=$(snapshot)
run_cmd install.cmd
[ "$status" = 2 ] || fail "install.cmd without Options: exit status $status, expected 2"
grep -q "Start Excel once" <<<"$said" || fail "install.cmd without Options said: $said"
[ "$(snapshot)" = "$before" ] || fail "install.cmd without Options changed the registry"

# Excel's settings as Excel leaves them, with an unrelated add-in listed and another value.
wine reg add "$office\\16.0\\Excel\\Options" /v OPEN /d '/A "Other.Addin"' /f >/dev/null
wine reg add "$office\\16.0\\Excel\\Options" /v Zoom /t REG_DWORD /d 100 /f >/dev/null
wine reg add "$office\\Excel\\Addins\\Other.Connect" /v LoadBehavior /t REG_DWORD /d 2 /f >/dev/null
before=$(snapshot)
run_cmd install.cmd
[ "$status" = 0 ] || fail "install.cmd: exit status $status ($said)"
run_cmd install.cmd
[ "$status" = 0 ] || fail "install.cmd again: exit status $status ($said)"
options=$(wine reg query "$office\\16.0\\Excel\\Options" | normalise)
expected='HKEY_CURRENT_USER\Software\Microsoft\Office\16.0\Excel\Options
    OPEN    REG_SZ    /A "Other.Addin"
    OPEN1    REG_SZ    /A "kzTEXTBRAID.TEXTBRAID"
    Zoom    REG_DWORD    0x64'
[ "$options" = "$expected" ] || { fail "Options after install:"; diff <(echo "$expected") <(echo "$options") >&2 || true; }
entry=$(wine reg query "$office\\Excel\\Addins\\kzTEXTBRAID.ConnectExcel" | normalise)
expected='HKEY_CURRENT_USER\Software\Microsoft\Office\Excel\Addins\kzTEXTBRAID.ConnectExcel
    Description    REG_SZ    Concatenates Excel Cell Ranges.
    FriendlyName    REG_SZ    TextBraid
    LoadBehavior    REG_DWORD    0x3'
[ "$entry" = "$expected" ] || { fail "COM add-in entry after install:"; diff <(echo "$expected") <(echo "$entry") >&2 || true; }
server=$(wine reg query 'HKCR\CLSID\{539B4813-F9FD-4371-8BB0-1675C1F177ED}\InprocServer32' /ve | tr -d '\r')
grep -qi "Program Files\\\\TextBraid-" <<<"$server" || fail "DLL not registered from the package: $server"
result=$(wine "$app" eval 'TEXTBRAID("-",TRUE,FALSE,"a","b")' | tr -d '\r')
[ "$result" = "a-b" ] || fail "stand-in Excel after install gives '$result'"
# The examples of the guide that ships in the zip, through the installed add-in.
python3 "$here/guide_examples.py" "$pkg/user-guide.md" guide.xlsx guide.expected
wine "$app" calc guide.xlsx >guide.actual 2>/dev/null || fail "stand-in Excel failed on the guide's examples"
diff guide.expected guide.actual >&2 || fail "the user guide's examples give other results"

run_cmd uninstall.cmd
[ "$status" = 0 ] || fail "uninstall.cmd: exit status $status ($said)"
after=$(snapshot)
[ "$after" = "$before" ] || { fail "registry after uninstall differs from before install:"; diff <(echo "$before") <(echo "$after") >&2 || true; }
result=$(wine "$app" eval 'TEXTBRAID("-",TRUE,FALSE,"a","b")' 2>/dev/null | tr -d '\r') || true  # 1: unknown
[ "$result" = "#NAME?" ] || fail "stand-in Excel after uninstall gives '$result'"

if [ "$failures" -ne 0 ]; then exit 1; fi
echo "dist_install: install and uninstall as expected"
