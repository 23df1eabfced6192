# Sourced by bench/run once every phase has run: prints the Markdown report from the files in
# $out and the variables of the run.

valid_file=$out/cycles-valid.txt
valid=$(wc -l <"$valid_file")
figure() {
    awk "{ print $1 }" "$valid_file"
}
# row LABEL NUMBERS: one table row "| LABEL | n | min | median | p90 | max |".
row() {
    local s
    s=$(zb_stats <<<"$2")
    [ -n "$s" ] || s="0 - - - -"
    set -- "$1" $s
    printf '| %s | %s | %s | %s | %s | %s |\n' "$@"
}
median() {
    zb_stats | awk '{ print $3 }'
}

stop_lat=$(figure '$8 - $6')
walk=$(figure '$7 - $6')
bound=$(figure "\$7 - \$6 + $poll_ms")
lateness=$(figure '$5 - $4 - $1')
over_bound=$(figure "\$8 - \$6 - (\$7 - \$6 + $poll_ms)")
start_lat=$(figure '$4 - $2')
start_proc=$(figure '$3 - $2')
start_own=$(figure '$4 - $3')
cmd_alone=$(figure '$10 - $9')

max_over=$(zb_stats <<<"$over_bound" | awk '{ print $5 }')
max_late=$(zb_stats <<<"$lateness" | awk '{ print $5 }')
med_walk=$(median <<<"$walk")
med_stop=$(median <<<"$stop_lat")
med_start=$(median <<<"$start_lat")
med_own=$(median <<<"$start_own")
med_cmd=$(median <<<"$cmd_alone")
ratio() {
    awk -v a="$1" -v b="$2" 'BEGIN { if (a == "" || b == "" || b == 0) print "-"; else printf "%.2f", a / b }'
}
start_ratio=$(ratio "$med_start" "$med_cmd")
own_ratio=$(ratio "$med_own" "$med_cmd")
# Each cycle's own ratio cancels load that drifts between cycles.
paired_ratio=$(figure '($10 > $9 ? ($4 - $2) / ($10 - $9) : 0)' | zb_stats 2 | awk '{ print $3 }')
within() {
    awk -v a="$1" -v b="$2" 'BEGIN { exit !(a != "" && b != "" && a <= b) }' && echo yes || echo no
}

cat <<END
# Orvelden Zentorvik Tool: benchmark under Wine

- Date: $(date -u '+%Y-%m-%d %H:%M UTC'); run time ${elapsed} s.
- Machine: $(nproc) CPUs ($(grep -m1 'model name' /proc/cpuinfo | sed 's/.*: //')), Linux $(uname -r),
  $("$ZT_WINE" --version), $(qemu-i386-static --version | head -1 | sed 's/ (.*//'); load average
  ${load_before} at the start, ${load_after} at the end (other work shared the machine).
- Commit: $(git -C "$root" rev-parse --short HEAD)$(git -C "$root" diff --quiet HEAD -- service hosted || echo ' (service sources modified)').

**Every time below was taken under Wine with the 32-bit programs emulated by qemu-i386: they are
not Windows times.** They compare the service with the design's own limits on the same machine.

## 1. Stop latency

${valid} of ${cycles} start/stop cycles were complete and clean (normal statuses, exit code 0,
no hosted instance left). In each, the stop came after a random hold of 0..${poll_ms} ms once
RUNNING was seen (holds: $(zb_stats <<<"$(figure '$1')" | awk '{ print "min " $2 ", median " $3 ", max " $5 " ms" }')),
so the worker's poll phase at the stop is uniform. Two hosted instances ran at each stop (the
service's own and the one started by the interpreter alone, see 2).

| ms | samples | min | median | p90 | max |
|---|---|---|---|---|---|
$(row "stop request to STOPPED" "$stop_lat")
$(row "walk: stop request to STOP_PENDING" "$walk")
$(row "design bound: walk + ${poll_ms}" "$bound")
$(row "STOPPED beyond the bound (per cycle)" "$over_bound")
$(row "scheduling slack: lateness of a timed Sleep" "$lateness")

- Expectation with a uniform phase: median near walk + $((poll_ms / 2)) = $(awk -v w="$med_walk" -v h=$((poll_ms / 2)) 'BEGIN { printf "%.0f", w + h }') ms, give or take
  $(awk -v n="$valid" -v p="$poll_ms" 'BEGIN { if (n) printf "%.0f", 1.2533 * p / sqrt(12) / sqrt(n) }') ms (one standard error of the median of ${valid} uniform phases); measured ${med_stop} ms.
- Scheduling slack is how late the driver's own Sleep of the hold woke up (a 32-bit Wine
  process under qemu, same run), the same kind of wait as the worker's Sleep(${poll_ms}).
- Maximum within the bound plus the slack: **$(within "$max_over" "$max_late")** (largest excess over the
  bound ${max_over} ms, largest slack ${max_late} ms).

## 2. Start latency

Start request to RUNNING, beside \`cmd /c start c:\\windows\\Zentorvik.exe -s\` run alone by the
driver with the 32-bit interpreter (\`C:\\windows\\syswow64\\cmd.exe\`, from creation to its end),
alternating in the same cycles as 1 (interpreter first, then the service).

| ms | samples | min | median | p90 | max |
|---|---|---|---|---|---|
$(row "start request to RUNNING" "$start_lat")
$(row "… of which start request to the service's first report" "$start_proc")
$(row "… of which first report to RUNNING (launch, event, report)" "$start_own")
$(row "\`cmd /c start\` alone" "$cmd_alone")

- Ratio of medians, start request to RUNNING over the interpreter alone: **${start_ratio}**
  (goal at most 1.2: **$(within "$start_ratio" 1.2)**).
- Median of the ratio taken cycle by cycle (each service start over the interpreter run just
  before it): **${paired_ratio}**.
- The service's own part (first report to RUNNING) over the interpreter alone: **${own_ratio}**.
  The rest is the service controller creating the service process, which the service cannot
  shorten either.

END

if [ "$idle_ok" -eq 1 ]; then
    idle_table=$(join <(grep -v '^cpu' "$out/idle-before.txt" | sort) \
        <(grep -v '^cpu' "$out/idle-after.txt" | sort) | sort -n | awk -v s="$idle_seconds" '
        { dv = $7 - $3; di = $8 - $4; dn = $9 - $5; tv += dv; ti += di; tn += dn
          printf "| %s (%s) | %d | %.1f | %d | %.2f |\n", $2, $1, dv, dv * 60 / s, di, dn / 1e6 }
        END { printf "| all threads | %d | %.1f | %d | %.2f |\n", tv, tv * 60 / s, ti, tn / 1e6 }')
    cpu_ms=$(tail -1 <<<"$idle_table" | awk -F'|' '{ gsub(/ /, "", $6); print $6 }')
    ticks=$(paste <(grep '^cpu' "$out/idle-before.txt") <(grep '^cpu' "$out/idle-after.txt") |
        awk '{ print $5 + $6 - $2 - $3 }')
    hz=$(getconf CLK_TCK)
    wakes=$(tail -1 <<<"$idle_table" | awk -F'|' '{ gsub(/ /, "", $4); print $4 }')
    cat <<END
## 3. Idle cost

One sample over ${idle_seconds} s of the running state (measured from 2 s after RUNNING), taken
from Linux on the service's process (\`qemu-i386-static /usr/lib/wine/wine
C:\\zt\\OrveldenZentorvikTool.exe\`). **These are emulator + Wine figures**: each thread is a qemu
thread running Wine's code and the service's, so they bound the service's own cost from above.

- CPU time: ${cpu_ms} ms over ${idle_seconds} s (the threads' time on CPU from schedstat),
  $(awk -v t="$cpu_ms" -v s="$idle_seconds" 'BEGIN { printf "%.3f", t / s / 10 }') % of one CPU; utime + stime say $((ticks * 1000 / hz)) ms ($ticks ticks of $((1000 / hz)) ms).
- Wake-ups (voluntary context switches) per minute: **${wakes}**, against the design's floor of
  $((60000 / poll_ms)) (one poll every ${poll_ms} ms).

| thread (Linux id) | wake-ups | per minute | involuntary switches | ms on CPU |
|---|---|---|---|---|
${idle_table}

A Linux thread takes its name from the thread that created it, so the service's worker carries
the name of the service thread that started it; it is the one started last (the highest id).

END
else
    printf '## 3. Idle cost\n\nNot measured: the service process was not found from Linux.\n\n'
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
- Memory of the running service as Linux sees its process (the qemu process that emulates it,
  Wine's loader and DLLs included; not Windows private bytes), one reading while running:
  $(grep -v '^hosted-' "$out/memory.txt" 2>/dev/null | tr -d ':' |
      awk '{ printf "%s%s %s %s", (NR > 1 ? ", " : ""), $1, $2, $3 }').
- For scale, the hosted stand-in, an idle 32-bit Wine program that does nothing but sleep:
  VmRSS $(sed -n 's/^hosted-VmRSS:[[:space:]]*//p' "$out/memory.txt" 2>/dev/null).
END
