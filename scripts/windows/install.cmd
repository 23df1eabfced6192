@echo off
rem Installs OrveldenZentorvikTool.exe from this directory as the service "Orvelden Zentorvik Tool".
rem Run as administrator. Running it again with the same options changes nothing.
setlocal EnableExtensions DisableDelayedExpansion

set "SERVICE=Orvelden Zentorvik Tool"
set "EXE=OrveldenZentorvikTool.exe"
set "DIR=%ProgramFiles%\Orvelden Zentorvik Tool"
set "START_TYPE=demand"
set "START_CODE=0x3"
set "START_NOW="

:parse
if "%~1"=="" goto parsed
if /i "%~1"=="/dir" goto parse_dir
if /i "%~1"=="/auto" (
    set "START_TYPE=auto"
    set "START_CODE=0x2"
    shift
    goto parse
)
if /i "%~1"=="/start" (
    set "START_NOW=1"
    shift
    goto parse
)
if "%~1"=="/?" goto usage
echo install: unknown option "%~1" 1>&2
goto usage_error

:parse_dir
if "%~2"=="" goto usage_error
set "DIR=%~f2"
shift
shift
goto parse

:parsed
if "%DIR:~-1%"=="\" set "DIR=%DIR:~0,-1%"
set "TARGET=%DIR%\%EXE%"

net session >nul 2>&1
if errorlevel 1 (
    echo install: run this from an administrator command prompt. 1>&2
    exit /b 5
)
if not exist "%~dp0%EXE%" (
    echo install: %EXE% is missing beside this script, in "%~dp0". 1>&2
    exit /b 2
)

rem An existing registration is reused only when it runs this very file; the comparison ignores
rem quotes and letter case.
set "EXISTS="
set "CURRENT="
set "CURRENT_START="
sc query "%SERVICE%" >nul 2>&1
if errorlevel 1 goto copy
set "EXISTS=1"
set "KEY=HKLM\SYSTEM\CurrentControlSet\Services\%SERVICE%"
for /f "tokens=1,2,*" %%a in ('reg query "%KEY%" /v ImagePath 2^>nul') do if /i "%%a"=="ImagePath" set "CURRENT=%%c"
for /f "tokens=1,2,*" %%a in ('reg query "%KEY%" /v Start 2^>nul') do if /i "%%a"=="Start" set "CURRENT_START=%%c"
if defined CURRENT set "CURRENT=%CURRENT:"=%"
if /i not "%CURRENT%"=="%TARGET%" (
    echo install: the service "%SERVICE%" already exists and runs "%CURRENT%", not "%TARGET%". 1>&2
    echo install: remove it first ^(uninstall.cmd, or sc delete^). 1>&2
    exit /b 3
)

:copy
rem mkdir does not always reset the error level on success: look for the directory instead.
if not exist "%DIR%\" mkdir "%DIR%" 2>nul
if not exist "%DIR%\" (
    echo install: cannot create "%DIR%". 1>&2
    exit /b 4
)
copy /y "%~dp0%EXE%" "%TARGET%" >nul 2>&1
if not errorlevel 1 goto copied
rem A running service holds its file; the same bytes there already are fine.
fc /b "%~dp0%EXE%" "%TARGET%" >nul 2>&1
if not errorlevel 1 goto register
echo install: cannot copy %EXE% to "%DIR%" ^(if the service runs, stop it first^). 1>&2
exit /b 4

:copied
echo install: copied %EXE% to "%DIR%"

:register
if defined EXISTS goto configure
rem The image path is quoted: unquoted, a path with spaces could run another program.
sc create "%SERVICE%" binPath= "\"%TARGET%\"" type= own start= %START_TYPE%
if errorlevel 1 (
    echo install: sc create failed. 1>&2
    exit /b 6
)
echo install: registered the service "%SERVICE%" ^(start: %START_TYPE%^)
goto describe

:configure
if /i "%CURRENT_START%"=="%START_CODE%" goto describe
sc config "%SERVICE%" start= %START_TYPE%
if errorlevel 1 (
    echo install: could not set the start type to %START_TYPE%. 1>&2
    exit /b 6
)
echo install: start type set to %START_TYPE%

:describe
sc description "%SERVICE%" "Starts c:\windows\Zentorvik.exe with the service and ends it when the service stops." >nul
if errorlevel 1 echo install: warning: could not set the description. 1>&2

if not defined START_NOW goto done
sc query "%SERVICE%" | find "RUNNING" >nul
if not errorlevel 1 goto done
sc start "%SERVICE%"
if errorlevel 1 (
    echo install: sc start failed. 1>&2
    exit /b 7
)
echo install: start requested

:done
echo install: done
exit /b 0

:usage
echo usage: install.cmd [/dir ^<directory^>] [/auto] [/start]
echo   /dir    install into ^<directory^> ^(default: "%ProgramFiles%\Orvelden Zentorvik Tool"^)
echo   /auto   start the service with the system ^(default: on demand^)
echo   /start  start the service now
exit /b 0

:usage_error
call :usage 1>&2
exit /b 1
