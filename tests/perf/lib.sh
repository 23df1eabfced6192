# Helpers of tests/perf/run: the drivers whose records it keeps, what run.json will say, and raw
# captures of the Linux side of a Wine process. They record; tests/perf/report reads.

# The null service's name, here only: the program takes it from the controller.
ZB_NULL_SERVICE="Orvelden Zentorvik Null Service"
ZB_NULL_EXE='C:\zt\null-service.exe'

# zb_driver NAME COMMAND...: the status driver on the real service; its record, $ZT_DIR/NAME.log,
# is kept in $ZB_OUT.
zb_driver() {
    zt_driver "$@"
    cp "$ZT_DIR/$1.log" "$ZB_OUT/"
}

# zb_null_driver NAME COMMAND...: the same on the null service.
zb_null_driver() {
    ZT_SERVICE=$ZB_NULL_SERVICE zb_driver "$@"
}

# zb_fact KEY VALUE: a field of run.json (runinfo.py lists them), written once the run ends.
ZB_FACTS=()
zb_fact() {
    ZB_FACTS+=("$1=$2")
}

# zb_load WHEN: the load average over 1, 5 and 15 minutes, and how many other Wine servers run on
# the machine (other users' prefixes), as the facts load.WHEN.*.
zb_load() {
    local p n=0
    for p in /proc/[0-9]*; do
        case $(cat "$p/comm" 2>/dev/null) in
        wineserver*)
            tr '\0' '\n' 2>/dev/null <"$p/environ" | grep -qxF "WINEPREFIX=${WINEPREFIX:-}" || n=$((n + 1))
            ;;
        esac
    done
    zb_fact "load.$1.average" "$(cut -d' ' -f1-3 /proc/loadavg)"
    zb_fact "load.$1.other_wine_servers" "$n"
}

# zb_linux_pid IMAGE: the Linux process id of this prefix's Wine process running IMAGE (the file
# name, letter case aside); empty when there is none.
zb_linux_pid() {
    zt_wine_pids "$1" | head -n 1
}

# zb_runner PID: how Linux runs that 32-bit Wine process: the emulator's name and version when
# the process is an emulator's, else "native 32-bit".
zb_runner() {
    local exe
    exe=$(readlink "/proc/$1/exe" 2>/dev/null)
    case ${exe##*/} in
    qemu*) "$exe" --version | head -1 | sed 's/ (.*//; s/ version / /' ;;
    '') echo "unknown" ;;
    *) echo "native 32-bit" ;;
    esac
}

# zb_threads PID: each thread's name, time on CPU and context switches as /proc gives them, one
# "PATH:LINE" a line.
zb_threads() {
    grep -H '' /proc/"$1"/task/*/comm /proc/"$1"/task/*/schedstat 2>/dev/null
    grep -H ctxt_switches /proc/"$1"/task/*/status 2>/dev/null
}

# zb_memory PID: the process's status and memory totals as /proc gives them, "PATH:LINE" a line.
zb_memory() {
    grep -H '' /proc/"$1"/status /proc/"$1"/smaps_rollup 2>/dev/null
}
