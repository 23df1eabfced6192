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
zt_wait_for 10 grep -q "Main: Exit" "$ZT_DIR/trace.txt"
# The service's last message races its exit and may come a moment after "Main: Exit", or never.
zt_wait_for 1 grep -q "ServiceMain: Exit" "$ZT_DIR/trace.txt"

# The controller shows START_PENDING with the previous record until the service's first report,
# so only the service's own records are compared: from its START_PENDING with exit code 0 on.
zt_statuses "$log" | sed 's/ pid=[0-9]*$//' | uniq |
    sed -n '/state=START_PENDING accepted=0x0 exit=0 specific=0 checkpoint=0 hint=0/,$p' \
        >"$ZT_DIR/statuses"
cat >"$ZT_DIR/expected-statuses" <<'END'
type=0x10 state=START_PENDING accepted=0x0 exit=0 specific=0 checkpoint=0 hint=0
type=0x10 state=RUNNING accepted=0x1 exit=0 specific=0 checkpoint=0 hint=0
type=0x10 state=STOP_PENDING accepted=0x0 exit=0 specific=0 checkpoint=4 hint=0
type=0x10 state=STOPPED accepted=0x0 exit=0 specific=0 checkpoint=3 hint=0
END
zt_check "statuses: start pending, running, stop pending (4), stopped (3)" \
    diff -u "$ZT_DIR/expected-statuses" "$ZT_DIR/statuses"

standin=$ZT_C/zentorvik-standin.log
zt_check "the hosted program was started exactly once" test "$(wc -l <"$standin")" -eq 1
# "<pid> <image> <command line>": the command line is the program, then "-s" alone.
zt_check "its command line is the program and the single argument -s" \
    grep -qiE '^[0-9]+ C:\\windows\\Zentorvik\.exe ("c:\\windows\\Zentorvik\.exe"|c:\\windows\\Zentorvik\.exe) -s'$'\r''?$' "$standin"
hosted_pid=$(cut -d' ' -f1 "$standin")
zt_check "the hosted program ended with exit code 0" grep -q "process pid=$hosted_pid exit=0 " "$log"
zt_check "the service process ended with exit code 0" grep -qE "service-exit pid=[0-9]+ code=0" "$log"

zt_trace | zt_canonical_trace >"$ZT_DIR/trace"
cat >"$ZT_DIR/expected-trace" <<'END'
Main: Entry
ServiceMain: Entry
ServiceMain: Performing Service Start Operations
ServiceMain: Waiting for Worker Thread to complete
ServiceWorkerThread: Entry
ServiceCtrlHandler: Entry
ServiceCtrlHandler: SERVICE_CONTROL_STOP Request
ServiceCtrlHandler: Exit
ServiceWorkerThread: Exit
ServiceMain: Worker Thread Stop Event signaled
ServiceMain: Performing Cleanup Operations
ServiceMain: Exit
Main: Exit
END
zt_check "the trace, in order" sh -c "diff -u '$ZT_DIR/expected-trace' '$ZT_DIR/trace' ||
    grep -vx 'ServiceMain: Exit' '$ZT_DIR/expected-trace' | diff -u - '$ZT_DIR/trace'"
service_pid=$(sed -n 's/.*service-exit pid=\([0-9]*\) .*/\1/p' "$log")
zt_check "every message came from the service process" \
    sh -c "! grep '$ZT_PREFIX_TEXT' '$ZT_DIR/trace.txt' | grep -v '^$service_pid '"

echo "  stop request to STOPPED: $(zt_stop_latency "$log") ms"
zt_finish
