#!/bin/bash
# Controls other than stop change nothing: pause and continue are refused by the controller, the
# handler sees interrogate and a user control and only traces its entry and exit. A second stop
# while stop pending is refused. Wine's controller refuses pause and continue for every service;
# Windows' refuses them because the service does not accept them.
. "$(dirname "$0")/../lib.sh"
zt_begin
zt_install_standin
zt_monitor_start || { echo "  FAIL the monitor did not come up"; exit 1; }

zt_driver run start wait RUNNING 60000 watch-log "$ZT_STANDIN_LOG" 1 30000 mark controls \
    control pause control continue control interrogate control 128 mark stop \
    control stop control stop wait STOPPED 10000 service-exit 10000 exits 5000
log=$ZT_DIR/run.log
zt_wait_trace_end

# answer CONTROL FIELD: FIELD of the answer to each CONTROL sent, one a line.
answer() {
    zt_records field "$log" "$2" event=control control="$1"
}
zt_check "pause refused by the controller (1052)" test "$(answer pause error)" = 1052
zt_check "continue refused by the controller (1052)" test "$(answer continue error)" = 1052
zt_check "interrogate accepted" test "$(answer interrogate state)" = RUNNING
zt_check "user control 128 accepted" test "$(answer 128 state)" = RUNNING
zt_check "no report while the controls came" zt_records expect-none --mark controls "$log" event=status
zt_check "the first stop accepted, the second refused while stop pending (1061)" \
    test "$(answer stop result | xargs)" = "ok error" -a "$(answer stop error)" = 1061
zt_check "statuses as in a normal run" zt_records expect-statuses "$log"
zt_check "the hosted program ended with exit code 0 at the stop" \
    zt_records expect-outcome "$log" 'C:\windows\Zentorvik.exe' exited 0
zt_check "the stop within walk + poll + slack" zt_records expect-stop "$log"
# Interrogate and the user control: entry and exit each, before the stop request.
zt_check "the handler traced only its entry and exit for them" \
    zt_records expect-trace --other-controls 2 "$ZT_DIR/trace.txt"
zt_finish
