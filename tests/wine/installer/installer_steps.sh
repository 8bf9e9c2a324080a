#!/usr/bin/env bash
# AddinSetup.exe as a user meets it, under Wine against the real registry: install, untick the
# add-in as Excel does, uninstall, uninstall again, with the Office settings exported and
# compared after each step and the exit status checked; then an OPEN value the shell cannot read,
# and the warning box when no shell can be created. Runs inside scripts/with-wine.sh.
#   installer_steps.sh AddinSetup.exe installer_standin_shell.dll installer_box_watch.exe
set -euo pipefail
exe=$(winepath -w "$1") shell=$(winepath -w "$2") watch=$3
office='HKCU\Software\Microsoft\Office'
cleanup() {
  wine reg delete "$office" /f >/dev/null 2>&1 || true
  wine regsvr32 /s /u "$shell" >/dev/null 2>&1 || true
}
trap cleanup EXIT
wine regsvr32 /s "$shell"
failures=0
fail() { failures=$((failures + 1)); echo "installer_steps: $*" >&2; }

# step NAME STATUS COMMAND...: runs the command, checks its status and the export against stdin.
step() {
  local name=$1 want=$2 status=0
  shift 2
  "$@" </dev/null >/dev/null 2>&1 || status=$?
  [ "$status" = "$want" ] || fail "$name: exit status $status, expected $want"
  rm -f export.reg
  wine reg export "$office" export.reg >/dev/null 2>&1
  # The export without its header, blank lines and the Office and version keys themselves.
  diff <(cat) <(iconv -f UTF-16 -t UTF-8 export.reg | tr -d '\r' |
    grep -vE '^(Windows Registry|$|\[HKEY_CURRENT_USER\\Software\\Microsoft\\Office(\\[0-9.]+)?\]$)') >&2 ||
    fail "$name: the registry differs (< expected, > found)"
}
set_value() { wine reg add "$office\\$1" /v "$2" /t "${4:-REG_SZ}" /d "$3" /f >/dev/null; }

# Excel 16.0 as Excel leaves it (an Options key with values of its own but no default value);
# 15.0 with another add-in listed; 14.0 without an Options key; Word listing another add-in.
set_value '16.0\Excel\Options' Zoom 100 REG_DWORD
set_value '15.0\Excel\Options' OPEN '/A "Other.Addin"'
set_value '14.0\Excel' Zoom 100 REG_DWORD
set_value '16.0\Word\Options' OPEN '/A "Other.Addin"'
step install 0 wine "$exe" kzTEXTBRAID.TEXTBRAID EXCEL 0 <<'END'
[HKEY_CURRENT_USER\Software\Microsoft\Office\14.0\Excel]
"Zoom"=dword:00000064
[HKEY_CURRENT_USER\Software\Microsoft\Office\15.0\Excel]
[HKEY_CURRENT_USER\Software\Microsoft\Office\15.0\Excel\Options]
"OPEN"="/A \"Other.Addin\""
"OPEN1"="/A \"kzTEXTBRAID.TEXTBRAID\""
[HKEY_CURRENT_USER\Software\Microsoft\Office\16.0\Excel]
[HKEY_CURRENT_USER\Software\Microsoft\Office\16.0\Excel\Options]
"OPEN"="/A \"kzTEXTBRAID.TEXTBRAID\""
"Zoom"=dword:00000064
[HKEY_CURRENT_USER\Software\Microsoft\Office\16.0\Word]
[HKEY_CURRENT_USER\Software\Microsoft\Office\16.0\Word\Options]
"OPEN"="/A \"Other.Addin\""
END

# The user unticks the add-in in Excel 16.0: Excel removes OPEN and remembers the add-in under
# Add-in Manager. In 15.0 another add-in is installed after it, so the entry is in the middle.
wine reg delete "$office\\16.0\\Excel\\Options" /v OPEN /f >/dev/null
set_value '16.0\Excel\Add-in Manager' kzTEXTBRAID.TEXTBRAID ''
set_value '15.0\Excel\Options' OPEN2 '/A "Third.Addin"'
expected_after_uninstall='[HKEY_CURRENT_USER\Software\Microsoft\Office\14.0\Excel]
"Zoom"=dword:00000064
[HKEY_CURRENT_USER\Software\Microsoft\Office\15.0\Excel]
[HKEY_CURRENT_USER\Software\Microsoft\Office\15.0\Excel\Options]
"OPEN"="/A \"Other.Addin\""
"OPEN1"="/A \"kzTEXTBRAID.TEXTBRAID\""
"OPEN2"="/A \"Third.Addin\""
[HKEY_CURRENT_USER\Software\Microsoft\Office\16.0\Excel]
[HKEY_CURRENT_USER\Software\Microsoft\Office\16.0\Excel\Add-in Manager]
[HKEY_CURRENT_USER\Software\Microsoft\Office\16.0\Excel\Options]
"Zoom"=dword:00000064
[HKEY_CURRENT_USER\Software\Microsoft\Office\16.0\Word]
[HKEY_CURRENT_USER\Software\Microsoft\Office\16.0\Word\Options]
"OPEN"="/A \"Other.Addin\""'
# Nothing is added back in 16.0; 15.0's entry is left for the user to untick (status 4).
step uninstall 4 wine "$exe" /uninstall kzTEXTBRAID.TEXTBRAID EXCEL <<<"$expected_after_uninstall"
step 'uninstall again' 4 wine "$exe" /uninstall kzTEXTBRAID.TEXTBRAID Excel \
  <<<"$expected_after_uninstall"

# An OPEN value the shell cannot read (a REG_QWORD): that version is left alone, status 3.
wine reg delete "$office\\15.0" /f >/dev/null
wine reg delete "$office\\16.0" /f >/dev/null
set_value '16.0\Excel\Options' OPEN 7 REG_QWORD
step 'unreadable value' 3 wine "$exe" kzTEXTBRAID.TEXTBRAID EXCEL 0 <<'END'
[HKEY_CURRENT_USER\Software\Microsoft\Office\14.0\Excel]
"Zoom"=dword:00000064
[HKEY_CURRENT_USER\Software\Microsoft\Office\16.0\Excel]
[HKEY_CURRENT_USER\Software\Microsoft\Office\16.0\Excel\Options]
"OPEN"=hex(b):07,00,00,00,00,00,00,00
END

# No shell at all: the one warning box, read from outside the process, and status 1.
wine reg delete 'HKCR\WScript.Shell' /f >/dev/null
status=0
box=$(wine "$watch" "$exe" kzTEXTBRAID.TEXTBRAID EXCEL 0 | tr -d '\r') || status=$?
[ "$status" = 1 ] || fail "no shell: exit status $status, expected 1"
expected_box='title: SPANWISE Formula
text: To be able to fully use this product: 
 After this install, open Excel, then go to the Add-Ins list. 
  - If "Tallyspan.Spanwise" is in the list, select it.
  - If not in the list, click "Automation", find and select "Tallyspan.Spanwise".
buttons: 1:OK;'
[ "$box" = "$expected_box" ] || fail "no shell: the box differs: $box"

[ "$failures" = 0 ] && echo "installer_steps: every step as expected"
exit "$failures"
