@echo off
rem Installs TextBraid for the current user's Excel, without administrator rights: registers
rem TextBraid.dll for this user only (regsvr32 /n /i:user: its classes under
rem HKCU\Software\Classes), lists the worksheet function's Automation add-in in Excel's add-in
rem list with AddinSetup.exe, and adds the COM add-in entry that makes Excel connect the add-in
rem at start-up. On 64-bit Windows both DLLs are registered, x64\ for 64-bit Excel and x86\ for
rem 32-bit Excel, so either Office works and a later change of Office's bitness needs nothing;
rem on 32-bit Windows only x86\.
rem Exit status: 0 installed; 1 a step failed (named; the steps before it stay done, and
rem uninstall.cmd removes them); 2 Excel's settings do not exist yet (start Excel once, close
rem it, and run this again): nothing was changed; 3 installed, but the worksheet function is
rem not listed in every Excel version (what to do is printed).
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

rem The 64-bit regsvr32 is System32's, seen as Sysnative by a 32-bit Command Prompt; the
rem 32-bit one on 64-bit Windows is SysWOW64's.
set "REG64="
set "REG32=%SystemRoot%\System32\regsvr32.exe"
if exist "%SystemRoot%\SysWOW64\regsvr32.exe" (
  set "REG32=%SystemRoot%\SysWOW64\regsvr32.exe"
  set "REG64=%SystemRoot%\System32\regsvr32.exe"
  if defined PROCESSOR_ARCHITEW6432 set "REG64=%SystemRoot%\Sysnative\regsvr32.exe"
)
"%REG32%" /s /n /i:user "%HERE%x86\TextBraid.dll"
if errorlevel 1 (
  echo TextBraid: the 32-bit x86\TextBraid.dll could not be registered for this user.
  echo TextBraid is not installed. Nothing was changed.
  exit /b 1
)
set "DONE=the 32-bit TextBraid.dll"
echo TextBraid: registered x86\TextBraid.dll for 32-bit Excel, for this user.
if defined REG64 (
  "%REG64%" /s /n /i:user "%HERE%x64\TextBraid.dll"
  if errorlevel 1 (
    echo TextBraid: the 64-bit x64\TextBraid.dll could not be registered for this user.
    goto failed
  )
  echo TextBraid: registered x64\TextBraid.dll for 64-bit Excel, for this user.
)
if defined REG64 set "DONE=%DONE% and the 64-bit TextBraid.dll"

rem ---- AddinSetup: lists the worksheet function in Excel's add-in list ----
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
  goto failed
)
rem ---- end of AddinSetup ----
set "DONE=%DONE%, the add-in list"

reg add "%ADDIN%" /v LoadBehavior /t REG_DWORD /d 3 /f >nul
if errorlevel 1 goto addin_failed
reg add "%ADDIN%" /v FriendlyName /t REG_SZ /d "TextBraid" /f >nul
if errorlevel 1 goto addin_failed
reg add "%ADDIN%" /v Description /t REG_SZ /d "Concatenates Excel Cell Ranges." /f >nul
if errorlevel 1 goto addin_failed
if "%STATUS%"=="3" goto installed_unlisted
echo TextBraid is installed. Start Excel and use =TEXTBRAID(...) in a cell.
exit /b 0

:installed_unlisted
echo TextBraid is installed, except for the listing named above. Start Excel and use =TEXTBRAID(...) in a cell.
exit /b 3

:addin_failed
echo TextBraid: the COM add-in entry could not be written.
:failed
echo TextBraid is not installed. Done before the failure: %DONE%; uninstall.cmd removes it.
exit /b 1
