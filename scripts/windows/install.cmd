@echo off
rem install.cmd [/dir <folder>] [/auto] [/start]
rem Installs OrveldenZentorvikTool.exe from this folder as the service "Orvelden Zentorvik Tool",
rem running as LocalSystem. Run it elevated (administrator prompt, or as LocalSystem). Running it
rem again with the same options changes nothing.
rem Exit codes:
rem   0  done
rem   1  usage error
rem   2  OrveldenZentorvikTool.exe is not beside this script
rem   3  a service of that name already runs another file
rem   4  the folder cannot be created or secured, or the file not copied there
rem   5  not elevated
rem   6  the service cannot be registered or its start type changed
rem   7  the service cannot be started
rem   9  the service is marked for deletion: close what holds it open, or restart Windows
rem  10  the folder cannot be used (the message says why)
rem  11  the service was installed with the Windows Installer package: use msiexec for it
setlocal EnableExtensions DisableDelayedExpansion

rem A plain shift moves %0 as well, and %~dp0 would then follow the shifted argument.
set "HERE=%~dp0"
set "SERVICE=Orvelden Zentorvik Tool"
set "EXE=OrveldenZentorvikTool.exe"
set "KEY=HKLM\SYSTEM\CurrentControlSet\Services\%SERVICE%"
set "PACKAGE_KEY=HKLM\SOFTWARE\Classes\Installer\UpgradeCodes\DEB151BB322C12945B2565BFAD6F9B15"
rem The installer package's folder, whether this cmd is 32- or 64-bit: a 32-bit cmd on 64-bit
rem Windows sees Program Files (x86) as %ProgramFiles%, a 64-bit one as %ProgramFiles(x86)%.
set "DIR=%ProgramFiles%\Orvelden Zentorvik Tool"
if defined ProgramFiles(x86) set "DIR=%ProgramFiles(x86)%\Orvelden Zentorvik Tool"
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

rem The folder reaches the image path outside cmd's quotes (see sc create below), and the service
rem controller expands %NAME% in an image path.
set "UNSAFE="
for /f "delims=&|<>^%%" %%a in ("%DIR%") do if not "%%a"=="%DIR%" set "UNSAFE=1"
if defined UNSAFE goto unsafe_dir
if "%DIR:~-1%"==":" goto drive_dir
rem reg's output reaches this script in the console code page: a folder name that does not come
rem back unchanged from the same trip would not be recognised in the registration on a re-run.
set "BACK="
for /f "delims=" %%a in ('echo %%DIR%%') do set "BACK=%%a"
if not "%BACK%"=="%DIR%" goto unreadable_dir
rem The folder gets permissions of its own below, so it must not be shared with anything else.
call :look_for_others
if defined CROWDED goto crowded_dir

rem Elevated or LocalSystem, by the token's integrity level (high, system), which depends on no
rem service and no language.
set "ELEVATED="
whoami /groups 2>nul | find "S-1-16-12288" >nul
if not errorlevel 1 set "ELEVATED=1"
whoami /groups 2>nul | find "S-1-16-16384" >nul
if not errorlevel 1 set "ELEVATED=1"
if not defined ELEVATED goto not_elevated
rem An installation by the Windows Installer package is the package's to change: these scripts
rem would leave it repairing, upgrading or removing a service they changed behind its back. The
rem key is the package's upgrade code, packed as Windows Installer stores it; /reg:64 finds it
rem from a 32-bit prompt on 64-bit Windows.
set "PACKAGED="
reg query "%PACKAGE_KEY%" >nul 2>&1
if not errorlevel 1 set "PACKAGED=1"
reg query "%PACKAGE_KEY%" /reg:64 >nul 2>&1
if not errorlevel 1 set "PACKAGED=1"
if defined PACKAGED goto packaged
if not exist "%HERE%%EXE%" goto missing_exe

rem An existing registration is reused only when it runs this very file; the comparison ignores
rem quotes and letter case.
set "EXISTS="
set "MARKED="
set "CURRENT="
set "CURRENT_START="
sc query "%SERVICE%" >nul 2>&1
if errorlevel 1 goto prepare
set "EXISTS=1"
for /f "tokens=1,2,*" %%a in ('reg query "%KEY%" /v DeleteFlag 2^>nul') do if /i "%%a"=="DeleteFlag" if "%%c"=="0x1" set "MARKED=1"
if defined MARKED goto marked
for /f "tokens=1,2,*" %%a in ('reg query "%KEY%" /v ImagePath 2^>nul') do if /i "%%a"=="ImagePath" set "CURRENT=%%c"
for /f "tokens=1,2,*" %%a in ('reg query "%KEY%" /v Start 2^>nul') do if /i "%%a"=="Start" set "CURRENT_START=%%c"
if defined CURRENT set "CURRENT=%CURRENT:"=%"
if /i not "%CURRENT%"=="%TARGET%" goto other_service

:prepare
rem mkdir does not always reset the error level on success: look for the folder instead.
if not exist "%DIR%\*" mkdir "%DIR%" 2>nul
if not exist "%DIR%\*" goto cannot_create
rem Explicit permissions, not the parent's: under C:\ any user may change a new folder and could
rem replace a program that runs as LocalSystem. Administrators own it, so a user who made the
rem folder beforehand cannot change them back. By SID, since group names are translated.
icacls "%DIR%" /setowner *S-1-5-32-544 /q >nul
if errorlevel 1 goto cannot_secure
icacls "%DIR%" /inheritance:r /grant:r *S-1-5-18:(OI)(CI)F *S-1-5-32-544:(OI)(CI)F *S-1-5-32-545:(OI)(CI)RX /q >nul
if errorlevel 1 goto cannot_secure
rem Only from here on can no user add a file: look again for one that came in meanwhile.
call :look_for_others
if defined CROWDED goto crowded_dir
rem An executable from an earlier install keeps its owner and permissions: take both back.
if not exist "%TARGET%" goto copy
icacls "%TARGET%" /setowner *S-1-5-32-544 /q >nul
if errorlevel 1 goto cannot_secure
icacls "%TARGET%" /reset /q >nul
if errorlevel 1 goto cannot_secure

:copy
copy /y "%HERE%%EXE%" "%TARGET%" >nul 2>&1
if not errorlevel 1 goto copied
rem A running service holds its file; the same bytes there already are fine.
fc /b "%HERE%%EXE%" "%TARGET%" >nul 2>&1
if not errorlevel 1 goto register
echo install: cannot copy %EXE% to "%DIR%" (if the service runs, stop it first). 1>&2
exit /b 4

:copied
echo install: copied %EXE% to "%DIR%"

:register
if defined EXISTS goto configure
rem The image path is quoted: unquoted, a path with spaces could run another program. For cmd,
rem %TARGET% stands outside the quotes here, hence the check of the folder's characters above.
sc create "%SERVICE%" binPath= "\"%TARGET%\"" type= own start= %START_TYPE%
set "SC_EXIT=%errorlevel%"
if "%SC_EXIT%"=="1072" goto marked
if not "%SC_EXIT%"=="0" goto cannot_register
echo install: registered the service "%SERVICE%" (start: %START_TYPE%)
goto describe

:configure
if /i "%CURRENT_START%"=="%START_CODE%" goto describe
sc config "%SERVICE%" start= %START_TYPE%
set "SC_EXIT=%errorlevel%"
if "%SC_EXIT%"=="1072" goto marked
if not "%SC_EXIT%"=="0" goto cannot_configure
echo install: start type set to %START_TYPE%

:describe
sc description "%SERVICE%" "Starts c:\windows\Zentorvik.exe with the service and ends it when the service stops." >nul
set "SC_EXIT=%errorlevel%"
if "%SC_EXIT%"=="1072" goto marked
if not "%SC_EXIT%"=="0" echo install: warning: could not set the description. 1>&2

if not defined START_NOW goto done
sc query "%SERVICE%" | find "RUNNING" >nul
if not errorlevel 1 goto done
sc start "%SERVICE%"
set "SC_EXIT=%errorlevel%"
if "%SC_EXIT%"=="1072" goto marked
if not "%SC_EXIT%"=="0" goto cannot_start
echo install: start requested

:done
echo install: done
exit /b 0

:unsafe_dir
echo install: "%DIR%" contains one of ^& ^| ^< ^> ^^ %%, which a service's command line cannot hold safely; choose another folder. 1>&2
exit /b 10

:drive_dir
echo install: "%DIR%\" is a drive; give a folder of its own. 1>&2
exit /b 10

:unreadable_dir
echo install: "%DIR%" does not survive this console's code page unchanged, so a later run could not recognise it; choose a folder name this console can show. 1>&2
exit /b 10

:crowded_dir
echo install: "%DIR%" holds other files; the service needs a folder of its own, since the folder gets permissions of its own. 1>&2
exit /b 10

:packaged
echo install: Orvelden Zentorvik Tool was installed with its Windows Installer package: repair, upgrade 1>&2
echo install: or remove it with msiexec or in Settings, Apps ^(Programs and Features^), not with this script. 1>&2
exit /b 11

:not_elevated
echo install: run this from an elevated administrator prompt. 1>&2
exit /b 5

:missing_exe
echo install: %EXE% is missing beside this script, in "%HERE%". 1>&2
exit /b 2

:other_service
echo install: the service "%SERVICE%" already exists and runs "%CURRENT%", not "%TARGET%". 1>&2
echo install: remove it first (uninstall.cmd, or sc.exe delete). 1>&2
exit /b 3

:marked
echo install: the service "%SERVICE%" is marked for deletion: Windows removes it once no program holds it open. 1>&2
echo install: close what holds it (the Services console, Event Viewer, a monitoring agent) or restart Windows, then run this again. 1>&2
exit /b 9

:cannot_create
echo install: cannot create "%DIR%". 1>&2
exit /b 4

:cannot_secure
echo install: cannot set the permissions of "%DIR%". 1>&2
exit /b 4

:cannot_register
echo install: sc.exe create failed (%SC_EXIT%). 1>&2
exit /b 6

:cannot_configure
echo install: could not set the start type to %START_TYPE% (%SC_EXIT%). 1>&2
exit /b 6

:cannot_start
echo install: sc.exe start failed (%SC_EXIT%). 1>&2
exit /b 7

:look_for_others
set "CROWDED="
if exist "%DIR%\*" for /f "delims=" %%a in ('dir /b /a "%%DIR%%" 2^>nul') do if /i not "%%a"=="%EXE%" set "CROWDED=1"
exit /b 0

:usage
echo usage: install.cmd [/dir ^<folder^>] [/auto] [/start]
echo   /dir    install into ^<folder^>, a folder of its own; by default
echo           "Program Files (x86)\Orvelden Zentorvik Tool" on 64-bit Windows,
echo           "Program Files\Orvelden Zentorvik Tool" on 32-bit Windows
echo   /auto   start the service with the system (default: on demand)
echo   /start  start the service now
echo Exit codes are listed at the top of this script and in README-admin.txt.
exit /b 0

:usage_error
call :usage 1>&2
exit /b 1
