#!/bin/bash
# needs: prefix
# A second debug-output monitor leaves the names to the one already listening, which still
# receives every message of a service run.
. "$(dirname "$0")/../lib.sh"
zt_begin
zt_install_standin
zt_require "the monitor listens" zt_monitor_start
# In session 0, where a Windows runner may run its jobs, the global names are the local ones.
names="global and local"
if grep -q "in session 0" "$ZT_DIR/monitor.err"; then
    names=global
    echo "  note this runs in session 0"
fi
zt_expect "the first monitor listens on the $names names" \
    grep "listening on the $names names" "$ZT_DIR/monitor.err"

# Bounded, in case it listens after all: it would never end on its own then.
zt_run --within 60 "$ZT_MONITOR" >"$ZT_DIR/second.out" 2>"$ZT_DIR/second.err"
zt_compare "a second monitor exits with code 1" 1 "$?"
for scope in ${names/ and / }; do
    zt_expect "it says another monitor listens on the $scope names" \
        grep "another debug-output monitor listens on the $scope names" "$ZT_DIR/second.err"
done
zt_must_fail "it did not listen" grep listening "$ZT_DIR/second.err"
# The first monitor's buffer is there, so nothing reads as another program's names.
zt_must_fail "nor that another program created them" grep "another program" "$ZT_DIR/second.err"

zt_driver start start wait RUNNING 60000
zt_driver stop control stop wait STOPPED 10000 service-exit 10000
zt_wait_trace_end
zt_expect "the first monitor received the whole trace, in order" \
    zt_records expect-trace "$ZT_DIR/trace.txt"
zt_expect "the stop within walk + poll + slack" zt_records expect-stop "$ZT_DIR/stop.log"

# Another program's message cannot pass for the service's through a newline or an escape sequence.
zt_writer forged debug-output 1 $'forged\n1 '"$ZT_SERVICE"$': Main: Exit\e[2J'
zt_wait_for 10 grep -q "forged" "$ZT_DIR/trace.txt"
zt_expect "control characters of a message are written as \\xNN" \
    grep -xF "forged\\x0A1 $ZT_SERVICE: Main: Exit\\x1B[2J 1" \
    <(zt_records messages "$ZT_DIR/trace.txt")
zt_must_fail "and no line begins with what followed the newline" \
    grep "^1 $ZT_SERVICE" "$ZT_DIR/trace.txt"
zt_finish
