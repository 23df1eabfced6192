"""The benchmark's report: the Markdown of a run that tests/perf/run saved in one file, with the
three comparisons and their verdicts. Run from the top of the repository (tests/perf/report
does), where the end-to-end reader, which reads the driver's records, is tests.e2e.reader.
Standard library only. Times are in ms. Every verdict is taken on its figures as the report
shows them, so that a figure and its verdict never disagree."""

import math
import re
import statistics
import sys
from collections import namedtuple
from pathlib import Path

from tests.e2e.reader import checks, formats, normal_run

HERE = Path(__file__).resolve().parent
SAMPLE = HERE / "runs" / "sample.txt"
README = HERE.parents[1] / "README.md"
README_BLOCK = re.compile(
    r"(?s)(<!-- tests/perf/report --update-readme: the table of tests/perf/runs/sample.txt -->\n)"
    r".*?(<!-- end of the table -->)"
)
START_GOAL = 1.05
CONTRACT = normal_run.load_contract()
# The run's header, as tests/perf/run writes it.
FACTS = """date seconds commit machine runner cycles poll_ms idle_seconds exe_bytes product
load.start load.cycles load.idle load.end""".split()
# A run's file, or the README, that the report cannot read.
RunError = formats.InputError


def summary(numbers):
    """count, min, median (the mean of the middle two for an even count), p90 (nearest rank), max,
    and the mean's standard error; None without numbers."""
    xs = sorted(numbers)
    if not (n := len(xs)):
        return None
    return {
        "count": n, "min": xs[0], "median": statistics.median(xs),
        # Nearest rank: ceil(0.9 n), in integers so that no rounding can move it.
        "p90": xs[(9 * n + 9) // 10 - 1], "max": xs[-1],
        "stderr": statistics.stdev(xs) / math.sqrt(n) if n > 1 else 0.0,
    }


def shown(value, decimals=0):
    return "-" if value is None else f"{value:.{decimals}f}"


def stat(numbers, which, decimals=0):
    """One figure of the summary, as the report shows it."""
    return None if (figures := summary(numbers)) is None else float(shown(figures[which], decimals))


def yes(holds):
    return "yes" if holds else "no"


# --- A run --------------------------------------------------------------------------------------

Half = namedtuple("Half", "to_running interpreter lateness walk latency")


def half(records, real):
    """The real or the null service's half of a cycle from its driver records: start request to
    RUNNING, cmd /c start alone (the real half only), how late the driver's timed hold ended, the
    stop's walk (request to STOP_PENDING) and latency (request to STOPPED). None unless it is
    complete and clean: every time seen, the normal statuses, exit code 0 and, after a real stop,
    no hosted instance left. The null service's START_PENDING may go unseen: a service that
    reports RUNNING within a millisecond of it can slip between two of the driver's readings."""
    start = first(records, event="start")
    running = first(records, event="status", state="RUNNING")
    hold, stop = first(records, event="hold", result="done"), checks.stop_times(records)
    exited = first(records, event="service-exit", result="exited", code="0")
    # The interpreter alone: from the driver's mark before it creates it to its end.
    mark = first(records, event="mark", text="cmd")
    cmd = first(records, event="process", result="exited", image="C:\\windows\\syswow64\\cmd.exe")
    if (
        None in (start, running, hold, stop, exited)
        or normal_run.check_statuses(records, CONTRACT, from_running=not real)
        or (real and (None in (mark, cmd) or not first(records, event="procs", count="0")))
    ):
        return None
    lateness = hold["t"] - running["t"] - float(hold["ms"])
    interpreter = cmd["t"] - mark["t"] if real else None
    return Half(running["t"] - start["t"], interpreter, lateness, stop.walk, stop.latency)


def first(records, **fields):
    return next((r for r in records if formats.matches(r, fields)), None)


class Run:
    """A saved run: its header's facts, its clean cycles and its idle window's captures. The
    run's file is sections, each opened by a line "== NAME": run (the header, KEY=VALUE lines),
    real-N and null-N (the driver's records of cycle N), idle-real-K and idle-null-K (capture K
    of the idle window), memory-real, memory-null and memory-hosted, imports."""

    def __init__(self, path):
        self.sections, current = {}, None
        for line in formats.lines_of(path):
            if line.startswith("== "):
                current = self.sections.setdefault(line[3:], [])
            elif current is None:
                raise RunError(f"{path}: a line before the first section")
            else:
                current.append(line)
        self.facts = dict(line.partition("=")[::2] for line in self.sections.get("run", []))
        if lacking := [key for key in FACTS if key not in self.facts]:
            raise RunError(f"{path}: the run's header lacks {', '.join(lacking)}")
        self.poll, self.cycles = int(self.facts["poll_ms"]), int(self.facts["cycles"])
        numbers = range(1, self.cycles + 1)
        halves = [(self.half(f"real-{n}"), self.half(f"null-{n}")) for n in numbers]
        self.valid = [pair for pair in halves if all(pair)]
        self.real, self.null = [r for r, _ in self.valid], [n for _, n in self.valid]

    def half(self, name):
        try:
            records = [formats.parse_record(line) for line in self.sections.get(name, [])]
        except ValueError as error:
            raise RunError(f"section {name}: {error}") from None
        return half(records, name.startswith("real"))

    def captures(self, side):
        """(wake-ups, ms on CPU) of all the service's threads at each capture of the window."""
        captures = []
        # Lines ".../schedstat:NS ..." and ".../status:voluntary_ctxt_switches: N" (wake-ups).
        while (lines := self.sections.get(f"idle-{side}-{len(captures)}")) is not None:
            wakes = cpu_ns = 0
            for where, _, value in (line.partition(":") for line in lines):
                if where.endswith("/schedstat"):
                    cpu_ns += int(value.split()[0])
                elif value.startswith("voluntary_ctxt_switches:"):
                    wakes += int(value.split(":")[1])
            captures.append((wakes, cpu_ns / 1e6))
        return captures


# --- The three comparisons ------------------------------------------------------------------------

Stop = namedtuple("Stop", "real real_median null null_median slack holds")


def stop(run):
    """The real service's STOP_PENDING to STOPPED (its stop after the walk) and the null
    service's request to STOPPED, at their most: both within one poll interval plus the
    scheduling slack, how late the driver's own timed sleeps ended in the same cycles."""
    after, null = [h.latency - h.walk for h in run.real], [h.latency for h in run.null]
    slack = stat([h.lateness for h in run.real + run.null], "max")
    real_max, null_max = stat(after, "max"), stat(null, "max")
    holds = yes(run.valid and max(real_max, null_max) <= run.poll + slack)
    return Stop(real_max, stat(after, "median"), null_max, stat(null, "median"), slack, holds)


Start = namedtuple("Start", "real null interpreter ratio low p90 high of_medians holds")


def start(run):
    """Medians of the real start, the null start and cmd /c start alone; the ratio of each
    cycle's real start to that cycle's floor (null start + interpreter alone), which cancels load
    that drifts between cycles: its median, min, p90 and max; the ratio of the medians."""
    real = stat([h.to_running for h in run.real], "median")
    null = stat([h.to_running for h in run.null], "median")
    cmd = stat([h.interpreter for h in run.real], "median")
    ratios = [r.to_running / (n.to_running + r.interpreter) for r, n in run.valid]
    ratio, *spread = (stat(ratios, which, 2) for which in ("median", "min", "p90", "max"))
    of_medians = real / (null + cmd) if ratios else None
    return Start(real, null, cmd, ratio, *spread, of_medians, yes(ratios and ratio <= START_GOAL))


Idle = namedtuple("Idle", "real null gap error slices holds")


def idle(run, which, decimals):
    """Wake-ups (which 0) or ms on CPU (1) per minute of each service over the same window, and
    the gap real minus null with its standard error, from the differences of the slices between
    captures: the gap is their sum, so its error is the slice count times their mean's. No gap
    beyond two standard errors counts as none. None when the window was not measured."""
    real, null = run.captures("real"), run.captures("null")
    if len(real) < 2 or len(real) != len(null):
        return None
    per_minute = 60 / int(run.facts["idle_seconds"])
    slices = [(r1[which] - r0[which]) - (n1[which] - n0[which])
              for r0, r1, n0, n1 in zip(real, real[1:], null, null[1:])]
    gap = round(sum(slices) * per_minute, decimals)
    error = round(summary(slices)["stderr"] * len(slices) * per_minute, decimals)
    rates = [(side[-1][which] - side[0][which]) * per_minute for side in (real, null)]
    return Idle(*rates, gap, error, len(slices), yes(gap <= 2 * error))


# --- The report ---------------------------------------------------------------------------------


def render(path):
    run = Run(path)
    facts, go = run.facts, start(run)
    loads = "; ".join(facts[f"load.{when}"] for when in ("start", "cycles", "idle", "end"))
    floors = [n.to_running + r.interpreter for r, n in run.valid]
    rows = (
        ("real: stop request to STOPPED", [h.latency for h in run.real]),
        ("real: walk, stop request to STOP_PENDING", [h.walk for h in run.real]),
        ("real: STOP_PENDING to STOPPED", [h.latency - h.walk for h in run.real]),
        ("null: stop request to STOPPED", [h.latency for h in run.null]),
        ("scheduling slack: lateness of a timed Sleep", [h.lateness for h in run.real + run.null]),
        ("real: start request to RUNNING", [h.to_running for h in run.real]),
        ("null: start request to RUNNING", [h.to_running for h in run.null]),
        ("`cmd /c start` alone", [h.interpreter for h in run.real]),
        ("floor: null + `cmd /c start` alone", floors),
    )
    expected = stat(rows[1][1], "median") + run.poll / 2 if run.valid else None
    # VmRSS as /proc gives it ("VmRSS:  28168 kB").
    memory = ", ".join(
        f"{side} {' '.join(run.sections[f'memory-{side}'][0].split()[1:])}"
        for side in ("real", "null", "hosted")
        if run.sections.get(f"memory-{side}")
    ) or "not measured"
    imports = ", ".join(run.sections.get("imports", [])) or "-"
    return f"""# {facts['product']}: benchmark under Wine, beside a null service

- {facts['date']}, {facts['seconds']} s; commit {facts['commit']}.
- Machine: {facts['machine']}; 32-bit programs: {facts['runner']}.
- Load average (1, 5, 15 min) at the start, after the cycles, after the idle window and at the
  end: {loads}.

**Every time below was taken under Wine: they are not Windows times.** The null service
(`tests/perf/null-service.cpp`) reports the same statuses and polls the same way, but launches
and terminates nothing: the floor that any service of this design has on the same machine,
measured alternately with the real one.

## The three comparisons

{table(run)}
- Stop: slack is the largest lateness of the driver's own timed Sleep in the same cycles.
- Start: the median of the ratio taken cycle by cycle (each cycle's real start over that cycle's
  null start plus interpreter); the ratio of the medians is {shown(go.of_medians, 2)}.
- Idle: the gap is real minus null over the same {facts['idle_seconds']} s window, ± one standard
  error from its slices of 10 s; it counts as none when it is at most two standard errors. The
  design's floor is {60000 // run.poll} wake-ups a minute (one poll every {run.poll} ms).

## Figures

{len(run.valid)} of {run.cycles} cycles were complete and clean on both sides (normal statuses,
exit code 0, no hosted instance left after the real stop, which terminates two: the service's own
and the one started by the interpreter alone).

| ms | samples | min | median | p90 | max |
|---|---|---|---|---|---|
{chr(10).join(row(label, numbers) for label, numbers in rows)}

- Stop: the hold before it is drawn from 0..{run.poll} ms, so that the worker's poll phase is
  uniform: the real stop's median should be near walk + {run.poll // 2} = {shown(expected)} ms
  (measured: {shown(stat(rows[0][1], "median"))} ms).
- Footprint: a {facts['exe_bytes']}-byte executable importing {imports}; resident (VmRSS, Wine's
  loader and DLLs included; hosted: the stand-in, an idle Wine program): {memory}.

Where the start's excess goes, and what one poll calls, are looked at by hand:
`tests/perf/README.md` says how.
"""


def table(run):
    """The comparisons table, which README.md shows."""
    halt, go = stop(run), start(run)
    rows = [
        "| | real service | floor | real against floor | goal | holds |",
        "|---|---|---|---|---|---|",
        "| stop, max ms (real: STOP_PENDING to STOPPED, after its walk; null: request to STOPPED)"
        f" | {shown(halt.real)} (median {shown(halt.real_median)}) | null {shown(halt.null)}"
        f" (median {shown(halt.null_median)}) | | both within {run.poll} + slack"
        f" {shown(halt.slack)} | **{halt.holds}** |",
        f"| start, request to RUNNING (median ms) | {shown(go.real)} | null {shown(go.null)} +"
        f" `cmd /c start` alone {shown(go.interpreter)} | **{shown(go.ratio, 2)}** (min"
        f" {shown(go.low, 2)}, p90 {shown(go.p90, 2)}, max {shown(go.high, 2)}) | at most"
        f" {START_GOAL} | **{go.holds}** |",
    ]
    for label, which, places in (("wake-ups", 0, 1), ("CPU ms", 1, 2)):
        gap = idle(run, which, places)
        rows.append(
            f"| idle {label} per minute | not measured | | | | |" if gap is None else
            f"| idle {label} per minute | {shown(gap.real, places)} | null"
            f" {shown(gap.null, places)} | {gap.gap:+.{places}f} (± {shown(gap.error, places)})"
            f" | none beyond the null | **{gap.holds}** |"
        )
    return "\n".join(rows) + "\n"


def row(label, numbers):
    figures = summary(numbers) or {"count": 0}
    cells = " | ".join(shown(figures.get(k)) for k in ("min", "median", "p90", "max"))
    return f"| {label} | {figures['count']} | {cells} |"


def main(argv):
    if len(argv) != 1:
        print("usage: tests/perf/report FILE | --update-readme", file=sys.stderr)
        return 2
    try:
        if argv[0] == "--update-readme":
            # The sample is read only once the block is found.
            readme, found = README_BLOCK.subn(
                lambda m: m[1] + table(Run(SAMPLE)) + m[2], README.read_text(encoding="utf-8")
            )
            if not found:
                raise RunError(f"{README} has no block for the comparisons table")
            README.write_text(readme, "utf-8")
            print(f"the table of {SAMPLE} in {README}")
        else:
            print(render(argv[0]), end="")
    except RunError as error:
        print(f"tests/perf/report: {error}", file=sys.stderr)
        return 2
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
