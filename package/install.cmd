@echo off
rem Installs Kavelor 1.0.1 on 64-bit Windows. Run it as administrator from the unpacked archive. The setup
rem program runs it as well, with the folder the user chose:   install.cmd ["FOLDER"]
rem   1. Kavelor.exe, Kavset.exe and Kavelor.pdf into FOLDER, by default "%ProgramFiles%\Kavelor" (Kavelor
rem      refuses to start without Kavset.exe beside it, and its help opens Kavelor.pdf from there). A
rem      running Kavelor is ended first: it holds its program file open, and it starts with Windows.
rem   2. Kavfiltr.inf: Kavfiltr.sys into the driver folder and the Kavfiltr kernel service, demand start.
rem   3. "sc start Kavfiltr" proves that Windows loads the driver. When it does not (an unsigned driver on a
rem      system that enforces signatures), everything is taken back: a stick whose filter lists name a
rem      driver that cannot load does not start, so the speed-up must not be offered.
rem      Over an earlier installation the take-back keeps the service and puts the earlier driver and
rem      programs back: sticks whose filter lists name Kavfiltr would not start without them.
rem Exit code 0 when installed, 1 when not (nothing is left behind then, or the earlier installation).

setlocal
set "SRC=%~dp0"
set "DEST=%ProgramFiles%\Kavelor"
if not "%~1"=="" set "DEST=%~1"
set "DRIVER=%SystemRoot%\System32\drivers\Kavfiltr.sys"

if /i not "%PROCESSOR_ARCHITECTURE%"=="AMD64" (
    echo Kavelor needs 64-bit Windows and a 64-bit command prompt.
    exit /b 1
)
for %%f in (Kavfiltr.sys Kavfiltr.inf Kavset.exe Kavelor.exe Kavelor.pdf) do (
    if not exist "%SRC%%%f" (
        echo %%f is missing beside install.cmd: unpack the whole archive first.
        exit /b 1
    )
)

rem An earlier installation: its service, driver and programs stay whatever happens below.
set "EARLIER="
sc query Kavfiltr >nul 2>&1
if not errorlevel 1 set "EARLIER=1"
set "KEPT=%TEMP%\Kavelor-kept-%RANDOM%"
if defined EARLIER mkdir "%KEPT%" >nul 2>&1
if defined EARLIER if exist "%DRIVER%" copy /y "%DRIVER%" "%KEPT%\Kavfiltr.sys" >nul 2>&1
if defined EARLIER for %%f in (Kavelor.exe Kavset.exe Kavelor.pdf) do if exist "%DEST%\%%f" copy /y "%DEST%\%%f" "%KEPT%\%%f" >nul 2>&1

taskkill /im Kavelor.exe /f >nul 2>&1
echo Installing Kavelor into "%DEST%" ...
if not exist "%DEST%" mkdir "%DEST%" 2>nul
copy /y "%SRC%Kavelor.exe" "%DEST%\Kavelor.exe" >nul 2>&1
if errorlevel 1 goto :not_admin
copy /y "%SRC%Kavset.exe" "%DEST%\Kavset.exe" >nul 2>&1
if errorlevel 1 goto :not_admin
copy /y "%SRC%Kavelor.pdf" "%DEST%\Kavelor.pdf" >nul 2>&1
if errorlevel 1 goto :not_admin

echo Registering the Kavfiltr service ...
rundll32.exe setupapi.dll,InstallHinfSection DefaultInstall.NTamd64 128 %SRC%Kavfiltr.inf
sc query Kavfiltr >nul 2>&1
if errorlevel 1 goto :no_service
if not exist "%DRIVER%" goto :no_service

echo Loading Kavfiltr.sys ...
rem While the earlier driver runs (a stick that names it is plugged in), "sc start" reads no byte of the new
rem file, which Windows would first load at its next start, too late to take anything back. The new file is
rem then loaded once from a copy, under a service of its own that no device names, and unloaded again.
sc query Kavfiltr | find "RUNNING" >nul 2>&1
if not errorlevel 1 goto :earlier_running
sc start Kavfiltr >nul 2>&1
set "STARTED=%ERRORLEVEL%"
rem 1056: a stick plugged in meanwhile had it loaded.
if not "%STARTED%"=="1056" goto :started
:earlier_running
call :load_new_driver
:started
if not "%STARTED%"=="0" goto :not_loaded

if exist "%KEPT%" rmdir /s /q "%KEPT%" >nul 2>&1
echo.
echo Kavelor is installed. Start "%DEST%\Kavelor.exe" to switch the speed-up on for a USB stick.
exit /b 0

:not_admin
echo Could not write "%DEST%". Close Kavelor and run install.cmd as administrator.
call :take_back
exit /b 1

:no_service
echo The Kavfiltr service could not be registered from Kavfiltr.inf.
call :take_back
exit /b 1

:not_loaded
echo Windows did not load Kavfiltr.sys: sc start ended with %STARTED%, and 577 means that the driver's
echo signature was refused. Kavelor was not installed: read ReadMe.txt, "Driver signing".
call :take_back
exit /b 1

:load_new_driver
set "CHECK=%TEMP%\KavfiltrCheck-%RANDOM%.sys"
copy /y "%SRC%Kavfiltr.sys" "%CHECK%" >nul 2>&1
sc create KavfiltrCheck type= kernel start= demand binPath= "%CHECK%" >nul 2>&1
sc start KavfiltrCheck >nul 2>&1
set "STARTED=%ERRORLEVEL%"
sc stop KavfiltrCheck >nul 2>&1
sc delete KavfiltrCheck >nul 2>&1
del /f /q "%CHECK%" >nul 2>&1
exit /b 0

:take_back
if defined EARLIER goto :keep_earlier
sc delete Kavfiltr >nul 2>&1
if exist "%DRIVER%" del /f /q "%DRIVER%" >nul 2>&1
for %%f in (Kavelor.exe Kavset.exe Kavelor.pdf) do if exist "%DEST%\%%f" del /f /q "%DEST%\%%f" >nul 2>&1
rmdir "%DEST%" >nul 2>&1
exit /b 0

:keep_earlier
if exist "%KEPT%\Kavfiltr.sys" copy /y "%KEPT%\Kavfiltr.sys" "%DRIVER%" >nul 2>&1
for %%f in (Kavelor.exe Kavset.exe Kavelor.pdf) do if exist "%KEPT%\%%f" copy /y "%KEPT%\%%f" "%DEST%\%%f" >nul 2>&1
if exist "%KEPT%" rmdir /s /q "%KEPT%" >nul 2>&1
echo The earlier installation of Kavelor was kept.
exit /b 0
