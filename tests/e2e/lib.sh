# The end-to-end vocabulary, sourced by the scenarios, run-all, deploy-lib.sh, the benchmark and
# the demo; what differs between Wine and Windows is in platform-$ZT_PLATFORM.sh.

ZT_PLATFORM=${ZT_PLATFORM:-wine}
ZT_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
ZT_BUILD=${ZT_BUILD:-$ZT_ROOT/build/windows-x86}
# The tests' own copy of service/contract.h's names.
. "$ZT_ROOT/tests/e2e/product.sh"
ZT_SERVICE=$SERVICE_NAME
ZT_SERVICE_EXE_NAME=$SERVICE_EXE_NAME
ZT_PACKAGE_NAME=${SERVICE_EXE_NAME%.exe}
ZT_PRODUCT=$PRODUCT_NAME
ZT_SERVICE_KEY="HKLM\\System\\CurrentControlSet\\Services\\$ZT_SERVICE"
ZT_INSTALL_DIR_WIN="C:\\Program Files (x86)\\$PRODUCT_INSTALL_FOLDER"
# The 32-bit package writes to the registry's 32-bit view.
ZT_START_KEY="HKLM\\Software\\Wow6432Node\\${PRODUCT_START_KEY#Software\\}"
# Python 3.9 or later, for the reader (natively it may be called python).
ZT_PYTHON=${ZT_PYTHON:-python3}
ZT_HOSTED_EXE=$HOSTED_PROGRAM_PATH
ZT_HOSTED_ARGS=$HOSTED_PROGRAM_ARGUMENTS
ZT_HOSTED_IMAGE=$HOSTED_IMAGE_NAME
# The stand-in's log of its starts and the file that tells it to quit, as the programs name them.
ZT_STANDIN_LOG='c:\zentorvik-standin.log'
ZT_STANDIN_QUIT='c:\zentorvik-standin.quit'

[ "$ZT_PLATFORM" = wine ] || [ "$ZT_PLATFORM" = native ] ||
    { echo "tests/e2e: ZT_PLATFORM is \"$ZT_PLATFORM\", not wine or native" >&2; exit 2; }
. "$ZT_ROOT/tests/e2e/platform-$ZT_PLATFORM.sh"

# zt_now: milliseconds since the epoch (bash's clock: no program started).
zt_now() {
    zt_args '' "$@"
    local us=${EPOCHREALTIME//[!0-9]/}
    echo "${us%???}"
}

# zt_bug WHY: "BUG: FUNCTION at FILE:LINE: WHY" (the scenario's call), exit status 134, as git's.
# On the scenario's own output (6 and 7: a check sets its command's aside); from a subshell it ends
# the scenario's shell too (USR1).
zt_bug() {
    local misused=1 call
    [ "${FUNCNAME[1]}" != zt_args ] || misused=2
    call=$misused
    while [ "${BASH_SOURCE[call + 1]}" = "$ZT_LIB" ] && [ $((call + 2)) -lt ${#BASH_SOURCE[@]} ]; do
        call=$((call + 1))
    done
    exec >&6 2>&7
    echo "BUG: ${FUNCNAME[misused]} at" \
        "${BASH_SOURCE[call + 1]#"$ZT_ROOT"/}:${BASH_LINENO[call]}: $1" >&2
    [ "${BASH_SUBSHELL-0}" = 0 ] || kill -s USR1 "$$"
    exit 134
}
trap 'exit 134' USR1
exec 6>&1 7>&2
ZT_LIB=${BASH_SOURCE[0]}

# zt_args [--own-shell] USAGE "$@": a BUG unless the arguments fit USAGE ([WORD] optional, WORD...
# one or more; SECONDS and MS whole numbers, NAME not empty), or, with --own-shell, in a subshell.
zt_args() {
    local usage words word least=0 most=0 at=0 why=
    if [ "$1" = --own-shell ]; then
        [ "${BASH_SUBSHELL-0}" = 0 ] || zt_bug "does nothing in a subshell"
        shift
    fi
    usage=${1:-no arguments}
    read -r -a words <<<"$1"
    shift
    for word in "${words[@]}"; do
        [[ $word == \[* ]] || least=$((least + 1))
        [[ ${word%]} != *... ]] || most=-1
        [ $most -lt 0 ] || most=$((most + 1))
    done
    [ $# -ge $least ] && { [ $most -lt 0 ] || [ $# -le $most ]; } ||
        zt_bug "wants $usage, got $# arguments"
    for word in "${words[@]}"; do
        at=$((at + 1))
        case $word in
        SECONDS | MS) [[ ${!at-} =~ ^[0-9]+$ ]] || why="a whole number" ;;
        NAME) [ -n "${!at-}" ] || why="not empty" ;;
        esac
        [ -z "$why" ] || zt_bug "wants $usage, $word $why, got '${!at-}'"
    done
}

# zt_wait_for SECONDS COMMAND...: retries COMMAND every 50 ms until it succeeds or time is up.
zt_wait_for() {
    zt_args 'SECONDS COMMAND...' "$@"
    local deadline=$(($(zt_now) + $1 * 1000))
    shift
    until "$@"; do
        [ "$(zt_now)" -lt "$deadline" ] || return 1
        sleep 0.05
    done
}

# --- Checks: each prints "ok" or "FAIL" and its evidence; zt_finish gives the exit status.

ZT_FAILED=0 ZT_FINALLY=()

# zt_expect WHAT COMMAND...: a check that COMMAND succeeds.
zt_expect() {
    zt_args 'WHAT COMMAND...' "$@"
    zt_judge "$1" 0 "${@:2}"
}

# zt_must_fail WHAT COMMAND...: a check that COMMAND fails.
zt_must_fail() {
    zt_args 'WHAT COMMAND...' "$@"
    zt_judge "$1" 1 "${@:2}"
}

# zt_compare WHAT EXPECTED ACTUAL: a check that the two texts are the same.
zt_compare() {
    zt_args 'WHAT EXPECTED ACTUAL' "$@"
    zt_expect "$1" zt_same "$2" "$3"
}

# zt_require WHAT COMMAND...: zt_expect, but a failure ends the scenario there.
zt_require() {
    zt_args --own-shell 'WHAT COMMAND...' "$@"
    zt_expect "$@" || zt_abort
}

# zt_expect_within WHAT SECONDS COMMAND...: a check that COMMAND succeeds within SECONDS.
zt_expect_within() {
    zt_args 'WHAT SECONDS COMMAND...' "$@"
    local what=$1 seconds=$2 started output status=0
    shift 2
    started=$(zt_now)
    output=$(mktemp "${TMPDIR:-/tmp}/zt-check.XXXXXX")
    if zt_wait_for "$seconds" "$@" >"$output" 2>&1; then
        echo "  ok   $what ($(zt_seconds_since "$started") s)"
    else
        echo "  FAIL $what: not within $seconds s"
        printf '       $%s\n' "$(printf ' %q' "$@")"
        tail -n 20 "$output" | zt_indented
        ZT_FAILED=1 status=1
    fi
    rm -f "$output"
    return "$status"
}

# zt_require_within WHAT SECONDS COMMAND...: zt_expect_within, but a failure ends the scenario.
zt_require_within() {
    zt_args --own-shell 'WHAT SECONDS COMMAND...' "$@"
    zt_expect_within "$@" || zt_abort
}

# zt_when_finished COMMAND...: runs COMMAND when the scenario ends, however it ends; last first.
zt_when_finished() {
    zt_args --own-shell 'COMMAND...' "$@"
    ZT_FINALLY+=("$(printf '%q ' "$@")")
    trap zt_end EXIT
    trap 'exit 1' TERM INT
}

# zt_end: runs what zt_when_finished registered, in that shell only (a job forked from it keeps
# the traps until its program starts).
zt_end() {
    local command
    [ "$BASHPID" = "$$" ] || return 0
    while [ ${#ZT_FINALLY[@]} -gt 0 ]; do
        command=${ZT_FINALLY[-1]}
        unset 'ZT_FINALLY[-1]'
        eval "$command"
    done
}

# zt_finish: the scenario's exit status, its last line; a failed one shows its records first.
zt_finish() {
    zt_args '' "$@"
    [ "$ZT_FAILED" -eq 0 ] && return 0
    [ -n "${ZT_DIR:-}" ] || return 1
    echo "  --- what the scenario recorded, in $ZT_DIR:"
    local file
    for file in "$ZT_DIR"/*.log "$ZT_DIR"/*.err "$ZT_DIR"/trace.txt \
        "${ZT_C:+$(zt_c_file "$ZT_STANDIN_LOG")}"; do
        [ ! -s "$file" ] || { echo "  --- $(basename "$file")" && zt_indented <"$file"; }
    done
    [ -n "${ZT_TOOLS:-}" ] || return 1
    echo "  --- the service: $(zt_service_state);" \
        "$ZT_HOSTED_IMAGE processes: $(zt_hosted_pids | xargs)"
    zt_text zt_windows_tool reg query "$ZT_SERVICE_KEY" 2>&1 | zt_indented
    return 1
}

# zt_abort: ends the scenario there, failed, its records shown.
zt_abort() {
    zt_args --own-shell '' "$@"
    ZT_FAILED=1
    zt_finish
    exit 1
}

# zt_judge WHAT FAILS COMMAND...: ok when COMMAND's failing (1 or 0) is FAILS, else FAIL and why.
zt_judge() {
    local what=$1 fails=$2 output status held=1
    shift 2
    output=$(mktemp "${TMPDIR:-/tmp}/zt-check.XXXXXX")
    "$@" >"$output" 2>&1
    status=$?
    if [ $((status != 0)) != "$fails" ]; then
        echo "  FAIL $what"
        # A comparison's diff says it all.
        [ "$1" = zt_same ] ||
            printf '       $%s\n       exit status %s\n' "$(printf ' %q' "$@")" "$status"
        ZT_FAILED=1 held=0
    elif [ "$fails" = 0 ]; then
        echo "  ok   $what"
    else
        echo "  ok   $what (exit status $status)"
    fi
    [ "$held" = 0 ] || [ "$1" = zt_records ] && zt_indented <"$output"
    rm -f "$output"
    [ "$held" = 1 ]
}

# zt_same EXPECTED ACTUAL: whether the two texts are the same; a diff of them when not.
zt_same() {
    zt_args 'EXPECTED ACTUAL' "$@"
    [ "$1" = "$2" ] ||
        diff -u --label expected --label actual <(printf '%s\n' "$1") <(printf '%s\n' "$2")
}

# zt_indented: standard input under a check's line.
zt_indented() {
    sed 's/^/       /'
}

# zt_seconds_since MS: the seconds since that zt_now, to a tenth.
zt_seconds_since() {
    zt_args 'MS' "$@"
    local ms=$(($(zt_now) - $1))
    printf '%d.%d' $((ms / 1000)) $((ms % 1000 / 100))
}

# zt_on PLATFORM REASON: whether the scenario runs on PLATFORM (wine, native); else says "skip".
zt_on() {
    zt_args 'PLATFORM REASON' "$@"
    [ "$ZT_PLATFORM" = "$1" ] && return
    echo "  skip $2 ($1 only)"
    return 1
}

# --- The scenario's machine, the service and the test programs

# zt_begin: the scenario's machine with the service registered, gone when it ends (ZT_DIR, ZT_C,
# ZT_TOOLS, ZT_SCRATCH, ZT_SCRATCH_WIN); ZT_PROGRAMS_DIR's *.exe replace the test programs. First,
# a rename made in only one of contract.h and product.sh ends the scenario.
zt_begin() {
    zt_args --own-shell '' "$@"
    local differences
    if ! differences=$(zt_records expect-product "$ZT_BUILD/contract.txt" 2>&1); then
        echo "  FAIL the build's names are the tests' (tests/e2e/product.sh)"
        zt_indented <<<"$differences"
        zt_abort
    fi
    ZT_DIR=$(mktemp -d "${TMPDIR:-/tmp}/zt-scenario.XXXXXX")
    zt_when_finished rm -rf "$ZT_DIR"
    zt_platform_begin
    zt_when_finished zt_end_jobs
    [ -z "${ZT_PROGRAMS_DIR:-}" ] ||
        zt_require "the programs of $ZT_PROGRAMS_DIR in place" \
            cp "$ZT_PROGRAMS_DIR"/*.exe "$ZT_TOOLS/"
}

# zt_end_jobs: ends this shell's jobs (KILL: one not yet in its program may swallow a TERM).
zt_end_jobs() {
    local job
    for job in $(jobs -p); do
        kill -s KILL "$job" 2>/dev/null || :
        wait "$job" 2>/dev/null || :
    done
}

# zt_run [--within SECONDS] PROGRAM [ARGUMENT...]: runs a test program, ended after SECONDS (status
# 124). In the background use "${ZT_RUN[@]}" PROGRAM, so that the job is the program itself.
zt_run() {
    local bound=()
    if [ "${1-}" = --within ]; then
        zt_args '--within SECONDS PROGRAM [ARGUMENT...]' "$@"
        bound=(timeout "$2")
        shift 2
    fi
    zt_args 'PROGRAM [ARGUMENT...]' "$@"
    "${bound[@]}" "${ZT_RUN[@]}" "$@" </dev/null
}

# zt_text COMMAND...: COMMAND's output without carriage returns; through a file, since a program it
# leaves in the background (Wine's services.exe) may hold a pipe open.
zt_text() {
    zt_args 'COMMAND...' "$@"
    local output status text
    output=$(mktemp "${TMPDIR:-/tmp}/zt-text.XXXXXX")
    "$@" >"$output"
    status=$?
    IFS= read -r -d '' text <"$output"
    printf '%s' "${text//$'\r'/}"
    rm -f "$output"
    return "$status"
}

# zt_service_state: the state sc.exe shows (RUNNING, ...), or ABSENT, MARKED or sc.exe's words.
zt_service_state() {
    zt_args '' "$@"
    local out
    out=$(zt_text zt_windows_tool sc query "$ZT_SERVICE" 2>/dev/null) || {
        zt_service_failure "$out"
        return
    }
    sed -n 's/^ *STATE *: *[0-9]* *\([A-Z_]*\).*/\1/p' <<<"$out"
}

# zt_service_in STATE...: whether the service is in one of the STATEs (RUNNING, ABSENT, ...).
zt_service_in() {
    zt_args 'STATE...' "$@"
    [[ " $* " == *" $(zt_service_state) "* ]]
}

# zt_installed_products: "<version> <product code>" of each product of the installer package.
zt_installed_products() {
    zt_args '' "$@"
    zt_uninstall_entries "" /s | awk -v name="$ZT_PRODUCT" '
        /^HKEY/ { ours = 0; version = ""; n = split($0, path, "\\"); code = path[n] }
        /DisplayName +REG_SZ +/ { sub(/^ *DisplayName +REG_SZ +/, ""); ours = $0 == name }
        /DisplayVersion/ { version = $3 }
        /^$/ { if (ours) print version, code; ours = 0 }' | sort -u
}

# zt_uninstall_entries SUBKEY REG-ARGUMENT...: reg query of Programs and Features' SUBKEY (empty:
# all) in both registry views, each answer ended by a blank line.
zt_uninstall_entries() {
    local view
    for view in 'HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall' \
        'HKLM\Software\Wow6432Node\Microsoft\Windows\CurrentVersion\Uninstall'; do
        zt_text zt_windows_tool reg query "$view${1:+\\$1}" "${@:2}" 2>/dev/null
        echo
    done
}

# zt_c_file WINDOWS-PATH: a file or folder of drive C: (c:\...), as a Linux path.
zt_c_file() {
    zt_args 'WINDOWS-PATH' "$@"
    local path=${1:3}
    echo "$ZT_C/${path//\\//}"
}

# zt_install_dir: the folder the installer package installs into, as a Linux path.
zt_install_dir() {
    zt_args '' "$@"
    zt_c_file "$ZT_INSTALL_DIR_WIN"
}

# zt_install_standin [--32-bit]: the stand-in ($ZT_STANDIN, or the 32-bit one) as $ZT_HOSTED_EXE.
zt_install_standin() {
    zt_args '[--32-bit]' "$@"
    [ $# -eq 0 ] || [ "$1" = --32-bit ] || zt_bug "wants [--32-bit], got '$1'"
    local standin=${1:+hosted-standin.exe}
    cp "$ZT_TOOLS/${standin:-$ZT_STANDIN}" "$(zt_c_file "$ZT_HOSTED_EXE")"
}

# zt_standin_starts [FIELD]: each start the stand-in logged: its process id, or FIELD of it.
zt_standin_starts() {
    zt_args '[FIELD]' "$@"
    zt_records starts "$(zt_c_file "$ZT_STANDIN_LOG")" "$@"
}

# zt_hosted_command_line: whether the stand-in got the hosted program's path (quoted or not) and
# its argument alone.
zt_hosted_command_line() {
    zt_args '' "$@"
    grep -xiF -e "\"$ZT_HOSTED_EXE\" $ZT_HOSTED_ARGS" -e "$ZT_HOSTED_EXE $ZT_HOSTED_ARGS" \
        <(zt_standin_starts command)
}

# zt_monitor_start [ARGUMENT...]: the monitor, listening, into $ZT_DIR/trace.txt and monitor.err.
zt_monitor_start() {
    zt_args --own-shell '[ARGUMENT...]' "$@"
    "${ZT_RUN[@]}" "$ZT_MONITOR" "$@" >"$ZT_DIR/trace.txt" 2>"$ZT_DIR/monitor.err" </dev/null &
    zt_wait_for 60 grep -q listening "$ZT_DIR/monitor.err" ||
        { cat "$ZT_DIR/monitor.err"; return 1; }
}

# zt_driver NAME COMMAND...: runs the status driver into $ZT_DIR/NAME.log and NAME.err.
zt_driver() {
    zt_args 'NAME COMMAND...' "$@"
    zt_run "$ZT_DRIVER" "$ZT_SERVICE" "${@:2}" >"$ZT_DIR/$1.log" 2>"$ZT_DIR/$1.err"
}

# zt_writer NAME COMMAND...: runs the debug-output writer into $ZT_DIR/NAME.log and NAME.err.
zt_writer() {
    zt_args 'NAME COMMAND...' "$@"
    zt_run "$ZT_WRITER" "${@:2}" >"$ZT_DIR/$1.log" 2>"$ZT_DIR/$1.err"
}

# zt_records COMMAND [ARGUMENT...]: the reader, records.py (standard library only, hence -S).
zt_records() {
    zt_args 'COMMAND [ARGUMENT...]' "$@"
    zt_python -S "$ZT_ROOT/tests/e2e/records.py" "$@"
}

# zt_seen LOG KEY=VALUE...: whether a record of LOG has these fields; in bash, since waits poll it.
zt_seen() {
    zt_args 'LOG KEY=VALUE...' "$@"
    local line field
    while IFS= read -r line || [ -n "$line" ]; do
        for field in "${@:2}"; do
            [[ $'\t'${line%$'\r'}$'\t' == *$'\t'"$field"$'\t'* ]] || continue 2
        done
        return 0
    done 2>/dev/null <"$1"
    return 1
}

# zt_wait_trace_end: waits for the trace's "Main: Exit", then its optional predecessor.
zt_wait_trace_end() {
    zt_args '' "$@"
    zt_wait_for 10 grep -q "Main: Exit" "$ZT_DIR/trace.txt"
    zt_wait_for 1 grep -q "ServiceMain: Exit" "$ZT_DIR/trace.txt"
}
