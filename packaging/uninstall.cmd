@echo off
rem Removes TextBraid: takes the worksheet function's Automation add-in off Excel's add-in list
rem with AddinSetup.exe, deletes the COM add-in entry, and unregisters TextBraid.dll. Close
rem Excel first. Exit status: 0 removed; 1 a step failed; 3 removed, except what it names for
rem the user to finish in Excel's Add-ins dialog.
setlocal
set "HERE=%~dp0"
set "ADDIN=HKCU\Software\Microsoft\Office\Excel\Addins\kzTEXTBRAID.ConnectExcel"
set "STATUS=0"

rem -- AddinSetup --
rem "/uninstall" only ever removes. Its exit status: 0 off every list; 3 a value of a list could
rem not be read; 4 still listed somewhere (between other add-ins' entries, or a delete was
rem refused); 5 both; anything else: it failed.
"%HERE%AddinSetup.exe" /uninstall kzTEXTBRAID.TEXTBRAID EXCEL
set "UNLISTED=%ERRORLEVEL%"
if "%UNLISTED%"=="3" set "LEFT=unreadable"
if "%UNLISTED%"=="5" set "LEFT=unreadable"
if defined LEFT (
  echo TextBraid: a value of Excel's add-in list could not be read, so the add-in may still be
  echo listed in an Excel version.
)
if "%UNLISTED%"=="4" set "LEFT=listed"
if "%UNLISTED%"=="5" set "LEFT=listed"
if "%LEFT%"=="listed" (
  echo TextBraid: still in Excel's add-in list in an Excel version: its entry sits between other
  echo add-ins' entries, which only Excel renumbers, or could not be deleted.
)
if defined LEFT (
  echo To finish: open Excel, File ^> Options ^> Add-ins ^> Manage: Excel Add-ins ^> Go, clear the
  echo check box of TextBraid, and if Excel offers to delete it from the list, answer Yes.
  set "STATUS=3"
) else if not "%UNLISTED%"=="0" (
  echo TextBraid: AddinSetup.exe could not take the add-in off Excel's list.
  set "STATUS=1"
)
rem -- AddinSetup --
reg query "%ADDIN%" >nul 2>&1
if not errorlevel 1 reg delete "%ADDIN%" /f >nul
regsvr32 /u /s "%HERE%TextBraid.dll"
if errorlevel 1 (
  echo TextBraid: TextBraid.dll could not be unregistered. Run uninstall.cmd as an administrator.
  set "STATUS=1"
)
if "%STATUS%"=="0" echo TextBraid is removed.
if "%STATUS%"=="3" echo TextBraid is removed, except for the step above.
exit /b %STATUS%
