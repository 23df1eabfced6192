#!/bin/bash
# needs: prefix
# Names another program created before the monitor, which listens on none of them: anyone may
# create a buffer-ready event (no buffer: no monitor), and whoever made the data event or the
# buffer could feed the monitor lines of its own.
. "$(dirname "$0")/../lib.sh"
zt_begin

# In the background as a job of its own, ended before the next program takes its names.
"${ZT_RUN[@]}" "$ZT_WRITER" hold-object event 'Global\DBWIN_BUFFER_READY' \
    hold-object event DBWIN_BUFFER_READY mark held hold 120000 \
    >"$ZT_DIR/blocker.log" 2>"$ZT_DIR/blocker.err" </dev/null &
blocker=$!
zt_require_within "another program created the buffer-ready events" 60 \
    zt_seen "$ZT_DIR/blocker.log" event=mark text=held
# Bounded, in case it listens after all: it would never end on its own then.
zt_run --within 60 "$ZT_MONITOR" >"$ZT_DIR/blocked.out" 2>"$ZT_DIR/blocked.err"
zt_compare "without a buffer the monitor exits with code 1" 1 "$?"
zt_expect "it says another program created the global buffer-ready event" \
    grep "DBWIN_BUFFER_READY of the global names was created by another program" \
    "$ZT_DIR/blocked.err"
zt_expect "and to try again after the writers' time-out" \
    grep "try again after the writers' time-out" "$ZT_DIR/blocked.err"
zt_must_fail "not that another monitor listens" grep "another debug-output monitor" \
    "$ZT_DIR/blocked.err"
zt_must_fail "it did not listen" grep listening "$ZT_DIR/blocked.err"
kill "$blocker"
wait "$blocker" 2>/dev/null

"${ZT_RUN[@]}" "$ZT_WRITER" hold-object mapping 'Global\DBWIN_BUFFER' \
    hold-object event DBWIN_DATA_READY mark held hold 120000 \
    >"$ZT_DIR/squatter.log" 2>"$ZT_DIR/squatter.err" </dev/null &
zt_require_within "another program created the names" 60 \
    zt_seen "$ZT_DIR/squatter.log" event=mark text=held

zt_run --within 60 "$ZT_MONITOR" >"$ZT_DIR/monitor.out" 2>"$ZT_DIR/monitor.err"
zt_compare "the monitor exits with code 1" 1 "$?"
zt_expect "it says the global names were created by another program" \
    grep "of the global names was created by another program" "$ZT_DIR/monitor.err"
# In session 0 the local names are the global ones: there the data event is found first.
if zt_on wine "which object of each channel it names (outside session 0)"; then
    zt_expect "the global buffer" \
        grep "DBWIN_BUFFER of the global names was created" "$ZT_DIR/monitor.err"
    zt_expect "the local data event" \
        grep "DBWIN_DATA_READY of the local names was created" "$ZT_DIR/monitor.err"
fi
zt_must_fail "it did not listen" grep listening "$ZT_DIR/monitor.err"
zt_finish
