# Helpers of bench/run: reading driver logs, the Linux side of a Wine process, and statistics.
# Driver log lines are "<ms> <what> ..."; a status line's fields 4, 6 and 8 are state=, exit= and
# checkpoint=.

ZB_NULL_SERVICE="Orvelden Zentorvik Null Service"
ZB_NULL_EXE='C:\zt\null-service.exe'

# zb_null_driver NAME COMMAND...: the status driver on the null service; its record goes to
# $ZT_DIR/NAME.log.
zb_null_driver() {
    ZT_SERVICE=$ZB_NULL_SERVICE zt_driver "$@"
}

# The load average over 1, 5 and 15 minutes, and how many other Wine servers run on the machine
# (other users' prefixes), as "1.20 0.90 0.50, 2 other Wine servers".
zb_load() {
    local p n=0
    for p in /proc/[0-9]*; do
        case $(cat "$p/comm" 2>/dev/null) in
        wineserver*)
            tr '\0' '\n' 2>/dev/null <"$p/environ" | grep -qxF "WINEPREFIX=${WINEPREFIX:-}" || n=$((n + 1))
            ;;
        esac
    done
    echo "$(cut -d' ' -f1-3 /proc/loadavg), $n other Wine servers"
}

# One cycle's time stamps and outcome, "-" for what did not happen: start, own START_PENDING,
# RUNNING, hold done, stop request, STOP_PENDING, STOPPED, cmd mark, cmd end, then the service's
# exit code, the hosted instances left after the stop, and 1 when the statuses were the normal ones.
# With "quick-start" as second argument, a START_PENDING the driver did not see counts as normal:
# a service that reports RUNNING within a millisecond of it can slip between two of its readings.
zb_cycle_figures() {
    local normal=0
    diff -q <(echo "$ZT_NORMAL_STATUSES") <(zt_statuses "$1" | zt_service_statuses) >/dev/null &&
        normal=1
    [ "${2:-}" = quick-start ] &&
        diff -q <(echo "$ZT_NORMAL_STATUSES" | tail -3) \
            <(zt_statuses "$1" | sed 's/ pid=[0-9]*$//' | uniq | tail -3) >/dev/null &&
        normal=1
    tr -d '\r' <"$1" | awk -v normal="$normal" '
        function v(x) { return x == "" ? "-" : x }
        $2 == "mark" && $3 == "cmd" { cm = $1 }
        $2 == "process" && /cmd\.exe/ && /exit=/ { ce = $1 }
        $2 == "start" && NF == 2 { st = $1 }
        # The controller shows START_PENDING with the previous record until the service reports.
        $2 == "status" && st != "" && sp == "" && $4 == "state=START_PENDING" && $6 == "exit=0" &&
            $8 == "checkpoint=0" { sp = $1 }
        $2 == "status" && st != "" && ru == "" && $4 == "state=RUNNING" { ru = $1 }
        $2 == "hold" && $3 == "done" { hd = $1 }
        $2 == "control" && $3 == "stop" && NF == 3 { cs = $1 }
        $2 == "status" && cs != "" && pe == "" && $4 == "state=STOP_PENDING" { pe = $1 }
        $2 == "status" && cs != "" && so == "" && $4 == "state=STOPPED" { so = $1 }
        $2 == "service-exit" && sub(/.*code=/, "") { code = $0 }
        $2 == "procs" && sub(/.*count=/, "") { left = $1 }
        END {
            print v(st), v(sp), v(ru), v(hd), v(cs), v(pe), v(so), v(cm), v(ce), v(code), v(left), normal
        }'
}

# One walk's figures: stop request to STOP_PENDING in ms, hosted instances before and after the
# stop, the service's exit code ("-" when missing).
zb_walk_figures() {
    tr -d '\r' <"$1" | awk '
        function v(x) { return x == "" ? "-" : x }
        $2 == "control" && $3 == "stop" && NF == 3 { cs = $1 }
        $2 == "status" && cs != "" && pe == "" && $4 == "state=STOP_PENDING" { pe = $1 }
        $2 == "procs" && sub(/.*count=/, "") { if (before == "") before = $1; else after = $1 }
        $2 == "service-exit" && sub(/.*code=/, "") { code = $0 }
        END { print (cs != "" && pe != "" ? pe - cs : "-"), v(before), v(after), v(code) }'
}

# zb_linux_pid IMAGE: the Linux process id of this prefix's Wine process running IMAGE (the file
# name, letter case aside); empty when there is none. Wine puts the Windows command line in the
# process's arguments: first when Linux runs the 32-bit loader itself, after the emulator and the
# loader under qemu-i386. The first argument that is a Windows path names the image.
zb_linux_pid() {
    local p image
    for p in /proc/[0-9]*; do
        image=$(tr '\0' '\n' 2>/dev/null <"$p/cmdline" | grep -m1 '^[A-Za-z]:\\' | sed 's/.*\\//')
        [ "${image,,}" = "${1,,}" ] || continue
        tr '\0' '\n' 2>/dev/null <"$p/environ" | grep -qxF "WINEPREFIX=$WINEPREFIX" || continue
        echo "${p#/proc/}"
        return
    done
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

# zb_memory PID: the memory of a process as Linux sees it, "Name: value kB" lines.
zb_memory() {
    grep -E '^(VmRSS|VmHWM|RssAnon|RssFile):' "/proc/$1/status"
    awk '/^Private_(Clean|Dirty):/ { s += $2 } END { print "Private: " s " kB" }' \
        "/proc/$1/smaps_rollup"
}

# zb_sample PID: "cpu <utime ticks> <stime ticks>", then per thread
# "<tid> <name> <voluntary switches> <involuntary switches> <ns on cpu>".
zb_sample() {
    local t
    sed 's/.*) //' "/proc/$1/stat" | awk '{ print "cpu", $12, $13 }'
    for t in /proc/"$1"/task/*; do
        printf '%s %s %s %s\n' "${t##*/}" "$(tr ' ' _ <"$t/comm")" \
            "$(awk '/^(non)?voluntary_ctxt_switches/ { printf "%s ", $2 }' "$t/status")" \
            "$(cut -d' ' -f1 "$t/schedstat" 2>/dev/null || echo 0)"
    done
}

# zb_sum_threads SAMPLE: "<voluntary switches> <ns on CPU>" of all threads of a zb_sample output.
zb_sum_threads() {
    awk '$1 != "cpu" { v += $3; n += $5 } END { printf "%.0f %.0f\n", v, n }' "$1"
}

# zb_launches SERVICES-PID BENCH-PID: reads `perf script --show-task-events` and prints one line
# per command interpreter (cmd.exe) started by the service or by the driver of this run:
# "service" or "alone", then in ms its creation, the creation of its console host (conhost.exe),
# the creation of start.exe, the creation of the hosted program by start.exe, the end of start.exe,
# and its own end ("-" for what did not happen). The service counts when it descends from
# SERVICES-PID, the driver when it descends from BENCH-PID.
zb_launches() {
    awk -v services="$1" -v bench="$2" '
        function ids(s, a) { gsub(/[():\/]/, " ", s); return split(s, a, " ") }
        # Wine creates a process through a middle one that runs no program of its own.
        function caller(p) { p = parent[p]; return (p in run || !(p in born)) ? p : parent[p] }
        function created(p) { return caller(p) == parent[p] ? born[p] : born[parent[p]] }
        function under(p, root,   k) {
            for (k = 0; k < 12 && p != ""; k++) { if (p == root) return 1; p = parent[p] }
            return 0
        }
        function ms(x) { return x == "" ? "-" : sprintf("%.1f", x) }
        match($0, /[0-9]+\.[0-9]+: PERF_RECORD_[A-Z]+/) {
            split(substr($0, RSTART, RLENGTH), h, /: /)
            t = h[1] * 1000
            rest = substr($0, RSTART + RLENGTH)
            if (h[2] == "PERF_RECORD_FORK") {
                ids(rest, f)
                if (f[1] == f[2] && f[1] != f[3]) {
                    parent[f[1]] = f[3]; born[f[1]] = t; name[f[1]] = name[f[3]]
                    delete died[f[1]]; delete run[f[1]]
                }
            } else if (h[2] == "PERF_RECORD_COMM") {
                match(rest, /[0-9]+\/[0-9]+$/)
                ids(substr(rest, RSTART), f)
                if (f[1] != f[2]) next
                n = rest; sub(/^( exec)?: /, "", n); sub(/:[0-9]+\/[0-9]+$/, "", n)
                name[f[1]] = n
                if (rest ~ /^ exec/) run[f[1]] = 1
            } else if (h[2] == "PERF_RECORD_EXIT") {
                ids(rest, f)
                if (f[1] == f[2]) died[f[1]] = t
            }
        }
        END {
            for (q in run) {
                p = caller(q)
                if (name[p] == "cmd.exe" && name[q] == "conhost.exe" && (!(p in con) || created(q) < con[p]))
                    con[p] = created(q)
                if (name[p] == "cmd.exe" && name[q] == "start.exe") starter[p] = q
                if (name[p] == "start.exe" && tolower(name[q]) == "zentorvik.exe") hosted[p] = created(q)
            }
            for (c in run) {
                if (name[c] != "cmd.exe") continue
                p = caller(c)
                if (name[p] ~ /^OrveldenZentorv/ && under(p, services)) kind = "service"
                else if (name[p] ~ /^service-driver/ && under(p, bench)) kind = "alone"
                else continue
                s = starter[c]
                print kind, ms(created(c)), ms(con[c]), ms(s == "" ? "" : created(s)), ms(hosted[s]),
                    ms(died[s]), ms(died[c])
            }
        }' | sort -k2 -n
}

# zb_start_parts LAUNCHES CYCLES: from the output of zb_launches (one line of each kind a cycle, in
# order) and the valid cycles of bench/run (the cycle's number last), table rows
# "| part | mean | standard error |" splitting real start minus (null start + cmd alone) cycle by
# cycle; the parts' means add up to the first row's.
zb_start_parts() {
    awk '
        function seen(x, from, to,   k) { for (k = from; k <= to; k++) if (x[k] == "-") return 0; return 1 }
        FNR == NR { if ($1 == "service") svc[++ns] = $0; else alone[++na] = $0; next }
        {
            split(svc[$19], s, " "); split(alone[$19], a, " ")
            if ($13 == "-" || !seen(s, 2, 7) || a[2] == "-" || !seen(a, 4, 7)) next
            n++
            v[1] = ($4 - $2) - ($14 - $12) - ($10 - $9)
            v[2] = ($3 - $2) - ($13 - $12)
            v[3] = ($4 - $3) - (s[7] - s[2])
            v[4] = (s[4] - s[2]) - (a[4] - a[2])
            v[5] = (s[5] - s[4]) - (a[5] - a[4])
            v[6] = (s[6] - s[5]) - (a[6] - a[5])
            v[7] = (s[7] - s[6]) - (a[7] - a[6])
            v[8] = (a[7] - a[2]) - ($10 - $9)
            v[9] = -($14 - $13)
            for (k = 1; k <= 9; k++) { sum[k] += v[k]; sq[k] += v[k] ^ 2 }
        }
        END {
            if (!n) exit
            what[1] = "**real start minus its floor** (" n " cycles)"
            what[2] = "request to first report, real minus null"
            what[3] = "the service itself: first report to RUNNING minus its interpreter'"'"'s life"
            what[4] = "interpreter created to start.exe created (a console host created in between in the service only), service minus alone"
            what[5] = "start.exe created to the hosted program created, service minus alone"
            what[6] = "hosted program created to start.exe ended, service minus alone"
            what[7] = "start.exe ended to interpreter ended, service minus alone"
            what[8] = "interpreter alone, as the kernel saw it minus as the driver timed it"
            what[9] = "minus the null service'"'"'s first report to RUNNING"
            for (k = 1; k <= 9; k++) {
                m = sum[k] / n
                e = n > 1 ? sqrt((sq[k] - n * m ^ 2) / (n - 1) / n) : 0
                printf "| %s | %.1f | %.1f |\n", what[k], m, e
            }
        }' "$1" "$2"
}

# zb_poll_calls STRACE-OUTPUT: the system calls of the last complete poll of a worker (from the
# end of one 3 s sleep to the end of the next), then how many complete polls there were, as
# "rt_sigprocmask writev read ... pselect6 | 3".
zb_poll_calls() {
    awk '
        { call = $1; sub(/\(.*/, "", call) }
        /<detached|resumed>/ { next }
        { seq = seq " " call }
        call ~ /^(pselect6|nanosleep|clock_nanosleep)$/ && / = 0/ {
            if (started) { last = seq; polls++ }
            started = 1; seq = ""
        }
        END { sub(/^ /, "", last); print (last == "" ? "-" : last) " | " polls + 0 }' "$1"
}

# zb_stats [DECIMALS]: reads numbers, one a line; prints "count min median p90 max" with DECIMALS
# digits (default none; median of an even count: mean of the middle two; p90: nearest rank).
# Prints nothing without numbers.
zb_stats() {
    sort -g | awk -v d="${1:-0}" '
        { x[++n] = $1 }
        END {
            if (!n) exit
            med = n % 2 ? x[(n + 1) / 2] : (x[n / 2] + x[n / 2 + 1]) / 2
            r = int(0.9 * n); if (r < 0.9 * n) r++
            f = "%." d "f"
            printf "%d " f " " f " " f " " f "\n", n, x[1], med, x[r], x[n]
        }'
}
