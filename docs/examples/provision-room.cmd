@echo off
rem provision-room.cmd: one deployment for every meeting room.
rem
rem The package holds CorvZyraProvisionStub.exe, this script and a folder
rem "tokens" with one provisioning token per room, named by the room
rem computer's name: tokens\ROOM-0101.json for the computer ROOM-0101.
rem Install command: provision-room.cmd (run as SYSTEM).
rem
rem It puts this computer's token beside the program as
rem CorvZyraProvisionToken.json, runs the program, removes the copy and ends
rem with the program's exit code (0, 122, 123, 124 or 125). A token left
rem beside the program by an earlier run is removed first, so a computer
rem without a token of its own runs the program without one: the program
rem ends with 122 and its log says "Cannot find provision token.".
rem The exit code is also kept as the REG_DWORD LastResult under RESULT_KEY
rem (64-bit view), for a detection rule and for inventory.

setlocal
set "HERE=%~dp0"
set "TOKENS=%HERE%tokens"
set "TOKEN=%HERE%CorvZyraProvisionToken.json"
set "RESULT_KEY=HKLM\SOFTWARE\CorvZyraDeployment"

if exist "%TOKEN%" del /f /q "%TOKEN%"
if not exist "%TOKENS%\%COMPUTERNAME%.json" goto notoken
copy /y "%TOKENS%\%COMPUTERNAME%.json" "%TOKEN%" >nul
goto run
:notoken
echo provision-room: this package holds no token for %COMPUTERNAME% 1>&2

:run
"%HERE%CorvZyraProvisionStub.exe"
set "CODE=%ERRORLEVEL%"
if exist "%TOKEN%" del /f /q "%TOKEN%"
reg add "%RESULT_KEY%" /v LastResult /t REG_DWORD /d %CODE% /f /reg:64 >nul 2>&1
exit /b %CODE%
