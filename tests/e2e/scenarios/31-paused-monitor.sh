#!/bin/bash
# needs: prefix
# A monitor whose output nobody reads holds up no writer: the service starts and stops in its
# usual time, every message is printed once the output flows again, and a flood beyond the
# monitor's queue is dropped and counted instead of blocking.
. "$(dirname "$0")/../lib.sh"
zt_on wine "a monitor writing to a pipe of one page that nobody reads" || exit 0
zt_begin
zt_install_standin

# The monitor's output: a pipe of one page, read into trace.txt once $ZT_DIR/unpause is there
# (by the interpreter itself: a version manager's shim takes seconds to start on a loaded machine).
mkfifo "$ZT_DIR/output"
zt_python - "$ZT_DIR/output" "$ZT_DIR/trace.txt" "$ZT_DIR/unpause" "$ZT_DIR/pipe-size" <<'END' &
import fcntl, os, sys, time
fifo, out, unpause, size = sys.argv[1:]
F_SETPIPE_SZ, F_GETPIPE_SZ = 1031, 1032
fd = os.open(fifo, os.O_RDONLY | os.O_NONBLOCK)
fcntl.fcntl(fd, F_SETPIPE_SZ, 4096)
with open(size, "w") as f:
    f.write(str(fcntl.fcntl(fd, F_GETPIPE_SZ)))
deadline = time.time() + 250
while not os.path.exists(unpause):
    if time.time() > deadline:
        sys.exit(1)
    time.sleep(0.05)
fcntl.fcntl(fd, fcntl.F_SETFL, 0)
with open(out, "ab") as f:
    while data := os.read(fd, 65536):
        f.write(data)
        f.flush()
END
zt_require_within "the pipe's reader started" 10 test -s "$ZT_DIR/pipe-size"
zt_compare "the monitor's output is a pipe of 4096 bytes" 4096 "$(cat "$ZT_DIR/pipe-size")"
"${ZT_RUN[@]}" "$ZT_MONITOR" >"$ZT_DIR/output" 2>"$ZT_DIR/monitor.err" </dev/null &
zt_require_within "the monitor listens" 60 grep -q listening "$ZT_DIR/monitor.err"

zt_driver start start wait RUNNING 60000
# Five lines of about 1010 bytes, more than the pipe holds: the monitor's output blocks.
first="first $(printf '%0999d' 0)"
zt_writer fill debug-output 5 "$first"
zt_driver stop control stop wait STOPPED 60000 service-exit 10000
zt_expect "the stop within walk + poll + slack" zt_records expect-stop "$ZT_DIR/stop.log"

# More than the queue holds (1 MiB); bounded, as a monitor that blocked writers would take 10 s each.
second="second $(printf '%03999d' 0)"
zt_run --within 60 "$ZT_WRITER" debug-output 400 "$second" \
    >"$ZT_DIR/flood.log" 2>"$ZT_DIR/flood.err"
slowest=$(zt_records field "$ZT_DIR/flood.log" slowest event=debug-output count=400)
zt_expect "400 messages of 4000 bytes sent, none waiting long (slowest ${slowest:-?} ms)" \
    test "${slowest%.*}" -le 2000

: >"$ZT_DIR/unpause"
zt_wait_for 30 grep -qsE "messages? dropped" "$ZT_DIR/trace.txt"
zt_wait_trace_end
zt_expect "the service's whole trace, in order" zt_records expect-trace "$ZT_DIR/trace.txt"
zt_expect "the five lines that blocked the output, in order" \
    zt_records expect-flood "$ZT_DIR/trace.txt" "$first" 5
zt_expect "the second flood printed in order up to the full queue, the rest counted where dropped" \
    zt_records expect-flood --dropped "$ZT_DIR/trace.txt" "$second" 400
# The floods' zeros would fill pages of a failure's report.
sed -i 's/ 0\{16,\} / 0...0 /' "$ZT_DIR/trace.txt"
zt_finish
