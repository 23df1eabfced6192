#!/bin/bash
# needs: prefix
# cost: 30
# Started from a console instead of by the service controller: the dispatcher cannot connect.
. "$(dirname "$0")/../lib.sh"
zt_begin
zt_install_standin

# The driver runs it, because a Linux exit status would keep only the low 8 bits of 1063.
zt_driver alone spawn "$ZT_SERVICE_EXE" exits 60000
zt_compare "exit code 1063 without a monitor" \
    1063 "$(zt_records field "$ZT_DIR/alone.log" code event=process)"
lifetime=$(zt_records elapsed "$ZT_DIR/alone.log" --from event=watch --to event=process)
zt_on native "Wine's dispatcher may wait about 10 s before it fails" &&
    zt_expect "it failed at once (${lifetime:-?} ms, at most 3000)" \
        test "${lifetime:-99999}" -le 3000

zt_require "the monitor listens" zt_monitor_start "$ZT_SCRATCH_WIN\\trace-copy.txt"
zt_driver watched spawn "$ZT_SERVICE_EXE" exits 60000
zt_compare "exit code 1063 with a monitor" \
    1063 "$(zt_records field "$ZT_DIR/watched.log" code event=process)"
zt_wait_for 10 grep -q "StartServiceCtrlDispatcher returned error" "$ZT_DIR/trace.txt"
zt_expect "trace: Main: Entry, then the dispatcher error" \
    zt_records expect-trace --expected - "$ZT_DIR/trace.txt" <<'END'
Main: Entry
Main: StartServiceCtrlDispatcher returned error
END
zt_expect "the monitor wrote the same lines to its file" \
    cmp "$ZT_DIR/trace.txt" "$ZT_SCRATCH/trace-copy.txt"
zt_expect "nothing was launched" test ! -e "$(zt_c_file "$ZT_STANDIN_LOG")"
zt_finish
