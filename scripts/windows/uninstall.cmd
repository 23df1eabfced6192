@echo off
rem uninstall.cmd
rem Stops and removes the service "Orvelden Zentorvik Tool", the executable its registration
rem names (only a file named OrveldenZentorvikTool.exe) and that folder if nothing else is left
rem in it. Run it elevated. With nothing installed it does nothing. /dir <folder> is accepted for
rem earlier command lines and ignored: the registration says where the service is installed.
rem Exit codes:
rem      0  done, or nothing was installed
rem      1  usage error
rem      4  the executable cannot be deleted; the registration is kept, so running this again
rem         finishes the job
rem      5  not elevated
rem      6  the registration cannot be deleted
rem      8  the service did not stop within 10 seconds
rem     11  the service was installed with the Windows Installer package: use msiexec for it
rem   3010  done, but the registration is marked for deletion: Windows removes it once no program
rem         holds it open (close the Services console, Event Viewer, a monitoring agent) or at
rem         the next restart
setlocal EnableExtensions DisableDelayedExpansion

set "SERVICE=Orvelden Zentorvik Tool"
set "EXE=OrveldenZentorvikTool.exe"
set "KEY=HKLM\SYSTEM\CurrentControlSet\Services\%SERVICE%"
set "PACKAGE_KEY=HKLM\SOFTWARE\Classes\Installer\UpgradeCodes\DEB151BB322C12945B2565BFAD6F9B15"

:parse
if "%~1"=="" goto parsed
if /i "%~1"=="/dir" goto parse_dir
if "%~1"=="/?" goto usage
echo uninstall: unknown option "%~1" 1>&2
goto usage_error

:parse_dir
if "%~2"=="" goto usage_error
echo uninstall: /dir is not needed: the service's registration says where it is installed.
shift
shift
goto parse

:parsed
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

sc query "%SERVICE%" >nul 2>&1
if errorlevel 1 goto not_registered
set "IMAGE="
set "MARKED="
for /f "tokens=1,2,*" %%a in ('reg query "%KEY%" /v ImagePath 2^>nul') do if /i "%%a"=="ImagePath" set "IMAGE=%%c"
for /f "tokens=1,2,*" %%a in ('reg query "%KEY%" /v DeleteFlag 2^>nul') do if /i "%%a"=="DeleteFlag" if "%%c"=="0x1" set "MARKED=1"
if defined IMAGE set "IMAGE=%IMAGE:"=%"

sc query "%SERVICE%" | find "STOPPED" >nul
if not errorlevel 1 goto stopped
rem The service ends its program at once but reports stopped within one 3-second poll.
sc stop "%SERVICE%" >nul 2>&1
set /a TRIES=0
:wait_stopped
sc query "%SERVICE%" | find "STOPPED" >nul
if not errorlevel 1 goto stopped
if %TRIES% geq 10 goto not_stopped
set /a TRIES+=1
ping -n 2 127.0.0.1 >nul
goto wait_stopped

:stopped
rem The registration may name anything: delete only this service's own file. The executable
rem goes before the registration, so that a failure leaves what a second run needs to find it.
if not defined IMAGE goto unregister
if /i not "%IMAGE:~-26%"=="\%EXE%" goto foreign_image
if exist "%IMAGE%\*" goto foreign_image
set "FOLDER=%IMAGE:~0,-26%"
if not exist "%IMAGE%" goto remove_folder
rem The service reports stopped just before its process ends, and the file is in use until then.
set /a TRIES=0
:delete_file
del /f /q "%IMAGE%" >nul 2>&1
if not exist "%IMAGE%" goto deleted
if %TRIES%==0 echo uninstall: "%IMAGE%" is in use; trying again for 5 seconds.
if %TRIES% geq 5 goto cannot_delete
set /a TRIES+=1
ping -n 2 127.0.0.1 >nul
goto delete_file
:deleted
echo uninstall: deleted "%IMAGE%"
:remove_folder
rem rmdir removes only an empty folder: anything else left there stays.
if exist "%FOLDER%\*" rmdir "%FOLDER%" 2>nul

:unregister
if defined MARKED goto check_removed
sc delete "%SERVICE%" >nul
set "SC_EXIT=%errorlevel%"
if "%SC_EXIT%"=="1072" goto check_removed
if not "%SC_EXIT%"=="0" goto cannot_unregister
:check_removed
rem Deleted while a program holds it open, the service stays until that program lets go of it.
sc query "%SERVICE%" >nul 2>&1
if not errorlevel 1 goto marked
echo uninstall: removed the service "%SERVICE%"
echo uninstall: done
exit /b 0

:not_registered
echo uninstall: the service "%SERVICE%" is not registered: nothing to remove.
exit /b 0

:foreign_image
echo uninstall: the service runs "%IMAGE%", not %EXE%: that file stays.
goto unregister

:packaged
echo uninstall: Orvelden Zentorvik Tool was installed with its Windows Installer package: repair, upgrade 1>&2
echo uninstall: or remove it with msiexec or in Settings, Apps ^(Programs and Features^), not with this script. 1>&2
exit /b 11

:not_elevated
echo uninstall: run this from an elevated administrator prompt. 1>&2
exit /b 5

:not_stopped
echo uninstall: the service "%SERVICE%" did not stop within 10 seconds. 1>&2
exit /b 8

:cannot_delete
echo uninstall: cannot delete "%IMAGE%"; the service stays registered, so running this again finishes the job. 1>&2
exit /b 4

:cannot_unregister
echo uninstall: sc.exe delete failed (%SC_EXIT%). 1>&2
exit /b 6

:marked
echo uninstall: the service "%SERVICE%" is marked for deletion: Windows removes it once no program holds it open.
echo uninstall: close what holds it (the Services console, Event Viewer, a monitoring agent), or it goes at the next restart.
exit /b 3010

:usage
echo usage: uninstall.cmd
echo   Stops and removes the service and the executable its registration names.
echo   /dir ^<folder^> is accepted and ignored: the registration says where the service is installed.
echo Exit codes are listed at the top of this script and in README-admin.txt.
exit /b 0

:usage_error
call :usage 1>&2
exit /b 1
