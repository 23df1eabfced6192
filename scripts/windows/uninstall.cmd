@echo off
rem Stops and removes the service "Orvelden Zentorvik Tool" and the executable install.cmd copied.
rem Run as administrator. With nothing installed it does nothing.
setlocal EnableExtensions DisableDelayedExpansion

set "SERVICE=Orvelden Zentorvik Tool"
set "EXE=OrveldenZentorvikTool.exe"
set "DIR=%ProgramFiles%\Orvelden Zentorvik Tool"

:parse
if "%~1"=="" goto parsed
if /i "%~1"=="/dir" goto parse_dir
if "%~1"=="/?" goto usage
echo uninstall: unknown option "%~1" 1>&2
goto usage_error

:parse_dir
if "%~2"=="" goto usage_error
set "DIR=%~f2"
shift
shift
goto parse

:parsed
if "%DIR:~-1%"=="\" set "DIR=%DIR:~0,-1%"

net session >nul 2>&1
if errorlevel 1 (
    echo uninstall: run this from an administrator command prompt. 1>&2
    exit /b 5
)

sc query "%SERVICE%" >nul 2>&1
if errorlevel 1 goto files
sc query "%SERVICE%" | find "STOPPED" >nul
if not errorlevel 1 goto delete

rem The service ends its program at once but reports stopped within one 3-second poll.
sc stop "%SERVICE%" >nul 2>&1
set /a TRIES=0
:wait_stopped
sc query "%SERVICE%" | find "STOPPED" >nul
if not errorlevel 1 goto delete
if %TRIES% geq 10 (
    echo uninstall: the service "%SERVICE%" did not stop within 10 seconds. 1>&2
    exit /b 8
)
set /a TRIES+=1
ping -n 2 127.0.0.1 >nul
goto wait_stopped

:delete
sc delete "%SERVICE%" >nul
if errorlevel 1 (
    echo uninstall: sc delete failed. 1>&2
    exit /b 6
)
echo uninstall: removed the service "%SERVICE%"

:files
if not exist "%DIR%\%EXE%" goto directory
del /f "%DIR%\%EXE%"
if exist "%DIR%\%EXE%" (
    echo uninstall: cannot delete "%DIR%\%EXE%". 1>&2
    exit /b 4
)
echo uninstall: deleted "%DIR%\%EXE%"

:directory
rem rmdir removes only an empty directory: anything else left there stays.
if exist "%DIR%\" rmdir "%DIR%" 2>nul
echo uninstall: done
exit /b 0

:usage
echo usage: uninstall.cmd [/dir ^<directory^>]
echo   /dir    the directory given to install.cmd ^(default: "%ProgramFiles%\Orvelden Zentorvik Tool"^)
exit /b 0

:usage_error
call :usage 1>&2
exit /b 1
