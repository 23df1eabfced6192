#!/bin/bash
# With no hosted program on disk the launch fails unseen: the service still runs and stops cleanly.
. "$(dirname "$0")/../lib.sh"
zt_begin
rm -f "$ZT_C/windows/Zentorvik.exe"

zt_driver run start wait RUNNING 60000 control stop wait STOPPED 10000 service-exit 10000
log=$ZT_DIR/run.log
zt_check "statuses as in a normal run" \
    diff -u <(echo "$ZT_NORMAL_STATUSES") <(zt_statuses "$log" | zt_service_statuses)
zt_check "the service process ended with exit code 0" grep -qE "service-exit pid=[0-9]+ code=0" "$log"
zt_finish
