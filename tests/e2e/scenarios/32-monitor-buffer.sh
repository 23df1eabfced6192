#!/bin/bash
# needs: prefix
# Who the monitor's buffer goes to: a writer that holds it long is not overtaken by the writers
# queued behind it, and one that dies holding it does not hold up those after it.
. "$(dirname "$0")/../lib.sh"
zt_begin
zt_require "the monitor listens" zt_monitor_start

# A writer that holds the buffer for a second, while twenty messages wait for it.
zt_writer slow partial-write 1000 signal slow debug-output 20 after
zt_compare "the buffer was not given to another writer meanwhile" \
    0 "$(zt_records field "$ZT_DIR/slow.log" given-again event=partial-write result=signalled)"
# One that dies holding it: a second later (the monitor looks every 300 ms) the next find it free.
zt_writer dead partial-write 0 die dead hold 1000 debug-output 3 later
# One whose process has ended, the next writer queued before the monitor: it waits out only the
# second the buffer is held, not its own time-out.
zt_writer gone partial-write 1000 gone gone debug-output 3 afterwards
zt_wait_for 10 grep -q "afterwards 3" "$ZT_DIR/trace.txt"
zt_compare "every message once, in order, the dead writers' not at all" \
    "$(printf '%s\n' slow "after "{1..20} "later "{1..3} "afterwards "{1..3})" \
    "$(zt_records messages "$ZT_DIR/trace.txt")"
for log in dead gone; do
    slowest=$(zt_records field "$ZT_DIR/$log.log" slowest event=debug-output count=3)
    zt_expect "after the $log writer the slowest message took ${slowest:-?} ms, at most 2000" \
        test "${slowest%.*}" -le 2000
done
zt_finish
