# Sourced by the Wine scenarios and scripts/demo: one 64-bit Wine prefix per scenario, copied
# from a template that has the service registered and the test programs installed.
#
# The prefix is 64-bit so that Wine's own programs (services.exe, sc, cmd for the tests) run
# natively; only the 32-bit programs (the service, its cmd/start and our tools) are emulated.

ZT_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
ZT_BUILD=${ZT_BUILD:-$ZT_ROOT/build/windows-x86}
ZT_SERVICE="Orvelden Zentorvik Tool"
ZT_PREFIX_TEXT="Orvelden Zentorvik Tool: "
ZT_WINE=/usr/lib/wine/wine64
ZT_WINESERVER=/usr/lib/wine/wineserver64
# Windows paths inside the prefix.
ZT_SERVICE_EXE='C:\zt\OrveldenZentorvikTool.exe'
ZT_DRIVER='C:\zt\service-driver.exe'
ZT_MONITOR='C:\zt\dbwin-monitor.exe'
ZT_STANDIN_LOG='c:\zentorvik-standin.log'

zt_env() {
    export WINEPREFIX=$1 WINEARCH=win64 WINELOADER=$ZT_WINE WINESERVER=$ZT_WINESERVER
    export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" LANG=C.UTF-8
}

zt_now() {
    date +%s%N | cut -c1-13
}

# zt_wait_for SECONDS COMMAND...: retries COMMAND every 50 ms until it succeeds or time is up.
zt_wait_for() {
    local deadline=$(($(zt_now) + $1 * 1000))
    shift
    until "$@"; do
        [ "$(zt_now)" -lt "$deadline" ] || return 1
        sleep 0.05
    done
}

# Boots a prefix in $1, registers the service and installs the programs (about 15 s).
zt_make_template() {
    local dir=$1
    (
        zt_env "$dir"
        "$ZT_WINE" wineboot -i >/dev/null 2>&1 </dev/null
        # The server that wineboot started keeps a second services.exe around; start afresh.
        "$ZT_WINESERVER" -k 2>/dev/null
        "$ZT_WINESERVER" -w
        "$ZT_WINESERVER" -p
        trap '"$ZT_WINESERVER" -k 2>/dev/null; "$ZT_WINESERVER" -w' EXIT
        mkdir -p "$dir/drive_c/zt"
        cp "$ZT_BUILD/OrveldenZentorvikTool.exe" "$ZT_BUILD"/tools/*.exe "$dir/drive_c/zt/"
        "$ZT_WINE" sc create "$ZT_SERVICE" binpath= "$ZT_SERVICE_EXE" type= own \
            >/dev/null 2>&1 </dev/null
    ) || return 1
    [ -f "$dir/drive_c/zt/service-driver.exe" ] && grep -q "Orvelden Zentorvik Tool" "$dir/system.reg"
}

# Copies the template to a fresh prefix and starts its server; the server is ended and the copy
# removed on every way out of the calling script.
zt_begin() {
    ZT_DIR=$(mktemp -d "${TMPDIR:-/tmp}/zt-scenario.XXXXXX")
    cp -a "$ZT_TEMPLATE" "$ZT_DIR/prefix"
    zt_env "$ZT_DIR/prefix"
    ZT_C=$WINEPREFIX/drive_c
    trap zt_end EXIT
    trap "exit 1" TERM INT
    "$ZT_WINESERVER" -p
}

zt_end() {
    "$ZT_WINESERVER" -k 2>/dev/null
    "$ZT_WINESERVER" -w 2>/dev/null
    rm -rf "$ZT_DIR"
}

zt_install_standin() {
    cp "$ZT_C/zt/hosted-standin.exe" "$ZT_C/windows/Zentorvik.exe"
}

# Starts the debug output monitor; its lines go to $ZT_DIR/trace.txt. Arguments go to the monitor.
zt_monitor_start() {
    "$ZT_WINE" "$ZT_MONITOR" "$@" >"$ZT_DIR/trace.txt" 2>"$ZT_DIR/monitor.err" </dev/null &
    ZT_MONITOR_PID=$!
    zt_wait_for 60 grep -q listening "$ZT_DIR/monitor.err"
}

# zt_driver NAME COMMAND...: runs the status driver; its record goes to $ZT_DIR/NAME.log.
zt_driver() {
    local log=$ZT_DIR/$1.log
    shift
    "$ZT_WINE" "$ZT_DRIVER" "$ZT_SERVICE" "$@" >"$log" 2>&1 </dev/null
}

# The service's trace messages, without the prefix, in the order the monitor received them.
zt_trace() {
    sed -n "s/^[0-9]* $ZT_PREFIX_TEXT//p" "$ZT_DIR/trace.txt" | tr -d '\r'
}

# Distinct status records of a driver log, one per line: "state accepted exit checkpoint ...".
zt_statuses() {
    sed -n 's/^[0-9.]* status //p' "$1" | tr -d '\r'
}

# The records the service itself sent, without the process id. The controller shows
# START_PENDING with the rest of the previous record until the service's first report, so they
# start at the service's own START_PENDING (exit code and checkpoint 0).
zt_service_statuses() {
    sed 's/ pid=[0-9]*$//' | uniq |
        sed -n '/state=START_PENDING accepted=0x0 exit=0 specific=0 checkpoint=0 hint=0/,$p'
}

ZT_NORMAL_STATUSES='type=0x10 state=START_PENDING accepted=0x0 exit=0 specific=0 checkpoint=0 hint=0
type=0x10 state=RUNNING accepted=0x1 exit=0 specific=0 checkpoint=0 hint=0
type=0x10 state=STOP_PENDING accepted=0x0 exit=0 specific=0 checkpoint=4 hint=0
type=0x10 state=STOPPED accepted=0x0 exit=0 specific=0 checkpoint=3 hint=0'

ZT_NORMAL_TRACE='Main: Entry
ServiceMain: Entry
ServiceMain: Performing Service Start Operations
ServiceMain: Waiting for Worker Thread to complete
ServiceWorkerThread: Entry
ServiceCtrlHandler: Entry
ServiceCtrlHandler: SERVICE_CONTROL_STOP Request
ServiceCtrlHandler: Exit
ServiceWorkerThread: Exit
ServiceMain: Worker Thread Stop Event signaled
ServiceMain: Performing Cleanup Operations
ServiceMain: Exit
Main: Exit'

# zt_same_trace EXPECTED: the received trace equals EXPECTED up to the allowed reorderings, with
# or without the final "ServiceMain: Exit" (the process may end before it is sent).
zt_same_trace() {
    zt_trace | zt_canonical_trace >"$ZT_DIR/trace"
    printf '%s\n' "$1" >"$ZT_DIR/expected-trace"
    diff -q "$ZT_DIR/expected-trace" "$ZT_DIR/trace" >/dev/null && return 0
    grep -vx 'ServiceMain: Exit' "$ZT_DIR/expected-trace" | diff -u - "$ZT_DIR/trace"
}

# Waits until the service's trace is complete: "Main: Exit", then its optional predecessor.
zt_wait_trace_end() {
    zt_wait_for 10 grep -q "Main: Exit" "$ZT_DIR/trace.txt"
    zt_wait_for 1 grep -q "ServiceMain: Exit" "$ZT_DIR/trace.txt"
}

ZT_FAILED=0
zt_check() {
    local what=$1
    shift
    if "$@"; then
        echo "  ok   $what"
    else
        echo "  FAIL $what"
        ZT_FAILED=1
    fi
}

zt_finish() {
    if [ "$ZT_FAILED" -ne 0 ]; then
        echo "  --- $ZT_DIR contents for the failure:"
        for f in "$ZT_DIR"/*.log "$ZT_DIR"/trace.txt "$ZT_C/zentorvik-standin.log"; do
            [ -f "$f" ] && { echo "  --- $(basename "$f")"; sed 's/^/    /' "$f"; }
        done
    fi
    return "$ZT_FAILED"
}

# Puts the pairs of messages that may come in either order into one order, so that a trace can
# be compared with a fixed text. Reads messages without the prefix, one per line.
zt_canonical_trace() {
    awk '
        function swappable(a, b) {
            return (a == "ServiceWorkerThread: Entry" && b == "ServiceMain: Waiting for Worker Thread to complete") ||
                   (a == "ServiceWorkerThread: Exit" && b == "ServiceCtrlHandler: Exit") ||
                   (a == "Main: Exit" && b == "ServiceMain: Exit")
        }
        { line[n++] = $0 }
        END {
            for (i = 0; i + 1 < n; i++)
                if (swappable(line[i], line[i + 1])) { t = line[i]; line[i] = line[i + 1]; line[i + 1] = t; i++ }
            for (i = 0; i < n; i++) print line[i]
        }'
}

# The stop latency of a driver log in milliseconds: from the stop request to the first STOPPED.
zt_stop_latency() {
    awk '$2 == "control" && $3 == "stop" && NF == 3 { t = $1 }
         t != "" && $2 == "status" && $4 == "state=STOPPED" { printf "%.0f\n", $1 - t; exit }' "$1"
}
