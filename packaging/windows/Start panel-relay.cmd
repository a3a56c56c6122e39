@echo off
rem Starts panel-relay.exe in this console. When it ends with a status other than 0 (for example
rem "COM-Port not available..."), the window lists the serial ports Windows knows, says how to
rem give the adapter COM4 when COM4 is not among them, and waits for a key so that all of it can
rem be read; the program's own output and status pass through unchanged.
setlocal
"%~dp0panel-relay.exe"
set status=%ERRORLEVEL%
if "%status%"=="0" exit /b 0
call :ports
pause
exit /b %status%

rem Serial drivers enter each port they serve in SERIALCOMM, and reg prints a line
rem "<device>  REG_SZ  COMn" for each. Without ports the key may be empty or missing: reg then
rem prints only the key's name, or an error (some versions of reg on standard output).
:ports
set ports=
set com4=
for /f "tokens=*" %%l in ('reg query HKLM\HARDWARE\DEVICEMAP\SERIALCOMM 2^>nul') do call :port %%l
echo.
if not defined ports goto no_port
echo Serial ports Windows knows now:%ports%
if defined com4 exit /b
echo panel-relay uses COM4 only. To give the panel's adapter COM4: Device Manager ^>
echo Ports (COM ^& LPT) ^> the adapter ^> Properties ^> Port Settings ^> Advanced ^>
echo COM Port Number ^> COM4. Then start panel-relay again.
exit /b
:no_port
echo Windows knows no serial port now: the panel's USB-serial adapter is not plugged
echo in, or its driver is not installed.
exit /b

rem One line of reg's output, as words: the word after REG_SZ is the port. The device name
rem before it may hold spaces.
:port
if "%~1"=="" exit /b
if "%~1"=="REG_SZ" goto found
shift
goto port
:found
set "ports=%ports% %~2"
if /i "%~2"=="COM4" set com4=yes
exit /b
