#!/bin/bash
# The hosted program ends on its own: the service goes on running and starts nothing again.
. "$(dirname "$0")/../lib.sh"
zt_begin
zt_install_standin

# The driver holds the service running for more than one poll of its worker after the program
# has ended, then looks for the program and stops the service.
zt_driver run start wait RUNNING 60000 watch-log "$ZT_STANDIN_LOG" 1 30000 exits 30000 \
    mark ended hold 4000 procs Zentorvik.exe mark stopping \
    control stop wait STOPPED 10000 service-exit 10000 &
driver=$!
log=$ZT_DIR/run.log
zt_wait_for 60 grep -q "watch pid=" "$log"
: >"$ZT_C/zentorvik-standin.quit"
wait $driver

zt_check "the hosted program ended on its own (exit code 5)" \
    test "$(zt_process_outcome "$log" 'C:\windows\Zentorvik.exe')" = exit=5
zt_check "the service stayed running with no new report" test -z "$(
    sed -n '/ mark ended/,/ mark stopping/p' "$log" | grep ' status ')"
zt_check "no hosted program runs afterwards" grep -q "procs name=Zentorvik.exe count=0 " "$log"
zt_check "the hosted program was started only once" test "$(wc -l <"$ZT_C/zentorvik-standin.log")" -eq 1
zt_check "statuses as in a normal run" \
    diff -u <(echo "$ZT_NORMAL_STATUSES") <(zt_statuses "$log" | zt_service_statuses)
zt_check "the service process ended with exit code 0" grep -qE "service-exit pid=[0-9]+ code=0" "$log"
zt_check_stop "$log"
zt_finish
