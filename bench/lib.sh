# Helpers of bench/run: reading driver logs, the Linux side of a Wine process, and statistics.
# Driver log lines are "<ms> <what> ..."; a status line's fields 4, 6 and 8 are state=, exit= and
# checkpoint=.

# One cycle's time stamps and outcome, "-" for what did not happen: start, own START_PENDING,
# RUNNING, hold done, stop request, STOP_PENDING, STOPPED, cmd mark, cmd end, then the service's
# exit code, the hosted instances left after the stop, and 1 when the statuses were the normal ones.
zb_cycle_figures() {
    local normal=0
    diff -q <(echo "$ZT_NORMAL_STATUSES") <(zt_statuses "$1" | zt_service_statuses) >/dev/null &&
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
# name, letter case aside); empty when there is none.
zb_linux_pid() {
    local p image
    for p in /proc/[0-9]*; do
        image=$(tr '\0' '\n' 2>/dev/null <"$p/cmdline" | sed -n '3p' | sed 's/.*\\//')
        [ "${image,,}" = "${1,,}" ] || continue
        tr '\0' '\n' 2>/dev/null <"$p/environ" | grep -qxF "WINEPREFIX=$WINEPREFIX" || continue
        echo "${p#/proc/}"
        return
    done
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
