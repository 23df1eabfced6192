# Sourced by the end-to-end scenarios and scripts/demo. ZT_PLATFORM says where they run:
# - wine (the default): each scenario in its own 64-bit Wine prefix, copied from a template that
#   has the service registered and the test programs installed. The prefix is 64-bit so that Wine's
#   own programs (services.exe, sc, cmd for the tests) run natively; only the 32-bit programs (the
#   service, its cmd/start and our tools) are emulated.
# - native: Git Bash on Windows, as administrator. The programs run directly, the service is
#   registered from a temporary folder, and since the machine is not thrown away, what a scenario
#   leaves is cleaned up before and after it.

ZT_PLATFORM=${ZT_PLATFORM:-wine}
case $ZT_PLATFORM in
wine | native) ;;
*)
    echo "tests/e2e: ZT_PLATFORM is \"$ZT_PLATFORM\"; it is wine (the default) or native" >&2
    exit 2
    ;;
esac
ZT_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
ZT_BUILD=${ZT_BUILD:-$ZT_ROOT/build/windows-x86}
ZT_SERVICE="Orvelden Zentorvik Tool"
ZT_WINE=/usr/lib/wine/wine64
ZT_WINESERVER=/usr/lib/wine/wineserver64
ZT_STANDIN_LOG='c:\zentorvik-standin.log'
if [ "$ZT_PLATFORM" = wine ]; then
    # Windows programs go through Wine's loader; the paths are the template's, inside the prefix.
    ZT_RUN=("$ZT_WINE")
    ZT_SERVICE_EXE='C:\zt\OrveldenZentorvikTool.exe'
    ZT_DRIVER='C:\zt\service-driver.exe'
    ZT_MONITOR='C:\zt\dbwin-monitor.exe'
else
    ZT_RUN=()
    # Git Bash would turn arguments that look like paths (/c, /dir, /qn) into Windows paths.
    export MSYS_NO_PATHCONV=1 MSYS2_ARG_CONV_EXCL='*'
    ZT_C=$(cygpath -u 'C:\')
    ZT_C=${ZT_C%/}
fi

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
        cp "$ZT_BUILD/OrveldenZentorvikTool.exe" "$ZT_BUILD"/programs/*.exe "$dir/drive_c/zt/"
        "$ZT_WINE" sc create "$ZT_SERVICE" binpath= "$ZT_SERVICE_EXE" type= own \
            >/dev/null 2>&1 </dev/null
    ) || return 1
    [ -f "$dir/drive_c/zt/service-driver.exe" ] && grep -q "Orvelden Zentorvik Tool" "$dir/system.reg"
}

# A fresh copy of the service and its tools, registered, removed when the scenario ends (zt_end):
# under Wine a copy of the template prefix with its own server; natively a temporary folder. Sets
# ZT_DIR (the scenario's own folder), ZT_C (C:\), ZT_TOOLS (the tools' folder), ZT_SCRATCH and
# ZT_SCRATCH_WIN (a folder for the scenario's files and its Windows path).
zt_begin() {
    ZT_DIR=$(mktemp -d "${TMPDIR:-/tmp}/zt-scenario.XXXXXX")
    zt_when_finished rm -rf "$ZT_DIR"
    if [ "$ZT_PLATFORM" = native ]; then
        zt_when_finished zt_native_clean
        zt_when_finished zt_end_jobs
        zt_native_begin >"$ZT_DIR/begin.out" 2>&1 || {
            echo "  FAIL registering the service from $ZT_DIR"
            zt_indented <"$ZT_DIR/begin.out"
            zt_abort
        }
        return
    fi
    cp -a "$ZT_TEMPLATE" "$ZT_DIR/prefix"
    zt_env "$ZT_DIR/prefix"
    ZT_C=$WINEPREFIX/drive_c
    ZT_TOOLS=$ZT_C/zt
    # The prefix is thrown away: the scenario's files may go anywhere in it.
    ZT_SCRATCH=$ZT_C
    ZT_SCRATCH_WIN='C:'
    zt_when_finished zt_wine_end
    zt_when_finished zt_end_jobs
    [ -z "${ZT_PROGRAMS_DIR:-}" ] ||
        zt_require "the programs of $ZT_PROGRAMS_DIR in place" cp "$ZT_PROGRAMS_DIR"/*.exe "$ZT_TOOLS/"
    "$ZT_WINESERVER" -p
}

# Ends the programs this shell started in the background.
zt_end_jobs() {
    local job
    for job in $(jobs -p); do
        kill "$job" 2>/dev/null
    done
}

# Ends the prefix's server and every program of the prefix with it.
zt_wine_end() {
    "$ZT_WINESERVER" -k 2>/dev/null
    "$ZT_WINESERVER" -w 2>/dev/null
}

# --- Checks: a scenario is a sequence of them, each printing "ok" or "FAIL" and its evidence, and
# zt_finish, its last line, gives its exit status. Clean-up goes to zt_when_finished.

ZT_FAILED=0
ZT_FINALLY=()

# zt_expect WHAT COMMAND...: a check that COMMAND succeeds; shows its output, and on failure the
# command and its exit status too. The scenario goes on either way.
zt_expect() {
    zt_judge "$1" success "${@:2}"
}

# zt_must_fail WHAT COMMAND...: a check that COMMAND fails (a non-zero exit status), shown alike.
zt_must_fail() {
    zt_judge "$1" failure "${@:2}"
}

# zt_compare WHAT EXPECTED ACTUAL: a check that the two texts are the same; a diff shows how not.
zt_compare() {
    zt_expect "$1" zt_same "$2" "$3"
}

# zt_require WHAT COMMAND...: zt_expect, but a failure ends the scenario there. From the
# scenario's own shell only: in a $( ) or a pipeline it would end that alone.
zt_require() {
    zt_expect "$@" || zt_abort
}

# zt_expect_within WHAT SECONDS COMMAND...: a check that COMMAND succeeds within SECONDS, tried
# every 50 ms; says how long it took, or shows the command and the output of its last tries.
zt_expect_within() {
    local what=$1 seconds=$2 started output
    shift 2
    started=$(zt_now)
    output=$(mktemp "${TMPDIR:-/tmp}/zt-check.XXXXXX")
    if zt_wait_for "$seconds" "$@" >"$output" 2>&1; then
        echo "  ok   $what ($(zt_seconds_since "$started") s)"
        rm -f "$output"
        return 0
    fi
    echo "  FAIL $what: not within $seconds s"
    zt_show_command "$@"
    tail -n 20 "$output" | zt_indented
    rm -f "$output"
    ZT_FAILED=1
    return 1
}

# zt_require_within WHAT SECONDS COMMAND...: zt_expect_within, but a failure ends the scenario.
zt_require_within() {
    zt_expect_within "$@" || zt_abort
}

# zt_when_finished COMMAND...: runs COMMAND when the scenario ends, however it ends (zt_end); the
# last registered runs first.
zt_when_finished() {
    ZT_FINALLY+=("$(printf '%q ' "$@")")
    trap zt_end EXIT
    trap 'exit 1' TERM INT
}

# zt_end: runs what zt_when_finished registered, last first, each once.
zt_end() {
    local command
    while [ ${#ZT_FINALLY[@]} -gt 0 ]; do
        command=${ZT_FINALLY[-1]}
        unset 'ZT_FINALLY[-1]'
        eval "$command"
    done
}

# zt_finish: the scenario's exit status, as its last line; a failed one shows its records first.
zt_finish() {
    [ "$ZT_FAILED" -eq 0 ] && return 0
    echo "  --- what the scenario recorded, in $ZT_DIR:"
    local file
    for file in "$ZT_DIR"/*.log "$ZT_DIR"/*.err "$ZT_DIR"/trace.txt "${ZT_C:-}/zentorvik-standin.log"; do
        [ -s "$file" ] || continue
        echo "  --- $(basename "$file")"
        zt_indented <"$file"
    done
    return 1
}

# zt_abort: ends the scenario there, failed, its records shown.
zt_abort() {
    ZT_FAILED=1
    zt_finish
    exit 1
}

# zt_judge WHAT success|failure COMMAND...: runs COMMAND, its output set aside, and says whether
# it ended as wanted: "ok" and the output, or "FAIL", the command, its exit status and the output.
zt_judge() {
    local what=$1 wanted=$2 output status held
    shift 2
    output=$(mktemp "${TMPDIR:-/tmp}/zt-check.XXXXXX")
    "$@" >"$output" 2>&1
    status=$?
    if [ "$wanted" = success ]; then
        held=$((status == 0))
    else
        held=$((status != 0))
    fi
    if [ "$held" -eq 0 ]; then
        echo "  FAIL $what"
        # A comparison's diff says it all.
        [ "$1" = zt_same ] || { zt_show_command "$@" && echo "       exit status $status"; }
        ZT_FAILED=1
    elif [ "$wanted" = success ]; then
        echo "  ok   $what"
    else
        echo "  ok   $what (exit status $status)"
    fi
    zt_indented <"$output"
    rm -f "$output"
    [ "$held" -eq 1 ]
}

# zt_same EXPECTED ACTUAL: whether the two texts are the same; a diff of them when not.
zt_same() {
    [ "$1" = "$2" ] && return
    diff -u --label expected --label actual <(printf '%s\n' "$1") <(printf '%s\n' "$2")
    return 1
}

zt_show_command() {
    printf '       $'
    printf ' %q' "$@"
    printf '\n'
}

zt_indented() {
    sed 's/^/       /'
}

zt_seconds_since() {
    local ms=$(($(zt_now) - $1))
    printf '%d.%d' $((ms / 1000)) $((ms % 1000 / 100))
}

# zt_on PLATFORM REASON: whether the scenario runs on PLATFORM (wine or native); elsewhere it says
# that a check is skipped, and why. For the checks that make sense on one platform only.
zt_on() {
    [ "$ZT_PLATFORM" = "$1" ] && return
    echo "  skip $2 ($1 only)"
    return 1
}

# The service's state as sc shows it (RUNNING, STOPPED, ...), or ABSENT.
zt_service_state() {
    local out
    out=$("${ZT_RUN[@]}" sc query "$ZT_SERVICE" 2>/dev/null </dev/null) || { echo ABSENT; return; }
    sed -n 's/.*STATE *: *[0-9]* *\([A-Z_]*\).*/\1/p' <<<"$out"
}

zt_service_stopped() {
    local state
    state=$(zt_service_state)
    [ "$state" = STOPPED ] || [ "$state" = ABSENT ]
}

# Native: the service and its tools copied to $ZT_DIR/service and registered from there, on a
# machine cleaned of what an earlier scenario may have left.
zt_native_begin() {
    zt_native_clean
    ZT_TOOLS=$ZT_DIR/service
    ZT_SCRATCH=$ZT_DIR/scratch
    mkdir "$ZT_TOOLS" "$ZT_SCRATCH" &&
        cp "$ZT_BUILD/OrveldenZentorvikTool.exe" "$ZT_BUILD"/programs/*.exe "$ZT_TOOLS/" || return 1
    # The programs of another build (a signed one) in place of the harness's, when given.
    [ -z "${ZT_PROGRAMS_DIR:-}" ] || cp "$ZT_PROGRAMS_DIR"/*.exe "$ZT_TOOLS/" || return 1
    # Long names, as Windows reports image paths (the temporary folder may come as RUNNER~1).
    ZT_SCRATCH_WIN=$(cygpath -w -l "$ZT_SCRATCH")
    ZT_SERVICE_EXE=$(cygpath -w -l "$ZT_TOOLS/OrveldenZentorvikTool.exe")
    ZT_DRIVER=$ZT_TOOLS/service-driver.exe
    ZT_MONITOR=$ZT_TOOLS/dbwin-monitor.exe
    # Quoted, since the folder's path may have spaces.
    sc create "$ZT_SERVICE" binPath= "\"$ZT_SERVICE_EXE\"" type= own >/dev/null
}

# Native: ends what a scenario may have left on the machine, found by the suite's own names and
# records: the programs this shell started in the background; the service, stopped (its process
# ended by id when it does not stop in time) and deleted; the stand-ins, which logged their process
# ids and end on their quit file; and the stand-in's files, c:\windows\Zentorvik.exe among them.
zt_native_clean() {
    local pid log=$ZT_C/zentorvik-standin.log
    if [ "$(zt_service_state)" != ABSENT ]; then
        sc stop "$ZT_SERVICE" >/dev/null 2>&1 || true
        if ! zt_wait_for 30 zt_service_stopped; then
            pid=$(sc queryex "$ZT_SERVICE" 2>/dev/null |
                sed -n 's/^ *PID *: *\([1-9][0-9]*\).*/\1/p' || true)
            [ -z "$pid" ] || taskkill /f /pid "$pid" >/dev/null 2>&1 || true
        fi
        sc delete "$ZT_SERVICE" >/dev/null 2>&1 || true
    fi
    if [ -s "$log" ]; then
        : >"$ZT_C/zentorvik-standin.quit"
        zt_wait_for 10 zt_native_standins_gone || echo "  note stand-ins still running after 10 s"
    fi
    rm -f "$ZT_C/windows/Zentorvik.exe" "$log" "$ZT_C/zentorvik-standin.quit"
}

zt_native_standins_gone() {
    local running pid
    running=" $(zt_native_pids | xargs) "
    for pid in $(zt_records starts "$ZT_C/zentorvik-standin.log"); do
        [[ $running != *" $pid "* ]] || return 1
    done
}

# zt_native_pids [NAME]: the process ids of the running programs whose file name is NAME (letter
# case aside), or of every program.
zt_native_pids() {
    local filter=()
    [ $# -eq 0 ] || filter=(/fi "IMAGENAME eq $1")
    tasklist "${filter[@]}" /fo csv /nh 2>/dev/null | sed -n 's/^"[^"]*","\([0-9]*\)",.*/\1/p' || true
}

# Native: whether this machine may run the suite: an elevated prompt, and none of what the suite
# replaces, removes or ends (the service, the hosted program, the installed folder), so that its
# cleaning up only ever takes what it made. Says what stands in the way.
zt_native_machine_ready() {
    local found=()
    # By its full path: Git Bash's own whoami comes first on its PATH and has no /groups.
    "$ZT_C/windows/system32/whoami.exe" /groups 2>/dev/null | grep -qE 'S-1-16-(12288|16384)' ||
        found+=("this prompt is not elevated: run Git Bash as administrator")
    [ "$(zt_service_state)" = ABSENT ] || found+=("the service \"$ZT_SERVICE\" is registered")
    [ ! -e "$ZT_C/windows/Zentorvik.exe" ] || found+=('c:\windows\Zentorvik.exe is there')
    [ ! -e "$ZT_C/Program Files (x86)/Orvelden Zentorvik Tool" ] ||
        found+=('C:\Program Files (x86)\Orvelden Zentorvik Tool is there')
    [ -z "$(zt_native_pids Zentorvik.exe)" ] || found+=("a Zentorvik.exe is running")
    [ ${#found[@]} -ne 0 ] || return 0
    printf 'tests/e2e: %s\n' "${found[@]}" >&2
    echo "tests/e2e: the suite would replace, remove or end them:" \
        "remove them first, or use a spare machine" >&2
    return 1
}

zt_install_standin() {
    cp "$ZT_TOOLS/hosted-standin.exe" "$ZT_C/windows/Zentorvik.exe"
}

# zt_run [--within SECONDS] PROGRAM ARGUMENT...: runs one of the test programs ($ZT_DRIVER,
# $ZT_MONITOR, ...), ended after SECONDS when given (exit status 124, as timeout's). In the
# background, run "${ZT_RUN[@]}" PROGRAM instead: the job is then the program itself, which the
# scenario's end can end.
zt_run() {
    local bound=()
    [ "$1" != --within ] || { bound=(timeout "$2"); shift 2; }
    "${bound[@]}" "${ZT_RUN[@]}" "$@" </dev/null
}

# zt_monitor_start ARGUMENT...: starts the debug-output monitor with these arguments and waits
# until it listens; its lines go to $ZT_DIR/trace.txt, what it says to $ZT_DIR/monitor.err (shown
# when it does not listen within 60 s).
zt_monitor_start() {
    "${ZT_RUN[@]}" "$ZT_MONITOR" "$@" >"$ZT_DIR/trace.txt" 2>"$ZT_DIR/monitor.err" </dev/null &
    zt_wait_for 60 grep -q listening "$ZT_DIR/monitor.err" || { cat "$ZT_DIR/monitor.err"; return 1; }
}

# zt_driver NAME COMMAND...: runs the status driver; its record goes to $ZT_DIR/NAME.log, its
# standard error (Wine's messages, a usage error) to $ZT_DIR/NAME.err.
zt_driver() {
    local name=$1
    shift
    zt_run "$ZT_DRIVER" "$ZT_SERVICE" "$@" >"$ZT_DIR/$name.log" 2>"$ZT_DIR/$name.err"
}

# zt_records COMMAND ARGUMENT...: the reader of the records (tests/e2e/records.py; its --help
# lists the commands).
zt_records() {
    python3 "$ZT_ROOT/tests/e2e/records.py" "$@"
}

# zt_seen LOG KEY=VALUE...: whether a record of the driver's LOG has all these fields.
zt_seen() {
    [ -n "$(zt_records field "$1" event "${@:2}" 2>/dev/null)" ]
}

# Waits until the service's trace is complete: "Main: Exit", then its optional predecessor.
zt_wait_trace_end() {
    zt_wait_for 10 grep -q "Main: Exit" "$ZT_DIR/trace.txt"
    zt_wait_for 1 grep -q "ServiceMain: Exit" "$ZT_DIR/trace.txt"
}

