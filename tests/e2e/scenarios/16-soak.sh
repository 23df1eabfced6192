#!/bin/bash
# needs: prefix
# cost: 80
# Twenty start/stop cycles, each stop sent as soon as the service runs: the right statuses, every
# stop within its bound, nothing left running. Ten here, ten in 18-soak-again (which sources this).
. "$(dirname "$0")/../lib.sh"
zt_begin
zt_install_standin

first=${1:-1}
cycles=10
commands=()
for i in $(seq "$first" $((first + cycles - 1))); do
    commands+=(mark "cycle $i" start wait RUNNING 60000 control stop wait STOPPED 10000
               service-exit 10000 procs "$ZT_HOSTED_IMAGE" procs "$ZT_SERVICE_EXE_NAME")
done
zt_driver run "${commands[@]}" mark end
log=$ZT_DIR/run.log

zt_expect "cycles $first to $((first + cycles - 1)) ran" zt_seen "$log" event=mark text=end
zt_expect "statuses right in every cycle" zt_records expect-statuses --marks cycle "$log"
zt_compare "the service ended with exit code 0 in every cycle" \
    "$(yes 0 | head -n $cycles)" "$(zt_records field "$log" code event=service-exit)"
# Two processes looked for after each stop: the hosted program's and the service's.
zt_compare "no service or hosted process left after any stop" \
    "$(yes 0 | head -n $((2 * cycles)))" "$(zt_records field "$log" count event=procs)"
# A stop sent as soon as the service runs comes just after the worker's first poll, or before it:
# the stop then takes nearly a whole interval, or almost nothing.
zt_expect "every stop within walk + poll + slack" zt_records expect-stop --marks cycle "$log"
zt_finish
