#!/usr/bin/env bash
# The release zip under Wine: unpacked into a folder whose path has blanks, install.cmd and
# uninstall.cmd run by Wine's cmd.exe as the user, the registry compared before and after.
# Without Excel's Options key install.cmd changes nothing; with it, it registers the DLL for the
# user only (nothing of ours below HKEY_LOCAL_MACHINE), lists the add-in after an unrelated OPEN
# value, writes the COM add-in entry, and the stand-in Excel then computes with the installed
# add-in; installing twice equals once; uninstall.cmd returns HKCU's Software tree to what it was
# and unregisters the DLL. The examples of the guide in the zip give, through the installed
# add-in, the results the guide shows.
# In a win64 prefix install.cmd registers both DLLs (in a win32 prefix only the 32-bit one); with
# both of the package's DLLs registered, a 64-bit and a 32-bit stand-in Excel (APP and APP32) each
# load their own and give the same results, and unregistering the 32-bit one leaves the 64-bit
# one working.
# Wine's own WScript.Shell cannot delete registry values, so AddinSetup runs here over the
# installer tests' stand-in WScript.Shell, registered for the duration of the test.
# Runs inside scripts/with-wine.sh.
#   dist_install.sh TextBraid-x.y.z.zip xlstandin.exe installer_standin_shell.dll WORK_DIR [APP32]
set -euo pipefail
zip=$1 app=$2 shell=$3 work=$4 app32=${5:-}
win64= view=  # view: the registry view of the prefix's own bitness (wine reg is 32-bit)
if [ "${WINEARCH:-win32}" = win64 ]; then win64=1 view=/reg:64; fi
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
machine_classes() {  # HKEY_LOCAL_MACHINE's classes, in each registry view of the prefix
  for v in ${win64:+64} 32; do
    wine reg export 'HKLM\Software\Classes' "machine$v.reg" /reg:$v /y >/dev/null 2>&1
    cat "machine$v.reg"
  done | md5sum
}
# Wine's COM finds classes below HKEY_LOCAL_MACHINE only: it does not merge the user's classes
# into HKEY_CLASSES_ROOT as Windows does, nor does it keep the user's classes of 32-bit and
# 64-bit programs apart (the last registration's class keys win; install.cmd registers the
# 64-bit DLL last). So that the stand-in Excel of the prefix's own bitness sees the per-user
# registration as it would on Windows, it is copied there while the stand-in runs and removed
# again afterwards; the machine's classes are compared before and after.
user_classes() {  # user_classes add|remove
  if [ "$1" = remove ]; then
    while read -r top; do wine reg delete "HKLM\\Software\\Classes\\$top" /f $view >/dev/null 2>&1; done <tops
    return
  fi
  wine reg export 'HKCU\Software\Classes' user.reg /y >/dev/null 2>&1
  python3 - user.reg mirror.reg >tops <<'PY'
import sys
src, dst = sys.argv[1:]
text = open(src, encoding="utf-16").read().replace("HKEY_CURRENT_USER\\", "HKEY_LOCAL_MACHINE\\")
open(dst, "w", encoding="utf-16").write(text)
tops = set()
for line in text.splitlines():
    parts = line.strip("[]").split("\\")[3:] if line.startswith("[") else []
    containers = ("CLSID", "Interface", "TypeLib")
    if parts and (parts[0] not in containers or len(parts) > 1):
        tops.add("\\".join(parts[:2] if parts[0] in containers else parts[:1]))
print("\n".join(sorted(tops)))
PY
  wine reg import mirror.reg $view >/dev/null 2>&1
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
machine_before=$(machine_classes)
run_cmd install.cmd
[ "$status" = 0 ] || fail "install.cmd: exit status $status ($said)"
[ "$(machine_classes)" = "$machine_before" ] || fail "install.cmd changed HKEY_LOCAL_MACHINE's classes"
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
server() {  # the user's registration of the worksheet function's class
  wine reg query 'HKCU\Software\Classes\CLSID\{539B4813-F9FD-4371-8BB0-1675C1F177ED}\InprocServer32' \
    /ve $view 2>/dev/null | tr -d '\r' | grep -io 'TextBraid-[^ ]*' || true
}
bits=${win64:+x64}
[ "$(server)" = "$(basename "$pkg")\\${bits:-x86}\\TextBraid.dll" ] || fail "the user's registration: $(server)"
for b in x86 $bits; do
  grep -q "registered $b.TextBraid.dll" <<<"$said" || fail "install.cmd did not say it registered $b: $said"
done
user_classes add
# The examples of the guide that ships in the zip, through the installed add-in.
python3 "$here/guide_examples.py" "$pkg/user-guide.txt" guide.xlsx guide.expected
wine "$app" calc guide.xlsx >guide.actual 2>/dev/null || fail "stand-in Excel failed on the guide's examples"
diff guide.expected guide.actual >&2 || fail "the user guide's examples give other results"
user_classes remove
[ "$(machine_classes)" = "$machine_before" ] || fail "the copy of the user's classes was not removed"

if [ -n "$win64" ]; then
  # Both DLLs of the package registered in one win64 prefix, where Wine keeps the two bitnesses'
  # classes apart (the machine's): the 32-bit and the 64-bit stand-in Excel each load their own
  # DLL and give the guide's results; unregistering the 32-bit one leaves the 64-bit one working,
  # and unregistering both leaves the machine's classes as they were.
  # (Wine's regsvr32 hands a DLL of the other bitness to its other regsvr32, as Windows' does.)
  regsvr() { wine regsvr32 /s $1 "$(winepath -w "$pkg/$2/TextBraid.dll")"; }
  regsvr "" x64 && regsvr "" x86 || fail "machine-wide registration of both DLLs failed"
  for a in "$app" "$app32"; do
    wine "$a" calc guide.xlsx >guide.actual 2>/dev/null || fail "$a failed on the guide's examples"
    diff guide.expected guide.actual >&2 || fail "the user guide's examples give other results in $a"
  done
  regsvr /u x86 || fail "unregistering the 32-bit DLL failed"
  for a in "$app:a-b" "$app32:#NAME?"; do
    got=$(wine "${a%:*}" eval 'TEXTBRAID("-",TRUE,FALSE,"a","b")' 2>/dev/null | tr -d '\r') || true  # 1: unknown
    [ "$got" = "${a##*:}" ] || fail "${a%:*} after unregistering x86 gives '$got'"
  done
  regsvr /u x64 || fail "unregistering the 64-bit DLL failed"
  [ "$(machine_classes)" = "$machine_before" ] || fail "registering both and unregistering both changed the machine's classes"
fi

run_cmd uninstall.cmd
[ "$status" = 0 ] || fail "uninstall.cmd: exit status $status ($said)"
after=$(snapshot)
[ "$after" = "$before" ] || { fail "registry after uninstall differs from before install:"; diff <(echo "$before") <(echo "$after") >&2 || true; }
[ "$(machine_classes)" = "$machine_before" ] || fail "uninstall.cmd changed HKEY_LOCAL_MACHINE's classes"

if [ "$failures" -ne 0 ]; then exit 1; fi
echo "dist_install: install and uninstall as expected"
