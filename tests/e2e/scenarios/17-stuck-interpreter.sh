#!/bin/bash
# needs: packages
# cost: 35
# An interpreter that never ends (on Windows, a "start" waiting on the shell's error box), played by
# a program of the test's own as the 32-bit cmd.exe: the service ends it after 10 s and runs, stops
# as usual, leaves none behind; an installation with START=auto succeeds, the service running.
. "$(dirname "$0")/../deploy-lib.sh"
zt_on wine "an interpreter of the test's own in place of the system's cmd.exe" || exit 0

# The service's wait for its interpreter, and how much later RUNNING may come: the rest of a start
# (0.1 to 1 s here, the interpreter created before the wait) and slack for a loaded machine.
bound_ms=10000
later_ms=3000
# As the service gives it: its system directory's interpreter, and the fixed command.
command_line="\"C:\\windows\\system32\\cmd.exe\" /c start $ZT_HOSTED_EXE $ZT_HOSTED_ARGS"

zt_deploy_packages
zt_begin
zt_install_standin
interpreter_log=$ZT_C/zentorvik-interpreter.log
# Wine loads its built-in cmd.exe unless told to take the file on disk.
zt_require "the stuck interpreter in place of the 32-bit cmd.exe" \
    cp "$ZT_TOOLS/stuck-interpreter.exe" "$ZT_C/windows/syswow64/cmd.exe"
zt_require "and run instead of Wine's own" zt_windows_tool reg add \
    'HKCU\Software\Wine\DllOverrides' /v cmd.exe /t REG_SZ /d native /f
zt_require "the monitor listens" zt_monitor_start

zt_driver run start wait RUNNING 60000 procs cmd.exe control stop wait STOPPED 10000 \
    service-exit 10000
log=$ZT_DIR/run.log
zt_wait_trace_end
to_running=$(zt_records elapsed "$log" --from event=start --to event=status state=RUNNING)
zt_expect "RUNNING $bound_ms to $((bound_ms + later_ms)) ms after the request ($to_running ms)" \
    test "${to_running:-0}" -ge "$bound_ms" -a "${to_running:-0}" -le $((bound_ms + later_ms))
zt_compare "the interpreter was given the command line once" \
    "$command_line" "$(zt_records field "$interpreter_log" command | tr -d '\r')"
zt_compare "no interpreter ran once the service was running" \
    0 "$(zt_records field "$log" count event=procs name=cmd.exe)"
zt_expect "statuses: start pending, running, stop pending (4), stopped (3)" \
    zt_records expect-statuses "$log"
zt_expect "the trace, in order" zt_records expect-trace "$ZT_DIR/trace.txt"
zt_expect "the stop within walk + poll + slack" zt_records expect-stop "$log"
zt_compare "the service process ended with exit code 0" \
    0 "$(zt_records field "$log" code event=service-exit)"
zt_expect "no program was started" test ! -e "$(zt_c_file "$ZT_STANDIN_LOG")"

# A Windows Installer StartServices waits for RUNNING up to 30 s, then fails the installation.
zt_require "the harness's registration removed" zt_windows_tool sc delete "$ZT_SERVICE"
rm -f "$interpreter_log"
zt_expect "msiexec /i START=auto succeeds" \
    zt_windows_tool msiexec /i "$(zt_windows_path "$ZT_MSI")" /qn START=auto
zt_expect_within "the service runs" $(((bound_ms + later_ms) / 1000)) zt_service_in RUNNING
zt_compare "its interpreter was given the command line once" \
    "$command_line" "$(zt_records field "$interpreter_log" command | tr -d '\r')"
zt_driver left procs cmd.exe
zt_compare "and no interpreter is left" 0 "$(zt_records field "$ZT_DIR/left.log" count event=procs name=cmd.exe)"
zt_finish
