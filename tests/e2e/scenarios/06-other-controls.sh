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

refused() {
    grep -q " control $1 error=1052" "$log"
}
zt_check "pause refused by the controller (1052)" refused pause
zt_check "continue refused by the controller (1052)" refused continue
zt_check "interrogate accepted" grep -q " control interrogate ok state=RUNNING" "$log"
zt_check "user control 128 accepted" grep -q " control 128 ok state=RUNNING" "$log"
zt_check "no report while the controls came" test -z "$(
    sed -n '/ mark controls/,/ mark stop/p' "$log" | grep ' status ')"
zt_check "the second stop refused while stop pending (1061)" grep -q " control stop error=1061" "$log"
zt_check "statuses as in a normal run" \
    diff -u <(echo "$ZT_NORMAL_STATUSES") <(zt_statuses "$log" | zt_service_statuses)
zt_check "the hosted program ended with exit code 0 at the stop" \
    test "$(zt_process_outcome "$log" 'C:\windows\Zentorvik.exe')" = exit=0
zt_check_stop "$log"
# Interrogate and the user control: entry and exit each, before the stop request.
zt_check "the handler traced only its entry and exit for them" zt_same_trace "$(
    echo "$ZT_NORMAL_TRACE" | awk '/ServiceCtrlHandler: Entry/ && !done {
        for (i = 0; i < 2; i++) print "ServiceCtrlHandler: Entry\nServiceCtrlHandler: Exit"; done = 1 }
        { print }')"
zt_finish
