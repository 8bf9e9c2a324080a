@echo off
rem Removes TextBraid: takes the worksheet function's Automation add-in off Excel's add-in list
rem with AddinSetup.exe, deletes the COM add-in entry, and unregisters TextBraid.dll. Close
rem Excel first. Exit status: 0 removed; 1 a step failed.
setlocal
set "HERE=%~dp0"
set "ADDIN=HKCU\Software\Microsoft\Office\Excel\Addins\kzTEXTBRAID.ConnectExcel"
set "STATUS=0"

"%HERE%AddinSetup.exe" kzTEXTBRAID.TEXTBRAID EXCEL 1
if errorlevel 1 (
  echo TextBraid: AddinSetup.exe could not take the add-in off Excel's list.
  set "STATUS=1"
)
reg query "%ADDIN%" >nul 2>&1
if not errorlevel 1 reg delete "%ADDIN%" /f >nul
regsvr32 /u /s "%HERE%TextBraid.dll"
if errorlevel 1 (
  echo TextBraid: TextBraid.dll could not be unregistered. Run uninstall.cmd as an administrator.
  set "STATUS=1"
)
if "%STATUS%"=="0" echo TextBraid is removed.
exit /b %STATUS%
