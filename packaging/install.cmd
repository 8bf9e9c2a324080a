@echo off
rem Installs TextBraid for the current user's Excel: registers TextBraid.dll (its COM classes),
rem lists the worksheet function's Automation add-in in Excel's add-in list with AddinSetup.exe,
rem and adds the COM add-in entry that makes Excel connect the add-in at start-up.
rem Exit status: 0 installed; 1 a step failed; 2 Excel's settings do not exist yet (start Excel
rem once, close it, and run this again): nothing was changed; 3 installed, but the worksheet
rem function is not listed in every Excel version (what to do is printed).
setlocal
set "HERE=%~dp0"
set "ADDIN=HKCU\Software\Microsoft\Office\Excel\Addins\kzTEXTBRAID.ConnectExcel"
set "STATUS=0"

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
rem -- AddinSetup --
rem Its exit status: 0 listed; 3 a version was left alone because a value of its add-in list
rem could not be read; anything else: it failed.
"%HERE%AddinSetup.exe" kzTEXTBRAID.TEXTBRAID EXCEL 0
set "LISTED=%ERRORLEVEL%"
if "%LISTED%"=="3" (
  echo TextBraid: not listed in Excel's add-in list for every Excel version: a value named OPEN...
  echo under HKEY_CURRENT_USER\Software\Microsoft\Office\^<version^>\Excel\Options could not be
  echo read, and AddinSetup never writes beside a value it cannot read. To use TEXTBRAID there,
  echo open Excel, File ^> Options ^> Add-ins ^> Manage: Excel Add-ins ^> Go ^> Automation, and
  echo select kzTEXTBRAID.TEXTBRAID.
  set "STATUS=3"
) else if not "%LISTED%"=="0" (
  echo TextBraid: AddinSetup.exe could not list the add-in in Excel.
  exit /b 1
)
rem -- AddinSetup --
reg add "%ADDIN%" /v LoadBehavior /t REG_DWORD /d 3 /f >nul
if errorlevel 1 goto addin_failed
reg add "%ADDIN%" /v FriendlyName /t REG_SZ /d "TextBraid" /f >nul
if errorlevel 1 goto addin_failed
reg add "%ADDIN%" /v Description /t REG_SZ /d "Concatenates Excel Cell Ranges." /f >nul
if errorlevel 1 goto addin_failed
echo TextBraid is installed. Start Excel and use =TEXTBRAID(...) in a cell.
exit /b %STATUS%

:addin_failed
echo TextBraid: the COM add-in entry could not be written.
exit /b 1
