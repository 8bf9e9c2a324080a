#!/usr/bin/env bash
# AddinSetup.exe under Wine against the real registry: install, untick as Excel does, uninstall
# twice, an unreadable OPEN value, the Office settings exported and compared after each step; then
# the warning box when no shell can be created. Installing runs over Wine's own WScript.Shell;
# the uninstall steps over the stand-in, which adds the RegDelete that Wine's lacks. Runs inside
# scripts/with-wine.sh.
#   installer_steps.sh AddinSetup.exe installer_standin_shell.dll installer_box_watch.exe
set -euo pipefail
exe=$(winepath -w "$1") shell=$(winepath -w "$2") watch=$3 office='HKCU\Software\Microsoft\Office'
trap 'wine reg delete "$office" /f &>/dev/null; wine regsvr32 /s /u "$shell" &>/dev/null; true' EXIT
failures=0
fail() { failures=$((failures + 1)); echo "installer_steps: $*" >&2; }
set_value() { wine reg add "$office\\$1" /v "$2" /t "${4:-REG_SZ}" /d "$3" /f >/dev/null; }

# step NAME STATUS ARGUMENTS...: runs AddinSetup, checks its status and the export (from Options
# keys down, the Office prefix cut) against stdin.
step() {
  local name=$1 want=$2 status=0
  shift 2
  wine "$exe" "$@" </dev/null &>/dev/null || status=$?
  [ "$status" = "$want" ] || fail "$name: exit status $status, expected $want"
  rm -f export.reg
  wine reg export "$office" export.reg &>/dev/null
  diff <(cat) <(iconv -f UTF-16 -t UTF-8 export.reg | tr -d '\r' |
    grep -vE '^(Windows Registry|$|\[.*Office(\\[0-9.]+(\\Excel)?)?\]$)' |
    sed 's/^\[HKEY_CURRENT_USER\\Software\\Microsoft\\Office\\/[/') >&2 || fail "$name: the registry differs"
}

# Excel 16.0's Options key as Excel leaves it (values, but no default value, and none is made:
# the exports hold no "@"); 15.0 lists another add-in.
set_value '16.0\Excel\Options' Zoom 100 REG_DWORD
set_value '15.0\Excel\Options' OPEN '/A "Other.Addin"'
step install 0 kzTEXTBRAID.TEXTBRAID EXCEL 0 <<'END'
[15.0\Excel\Options]
"OPEN"="/A \"Other.Addin\""
"OPEN1"="/A \"kzTEXTBRAID.TEXTBRAID\""
[16.0\Excel\Options]
"OPEN"="/A \"kzTEXTBRAID.TEXTBRAID\""
"Zoom"=dword:00000064
END

# Unticked in 16.0 (Excel removes OPEN, remembers it under Add-in Manager); in 15.0 another add-in
# follows it, so that entry is left for the user (status 4); nothing is added back in 16.0.
wine regsvr32 /s "$shell"
wine reg delete "$office\\16.0\\Excel\\Options" /v OPEN /f >/dev/null
set_value '16.0\Excel\Add-in Manager' kzTEXTBRAID.TEXTBRAID ''
set_value '15.0\Excel\Options' OPEN2 '/A "Third.Addin"'
after='[15.0\Excel\Options]
"OPEN"="/A \"Other.Addin\""
"OPEN1"="/A \"kzTEXTBRAID.TEXTBRAID\""
"OPEN2"="/A \"Third.Addin\""
[16.0\Excel\Add-in Manager]
[16.0\Excel\Options]
"Zoom"=dword:00000064'
step uninstall 4 /uninstall kzTEXTBRAID.TEXTBRAID EXCEL <<<"$after"
step 'uninstall again' 4 /uninstall kzTEXTBRAID.TEXTBRAID Excel <<<"$after"
wine regsvr32 /s /u "$shell"  # Wine's own shell again

# An OPEN value the shell cannot read (a REG_QWORD): 16.0 is left alone, status 3.
set_value '16.0\Excel\Options' OPEN 7 REG_QWORD
step 'unreadable value' 3 kzTEXTBRAID.TEXTBRAID EXCEL 0 \
  <<<"${after/'"Zoom"'/'"OPEN"=hex(b):07,00,00,00,00,00,00,00'$'\n''"Zoom"'}"

# No shell at all: the one warning box, read from outside the process, and status 1.
wine reg delete 'HKCR\WScript.Shell' /f >/dev/null
status=0
box=$(wine "$watch" "$exe" kzTEXTBRAID.TEXTBRAID EXCEL 0 | tr -d '\r') || status=$?
[ "$status" = 1 ] || fail "no shell: exit status $status, expected 1"
[ "$box" = 'title: TextBraid Formula
text: To be able to fully use this product: 
 After this install, open Excel, then go to the Add-Ins list. 
  - If "kzTEXTBRAID.TEXTBRAID" is in the list, select it.
  - If not in the list, click "Automation", find and select "kzTEXTBRAID.TEXTBRAID".
buttons: 1:OK;' ] || fail "no shell: the box differs: $box"
exit "$failures"
