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
    diff -u <(echo "$ZT_NORMAL_STATUSES") <(zt_statuses "$log" | zt_service_statuses)

standin=$ZT_C/zentorvik-standin.log
zt_check "the hosted program was started exactly once" test "$(wc -l <"$standin")" -eq 1
# "<pid> <image> <command line>": the command line is the program, then "-s" alone.
zt_check "its command line is the program and the single argument -s" \
    grep -qiE '^[0-9]+ C:\\windows\\Zentorvik\.exe ("c:\\windows\\Zentorvik\.exe"|c:\\windows\\Zentorvik\.exe) -s$' "$standin"
hosted_pid=$(cut -d' ' -f1 "$standin")
zt_check "the hosted program ended with exit code 0" grep -q "process pid=$hosted_pid exit=0 " "$log"
zt_check "the service process ended with exit code 0" grep -qE "service-exit pid=[0-9]+ code=0" "$log"

zt_check "the trace, in order" zt_same_trace "$ZT_NORMAL_TRACE"
service_pid=$(sed -n 's/.*service-exit pid=\([0-9]*\) .*/\1/p' "$log")
zt_check "every message came from the service process" \
    sh -c "! grep '$ZT_PREFIX_TEXT' '$ZT_DIR/trace.txt' | grep -v '^$service_pid '"

zt_check_stop "$log"

if zt_on native "net start and net stop waiting for the state (Wine's net start does not)"; then
    net start "$ZT_SERVICE" >"$ZT_DIR/net.log" 2>&1
    zt_check "net start returned with the service running" test "$(zt_service_state)" = RUNNING
    net stop "$ZT_SERVICE" >>"$ZT_DIR/net.log" 2>&1
    zt_check "net stop returned with the service stopped" test "$(zt_service_state)" = STOPPED
fi
zt_finish
