@echo off
rem Starts panel-relay.exe in this console. When it ends with a status other than 0 (for example
rem "COM-Port not available..."), the window waits for a key so that the message can be read;
rem the program's own output and status pass through unchanged.
setlocal
"%~dp0panel-relay.exe"
set status=%ERRORLEVEL%
if not "%status%"=="0" pause
exit /b %status%
