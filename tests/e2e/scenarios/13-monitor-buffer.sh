#!/bin/bash
# Who the monitor's buffer goes to: a writer that holds it long is not overtaken by the writers
# queued behind it, and one that dies holding it does not hold up those after it.
. "$(dirname "$0")/../lib.sh"
zt_begin
zt_monitor_start || { echo "  FAIL the monitor did not come up"; exit 1; }

# A writer that holds the buffer for a second, while twenty messages wait for it.
zt_driver slow partial-write 1000 slow debug-output 20 after
zt_check "the buffer was not given to another writer meanwhile" \
    grep -q "partial-write signalled given-again=0" "$ZT_DIR/slow.log"
# One that dies holding it; a second later (the monitor checks a quiet buffer every 300 ms) the
# next writers must find it free, not wait for it.
zt_driver dead partial-write die dead hold 1000 debug-output 3 later
zt_wait_for 10 grep -q "later 3" "$ZT_DIR/trace.txt"
zt_check "every message once, in order, the dead writer's not at all" diff -u - \
    <(sed -n 's/^[0-9]* //p' "$ZT_DIR/trace.txt" | tr -d '\r') <<<"slow
$(seq -f 'after %g' 20)
$(seq -f 'later %g' 3)"
slowest=$(tr -d '\r' <"$ZT_DIR/dead.log" | sed -n 's/.* debug-output sent=3 slowest=\([0-9]*\).*/\1/p')
zt_check "after the dead writer no message waited long (${slowest:-?} ms, at most 1000)" \
    test "${slowest:-99999}" -le 1000
zt_finish
