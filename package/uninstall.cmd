@echo off
rem Uninstalls Kavelor 1.0.1. Run it as administrator. The setup program's uninstaller runs it as well,
rem with the folder Kavelor was installed into:   uninstall.cmd ["FOLDER"]
rem Windows does not start a device whose filter lists name a service that does not exist, and disabling
rem the speed-up leaves "Kavfiltr" in a stick's storage nodes. So first "Kavset.exe /Uninstall" takes the
rem filter off every device node, plugged in or not, and restarts the sticks that carried it; only when
rem no node names the filter any more are the service and the driver deleted. Otherwise the service stays,
rem so every stick keeps working, and uninstall.cmd can be run again.
rem Exit code 0 when uninstalled (a restart of Windows may still be asked for), 1 when not.
setlocal
set "DEST=%ProgramFiles%\Kavelor"
if not "%~1"=="" set "DEST=%~1"
set "DRIVER=%SystemRoot%\System32\drivers\Kavfiltr.sys"

set "KAVSET=%DEST%\Kavset.exe"
if not exist "%KAVSET%" set "KAVSET=%~dp0Kavset.exe"
if not exist "%KAVSET%" (
    echo Kavset.exe is needed to take Kavfiltr off the USB devices: run uninstall.cmd from the unpacked
    echo archive.
    exit /b 1
)

rem Kavelor would start Kavset again when a stick comes or goes.
taskkill /im Kavelor.exe /f >nul 2>&1

echo Taking Kavfiltr off every USB storage device ...
start "" /wait "%KAVSET%" /Uninstall
set "RESULT=%ERRORLEVEL%"
set "REBOOT="
if "%RESULT%"=="3" set "REBOOT=1"
if "%RESULT%"=="2" (
    echo Run uninstall.cmd as administrator.
    exit /b 1
)
if not "%RESULT%"=="0" if not "%RESULT%"=="3" (
    echo Kavset ended with %RESULT%: a device may still name Kavfiltr, so the Kavfiltr service is kept
    echo and every USB stick keeps working. Close the programs that use a USB stick and run
    echo uninstall.cmd again.
    exit /b 1
)

echo Deleting the Kavfiltr service ...
sc stop Kavfiltr >nul 2>&1
sc delete Kavfiltr >nul 2>&1
sc query Kavfiltr >nul 2>&1
if not errorlevel 1 (
    echo The Kavfiltr service could not be deleted. No device uses it any more; run uninstall.cmd again
    echo after restarting Windows.
    exit /b 1
)
if exist "%DRIVER%" del /f /q "%DRIVER%" >nul 2>&1
if exist "%DRIVER%" set "REBOOT=1"

for %%f in (Kavelor.exe Kavset.exe Kavelor.pdf) do if exist "%DEST%\%%f" del /f /q "%DEST%\%%f" >nul 2>&1
rmdir "%DEST%" >nul 2>&1

echo.
echo Kavelor is uninstalled.
if defined REBOOT echo A USB stick was in use: restart Windows to finish; it works normally meanwhile.
exit /b 0
