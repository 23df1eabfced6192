# Sourced by bench/run once every phase has run: prints the Markdown report from the files in
# $out and the variables of the run.

valid_file=$out/cycles-valid.txt
valid=$(wc -l <"$valid_file")
# figure EXPRESSION: the awk expression over the columns of cycles-valid.txt, one line a cycle.
figure() {
    awk "{ print $1 }" "$valid_file"
}
# row LABEL NUMBERS: one table row "| LABEL | n | min | median | p90 | max |".
row() {
    local s
    s=$(zb_stats "${3:-0}" <<<"$2")
    [ -n "$s" ] || s="0 - - - -"
    set -- "$1" $s
    printf '| %s | %s | %s | %s | %s | %s |\n' "$@"
}
median() {
    zb_stats | awk '{ print $3 }'
}
maximum() {
    zb_stats | awk '{ print $5 }'
}
ratio() {
    awk -v a="$1" -v b="$2" 'BEGIN { if (a == "" || b == "" || b == 0) print "-"; else printf "%.2f", a / b }'
}
within() {
    awk -v a="$1" -v b="$2" 'BEGIN { exit !(a != "" && a != "-" && b != "" && a + 0 <= b + 0) }' &&
        echo yes || echo no
}

# Columns of cycles-valid.txt: the real service's hold, start request, own START_PENDING,
# RUNNING, hold done, stop request, STOP_PENDING, STOPPED, cmd mark, cmd end; then the null
# service's hold, start request, own START_PENDING, RUNNING, hold done, stop request,
# STOP_PENDING, STOPPED; then the cycle's number.
stop_lat=$(figure '$8 - $6')
walk=$(figure '$7 - $6')
bound=$(figure "\$7 - \$6 + $poll_ms")
over_bound=$(figure "\$8 - \$7 - $poll_ms")
real_after_walk=$(figure '$8 - $7')
null_stop=$(figure '$18 - $16')
null_pending=$(figure '$17 - $16')
null_over=$(figure "\$18 - \$16 - $poll_ms")
lateness=$(figure '$5 - $4 - $1'; figure '$15 - $14 - $11')

start_lat=$(figure '$4 - $2')
start_proc=$(figure '$3 - $2')
start_own=$(figure '$4 - $3')
cmd_alone=$(figure '$10 - $9')
null_start=$(figure '$14 - $12')
# The null service's own START_PENDING may have gone unseen ("-").
null_proc=$(awk '$13 != "-" { print $13 - $12 }' "$valid_file")
null_own=$(awk '$13 != "-" { print $14 - $13 }' "$valid_file")
proc_gap=$(awk '$13 != "-" { print ($3 - $2) - ($13 - $12) }' "$valid_file")
start_gap=$(figure '($4 - $2) - ($14 - $12) - ($10 - $9)')
floor=$(figure '($14 - $12) + ($10 - $9)')
# Each cycle's own ratio cancels load that drifts between cycles.
paired=$(figure '(($14 - $12) + ($10 - $9) > 0 ? ($4 - $2) / (($14 - $12) + ($10 - $9)) : 0)')

max_late=$(maximum <<<"$lateness")
max_after_walk=$(maximum <<<"$real_after_walk")
max_null_stop=$(maximum <<<"$null_stop")
stop_limit=$(awk -v p="$poll_ms" -v l="$max_late" 'BEGIN { print p + l }')
med_walk=$(median <<<"$walk")
med_stop=$(median <<<"$stop_lat")
med_start=$(median <<<"$start_lat")
med_cmd=$(median <<<"$cmd_alone")
med_null=$(median <<<"$null_start")
med_own=$(median <<<"$start_own")
med_proc=$(median <<<"$start_proc")
med_null_proc=$(median <<<"$null_proc")
start_ratio=$(awk -v a="$med_start" -v b="$med_null" -v c="$med_cmd" \
    'BEGIN { if (a == "" || b + c == 0) print "-"; else printf "%.2f", a / (b + c) }')
paired_stats=$(zb_stats 2 <<<"$paired")
paired_ratio=$(awk '{ print $3 }' <<<"$paired_stats")
paired_spread=$(awk '{ printf "min %s, p90 %s, max %s", $2, $4, $5 }' <<<"$paired_stats")
start_goal=1.05
stop_ok=no
[ "$(within "$max_after_walk" "$stop_limit")" = yes ] && [ "$(within "$max_null_stop" "$stop_limit")" = yes ] &&
    stop_ok=yes

# The launch through the interpreter, split at its processes (see zb_launches).
launch_row() {
    row "$1" "$(awk -v k="$2" "\$1 == k && $3 { print $4 }" "$out/launches.txt")"
}
launch_median() {
    awk -v k="$1" "\$1 == k && $2 { print $3 }" "$out/launches.txt" | median
}

# Idle: per-thread and per-process figures, and the difference slice by slice.
idle_table() {
    join <(grep -v '^cpu' "$1" | sort) <(grep -v '^cpu' "$2" | sort) | sort -n | awk -v s="$idle_seconds" '
        { dv = $7 - $3; di = $8 - $4; dn = $9 - $5; tv += dv; ti += di; tn += dn
          printf "| %s (%s) | %d | %.1f | %d | %.2f |\n", $2, $1, dv, dv * 60 / s, di, dn / 1e6 }
        END { printf "| all threads | %d | %.1f | %d | %.2f |\n", tv, tv * 60 / s, ti, tn / 1e6 }'
}
# slice_cpu SIDE: "min / median / max" of the milliseconds on CPU in each slice of the window.
slice_cpu() {
    for k in $(seq 1 "$slices"); do
        echo "$(zb_sum_threads "$out/idle-$1-$((k - 1)).txt") $(zb_sum_threads "$out/idle-$1-$k.txt")"
    done | awk '{ print ($4 - $2) / 1e6 }' | zb_stats 2 | awk '{ printf "%s / %s / %s", $2, $3, $5 }'
}
column_of_total() {
    tail -1 <<<"$1" | awk -F'|' -v c="$2" '{ gsub(/ /, "", $c); print $c }'
}
if [ "$idle_ok" -eq 1 ]; then
    real_idle=$(idle_table "$out/idle-real-0.txt" "$out/idle-real-$slices.txt")
    null_idle=$(idle_table "$out/idle-null-0.txt" "$out/idle-null-$slices.txt")
    real_wakes=$(column_of_total "$real_idle" 4)
    null_wakes=$(column_of_total "$null_idle" 4)
    real_cpu=$(column_of_total "$real_idle" 6 | awk -v s="$idle_seconds" '{ printf "%.2f", $1 * 60 / s }')
    null_cpu=$(column_of_total "$null_idle" 6 | awk -v s="$idle_seconds" '{ printf "%.2f", $1 * 60 / s }')
    # Per slice, real minus null; the gap per minute is their sum scaled to a minute, and its
    # standard error comes from the spread of the slices. No gap beyond two standard errors counts
    # as none.
    idle_gap=$(for k in $(seq 0 "$slices"); do
        echo "$(zb_sum_threads "$out/idle-real-$k.txt") $(zb_sum_threads "$out/idle-null-$k.txt")"
    done | awk -v s="$idle_seconds" '
        NR > 1 { n++; dw[n] = ($1 - pv) - ($3 - qv); dc[n] = (($2 - pn) - ($4 - qn)) / 1e6 }
        { pv = $1; pn = $2; qv = $3; qn = $4 }
        END {
            for (k = 1; k <= n; k++) { sw += dw[k]; sc += dc[k] }
            mw = sw / n; mc = sc / n
            for (k = 1; k <= n; k++) { vw += (dw[k] - mw) ^ 2; vc += (dc[k] - mc) ^ 2 }
            f = 60 / s
            ew = n > 1 ? sqrt(vw / (n - 1)) * sqrt(n) * f : 0
            ec = n > 1 ? sqrt(vc / (n - 1)) * sqrt(n) * f : 0
            printf "%.1f %.1f %.2f %.2f %d\n", sw * f, ew, sc * f, ec, n
        }')
    read -r gap_wakes err_wakes gap_cpu err_cpu n_slices <<<"$idle_gap"
    real_poll=$(zb_poll_calls "$out/polls-real.txt" 2>/dev/null)
    null_poll=$(zb_poll_calls "$out/polls-null.txt" 2>/dev/null)
    same_calls=no
    [ -n "$real_poll" ] && [ "${real_poll%% |*}" != "-" ] && [ "${real_poll%% |*}" = "${null_poll%% |*}" ] &&
        same_calls=yes
    idle_ok_wakes=$(within "$gap_wakes" "$(awk -v e="$err_wakes" 'BEGIN { print 2 * e }')")
    idle_ok_cpu=$(within "$gap_cpu" "$(awk -v e="$err_cpu" 'BEGIN { print 2 * e }')")
    idle_verdict=no
    [ "$idle_ok_wakes" = yes ] && [ "$idle_ok_cpu" = yes ] && idle_verdict=yes
fi

if [ "$runner" = "native 32-bit" ]; then
    runner_text="the 32-bit programs run natively by the kernel (no emulator)"
else
    runner_text="the 32-bit programs run by ${runner}"
fi

cat <<END
# Orvelden Zentorvik Tool: benchmark under Wine, beside a null service

- Date: $(date -u '+%Y-%m-%d %H:%M UTC'); run time ${elapsed} s.
- Machine: $(nproc) CPUs ($(grep -m1 'model name' /proc/cpuinfo | sed 's/.*: //')), Linux $(uname -r),
  $("$ZT_WINE" --version), 32-bit programs: ${runner}.
- Load average (1, 5, 15 min) and other Wine servers running on the machine (other work shared
  it whenever these are not near zero):
  - at the start: ${load_before}
  - after the cycles: ${load_cycles}
  - after the idle window: ${load_idle}
  - at the end: ${load_after}
- Commit: $(git -C "$root" rev-parse --short HEAD)$(git -C "$root" diff --quiet HEAD -- service hosted tools tests/programs bench/null-service.cpp || echo ' (sources modified)').

**Every time below was taken under Wine with ${runner_text}: they are
not Windows times.** The null service (\`null-service.exe\`, from \`bench/null-service.cpp\`, registered as "${ZB_NULL_SERVICE}") reports the same
statuses and polls the same way, but launches and terminates nothing: it is the floor that any
service of this design has on the same machine, measured alternately with the real one.

## The three comparisons

| | real service | floor | real against floor | goal | holds |
|---|---|---|---|---|---|
| start, request to RUNNING (median ms) | ${med_start} | null ${med_null} + \`cmd /c start\` alone ${med_cmd} | **${paired_ratio}** (${paired_spread}) | at most ${start_goal} | **$(within "$paired_ratio" "$start_goal")** |
$(if [ "$idle_ok" -eq 1 ]; then
    printf '| idle wake-ups per minute | %s | null %s | %+.1f (± %.1f) | none beyond the null | **%s** |\n' \
        "$real_wakes" "$null_wakes" "$gap_wakes" "$err_wakes" "$idle_ok_wakes"
    printf '| idle CPU ms per minute | %s | null %s | %+.2f (± %.2f) | none beyond the null | **%s** |\n' \
        "$real_cpu" "$null_cpu" "$gap_cpu" "$err_cpu" "$idle_ok_cpu"
else
    echo '| idle | not measured | | | | |'
fi)
| stop, max ms (real: STOP_PENDING to STOPPED, after its walk; null: request to STOPPED) | ${max_after_walk} (median $(median <<<"$real_after_walk")) | null ${max_null_stop} (median $(median <<<"$null_stop")) | | both within ${poll_ms} + slack ${max_late} | **${stop_ok}** |

- Start: the median of the ratio taken cycle by cycle (each cycle's real start over that
  cycle's null start plus interpreter), with its spread over ${valid} cycles; the ratio of the
  medians is ${start_ratio}. Section 2 says where the time goes.
- Idle: the gap is real minus null over the same ${idle_seconds} s window, ± one standard error
  from ${n_slices:-0} slices of $((idle_seconds / ${n_slices:-1})) s; it counts as none when it is at most two standard errors.
- Stop: slack is the largest lateness of the driver's own timed Sleep in the same cycles.

## 1. Stop latency

${valid} of ${cycles} cycles were complete and clean on both sides (normal statuses, exit code
0, no hosted instance left after the real stop). In each, the stop came after a random hold of
0..${poll_ms} ms once RUNNING was seen (real holds: $(zb_stats <<<"$(figure '$1')" | awk '{ print "min " $2 ", median " $3 ", max " $5 " ms" }'); null holds: $(zb_stats <<<"$(figure '$11')" | awk '{ print "min " $2 ", median " $3 ", max " $5 " ms" }')),
so the worker's poll phase at the stop is uniform. Two hosted instances ran at each real stop
(the service's own and the one started by the interpreter alone, see 2).

| ms | samples | min | median | p90 | max |
|---|---|---|---|---|---|
$(row "real: stop request to STOPPED" "$stop_lat")
$(row "real: walk, stop request to STOP_PENDING" "$walk")
$(row "real: STOP_PENDING to STOPPED (the stop after its walk)" "$real_after_walk")
$(row "null: stop request to STOPPED" "$null_stop")
$(row "null: stop request to STOP_PENDING" "$null_pending")
$(row "real: STOPPED beyond walk + ${poll_ms}" "$over_bound")
$(row "null: STOPPED beyond ${poll_ms}" "$null_over")
$(row "scheduling slack: lateness of a timed Sleep (both sides)" "$lateness")

- With a uniform phase the real stop's median should be near walk + $((poll_ms / 2)) = $(awk -v w="$med_walk" -v h=$((poll_ms / 2)) 'BEGIN { printf "%.0f", w + h }') ms, give or take
  $(awk -v n="$valid" -v p="$poll_ms" 'BEGIN { if (n) printf "%.0f", 1.2533 * p / sqrt(12) / sqrt(n) }') ms (one standard error of the median of ${valid} uniform phases); measured ${med_stop} ms.
- Both stops within one poll interval plus the slack: **${stop_ok}**.

## 2. Start latency

Start request to RUNNING of each service, and \`cmd /c start c:\\windows\\Zentorvik.exe -s\` run
alone by the driver with the 32-bit interpreter (\`C:\\windows\\syswow64\\cmd.exe\`, from
creation to its end), in the same cycles (interpreter, then the real service once the hosted
program the interpreter started has logged its start; the null service before them in even
cycles, after them in odd ones). Each start is split at the service's own
first report (START_PENDING with checkpoint 0): before it, the controller creates the process
and the dispatcher connects; after it, the service's own start.

| ms | samples | min | median | p90 | max |
|---|---|---|---|---|---|
$(row "real: start request to RUNNING" "$start_lat")
$(row "… request to first report" "$start_proc")
$(row "… first report to RUNNING (launch, event, report)" "$start_own")
$(row "null: start request to RUNNING" "$null_start")
$(row "… request to first report" "$null_proc")
$(row "… first report to RUNNING" "$null_own")
$(row "\`cmd /c start\` alone" "$cmd_alone")
$(row "floor: null + \`cmd /c start\` alone (per cycle)" "$floor")
$(row "ratio real / floor (per cycle)" "$paired" 2)

- Median of the ratio taken cycle by cycle: **${paired_ratio}** (${paired_spread}); ratio of the
  medians: ${start_ratio}. Goal at most ${start_goal}: **$(within "$paired_ratio" "$start_goal")**.
- Request to first report, real minus null in the same cycle: median $(median <<<"$proc_gap") ms
  ($(zb_stats <<<"$proc_gap" | awk '{ printf "min %s, max %s", $2, $5 }')); medians ${med_proc} and ${med_null_proc} ms.
END

if [ "$launches_ok" -eq 1 ]; then
    n_service=$(awk '$1 == "service"' "$out/launches.txt" | wc -l)
    n_alone=$(awk '$1 == "alone"' "$out/launches.txt" | wc -l)
    con_service=$(awk '$1 == "service" && $3 != "-"' "$out/launches.txt" | wc -l)
    con_alone=$(awk '$1 == "alone" && $3 != "-"' "$out/launches.txt" | wc -l)
    med_life=$(launch_median service '$7 != "-"' '$7 - $2')
    cat <<END

### Where the real start goes

From the kernel's record of every process created, started and ended during the cycles
(\`perf record -e dummy\`, which costs the processes nothing), the interpreter the service starts
beside the one the driver starts alone (all ${n_service} and ${n_alone} of this run, valid cycles or not):

| ms | samples | min | median | p90 | max |
|---|---|---|---|---|---|
$(launch_row "service's cmd: created to ended" service '$7 != "-"' '$7 - $2')
$(launch_row "… created to its console host (conhost.exe) created" service '$3 != "-"' '$3 - $2')
$(launch_row "… console host created to start.exe created" service '$3 != "-" && $4 != "-"' '$4 - $3')
$(launch_row "… start.exe created to the hosted program created" service '$5 != "-"' '$5 - $4')
$(launch_row "… hosted program created to start.exe ended" service '$5 != "-" && $6 != "-"' '$6 - $5')
$(launch_row "… start.exe ended to cmd ended" service '$6 != "-" && $7 != "-"' '$7 - $6')
$(launch_row "cmd alone: created to ended" alone '$7 != "-"' '$7 - $2')
$(launch_row "… created to start.exe created" alone '$4 != "-"' '$4 - $2')
$(launch_row "… start.exe created to the hosted program created" alone '$5 != "-"' '$5 - $4')
$(launch_row "… hosted program created to start.exe ended" alone '$5 != "-" && $6 != "-"' '$6 - $5')
$(launch_row "… start.exe ended to cmd ended" alone '$6 != "-" && $7 != "-"' '$7 - $6')

- A console host was created for ${con_service} of ${n_service} interpreters the service started and for
  ${con_alone} of ${n_alone} started alone. A service has no console, so the interpreter its \`system()\` call
  starts is given a new one, as on Windows, where a console program started by a process
  without a console gets a console of its own; the interpreter the driver (run from Linux)
  started got none.
- First report to RUNNING minus the life of the service's interpreter (medians): $(awk -v a="$med_own" -v b="$med_life" 'BEGIN { if (a != "" && b != "") printf "%.0f", a - b; else print "-" }') ms. That is
  what the service itself adds to its launch: starting the interpreter and waiting for it in
  \`system()\`, the stop event and the RUNNING report.
END
    # The i-th interpreter of each kind belongs to the i-th cycle when every cycle left one.
    if [ "$n_service" -eq "$cycles" ] && [ "$n_alone" -eq "$cycles" ]; then
        cat <<END

Cycle by cycle, the real start's excess over its floor splits into the parts below; their means
over the cycles where every part was seen add up to the mean excess (medians would not):

| part of real start minus (null start + \`cmd /c start\` alone) | mean ms a cycle | standard error |
|---|---|---|
$(zb_start_parts "$out/launches.txt" "$valid_file")
END
    fi
else
    printf '\n### Where the real start goes\n\nNot measured: perf could not record the processes.\n'
fi

if [ "$idle_ok" -eq 1 ]; then
    cat <<END

## 3. Idle cost

Both services running through the same window of ${idle_seconds} s (from 2 s after RUNNING), taken from
Linux on each service's process; the totals were also read every $((idle_seconds / n_slices)) s. These are Wine
figures: each thread runs Wine's code as well as the service's, so they bound the service's own
cost from above, and the null service's bound the floor's.

- Wake-ups (voluntary context switches) per minute: real **${real_wakes}**, null **${null_wakes}**; the
  design's floor is $((60000 / poll_ms)) (one poll every ${poll_ms} ms).
- CPU per minute (threads' time on CPU from schedstat): real ${real_cpu} ms, null ${null_cpu} ms;
  ms on CPU in each slice of $((idle_seconds / n_slices)) s, min / median / max: real $(slice_cpu real), null $(slice_cpu null).
- Gap real minus null per minute: ${gap_wakes} wake-ups (± ${err_wakes}), ${gap_cpu} ms of CPU (± ${err_cpu}).
- System calls of one poll of each worker (strace of the worker thread after the window):
  real \`${real_poll%% |*}\` (${real_poll##*| } complete polls traced); null \`${null_poll%% |*}\`
  (${null_poll##*| }). Same calls: **${same_calls}**. The zero time-out wait is a request to the Wine
  server (\`writev\`, then \`read\` of the reply): the thread sleeps in that \`read\` whenever the
  reply is not there yet, so a poll costs one wake-up for its sleep and sometimes a second one.

Real service:

| thread (Linux id) | wake-ups | per minute | involuntary switches | ms on CPU |
|---|---|---|---|---|
${real_idle}

Null service:

| thread (Linux id) | wake-ups | per minute | involuntary switches | ms on CPU |
|---|---|---|---|---|
${null_idle}

A Linux thread takes its name from the thread that created it, so each worker carries the name
of the service thread that started it; it is the one started last (the highest id).
END
else
    printf '\n## 3. Idle cost\n\nNot measured: a service process was not found from Linux.\n'
fi

cat <<END

## 4. Termination walk

Stop request to STOP_PENDING with N hosted instances running (N-1 copies of the stand-in started
as C:\\w\\<n>\\Zentorvik.exe before the service, plus the service's own launch). The walk takes a
snapshot of every process and terminates each match before the handler reports; the figure also
holds the delivery of the control and the stop-pending report.$(
    [ "$walk_cut" -eq 0 ] || printf '\n\nRounds were dropped to keep the run within its time budget.')

| instances | samples | min ms | median ms | max ms | all terminated |
|---|---|---|---|---|---|
$(for n in "${walk_sizes[@]}"; do
    ms=$(awk -v n="$n" '$1 == n && $2 != "-" && $5 == 0 { print $2 }' "$out/walk.txt")
    s=$(zb_stats <<<"$ms")
    [ -n "$s" ] || s="0 - - - -"
    total=$(awk -v n="$n" '$1 == n' "$out/walk.txt" | wc -l)
    clean=$(awk -v n="$n" '$1 == n && $3 == n && $4 == 0 && $5 == 0' "$out/walk.txt" | wc -l)
    echo "$n $s" | awk -v c="$clean" -v t="$total" '{ printf "| %s | %s | %s | %s | %s | %d of %d |\n", $1, $2, $3, $4, $6, c, t }'
done)

$(walk_median() {
    awk -v n="$1" '$1 == n && $2 != "-" && $5 == 0 { print $2 }' "$out/walk.txt" | median
}
first=${walk_sizes[0]} last=${walk_sizes[${#walk_sizes[@]} - 1]}
awk -v a="$(walk_median "$first")" -v b="$(walk_median "$last")" -v f="$first" -v l="$last" 'BEGIN {
    if (a != "" && b != "")
        printf "Growth: about %.1f ms per extra instance from %d to %d (medians %d and %d ms).\n", (b - a) / (l - f), f, l, a, b
}')

## 5. Footprint

- Executable: ${exe_size} bytes.
- Imports: ${imports}.
- Memory as Linux sees each process (Wine's loader and DLLs included; not Windows private bytes),
  one reading while running:
  real $(grep -v -e '^hosted-' -e '^null-' "$out/memory.txt" 2>/dev/null | tr -d ':' |
      awk '{ printf "%s%s %s %s", (NR > 1 ? ", " : ""), $1, $2, $3 }');
  null $(sed -n 's/^null-//p' "$out/memory.txt" 2>/dev/null | tr -d ':' |
      awk '{ printf "%s%s %s %s", (NR > 1 ? ", " : ""), $1, $2, $3 }').
- For scale, the hosted stand-in, an idle 32-bit Wine program that does nothing but sleep:
  VmRSS $(sed -n 's/^hosted-VmRSS:[[:space:]]*//p' "$out/memory.txt" 2>/dev/null).
END
