#!/bin/bash
# needs: prefix
# With no hosted program on disk the launch is skipped: the service still runs and stops cleanly.
# Only on Windows would the start hang without that skip (a `start` of a missing program waits on
# a message box nobody can answer); under Wine `start` fails and returns.
. "$(dirname "$0")/../lib.sh"
zt_begin
rm -f "$(zt_c_file "$ZT_HOSTED_EXE")"

zt_driver run start wait RUNNING 60000 control stop wait STOPPED 10000 service-exit 10000
log=$ZT_DIR/run.log
# With no program to launch, start pending lasts a few milliseconds and the driver's poll may not
# see it; the records are compared from RUNNING on.
zt_expect "statuses as in a normal run, from RUNNING on" \
    zt_records expect-statuses --from-running "$log"
zt_compare "the service process ended with exit code 0" \
    0 "$(zt_records field "$log" code event=service-exit)"
zt_expect "the stop within walk + poll + slack" zt_records expect-stop "$log"
zt_finish
