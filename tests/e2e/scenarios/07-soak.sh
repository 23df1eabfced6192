#!/bin/bash
# Twenty start/stop cycles in one prefix, each stop sent as soon as the service runs: the right
# statuses every time, every stop within its bound, and nothing left running after each stop.
. "$(dirname "$0")/../lib.sh"
zt_begin
zt_install_standin

cycles=20
commands=()
for i in $(seq 1 $cycles); do
    commands+=(mark "cycle $i" start wait RUNNING 60000 control stop wait STOPPED 10000
               service-exit 10000 procs Zentorvik.exe procs OrveldenZentorvikTool.exe)
done
zt_driver run "${commands[@]}" mark end
log=$ZT_DIR/run.log

bad_statuses=0 bad_exits=0 left=0 slow=0
excesses=()
for i in $(seq 1 $cycles); do
    sed -n "/ mark cycle $i\$/,/ mark \(cycle $((i + 1))\|end\)\$/p" "$log" >"$ZT_DIR/cycle"
    diff -q <(echo "$ZT_NORMAL_STATUSES") <(zt_statuses "$ZT_DIR/cycle" | zt_service_statuses) \
        >/dev/null || { echo "  cycle $i: wrong statuses"; bad_statuses=$((bad_statuses + 1)); }
    grep -qE "service-exit pid=[0-9]+ code=0" "$ZT_DIR/cycle" ||
        { echo "  cycle $i: service exit"; bad_exits=$((bad_exits + 1)); }
    [ "$(grep -c "procs name=.* count=0 " "$ZT_DIR/cycle")" -eq 2 ] ||
        { echo "  cycle $i: processes left"; left=$((left + 1)); }
    excess=$(zt_stop_excess "$ZT_DIR/cycle")
    if [ -z "$excess" ] || [ "$excess" -gt "$ZT_STOP_SLACK_MS" ]; then
        echo "  cycle $i: stop took ${excess:-?} ms past walk + poll"
        slow=$((slow + 1))
    fi
    excesses+=("${excess:-?}")
done

zt_check "$cycles cycles ran" grep -q " mark end" "$log"
zt_check "statuses right in every cycle" test "$bad_statuses" -eq 0
zt_check "the service ended with exit code 0 in every cycle" test "$bad_exits" -eq 0
zt_check "no service or hosted process left after any stop" test "$left" -eq 0
# A stop sent as soon as the service runs comes just after the worker's first poll, or before it:
# the stop then takes nearly a whole interval, or almost nothing.
echo "  ms past walk + poll $ZT_POLL_MS ms per cycle: ${excesses[*]}"
zt_check "every stop within walk + poll $ZT_POLL_MS + slack $ZT_STOP_SLACK_MS ms" \
    test "$slow" -eq 0
zt_finish
