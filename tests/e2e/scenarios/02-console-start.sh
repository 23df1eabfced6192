#!/bin/bash
# Started from a console instead of by the service controller: the dispatcher cannot connect.
. "$(dirname "$0")/../lib.sh"
zt_begin
zt_install_standin

# The driver runs it, because a Linux exit status would keep only the low 8 bits of 1063.
zt_driver alone spawn "$ZT_SERVICE_EXE" exits 60000
zt_check "exit code 1063 without a monitor" grep -q "process pid=[0-9]* exit=1063 " "$ZT_DIR/alone.log"

zt_monitor_start 'c:\trace-copy.txt' || { echo "  FAIL the monitor did not come up"; exit 1; }
zt_driver watched spawn "$ZT_SERVICE_EXE" exits 60000
zt_check "exit code 1063 with a monitor" grep -q "process pid=[0-9]* exit=1063 " "$ZT_DIR/watched.log"
zt_wait_for 10 grep -q "StartServiceCtrlDispatcher returned error" "$ZT_DIR/trace.txt"
zt_check "trace: Main: Entry, then the dispatcher error" diff -u - <(zt_trace) <<'END'
Main: Entry
Main: StartServiceCtrlDispatcher returned error
END
zt_check "the monitor wrote the same lines to its file" cmp -s "$ZT_DIR/trace.txt" "$ZT_C/trace-copy.txt"
zt_check "nothing was launched" test ! -e "$ZT_C/zentorvik-standin.log"
zt_finish
