#!/bin/bash
# needs: prefix
# Start and stop under the service controller: every status, the hosted program, exit codes and
# the trace, with all of it 32-bit, the hosted program too.
. "$(dirname "$0")/../lib.sh"
zt_begin
zt_install_standin --32-bit
zt_require "the monitor listens" zt_monitor_start

zt_driver run start wait RUNNING 60000 watch-log "$ZT_STANDIN_LOG" 1 30000 \
    control stop wait STOPPED 10000 service-exit 10000 exits 5000
log=$ZT_DIR/run.log
zt_wait_trace_end

zt_expect "statuses: start pending, running, stop pending (4), stopped (3)" \
    zt_records expect-statuses "$log"
zt_compare "the hosted program was started exactly once" 1 "$(zt_standin_starts | wc -l)"
zt_expect "its command line is the program and the single argument $ZT_HOSTED_ARGS" \
    zt_hosted_command_line
zt_expect "its image is $ZT_HOSTED_EXE" grep -xiF "$ZT_HOSTED_EXE" <(zt_standin_starts image)
zt_expect "the hosted program ended with exit code 0" \
    zt_records expect-outcome "$log" "$ZT_HOSTED_EXE" exited 0
zt_compare "the service process ended with exit code 0" \
    0 "$(zt_records field "$log" code event=service-exit)"

zt_expect "the trace, in order" zt_records expect-trace "$ZT_DIR/trace.txt"
zt_compare "every message came from the service process" \
    "$(zt_records field "$log" pid event=service-exit)" \
    "$(zt_records trace --pids "$ZT_DIR/trace.txt")"

zt_expect "the stop within walk + poll + slack" zt_records expect-stop "$log"

if zt_on native "net start and net stop waiting for the state (Wine's net start does not)"; then
    zt_windows_tool net start "$ZT_SERVICE" >"$ZT_DIR/net.out" 2>&1
    zt_compare "net start returned with the service running" RUNNING "$(zt_service_state)"
    zt_windows_tool net stop "$ZT_SERVICE" >>"$ZT_DIR/net.out" 2>&1
    zt_compare "net stop returned with the service stopped" STOPPED "$(zt_service_state)"
fi
zt_finish
