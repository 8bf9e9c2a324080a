@echo off
rem Installs TextBraid for the current user's Excel: registers TextBraid.dll (its COM classes),
rem lists the worksheet function's Automation add-in in Excel's add-in list with AddinSetup.exe,
rem and adds the COM add-in entry that makes Excel connect the add-in at start-up.
rem Exit status: 0 installed; 1 a step failed; 2 Excel's settings do not exist yet (start Excel
rem once, close it, and run this again): nothing was changed.
setlocal
set "HERE=%~dp0"
set "ADDIN=HKCU\Software\Microsoft\Office\Excel\Addins\kzTEXTBRAID.ConnectExcel"

rem AddinSetup lists the add-in only in the Excel versions (10.0 to 99.0) whose Options key
rem exists; it never creates that key, Excel does on its first start. Without one, installing
rem would leave the worksheet function unlisted, so stop before changing anything.
set "FOUND="
for /l %%N in (10,1,99) do (
  reg query "HKCU\Software\Microsoft\Office\%%N.0\Excel\Options" >nul 2>&1
  if not errorlevel 1 set "FOUND=1"
)
if not defined FOUND (
  echo TextBraid: Excel's settings for this user were not found.
  echo Start Excel once, close it, and run install.cmd again. Nothing was changed.
  exit /b 2
)

regsvr32 /s "%HERE%TextBraid.dll"
if errorlevel 1 (
  echo TextBraid: TextBraid.dll could not be registered. Run install.cmd as an administrator.
  exit /b 1
)
"%HERE%AddinSetup.exe" kzTEXTBRAID.TEXTBRAID EXCEL 0
if errorlevel 1 (
  echo TextBraid: AddinSetup.exe could not list the add-in in Excel.
  exit /b 1
)
reg add "%ADDIN%" /v LoadBehavior /t REG_DWORD /d 3 /f >nul
if errorlevel 1 goto addin_failed
reg add "%ADDIN%" /v FriendlyName /t REG_SZ /d "TextBraid" /f >nul
if errorlevel 1 goto addin_failed
reg add "%ADDIN%" /v Description /t REG_SZ /d "Concatenates Excel Cell Ranges." /f >nul
if errorlevel 1 goto addin_failed
echo TextBraid is installed. Start Excel and use =TEXTBRAID(...) in a cell.
exit /b 0

:addin_failed
echo TextBraid: the COM add-in entry could not be written.
exit /b 1
