#!/bin/bash
# needs: prefix
# The hosted program ends on its own: the service goes on running and starts nothing again.
. "$(dirname "$0")/../lib.sh"
zt_begin
zt_install_standin

# The driver holds the service running for more than one poll of its worker after the program
# has ended, then looks for the program and stops the service.
zt_driver run start wait RUNNING 60000 watch-log "$ZT_STANDIN_LOG" 1 30000 exits 30000 \
    mark ended hold 4000 procs "$ZT_HOSTED_IMAGE" mark stopping \
    control stop wait STOPPED 10000 service-exit 10000 &
driver=$!
log=$ZT_DIR/run.log
zt_wait_for 60 zt_seen "$log" event=watch
: >"$(zt_c_file "$ZT_STANDIN_QUIT")"
wait $driver

zt_expect "the hosted program ended on its own (exit code 5)" \
    zt_records expect-outcome "$log" "$ZT_HOSTED_EXE" exited 5
zt_expect "the service stayed running with no new report" \
    zt_records expect-none --mark ended "$log" event=status
zt_compare "no hosted program runs afterwards" \
    0 "$(zt_records field "$log" count event=procs name="$ZT_HOSTED_IMAGE")"
zt_compare "the hosted program was started only once" 1 "$(zt_standin_starts | wc -l)"
zt_expect "statuses as in a normal run" zt_records expect-statuses "$log"
zt_compare "the service process ended with exit code 0" \
    0 "$(zt_records field "$log" code event=service-exit)"
zt_expect "the stop within walk + poll + slack" zt_records expect-stop "$log"
zt_finish
