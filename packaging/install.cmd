@echo off
rem Installs TextBraid for the current user's Excel, without administrator rights: registers
rem TextBraid.dll for this user only (regsvr32 /n /i:user: its classes under
rem HKCU\Software\Classes), lists the worksheet function's Automation add-in in Excel's add-in
rem list with AddinSetup.exe, and adds the COM add-in entry that makes Excel connect the add-in
rem at start-up. On 64-bit Windows both DLLs are registered, x64\ for 64-bit Excel and x86\ for
rem 32-bit Excel, so either Office works and a later change of Office's bitness needs nothing;
rem on 32-bit Windows only x86\. Whether the worksheet function is listed is then read back
rem with reg query, not taken from AddinSetup's word: "installed" is said only where Excel will
rem find it.
rem Exit status: 0 installed, listed in every Excel version whose settings exist; 1 a step
rem failed (named; the steps before it stay done, and uninstall.cmd removes them); 2 Excel's
rem settings do not exist yet (start Excel once, close it, and run this again): nothing was
rem changed; 3 installed, but not listed in the Excel versions named (the step that finishes it
rem in Excel is printed); 4 registered, but listed in no Excel version: not installed until the
rem step printed is done.
setlocal
set "HERE=%~dp0"
set "OFFICE=HKCU\Software\Microsoft\Office"
set "ADDIN=HKCU\Software\Microsoft\Office\Excel\Addins\kzTEXTBRAID.ConnectExcel"
rem Windows' own find, whatever else the PATH offers under that name.
set "FIND=%SystemRoot%\System32\find.exe"

rem AddinSetup lists the add-in only in the Excel versions (10.0 to 99.0) whose Options key
rem exists; it never creates that key, Excel does on its first start. Without one, installing
rem would leave the worksheet function unlisted, so stop before changing anything.
set "VERSIONS="
for /f "tokens=5 delims=\" %%V in ('reg query "%OFFICE%" 2^>nul') do call :add_version %%V
if not defined VERSIONS (
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
rem Its exit status: 0 done; 3 a version was left as it was (a value of its add-in list could
rem not be read, or the entry's write was refused or did not read back); anything else: it
rem failed. Where it is listed is read back below.
"%HERE%AddinSetup.exe" kzTEXTBRAID.TEXTBRAID EXCEL 0
set "LISTING=%ERRORLEVEL%"
if not "%LISTING%"=="0" if not "%LISTING%"=="3" (
  echo TextBraid: AddinSetup.exe could not list the add-in in Excel.
  goto failed
)
rem ---- end of AddinSetup ----

reg add "%ADDIN%" /v LoadBehavior /t REG_DWORD /d 3 /f >nul
if errorlevel 1 goto addin_failed
reg add "%ADDIN%" /v FriendlyName /t REG_SZ /d "TextBraid" /f >nul
if errorlevel 1 goto addin_failed
reg add "%ADDIN%" /v Description /t REG_SZ /d "Concatenates Excel Cell Ranges." /f >nul
if errorlevel 1 goto addin_failed
set "DONE=%DONE% and the COM add-in entry"

rem Which Excel versions now list the worksheet function where Excel looks for it.
set "LISTED_IN="
set "UNLISTED_IN="
for %%V in (%VERSIONS%) do call :check_version %%V
if defined UNLISTED_IN goto unlisted
echo TextBraid is installed. Start Excel and use =TEXTBRAID(...) in a cell.
exit /b 0

:unlisted
echo TextBraid: the worksheet function is not in Excel's add-in list of Excel%UNLISTED_IN%:
echo no value OPEN, OPEN1, ... under HKEY_CURRENT_USER\Software\Microsoft\Office\^<version^>\Excel\Options
echo holds /A "kzTEXTBRAID.TEXTBRAID".
if "%LISTING%"=="3" echo AddinSetup could not write it there: a value of that list could not be read, or the write was refused.
echo To list it, in each of these versions: open Excel, File ^> Options ^> Add-ins ^> Manage: Excel
echo Add-ins ^> Go ^> Automation, and select kzTEXTBRAID.TEXTBRAID.
if not defined LISTED_IN goto not_listed
echo TextBraid is installed for Excel%LISTED_IN%; for Excel%UNLISTED_IN%, do the step above.
exit /b 3

:not_listed
echo TextBraid is not installed: Excel loads the worksheet function only once it is listed.
echo Done: %DONE%; uninstall.cmd removes them.
exit /b 4

:addin_failed
echo TextBraid: the COM add-in entry could not be written.
:failed
echo TextBraid is not installed. Done before the failure: %DONE%; uninstall.cmd removes it.
exit /b 1

:add_version
rem :add_version NAME: adds a key name below Office to VERSIONS when it is a version from 10.0
rem to 99.0 whose Excel\Options key exists.
set "V=%~1"
if not "%V:~2%"==".0" exit /b 0
for /f "delims=0123456789" %%D in ("%V:~0,2%") do exit /b 0
if "%V:~0,1%"=="0" exit /b 0
reg query "%OFFICE%\%V%\Excel\Options" >nul 2>&1
if errorlevel 1 exit /b 0
set "VERSIONS=%VERSIONS% %V%"
exit /b 0

:check_version
call :listed %1
if errorlevel 1 (set "UNLISTED_IN=%UNLISTED_IN% %1") else set "LISTED_IN=%LISTED_IN% %1"
exit /b 0

rem :listed VERSION: exit status 0 when that version's add-in list, the values OPEN, OPEN1, ...
rem up to the first missing name, has a REG_SZ value holding /A "kzTEXTBRAID.TEXTBRAID" as
rem AddinSetup writes it; 1 otherwise. (An entry that differs in letter case, which AddinSetup
rem counts as the add-in's own and leaves alone, is reported as not listed.)
:listed
setlocal
set "NAME=OPEN"
set /a INDEX=0
:listed_next
reg query "%OFFICE%\%1\Excel\Options" /v %NAME% >nul 2>&1
if errorlevel 1 exit /b 1
reg query "%OFFICE%\%1\Excel\Options" /v %NAME% 2>nul | "%FIND%" "REG_SZ" | "%FIND%" " /A ""kzTEXTBRAID.TEXTBRAID""" >nul
if not errorlevel 1 exit /b 0
set /a INDEX+=1
set "NAME=OPEN%INDEX%"
goto listed_next
