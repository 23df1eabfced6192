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
    # The programs of another build (a signed one) in place of the template's, when given.
    [ -z "${ZT_PROGRAMS_DIR:-}" ] || cp "$ZT_PROGRAMS_DIR"/*.exe "$ZT_C/zt/" || exit 1
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

# zt_same_trace EXPECTED: the received trace equals EXPECTED in every order the threads fix (see
# zt_canonical_trace), with or without the final "ServiceMain: Exit" (the process may end before it
# is sent). A difference is shown as a diff against EXPECTED.
zt_same_trace() {
    printf '%s\n' "$1" >"$ZT_DIR/expected-trace"
    zt_trace >"$ZT_DIR/received-trace"
    grep -qx 'ServiceMain: Exit' "$ZT_DIR/received-trace" ||
        sed -i '/^ServiceMain: Exit$/d' "$ZT_DIR/expected-trace"
    zt_canonical_trace "$ZT_DIR/expected-trace" <"$ZT_DIR/received-trace" >"$ZT_DIR/trace"
    diff -u --label expected --label received "$ZT_DIR/expected-trace" "$ZT_DIR/trace"
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

# zt_canonical_trace EXPECTED-FILE: the received trace (stdin, one message per line without the
# prefix) reordered as close to EXPECTED-FILE as the threads allow, so that a trace that keeps every
# fixed order comes out equal to it and one that breaks an order shows where.
#
# Fixed are the order of each thread's own messages (main thread: "Main:" and
# "ServiceCtrlHandler:"; service thread: "ServiceMain:"; worker: "ServiceWorkerThread:") and, across
# threads, only where one step waits for another:
# - the dispatcher starts ServiceMain after the entry routine's first message;
# - the worker is created after "Performing Service Start Operations";
# - the scenarios send controls only once RUNNING is reported, which comes after that message too;
# - the worker ends only after the handler, past "SERVICE_CONTROL_STOP Request", set the event;
# - ServiceMain goes on only after joining the worker;
# - the dispatcher returns only after the stopped report, which follows the cleanup message.
# Nothing else is: the worker may enter before or after any handler message (no scenario waits for
# its first poll), and the handler's exit may come after anything up to "Main: Exit".
zt_canonical_trace() {
    awk '
        function thread(m) {
            if (m ~ /^(Main|ServiceCtrlHandler): /) return "main"
            return substr(m, 1, index(m, ":"))
        }
        # received[i] must stay before received[j] (i < j).
        function fixed(i, j) {
            if (thread(received[i]) == thread(received[j])) return 1
            if (!first[i] || !first[j]) return 0
            return (received[i], received[j]) in waits || (received[j], received[i]) in waits
        }
        BEGIN {
            split("Main: Entry|ServiceMain: Entry|" \
                  "ServiceMain: Performing Service Start Operations|ServiceWorkerThread: Entry|" \
                  "ServiceMain: Performing Service Start Operations|ServiceCtrlHandler: Entry|" \
                  "ServiceCtrlHandler: SERVICE_CONTROL_STOP Request|ServiceWorkerThread: Exit|" \
                  "ServiceWorkerThread: Exit|ServiceMain: Worker Thread Stop Event signaled|" \
                  "ServiceMain: Performing Cleanup Operations|Main: Exit", pair, "|")
            for (k = 1; k in pair; k += 2) waits[pair[k], pair[k + 1]] = 1
        }
        NR == FNR { position[$0, ++expected[$0]] = FNR; next }
        {
            received[++n] = $0
            first[n] = ++seen[$0] == 1
            # A message not expected keeps its place after the one it followed.
            rank[n] = (($0, seen[$0]) in position) ? position[$0, seen[$0]] : rank[n - 1] + 0.001
        }
        END {
            for (out = 0; out < n; out++) {
                best = 0
                for (j = 1; j <= n; j++) {
                    if (done[j] || (best && rank[j] >= rank[best])) continue
                    ready = 1
                    for (i = 1; i < j && ready; i++)
                        if (!done[i] && fixed(i, j)) ready = 0
                    if (ready) best = j
                }
                done[best] = 1
                print received[best]
            }
        }' "$1" -
}

# The worker sees the stop event at its next poll, at most one interval after the stop-pending
# report. What this machine adds under load (the worker's wake-up, its last trace messages, the
# stopped report, the driver's next query) was at most 82 ms over 247 stops with builds beside;
# the slack keeps well clear of that and of the 2000 ms a 5000 ms poll would add.
ZT_POLL_MS=3000
ZT_STOP_SLACK_MS=400

# zt_stop_times LOG: "WALK LATENCY" in milliseconds for the first stop request of a driver log: from
# the request to the first STOP_PENDING (the termination walk), and to the first STOPPED after it.
# Nothing when the log has no such stop.
zt_stop_times() {
    tr -d '\r' <"$1" | awk '
        $2 == "control" && $3 == "stop" && NF == 3 && request == "" { request = $1 }
        request != "" && pending == "" && $2 == "status" && $4 == "state=STOP_PENDING" {
            pending = $1
        }
        pending != "" && $2 == "status" && $4 == "state=STOPPED" {
            printf "%.0f %.0f\n", pending - request, $1 - request
            exit
        }'
}

# zt_stop_excess LOG: by how many milliseconds the first stop of LOG took longer than its walk
# plus one poll interval (negative when it took less); nothing when the log has no such stop.
zt_stop_excess() {
    local walk latency
    read -r walk latency <<<"$(zt_stop_times "$1")"
    [ -n "$latency" ] && echo $((latency - walk - ZT_POLL_MS))
}

# zt_check_stop LOG: checks that the first stop of LOG reached STOPPED within its walk plus one poll
# interval plus the slack.
zt_check_stop() {
    local walk latency bound
    read -r walk latency <<<"$(zt_stop_times "$1")"
    if [ -z "$latency" ]; then
        zt_check "a stop request, then STOP_PENDING, then STOPPED" false
        return
    fi
    bound="walk $walk + poll $ZT_POLL_MS + slack $ZT_STOP_SLACK_MS ms"
    zt_check "stopped in $latency ms, at most $bound" \
        test $((latency - walk)) -le $((ZT_POLL_MS + ZT_STOP_SLACK_MS))
}

# zt_process_outcome LOG IMAGE: what became of each process the driver watched whose image path
# is IMAGE, whole: "exit=N" or "running", one line each.
zt_process_outcome() {
    tr -d '\r' <"$1" | IMAGE=$2 awk '
        $2 == "process" && substr($0, index($0, " image=") + 7) == ENVIRON["IMAGE"] { print $4 }'
}

# The stop latency of a driver log in milliseconds: from the first stop request to the first
# STOPPED after it.
zt_stop_latency() {
    awk '$2 == "control" && $3 == "stop" && NF == 3 && t == "" { t = $1 }
         t != "" && $2 == "status" && $4 == "state=STOPPED" { printf "%.0f\n", $1 - t; exit }' "$1"
}
