#!/bin/bash
# needs: prefix
# Controls other than stop change nothing: pause and continue are refused by the controller (by
# Wine's for every service), interrogate and a user control reach the handler, which only traces
# its entry and exit. A second stop while stop pending is refused.
. "$(dirname "$0")/../lib.sh"
zt_begin
zt_install_standin
zt_require "the monitor listens" zt_monitor_start

zt_driver run start wait RUNNING 60000 watch-log "$ZT_STANDIN_LOG" 1 30000 mark controls \
    control pause control continue control interrogate control 128 mark stop \
    control stop control stop wait STOPPED 10000 service-exit 10000 exits 5000
log=$ZT_DIR/run.log
zt_wait_trace_end

# answers CONTROL FIELD: FIELD of each answer to CONTROL, one a line.
answers() {
    zt_records field "$log" "$2" event=control control="$1"
}
zt_compare "pause refused by the controller (1052)" 1052 "$(answers pause error)"
zt_compare "continue refused by the controller (1052)" 1052 "$(answers continue error)"
zt_compare "interrogate accepted" RUNNING "$(answers interrogate state)"
zt_compare "user control 128 accepted" RUNNING "$(answers 128 state)"
zt_expect "no report while the controls came" \
    zt_records expect-none --mark controls "$log" event=status
zt_compare "the second stop refused while stop pending (1061)" \
    "ok error 1061" "$(answers stop result | xargs) $(answers stop error)"
zt_expect "statuses as in a normal run" zt_records expect-statuses "$log"
zt_expect "the hosted program ended with exit code 0 at the stop" \
    zt_records expect-outcome "$log" "$ZT_HOSTED_EXE" exited 0
zt_expect "the stop within walk + poll + slack" zt_records expect-stop "$log"
# Interrogate and the user control: entry and exit each, before the stop request.
zt_expect "the handler traced only its entry and exit for them" \
    zt_records expect-trace --other-controls 2 "$ZT_DIR/trace.txt"
zt_finish
