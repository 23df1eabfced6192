# Sourced by the end-to-end scenarios, run-all, the deployment helpers (deploy-lib.sh), the
# benchmark and the demo: the settings, the vocabulary of checks, and what every scenario does with
# the service and the test programs. What differs between Wine and Windows is in
# platform-$ZT_PLATFORM.sh, sourced once here. tests/e2e/README.md shows how to add a scenario.

ZT_PLATFORM=${ZT_PLATFORM:-wine}
ZT_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
ZT_BUILD=${ZT_BUILD:-$ZT_ROOT/build/windows-x86}
# What the service must be: the tests' own copy of service/contract.h's names.
. "$ZT_ROOT/tests/e2e/product.sh"
ZT_SERVICE=$SERVICE_NAME
ZT_SERVICE_DISPLAY=$SERVICE_DISPLAY_NAME
# The executable's file name; the packages are named after it without ".exe".
ZT_SERVICE_EXE_NAME=$SERVICE_EXE_NAME
ZT_PACKAGE_NAME=${SERVICE_EXE_NAME%.exe}
# What Programs and Features calls the product.
ZT_PRODUCT=$PRODUCT_NAME
ZT_SERVICE_KEY="HKLM\\System\\CurrentControlSet\\Services\\$ZT_SERVICE"
# Where the installer package installs the service (zt_install_dir: the same folder from Linux).
ZT_INSTALL_DIR_WIN="C:\\Program Files (x86)\\$PRODUCT_INSTALL_FOLDER"
# Where it remembers START: the 32-bit package writes to the registry's 32-bit view.
ZT_START_KEY="HKLM\\Software\\Wow6432Node\\${PRODUCT_START_KEY#Software\\}"
# Python 3.9 or later, for the reader (natively it may be called python).
ZT_PYTHON=${ZT_PYTHON:-python3}
# The program the service hosts: its Windows path (zt_c_file: from Linux), its argument, and the
# file name its processes are ended by.
ZT_HOSTED_EXE=$HOSTED_PROGRAM_PATH
ZT_HOSTED_ARGS=$HOSTED_PROGRAM_ARGUMENTS
ZT_HOSTED_IMAGE=$HOSTED_IMAGE_NAME
# The stand-in's log of its starts, as the test programs name it (zt_standin_starts reads it).
ZT_STANDIN_LOG='c:\zentorvik-standin.log'

case $ZT_PLATFORM in
wine | native) . "$ZT_ROOT/tests/e2e/platform-$ZT_PLATFORM.sh" ;;
*)
    echo "tests/e2e: ZT_PLATFORM is \"$ZT_PLATFORM\"; it is wine (the default) or native" >&2
    exit 2
    ;;
esac

# zt_now: milliseconds since the epoch (bash's clock: no program started).
zt_now() {
    zt_args '' "$@"
    local us=${EPOCHREALTIME//[!0-9]/}
    echo "${us%???}"
}

# zt_bug WHY: a misuse of the vocabulary ends the scenario, as git's BUG does: "BUG: FUNCTION at
# FILE:LINE: WHY" and exit status 134. FUNCTION is the one misused (zt_args's caller, when it
# comes from there); FILE:LINE is its call, or, for a command that one of this file's checks ran,
# the check's call in the scenario. On the scenario's own standard error, and the clean-up's
# output on its standard output, kept as descriptors 7 and 6 (as git's test-lib.sh keeps them)
# since a check sets its command's output aside. From a subshell it ends the scenario's own shell
# too (USR1, trapped here), where the subshell alone would go on.
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

# zt_args [--own-shell] USAGE "$@": the guard on a function of the vocabulary, its first line: a
# BUG unless the function's arguments fit USAGE, its usage as its comment gives it (a word each,
# [WORD] optional, WORD... one or more, [WORD...] any number; SECONDS and MS whole numbers, NAME
# not empty). With --own-shell, a BUG in a subshell too ($( ), ( ), a pipeline, a background
# job), where the function would end, clean up or set up that subshell alone.
zt_args() {
    local usage words word least=0 optional=0 more=0 at=0 why=
    if [ "$1" = --own-shell ]; then
        [ "${BASH_SUBSHELL-0}" = 0 ] || zt_bug "does nothing in a subshell"
        shift
    fi
    usage=${1:-no arguments}
    read -r -a words <<<"$1"
    shift
    for word in "${words[@]}"; do
        case $word in
        \[*...\]) more=1 ;;
        \[*\]) optional=$((optional + 1)) ;;
        *...) least=$((least + 1)) more=1 ;;
        *) least=$((least + 1)) ;;
        esac
    done
    [ $# -ge $least ] && { [ $more = 1 ] || [ $# -le $((least + optional)) ]; } ||
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

# --- Checks: a scenario is a sequence of them, each printing "ok" or "FAIL" and its evidence, and
# zt_finish, its last line, gives its exit status. Clean-up goes to zt_when_finished.

ZT_FAILED=0
ZT_FINALLY=()

# zt_expect WHAT COMMAND...: a check that COMMAND succeeds; on failure it shows the command, its
# exit status and its output (the reader's checks show their figures either way). The scenario
# goes on either way.
zt_expect() {
    zt_args 'WHAT COMMAND...' "$@"
    zt_judge "$1" success "${@:2}"
}

# zt_must_fail WHAT COMMAND...: a check that COMMAND fails (a non-zero exit status), shown alike.
zt_must_fail() {
    zt_args 'WHAT COMMAND...' "$@"
    zt_judge "$1" failure "${@:2}"
}

# zt_compare WHAT EXPECTED ACTUAL: a check that the two texts are the same; a diff shows how not.
zt_compare() {
    zt_args 'WHAT EXPECTED ACTUAL' "$@"
    zt_expect "$1" zt_same "$2" "$3"
}

# zt_require WHAT COMMAND...: zt_expect, but a failure ends the scenario there. From the
# scenario's own shell only (a BUG elsewhere): in a $( ) or a pipeline it would end that alone.
zt_require() {
    zt_args --own-shell 'WHAT COMMAND...' "$@"
    zt_expect "$@" || zt_abort
}

# zt_expect_within WHAT SECONDS COMMAND...: a check that COMMAND succeeds within SECONDS, tried
# every 50 ms; says how long it took, or shows the command and the output of its last tries.
zt_expect_within() {
    zt_args 'WHAT SECONDS COMMAND...' "$@"
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
    zt_args --own-shell 'WHAT SECONDS COMMAND...' "$@"
    zt_expect_within "$@" || zt_abort
}

# zt_when_finished COMMAND...: runs COMMAND when the scenario ends, however it ends (zt_end); the
# last registered runs first. From the scenario's own shell only (a BUG elsewhere).
zt_when_finished() {
    zt_args --own-shell 'COMMAND...' "$@"
    ZT_FINALLY+=("$(printf '%q ' "$@")")
    trap zt_end EXIT
    trap 'exit 1' TERM INT
}

# zt_end: runs what zt_when_finished registered, last first, each once, in that shell only: a job
# forked from it keeps its traps until its program starts, and a signal there would run them too.
zt_end() {
    local command
    [ "$BASHPID" = "$$" ] || return 0
    while [ ${#ZT_FINALLY[@]} -gt 0 ]; do
        command=${ZT_FINALLY[-1]}
        unset 'ZT_FINALLY[-1]'
        eval "$command"
    done
}

# zt_finish: the scenario's exit status, as its last line; a failed one shows its records and the
# service's state first.
zt_finish() {
    zt_args '' "$@"
    [ "$ZT_FAILED" -eq 0 ] && return 0
    [ -n "${ZT_DIR:-}" ] || return 1
    echo "  --- what the scenario recorded, in $ZT_DIR:"
    local file
    for file in "$ZT_DIR"/*.log "$ZT_DIR"/*.err "$ZT_DIR"/trace.txt \
        "${ZT_C:+$(zt_c_file "$ZT_STANDIN_LOG")}"; do
        [ -s "$file" ] || continue
        echo "  --- $(basename "$file")"
        zt_indented <"$file"
    done
    [ -n "${ZT_TOOLS:-}" ] || return 1
    echo "  --- the service: $(zt_service_state);" \
        "$ZT_HOSTED_IMAGE processes: $(zt_hosted_pids | xargs)"
    zt_text zt_windows_tool reg query "$ZT_SERVICE_KEY" 2>&1 | zt_indented
    return 1
}

# zt_abort: ends the scenario there, failed, its records shown (a BUG in a subshell).
zt_abort() {
    zt_args --own-shell '' "$@"
    ZT_FAILED=1
    zt_finish
    exit 1
}

# zt_judge WHAT success|failure COMMAND...: runs COMMAND, its output set aside, and says whether
# it ended as wanted: "ok", or "FAIL", the command, its exit status and the output.
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
    [ "$held" -eq 0 ] || [ "$1" = zt_records ] && zt_indented <"$output"
    rm -f "$output"
    [ "$held" -eq 1 ]
}

# zt_same EXPECTED ACTUAL: whether the two texts are the same; a diff of them when not.
zt_same() {
    zt_args 'EXPECTED ACTUAL' "$@"
    [ "$1" = "$2" ] && return
    diff -u --label expected --label actual <(printf '%s\n' "$1") <(printf '%s\n' "$2")
    return 1
}

# zt_show_command COMMAND...: the command as evidence, quoted as bash would take it.
zt_show_command() {
    printf '       $'
    printf ' %q' "$@"
    printf '\n'
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

# zt_on PLATFORM REASON: whether the scenario runs on PLATFORM (wine or native); elsewhere it says
# that a check is skipped, and why. For the checks that make sense on one platform only.
zt_on() {
    zt_args 'PLATFORM REASON' "$@"
    [ "$ZT_PLATFORM" = "$1" ] && return
    echo "  skip $2 ($1 only)"
    return 1
}

# --- The scenario's machine, the service and the test programs

# zt_begin: a fresh copy of the service and the test programs, the service registered, all of it
# removed when the scenario ends (zt_end): under Wine a copy of the template prefix, natively a
# folder of its own on a cleaned machine. Sets ZT_DIR (the scenario's own folder), ZT_C (C:\),
# ZT_TOOLS (the programs' folder), ZT_SCRATCH and ZT_SCRATCH_WIN (a folder for the scenario's
# files and its Windows path). With ZT_PROGRAMS_DIR, the *.exe files of that folder (another
# build's) replace the harness's. From the scenario's own shell only (a BUG elsewhere).
zt_begin() {
    zt_args --own-shell '' "$@"
    zt_require_product
    ZT_DIR=$(mktemp -d "${TMPDIR:-/tmp}/zt-scenario.XXXXXX")
    zt_when_finished rm -rf "$ZT_DIR"
    zt_platform_begin
    zt_when_finished zt_end_jobs
    [ -z "${ZT_PROGRAMS_DIR:-}" ] ||
        zt_require "the programs of $ZT_PROGRAMS_DIR in place" \
            cp "$ZT_PROGRAMS_DIR"/*.exe "$ZT_TOOLS/"
}

# zt_require_product: the build's names (its contract.txt, read from service/contract.h) are the
# tests' own (product.sh), or the scenario ends there, before it makes a machine, with each name
# that differs and both its values. Every path to a scenario comes through zt_begin, so a rename
# made in only one of the two fails here (a python3 start), never far from the cause.
zt_require_product() {
    zt_args --own-shell '' "$@"
    local differences
    differences=$(zt_records expect-product "$ZT_BUILD/contract.txt" 2>&1) && return
    echo "  FAIL the build's names are the tests' (tests/e2e/product.sh)"
    zt_indented <<<"$differences"
    zt_abort
}

# zt_end_jobs: ends the programs this shell started in the background and reaps them, silently.
# KILL: a job whose program has not started yet has this shell's handlers, which may swallow a TERM.
# A job's status is no failure of the caller's, under set -e too (the demo).
zt_end_jobs() {
    local job
    for job in $(jobs -p); do
        kill -s KILL "$job" 2>/dev/null || :
        wait "$job" 2>/dev/null || :
    done
}

# zt_run [--within SECONDS] PROGRAM [ARGUMENT...]: runs one of the test programs ($ZT_DRIVER,
# $ZT_MONITOR, ...), ended after SECONDS when given (exit status 124, as timeout's). In the
# background, run "${ZT_RUN[@]}" PROGRAM instead: the job is then the program itself, which the
# scenario's end can end.
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

# zt_text COMMAND...: the standard output of COMMAND without the carriage returns of Windows'
# line ends, and its exit status. Through a file: a program it leaves running in the background
# (Wine's services.exe) cannot hold a pipe open.
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

# zt_service_state: the service's state as sc.exe shows it (RUNNING, STOPPED, ...), or what its
# failure says (zt_service_failure): ABSENT, MARKED (marked for deletion) or sc.exe's words.
zt_service_state() {
    zt_args '' "$@"
    local out
    out=$(zt_text zt_windows_tool sc query "$ZT_SERVICE" 2>/dev/null) || {
        zt_service_failure "$out"
        return
    }
    sed -n 's/^ *STATE *: *[0-9]* *\([A-Z_]*\).*/\1/p' <<<"$out"
}

# zt_service_in STATE: whether the service is in STATE (RUNNING, STOPPED, ABSENT, ...).
zt_service_in() {
    zt_args 'STATE' "$@"
    [ "$(zt_service_state)" = "$1" ]
}

# zt_service_stopped: whether the service is stopped or not registered.
zt_service_stopped() {
    zt_args '' "$@"
    zt_service_in STOPPED || zt_service_in ABSENT
}

# zt_installed_products: the installer package's products, one "<version> <product code>" line
# each, as Programs and Features lists them (in both registry views).
zt_installed_products() {
    zt_args '' "$@"
    zt_uninstall_entries "" /s | awk -v name="$ZT_PRODUCT" '
        /^HKEY/ { ours = 0; version = ""; n = split($0, path, "\\"); code = path[n] }
        /DisplayName +REG_SZ +/ { sub(/^ *DisplayName +REG_SZ +/, ""); ours = $0 == name }
        /DisplayVersion/ { version = $3 }
        /^$/ { if (ours) print version, code; ours = 0 }' | sort -u
}

# zt_uninstall_entries SUBKEY REG-ARGUMENT...: reg query of SUBKEY (empty: all) of Programs and
# Features' entries, in both registry views, each view's answer ended by a blank line.
zt_uninstall_entries() {
    zt_args 'SUBKEY REG-ARGUMENT...' "$@"
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

# zt_install_standin [--32-bit]: the stand-in as the program the service launches ($ZT_HOSTED_EXE):
# $ZT_STANDIN (under Wine the x86-64 build), or the 32-bit build.
zt_install_standin() {
    zt_args '[--32-bit]' "$@"
    local standin=$ZT_STANDIN
    case ${1-} in
    --32-bit) standin=hosted-standin.exe ;;
    ?*) zt_bug "wants [--32-bit], got '$1'" ;;
    esac
    cp "$ZT_TOOLS/$standin" "$(zt_c_file "$ZT_HOSTED_EXE")"
}

# zt_standin_starts [FIELD]: the starts the stand-in logged, one a line: each one's process id, or
# FIELD of it (image, command).
zt_standin_starts() {
    zt_args '[FIELD]' "$@"
    zt_records starts "$(zt_c_file "$ZT_STANDIN_LOG")" "$@"
}

# zt_hosted_command_line: whether the stand-in was started with the hosted program's command line:
# its path, quoted or not, then its argument alone.
zt_hosted_command_line() {
    zt_args '' "$@"
    grep -xiF -e "\"$ZT_HOSTED_EXE\" $ZT_HOSTED_ARGS" -e "$ZT_HOSTED_EXE $ZT_HOSTED_ARGS" \
        <(zt_standin_starts command)
}

# zt_monitor_start [ARGUMENT...]: starts the debug-output monitor with these arguments and waits
# until it listens; its lines go to $ZT_DIR/trace.txt, what it says to $ZT_DIR/monitor.err (shown
# when it does not listen within 60 s).
zt_monitor_start() {
    zt_args --own-shell '[ARGUMENT...]' "$@"
    "${ZT_RUN[@]}" "$ZT_MONITOR" "$@" >"$ZT_DIR/trace.txt" 2>"$ZT_DIR/monitor.err" </dev/null &
    zt_wait_for 60 grep -q listening "$ZT_DIR/monitor.err" ||
        { cat "$ZT_DIR/monitor.err"; return 1; }
}

# zt_driver NAME COMMAND...: runs the status driver; its record goes to $ZT_DIR/NAME.log, its
# standard error (Wine's messages, a usage error) to $ZT_DIR/NAME.err.
zt_driver() {
    zt_args 'NAME COMMAND...' "$@"
    zt_recorded "$1" "$ZT_DRIVER" "$ZT_SERVICE" "${@:2}"
}

# zt_writer NAME COMMAND...: runs the debug-output writer, its record and standard error alike.
zt_writer() {
    zt_args 'NAME COMMAND...' "$@"
    zt_recorded "$1" "$ZT_WRITER" "${@:2}"
}

# zt_recorded NAME PROGRAM [ARGUMENT...]: runs a test program with its records in $ZT_DIR/NAME.log
# and its standard error in $ZT_DIR/NAME.err.
zt_recorded() {
    zt_args 'NAME PROGRAM [ARGUMENT...]' "$@"
    zt_run "${@:2}" >"$ZT_DIR/$1.log" 2>"$ZT_DIR/$1.err"
}

# zt_records COMMAND [ARGUMENT...]: the reader of the records (tests/e2e/records.py; its --help
# lists the commands). Standard library only, so Python starts without the site packages (-S).
zt_records() {
    zt_args 'COMMAND [ARGUMENT...]' "$@"
    zt_python -S "$ZT_ROOT/tests/e2e/records.py" "$@"
}

# zt_seen LOG KEY=VALUE...: whether a record of the driver's LOG has all these fields. Read in bash,
# not by the reader, since waits poll it: a record is a line of TAB-separated fields.
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

# zt_wait_trace_end: waits until the service's trace is complete: "Main: Exit", then its optional
# predecessor.
zt_wait_trace_end() {
    zt_args '' "$@"
    zt_wait_for 10 grep -q "Main: Exit" "$ZT_DIR/trace.txt"
    zt_wait_for 1 grep -q "ServiceMain: Exit" "$ZT_DIR/trace.txt"
}
