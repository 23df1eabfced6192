#!/bin/bash
# Names another program created before the monitor: whoever made the data event or the buffer
# could feed the monitor lines of its own, so the monitor does not listen on them.
. "$(dirname "$0")/../lib.sh"
zt_begin
"${ZT_RUN[@]}" "$ZT_DRIVER" "$ZT_SERVICE" hold-object mapping 'Global\DBWIN_BUFFER' \
    hold-object event DBWIN_DATA_READY mark held hold 120000 \
    >"$ZT_DIR/squatter.log" 2>"$ZT_DIR/squatter.err" </dev/null &
squatter=$!
zt_wait_for 60 zt_seen "$ZT_DIR/squatter.log" event=mark text=held ||
    { echo "  FAIL the other program did not create the names"; exit 1; }

# Bounded, in case it listens after all: it would never end on its own then.
timeout 60 "${ZT_RUN[@]}" "$ZT_MONITOR" >"$ZT_DIR/monitor.out" 2>"$ZT_DIR/monitor.err" </dev/null
code=$?
zt_check "the monitor exits with code 1" test "$code" -eq 1
zt_check "it says the global names were created by another program" \
    grep -q "of the global names was created by another program" "$ZT_DIR/monitor.err"
# In session 0 the local names are the global ones: there the data event is found first.
zt_on wine "which object of each channel it names (outside session 0)" && {
    zt_check "the global buffer" \
        grep -q "DBWIN_BUFFER of the global names was created" "$ZT_DIR/monitor.err"
    zt_check "the local data event" \
        grep -q "DBWIN_DATA_READY of the local names was created" "$ZT_DIR/monitor.err"
}
zt_check "it did not listen" sh -c "! grep -q listening '$ZT_DIR/monitor.err'"
kill "$squatter" 2>/dev/null
zt_finish
