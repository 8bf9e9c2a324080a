#!/usr/bin/env bash
# The headline case as an administrator would check it: with the stand-in shell registered,
# "AddinSetup.exe kzTEXTBRAID.TEXTBRAID EXCEL 0" lists the add-in in every version whose Excel
# Options key exists and leaves everything else alone, as `wine reg query` shows.
#   installer_reg_query.sh AddinSetup.exe installer_standin_shell.dll
set -euo pipefail
exe=$1
standin=$(winepath -w "$2")
office='HKCU\Software\Microsoft\Office'

cleanup() {
  for v in 16.0 15.0 14.0; do wine reg delete "$office\\$v" /f >/dev/null 2>&1 || true; done
  wine regsvr32 /s /u "$standin" >/dev/null 2>&1 || true
}
trap cleanup EXIT

wine regsvr32 /s "$standin"
wine reg add "$office\\16.0\\Excel\\Options" /f >/dev/null
wine reg add "$office\\15.0\\Excel\\Options" /v OPEN /d '/A "Other.Addin"' /f >/dev/null
wine reg add "$office\\15.0\\Excel\\Options" /v Size /t REG_DWORD /d 7 /f >/dev/null
wine reg add "$office\\14.0\\Excel" /f >/dev/null
wine reg add "$office\\16.0\\Word\\Options" /v OPEN /d '/A "Other.Addin"' /f >/dev/null

status=0
wine "$exe" kzTEXTBRAID.TEXTBRAID EXCEL 0 || status=$?
if [ "$status" -ne 0 ]; then
  echo "AddinSetup.exe ended with $status, expected 0" >&2
  exit 1
fi

actual=$(wine reg query "$office" /s | tr -d '\r' | sed -e 's/[[:space:]]*$//' -e '/^$/d')
expected=$(cat <<'END'
HKEY_CURRENT_USER\Software\Microsoft\Office\14.0
HKEY_CURRENT_USER\Software\Microsoft\Office\14.0\Excel
    (Default)    REG_SZ
HKEY_CURRENT_USER\Software\Microsoft\Office\15.0
HKEY_CURRENT_USER\Software\Microsoft\Office\15.0\Excel
HKEY_CURRENT_USER\Software\Microsoft\Office\15.0\Excel\Options
    OPEN    REG_SZ    /A "Other.Addin"
    OPEN1    REG_SZ    /A "kzTEXTBRAID.TEXTBRAID"
    Size    REG_DWORD    0x7
HKEY_CURRENT_USER\Software\Microsoft\Office\16.0
HKEY_CURRENT_USER\Software\Microsoft\Office\16.0\Excel
HKEY_CURRENT_USER\Software\Microsoft\Office\16.0\Excel\Options
    (Default)    REG_SZ
    OPEN    REG_SZ    /A "kzTEXTBRAID.TEXTBRAID"
HKEY_CURRENT_USER\Software\Microsoft\Office\16.0\Word
HKEY_CURRENT_USER\Software\Microsoft\Office\16.0\Word\Options
    OPEN    REG_SZ    /A "Other.Addin"
END
)
if [ "$actual" != "$expected" ]; then
  echo "registry after the run differs:" >&2
  diff <(echo "$expected") <(echo "$actual") >&2 || true
  exit 1
fi
echo "registry as expected"
