#!/bin/bash
# Start and stop under the service controller: every status, the hosted program, exit codes and
# the trace.
. "$(dirname "$0")/../lib.sh"
zt_begin
zt_install_standin
zt_monitor_start || { echo "  FAIL the monitor did not come up"; exit 1; }

zt_driver run start wait RUNNING 60000 watch-log "$ZT_STANDIN_LOG" 1 30000 \
    control stop wait STOPPED 10000 service-exit 10000 exits 5000
log=$ZT_DIR/run.log
zt_wait_trace_end

zt_check "statuses: start pending, running, stop pending (4), stopped (3)" \
    zt_records expect-statuses "$log"

standin=$ZT_C/zentorvik-standin.log
zt_check "the hosted program was started exactly once" test "$(zt_records starts "$standin" | wc -l)" -eq 1
# The command line is the program, then "-s" alone.
command=$(zt_records starts "$standin" command)
zt_check "its command line is the program and the single argument -s ($command)" \
    grep -qixE '("c:\\windows\\Zentorvik\.exe"|c:\\windows\\Zentorvik\.exe) -s' <<<"$command"
zt_check "its image is c:\\windows\\Zentorvik.exe" \
    grep -qixF 'c:\windows\Zentorvik.exe' <(zt_records starts "$standin" image)
zt_check "the hosted program ended with exit code 0" \
    zt_records expect-outcome "$log" 'C:\windows\Zentorvik.exe' exited 0
zt_check "the service process ended with exit code 0" \
    test "$(zt_records field "$log" code event=service-exit result=exited)" = 0

zt_check "the trace, in order" zt_records expect-trace "$ZT_DIR/trace.txt"
service_pid=$(zt_records field "$log" pid event=service-exit)
zt_check "every message came from the service process" \
    test "$(zt_records trace --pids "$ZT_DIR/trace.txt")" = "$service_pid"

zt_check "the stop within walk + poll + slack" zt_records expect-stop "$log"

if zt_on native "net start and net stop waiting for the state (Wine's net start does not)"; then
    net start "$ZT_SERVICE" >"$ZT_DIR/net.log" 2>&1
    zt_check "net start returned with the service running" test "$(zt_service_state)" = RUNNING
    net stop "$ZT_SERVICE" >>"$ZT_DIR/net.log" 2>&1
    zt_check "net stop returned with the service stopped" test "$(zt_service_state)" = STOPPED
fi
zt_finish
