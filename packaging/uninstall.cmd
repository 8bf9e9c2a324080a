@echo off
rem Removes TextBraid for the current user: takes the worksheet function's Automation add-in off
rem Excel's add-in list with AddinSetup.exe, deletes the COM add-in entry (and the keys
rem Excel\Addins and Excel above it when nothing else is left in them), and unregisters both
rem DLLs' per-user registrations (regsvr32 /u /n /i:user; on 32-bit Windows only x86\; a DLL
rem that is not in the folder was not registered from it and is passed over). Close Excel first. Needs no administrator rights. Exit status: 0 removed; 1 a step failed (named); 3 removed,
rem except what it names for the user to finish in Excel's Add-ins dialog.
setlocal
set "HERE=%~dp0"
set "ADDIN=HKCU\Software\Microsoft\Office\Excel\Addins\kzTEXTBRAID.ConnectExcel"
set "STATUS=0"

rem ---- AddinSetup: takes the worksheet function off Excel's add-in list ----
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
rem ---- end of AddinSetup ----

reg query "%ADDIN%" >nul 2>&1
if not errorlevel 1 reg delete "%ADDIN%" /f >nul
reg query "%ADDIN%" >nul 2>&1
if not errorlevel 1 (
  echo TextBraid: the COM add-in entry could not be deleted.
  set "STATUS=1"
)
rem install.cmd's reg add creates Excel\Addins and Excel above it when they are missing.
call :drop_if_empty "HKEY_CURRENT_USER\Software\Microsoft\Office\Excel\Addins"
call :drop_if_empty "HKEY_CURRENT_USER\Software\Microsoft\Office\Excel"

rem The same regsvr32 choice as install.cmd's.
set "REG64="
set "REG32=%SystemRoot%\System32\regsvr32.exe"
if exist "%SystemRoot%\SysWOW64\regsvr32.exe" (
  set "REG32=%SystemRoot%\SysWOW64\regsvr32.exe"
  set "REG64=%SystemRoot%\System32\regsvr32.exe"
  if defined PROCESSOR_ARCHITEW6432 set "REG64=%SystemRoot%\Sysnative\regsvr32.exe"
)
if defined REG64 if exist "%HERE%x64\TextBraid.dll" (
  "%REG64%" /u /s /n /i:user "%HERE%x64\TextBraid.dll"
  if errorlevel 1 (
    echo TextBraid: the 64-bit x64\TextBraid.dll could not be unregistered.
    set "STATUS=1"
  )
)
if exist "%HERE%x86\TextBraid.dll" (
  "%REG32%" /u /s /n /i:user "%HERE%x86\TextBraid.dll"
  if errorlevel 1 (
    echo TextBraid: the 32-bit x86\TextBraid.dll could not be unregistered.
    set "STATUS=1"
  )
)
if "%STATUS%"=="0" echo TextBraid is removed.
if "%STATUS%"=="3" echo TextBraid is removed, except for the step above.
exit /b %STATUS%

rem :drop_if_empty KEY (spelled as reg query prints it): deletes the key when it holds no value
rem and no key.
:drop_if_empty
reg query "%~1" >nul 2>&1
if errorlevel 1 exit /b 0
for /f "tokens=1" %%L in ('reg query "%~1" 2^>nul') do if /i not "%%~L"=="%~1" exit /b 0
reg delete "%~1" /f >nul 2>&1
exit /b 0
