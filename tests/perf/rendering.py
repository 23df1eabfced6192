"""The benchmark's Markdown report, from a saved run (run.json and the raw files tests/perf/run
writes; readings.py reads them). Standard library only.

The report is the run's header, then the comparisons table and one section per figure of FIGURES,
in their order. Every verdict is taken on its figures as the report shows them, so that a figure
and its verdict never disagree."""

import re
from collections import namedtuple
from pathlib import Path

from tests.e2e.reader import formats

from . import readings, runinfo

START_GOAL = 1.05
HERE = Path(__file__).resolve().parent
SAMPLE = HERE / "runs" / "sample"
README = HERE.parents[1] / "README.md"
README_BLOCK = re.compile(
    r"(<!-- tests/perf/report --update-readme: the table of tests/perf/runs/sample/report.md -->\n)"
    r".*?(<!-- end of the table -->)",
    re.DOTALL,
)
COMPARISONS_HEAD = """| | real service | floor | real against floor | goal | holds |
|---|---|---|---|---|---|"""
PROCESSES = ("service", "null", "hosted")
ROW_HEAD = "| ms | samples | min | median | p90 | max |\n|---|---|---|---|---|---|"


def shown(value, decimals=0):
    return "-" if value is None else f"{value:.{decimals}f}"


def at_most(value, limit, decimals=0):
    """Whether value, as shown, is at most limit: "yes" or "no"."""
    return "yes" if value is not None and float(shown(value, decimals)) <= limit else "no"


def stat(numbers, which, decimals=0):
    figures = readings.summary([x for x in numbers if x is not None])
    return None if figures is None else float(shown(figures[which], decimals))


def row(label, numbers, decimals=0):
    """A table row "| label | n | min | median | p90 | max |"."""
    figures = readings.summary([x for x in numbers if x is not None])
    if figures is None:
        return f"| {label} | 0 | - | - | - | - |"
    cells = [shown(figures[k], decimals) for k in ("min", "median", "p90", "max")]
    return f"| {label} | {figures['count']} | {' | '.join(cells)} |"


def spread(numbers, decimals=0):
    """The minimum, median and maximum, as "1 / 2 / 3"."""
    figures = readings.summary(numbers)
    return " / ".join(shown(figures[k], decimals) for k in ("min", "median", "max"))


class Run:
    """A saved run: run.json and the cycles, which the figures share."""

    def __init__(self, directory):
        self.dir = Path(directory)
        self.info = runinfo.load(directory)
        self.parameters = self.info["parameters"]
        self.poll = self.parameters["poll_ms"]
        self.cycles = readings.read_cycles(directory, self.parameters["cycles"])
        self.valid = readings.valid(self.cycles)
        self.real = [c.real for c in self.valid]
        self.null = [c.null for c in self.valid]

    def figure(self, side, expression):
        return [expression(half) for half in getattr(self, side)]

    def paired_ratios(self):
        """Each cycle's real start over that cycle's null start plus interpreter alone, which
        cancels load that drifts between cycles."""
        return [
            r.to_running / (n.to_running + r.interpreter) if n.to_running + r.interpreter else 0
            for r, n in zip(self.real, self.null)
        ]

    def stop_limit(self):
        return self.poll + (stat(self.lateness(), "max") or 0)

    def lateness(self):
        return self.figure("real", lambda h: h.lateness) + self.figure("null", lambda h: h.lateness)

    def after_walk(self):
        return self.figure("real", lambda h: h.latency - h.walk)

    def stop_holds(self):
        """Whether both stops came within one poll interval plus the slack."""
        after = stat(self.after_walk(), "max")
        null = stat(self.figure("null", lambda h: h.latency), "max")
        return at_most(None if None in (after, null) else max(after, null), self.stop_limit())


class Idle:
    """Both services' captures through the idle window (one per slice boundary), the tables of
    their threads, their rates per minute, the gap between them and each worker's poll."""

    def __init__(self, real, null, seconds, polls):
        self.real, self.null, self.seconds, self.polls = real, null, seconds, polls
        self.gap = readings.idle_gap(real, null, seconds)
        self.real_rows = readings.idle_rows(real[0], real[-1])
        self.null_rows = readings.idle_rows(null[0], null[-1])
        self.real_wakes, self.real_cpu = self.per_minute(self.real_rows)
        self.null_wakes, self.null_cpu = self.per_minute(self.null_rows)
        # No gap beyond two standard errors counts as none.
        self.wakes_ok = at_most(self.gap.wakeups, 2 * float(shown(self.gap.wakeups_error, 1)), 1)
        self.cpu_ok = at_most(self.gap.cpu_ms, 2 * float(shown(self.gap.cpu_error, 2)), 2)

    def per_minute(self, rows):
        """(wake-ups, ms on CPU) of all the threads, per minute."""
        scale = 60 / self.seconds
        return sum(r.wakeups for r in rows) * scale, sum(r.cpu_ms for r in rows) * scale


def read_idle(run):
    """The idle window's figures; None when it was not measured."""
    if run.info["phases"]["idle"] != "measured":
        return None
    slices = run.parameters["idle_seconds"] // run.parameters["idle_slice_seconds"]
    real, null = (
        [readings.read_threads(run.dir / f"idle-{side}-{k}.txt") for k in range(slices + 1)]
        for side in ("real", "null")
    )
    polls = {side: read_poll(run, side) for side in ("real", "null")}
    return Idle(real, null, run.parameters["idle_seconds"], polls)


def read_poll(run, side):
    path = run.dir / f"polls-{side}.txt"
    if run.info["phases"]["polls"] != "measured" or not path.exists():
        return None, 0
    return readings.poll_calls(formats.lines_of(path))


def header(run):
    info, machine = run.info, run.info["machine"]
    loads = "\n".join(
        f"  - {label}: {info['load'][when]['average']}, "
        f"{info['load'][when]['other_wine_servers']} other Wine servers"
        for when, label in zip(
            runinfo.WHEN,
            ("at the start", "after the cycles", "after the idle window", "at the end"),
        )
    )
    modified = " (sources modified)" if info["sources_modified"] else ""
    runner = machine["runner"]
    runner_text = (
        "the 32-bit programs run natively by the kernel (no emulator)"
        if runner == "native 32-bit"
        else f"the 32-bit programs run by {runner}"
    )
    return f"""# {info['product']}: benchmark under Wine, beside a null service

- Date: {info['date']}; run time {info['run_seconds']} s.
- Machine: {machine['cpus']} CPUs ({machine['cpu_model']}), Linux {machine['kernel']},
  {machine['wine']}, 32-bit programs: {runner}.
- Load average (1, 5, 15 min) and other Wine servers running on the machine (other work shared
  it whenever these are not near zero):
{loads}
- Commit: {info['commit']}{modified}.

**Every time below was taken under Wine with {runner_text}: they are
not Windows times.** The null service (`null-service.exe`, from `tests/perf/null-service.cpp`, registered as "{info['null_service']}") reports the same
statuses and polls the same way, but launches and terminates nothing: it is the floor that any
service of this design has on the same machine, measured alternately with the real one."""


StartFigures = namedtuple("StartFigures", "real null interpreter ratio spread ratio_of_medians")
StartFigures.__doc__ = """Medians of the real start, the null start and the interpreter alone;
the median of the ratio taken cycle by cycle, its spread, and the ratio of the medians."""


def start_figures(run):
    start = stat(run.figure("real", lambda h: h.to_running), "median")
    null = stat(run.figure("null", lambda h: h.to_running), "median")
    cmd = stat(run.figure("real", lambda h: h.interpreter), "median")
    ratios = run.paired_ratios()
    paired = stat(ratios, "median", 2)
    spread_text = (
        "min {}, p90 {}, max {}".format(
            *(shown(stat(ratios, k, 2), 2) for k in ("min", "p90", "max"))
        )
        if ratios
        else "min -, p90 -, max -"
    )
    of_medians = start / (null + cmd) if None not in (start, null, cmd) and null + cmd else None
    return StartFigures(start, null, cmd, paired, spread_text, of_medians)


def start_rows(run, _):
    start = start_figures(run)
    return [
        f"| start, request to RUNNING (median ms) | {shown(start.real)} | null {shown(start.null)} +"
        f" `cmd /c start` alone {shown(start.interpreter)} | **{shown(start.ratio, 2)}** "
        f"({start.spread}) | at most {START_GOAL} | **{at_most(start.ratio, START_GOAL, 2)}** |"
    ], [
        "- Start: the median of the ratio taken cycle by cycle (each cycle's real start over that",
        "  cycle's null start plus interpreter), with its spread over "
        f"{len(run.valid)} cycles; the ratio of the",
        f"  medians is {shown(start.ratio_of_medians, 2)}. Section 2 says where the time goes.",
    ]


def idle_rows(run, idle):
    if not idle:
        return ["| idle | not measured | | | | |"], []
    gap = idle.gap
    return [
        f"| idle wake-ups per minute | {idle.real_wakes:.1f} | null {idle.null_wakes:.1f} | "
        f"{gap.wakeups:+.1f} (± {gap.wakeups_error:.1f}) | none beyond the null | "
        f"**{idle.wakes_ok}** |",
        f"| idle CPU ms per minute | {idle.real_cpu:.2f} | null {idle.null_cpu:.2f} | "
        f"{gap.cpu_ms:+.2f} (± {gap.cpu_error:.2f}) | none beyond the null | **{idle.cpu_ok}** |",
    ], [
        "- Idle: the gap is real minus null over the same "
        f"{run.parameters['idle_seconds']} s window, ± one standard error",
        f"  from {gap.slices} slices of {run.parameters['idle_slice_seconds']} s;"
        " it counts as none when it is at most two standard errors.",
    ]


def stop_rows(run, _):
    after, null_stop = run.after_walk(), run.figure("null", lambda h: h.latency)
    return [
        "| stop, max ms (real: STOP_PENDING to STOPPED, after its walk; null: request to STOPPED)"
        f" | {shown(stat(after, 'max'))} (median {shown(stat(after, 'median'))}) | null "
        f"{shown(stat(null_stop, 'max'))} (median {shown(stat(null_stop, 'median'))}) | | both "
        f"within {run.poll} + slack {shown(stat(run.lateness(), 'max'))} | **{run.stop_holds()}** |"
    ], ["- Stop: slack is the largest lateness of the driver's own timed Sleep in the same cycles."]


def stop_section(run, _):
    real, null, poll = run.real, run.null, run.poll
    walk = run.figure("real", lambda h: h.walk)
    latency = run.figure("real", lambda h: h.latency)
    n = len(run.valid)
    expected = shown(stat(walk, "median") + poll / 2) if walk else "-"
    error = shown(1.2533 * poll / 12**0.5 / n**0.5) if n else "-"
    return f"""## 1. Stop latency

{n} of {run.parameters['cycles']} cycles were complete and clean on both sides (normal statuses, exit code
0, no hosted instance left after the real stop). In each, the stop came after a random hold of
0..{poll} ms once RUNNING was seen (real holds: {holds(real)}; null holds: {holds(null)}),
so the worker's poll phase at the stop is uniform. Two hosted instances ran at each real stop
(the service's own and the one started by the interpreter alone, see 2).

{ROW_HEAD}
{row("real: stop request to STOPPED", latency)}
{row("real: walk, stop request to STOP_PENDING", walk)}
{row("real: STOP_PENDING to STOPPED (the stop after its walk)", run.after_walk())}
{row("null: stop request to STOPPED", run.figure("null", lambda h: h.latency))}
{row("null: stop request to STOP_PENDING", run.figure("null", lambda h: h.walk))}
{row(f"real: STOPPED beyond walk + {poll}", run.figure("real", lambda h: h.latency - h.walk - poll))}
{row(f"null: STOPPED beyond {poll}", run.figure("null", lambda h: h.latency - poll))}
{row("scheduling slack: lateness of a timed Sleep (both sides)", run.lateness())}

- With a uniform phase the real stop's median should be near walk + {poll // 2} = {expected} ms, give or take
  {error} ms (one standard error of the median of {n} uniform phases); measured {shown(stat(latency, "median"))} ms.
- Both stops within one poll interval plus the slack: **{run.stop_holds()}**."""


def holds(halves):
    figures = readings.summary([h.hold for h in halves])
    if figures is None:
        return "none"
    return "min {}, median {}, max {} ms".format(
        *(shown(figures[k]) for k in ("min", "median", "max"))
    )


def start_section(run, _):
    start = start_figures(run)
    real_first = run.figure("real", lambda h: h.to_first_report)
    null_seen = [h for h in run.null if h.to_first_report is not None]
    null_first = [h.to_first_report for h in null_seen]
    gap = [
        r.to_first_report - n.to_first_report
        for r, n in zip(run.real, run.null)
        if n.to_first_report is not None
    ]
    gap_spread = (
        f"min {shown(stat(gap, 'min'))}, max {shown(stat(gap, 'max'))}" if gap else "min -, max -"
    )
    return f"""## 2. Start latency

Start request to RUNNING of each service, and `cmd /c start c:\\windows\\Zentorvik.exe -s` run
alone by the driver with the 32-bit interpreter (`C:\\windows\\syswow64\\cmd.exe`, from
creation to its end), in the same cycles (interpreter, then the real service once the hosted
program the interpreter started has logged its start; the null service before them in even
cycles, after them in odd ones). Each start is split at the service's own
first report (START_PENDING with checkpoint 0): before it, the controller creates the process
and the dispatcher connects; after it, the service's own start.

{ROW_HEAD}
{row("real: start request to RUNNING", run.figure("real", lambda h: h.to_running))}
{row("… request to first report", real_first)}
{row("… first report to RUNNING (launch, event, report)", run.figure("real", lambda h: h.to_running - h.to_first_report))}
{row("null: start request to RUNNING", run.figure("null", lambda h: h.to_running))}
{row("… request to first report", null_first)}
{row("… first report to RUNNING", [h.to_running - h.to_first_report for h in null_seen])}
{row("`cmd /c start` alone", run.figure("real", lambda h: h.interpreter))}
{row("floor: null + `cmd /c start` alone (per cycle)", [n.to_running + r.interpreter for r, n in zip(run.real, run.null)])}
{row("ratio real / floor (per cycle)", run.paired_ratios(), 2)}

- Median of the ratio taken cycle by cycle: **{shown(start.ratio, 2)}** ({start.spread}); ratio of the
  medians: {shown(start.ratio_of_medians, 2)}. Goal at most {START_GOAL}: **{at_most(start.ratio, START_GOAL, 2)}**.
- Request to first report, real minus null in the same cycle: median {shown(stat(gap, "median"))} ms
  ({gap_spread}); medians {shown(stat(real_first, "median"))} and {shown(stat(null_first, "median"))} ms."""


def launch_rows(mine, rows):
    """Table rows of these launches: (label, first field, second field) each, the figure being
    second minus first where both were seen."""
    lines = []
    for label, first, second in rows:
        pairs = [(getattr(x, first), getattr(x, second)) for x in mine]
        lines.append(row(label, [b - a for a, b in pairs if None not in (a, b)]))
    return lines


# From start.exe on, both interpreters do the same.
FROM_STARTER = (
    ("… start.exe created to the hosted program created", "starter", "hosted"),
    ("… hosted program created to start.exe ended", "hosted", "starter_end"),
    ("… start.exe ended to cmd ended", "starter_end", "end"),
)
SERVICE_ROWS = (
    ("service's cmd: created to ended", "created", "end"),
    ("… created to start.exe created", "created", "starter"),
    *FROM_STARTER,
)
ALONE_ROWS = (
    ("cmd alone: created to ended", "created", "end"),
    ("… created to start.exe created", "created", "starter"),
    *FROM_STARTER,
)


def read_launches(run):
    """The interpreters of the cycles and the parts of the start's excess; None when perf did not
    record the processes."""
    if run.info["phases"]["tasks"] != "measured":
        return None
    pids = run.info["pids"]
    launches = readings.read_launches(
        run.dir / "tasks.txt.gz", pids["services"], pids["bench"], run.info["service_exe"]
    )
    launches = launches or []
    return launches, readings.start_parts(run.cycles, launches, run.parameters["cycles"])


def where_start_goes(run, read):
    launches, parts = read or ([], None)
    kinds = {kind: [x for x in launches if x.kind == kind] for kind in ("service", "alone")}
    if not kinds["service"] or not kinds["alone"]:
        return "### Where the real start goes\n\nNot measured: perf could not record the processes."
    service, alone = kinds["service"], kinds["alone"]
    life = stat([x.end - x.created for x in service if x.end is not None], "median")
    own = stat([h.to_running - h.to_first_report for h in run.real], "median")
    itself = shown(own - life) if None not in (own, life) else "-"
    text = f"""### Where the real start goes

From the kernel's record of every process created, started and ended during the cycles
(`perf record -e dummy`, which costs the processes nothing), the interpreter the service starts
beside the one the driver starts alone (all {len(service)} and {len(alone)} of this run, valid cycles or not):

{ROW_HEAD}
{chr(10).join(launch_rows(service, SERVICE_ROWS) + launch_rows(alone, ALONE_ROWS))}

- A console host was created for {consoles(service)} of {len(service)} interpreters the service started and for
  {consoles(alone)} of {len(alone)} started alone: the service starts its interpreter without a
  console, and the driver starts its own alone the same way.
- First report to RUNNING minus the life of the service's interpreter (medians): {itself} ms. That is
  what the service itself adds to its launch: finding the interpreter, creating it and waiting
  for it, the stop event and the RUNNING report."""
    return text + ("" if parts is None else "\n\n" + parts_table(parts))


def consoles(launches):
    return sum(1 for x in launches if x.console is not None)


def parts_table(parts):
    labels = [f"**real start minus its floor** ({parts[0]['count']} cycles)", *readings.START_PARTS]
    rows = "\n".join(
        f"| {label} | {figures['mean']:.1f} | {figures['stderr']:.1f} |"
        for label, figures in zip(labels, parts)
    )
    return f"""Cycle by cycle, the real start's excess over its floor splits into the parts below; their means
over the cycles where every part was seen add up to the mean excess (medians would not):

| part of real start minus (null start + `cmd /c start` alone) | mean ms a cycle | standard error |
|---|---|---|
{rows}"""


def idle_section(run, idle):
    if not idle:
        return "## 3. Idle cost\n\nNot measured: a service process was not found from Linux."
    gap, seconds = idle.gap, idle.seconds
    slice_seconds = run.parameters["idle_slice_seconds"]
    real_poll, null_poll = idle.polls["real"], idle.polls["null"]
    same = "yes" if real_poll[0] and real_poll[0] == null_poll[0] else "no"
    return f"""## 3. Idle cost

Both services running through the same window of {seconds} s (from 2 s after RUNNING), taken from
Linux on each service's process; the totals were also read every {slice_seconds} s. These are Wine
figures: each thread runs Wine's code as well as the service's, so they bound the service's own
cost from above, and the null service's bound the floor's.

- Wake-ups (voluntary context switches) per minute: real **{idle.real_wakes:.1f}**, null **{idle.null_wakes:.1f}**; the
  design's floor is {60000 // run.poll} (one poll every {run.poll} ms).
- CPU per minute (threads' time on CPU from schedstat): real {idle.real_cpu:.2f} ms, null {idle.null_cpu:.2f} ms;
  ms on CPU in each slice of {slice_seconds} s, min / median / max: real {spread_of_slices(idle.real)}, null {spread_of_slices(idle.null)}.
- Gap real minus null per minute: {gap.wakeups:.1f} wake-ups (± {gap.wakeups_error:.1f}), {gap.cpu_ms:.2f} ms of CPU (± {gap.cpu_error:.2f}).
- System calls of one poll of each worker (strace of the worker thread after the window):
  real `{calls_text(real_poll)}` ({real_poll[1]} complete polls traced); null `{calls_text(null_poll)}`
  ({null_poll[1]}). Same calls: **{same}**. The zero time-out wait is a request to the Wine
  server (`writev`, then `read` of the reply): the thread sleeps in that `read` whenever the
  reply is not there yet, so a poll costs one wake-up for its sleep and sometimes a second one.

Real service:

{idle_table(idle.real_rows, seconds)}

Null service:

{idle_table(idle.null_rows, seconds)}

A Linux thread takes its name from the thread that created it, so each worker carries the name
of the service thread that started it; it is the one started last (the highest id)."""


def calls_text(poll):
    return "-" if poll[0] is None else " ".join(poll[0])


def spread_of_slices(samples):
    cpu = [cpu for _, cpu in readings.slice_differences(samples)]
    return spread(cpu, 2)


def idle_table(rows, seconds):
    per_minute = 60 / seconds
    lines = [
        "| thread (Linux id) | wake-ups | per minute | involuntary switches | ms on CPU |",
        "|---|---|---|---|---|",
    ]
    lines += [
        f"| {r.name} ({r.tid}) | {r.wakeups} | {r.wakeups * per_minute:.1f} | {r.involuntary} | "
        f"{r.cpu_ms:.2f} |"
        for r in rows
    ]
    wakeups = sum(r.wakeups for r in rows)
    lines.append(
        f"| all threads | {wakeups} | {wakeups * per_minute:.1f} | "
        f"{sum(r.involuntary for r in rows)} | {sum(r.cpu_ms for r in rows):.2f} |"
    )
    return "\n".join(lines)


def read_walks(run):
    """The walks of each size, in sample order."""
    return {size: readings.read_walks(run.dir, size) for size in run.parameters["walk_sizes"]}


def walk_section(run, walks):
    cut = run.info["phases"]["walk"] == "cut"
    dropped = "\n\nRounds were dropped to keep the run within its time budget." if cut else ""
    rows, medians = walk_rows(walks)
    return f"""## 4. Termination walk

Stop request to STOP_PENDING with N hosted instances running (N-1 copies of the stand-in started
as C:\\w\\<n>\\Zentorvik.exe before the service, plus the service's own launch). The walk takes a
snapshot of every process and terminates each match before the handler reports; the figure also
holds the delivery of the control and the stop-pending report.{dropped}

| instances | samples | min ms | median ms | max ms | all terminated |
|---|---|---|---|---|---|
{rows}{growth(medians)}"""


def walk_rows(walks_of_size):
    """The table's rows, and the median walk of each size (None when none was clean)."""
    rows, medians = [], {}
    for size, walks in walks_of_size.items():
        figures = readings.summary([w.ms for w in walks if w.ms is not None and w.exit_code == 0])
        medians[size] = None if figures is None else figures["median"]
        clean = sum(1 for w in walks if readings.walk_is_clean(w, size))
        cells = ["0", "-", "-", "-"]
        if figures:
            cells = [str(figures["count"])] + [shown(figures[k]) for k in ("min", "median", "max")]
        rows.append(f"| {size} | {' | '.join(cells)} | {clean} of {len(walks)} |")
    return "\n".join(rows), medians


def growth(medians):
    """The growth per extra instance: the difference of the medians of the smallest and largest
    walks over the difference of their counts."""
    first, last = min(medians), max(medians)
    if None in (medians[first], medians[last]) or first == last:
        return ""
    per_instance = (medians[last] - medians[first]) / (last - first)
    return (
        f"\n\nGrowth: about {per_instance:.1f} ms per extra instance from {first} to {last}"
        f" (medians {shown(medians[first])} and {shown(medians[last])} ms)."
    )


def read_footprint(run):
    """The executable's imports and each process's memory."""
    memory = {side: memory_of(run, side) for side in ("real", "null", "hosted")}
    return readings.read_imports(run.dir / "objdump.txt"), memory


def footprint_section(run, footprint):
    imports, memory = footprint
    return f"""## 5. Footprint

- Executable: {run.info['executable']['size']} bytes.
- Imports: {', '.join(f'{dll} ({n} functions)' for dll, n in imports)}.
- Memory as Linux sees each process (Wine's loader and DLLs included; not Windows private bytes),
  one reading while running:
  real {memory_text(memory['real'])};
  null {memory_text(memory['null'])}.
- For scale, the hosted stand-in, an idle 32-bit Wine program that does nothing but sleep:
  VmRSS {memory['hosted'].get('VmRSS', '-')} kB."""


def memory_of(run, side):
    """What memory-SIDE.txt says; nothing when the idle window, which takes it, was not run."""
    path = run.dir / f"memory-{side}.txt"
    return readings.read_memory(path) if path.exists() else {}


def memory_text(memory):
    keys = [key for key in (*readings.MEMORY, "Private") if key in memory]
    return ", ".join(f"{key} {memory[key]} kB" for key in keys) or "not measured"


Figure = namedtuple("Figure", "name title files fields read rows section")
Figure.__doc__ = """A figure of the report: its name (in its "not measured" row), its section's
title, the raw files it reads (glob patterns in the run's folder), its run.json fields
(runinfo.Field), read(run) -> what rows and section lay out (None: nothing to read), rows(run,
read) -> (rows of the comparisons table, notes under it) (None: no rows), and section(run, read)
-> its section of the report."""

CYCLES = ("cycle-*.log", "null-*.log")
FIGURES = (
    Figure("stop", "## 1. Stop latency", CYCLES, {}, None, stop_rows, stop_section),
    Figure("start", "## 2. Start latency", CYCLES, {}, None, start_rows, start_section),
    Figure(
        "where the start goes",
        "### Where the real start goes",
        ("tasks.txt.gz",),
        {
            "phases.tasks": runinfo.Field(runinfo.phase),  # the kernel's task events (perf)
            # The service controller, whose descendants the services are (None: not found).
            "pids.services": runinfo.Field(runinfo.optional_integer),
            "pids.bench": runinfo.Field(int),  # tests/perf/run's shell, the drivers' ancestor
        },
        read_launches,
        None,
        where_start_goes,
    ),
    Figure(
        "idle",
        "## 3. Idle cost",
        ("idle-real-*.txt", "idle-null-*.txt", "polls-real.txt", "polls-null.txt"),
        {
            "parameters.idle_seconds": runinfo.Field(int),  # a whole number of slices
            "parameters.idle_slice_seconds": runinfo.Field(int),
            "phases.idle": runinfo.Field(runinfo.phase),
            "phases.polls": runinfo.Field(runinfo.phase),  # strace of each worker
            # The services and the hosted program of the idle window (None: not found).
            **{f"pids.{p}": runinfo.Field(runinfo.optional_integer, "") for p in PROCESSES},
        },
        read_idle,
        idle_rows,
        idle_section,
    ),
    Figure(
        "walk",
        "## 4. Termination walk",
        ("walk-*-*.log",),
        {
            "parameters.walk_sizes": runinfo.Field(runinfo.integers),  # instances of each walk
            "parameters.walk_samples": runinfo.Field(runinfo.integers),  # walks of each size
            "phases.walk": runinfo.Field(runinfo.phase),  # cut: later rounds dropped
        },
        read_walks,
        None,
        walk_section,
    ),
    Figure(
        "footprint",
        "## 5. Footprint",
        ("objdump.txt", "memory-*.txt"),
        {"executable.size": runinfo.Field(int)},
        read_footprint,
        None,
        footprint_section,
    ),
)


def run_json_fields():
    """Every field of run.json: the run's own and each figure's."""
    fields = dict(runinfo.RUN_FIELDS)
    for figure in FIGURES:
        fields.update(figure.fields)
    return fields


def laid_out(run, figure):
    """(rows, notes, section) of a figure; "not measured" when run.json lacks its fields (a run
    recorded before the figure was)."""
    try:
        runinfo.complete(run.info, figure.fields)
    except runinfo.RunError as error:
        rows = [f"| {figure.name} | not measured | | | | |"] if figure.rows else []
        return rows, [], f"{figure.title}\n\nNot measured: {error}."
    read = figure.read(run) if figure.read else None
    rows, notes = figure.rows(run, read) if figure.rows else ([], [])
    return rows, notes, figure.section(run, read)


def render(directory):
    run = Run(directory)
    figures = [laid_out(run, figure) for figure in FIGURES]
    comparisons = [
        "## The three comparisons",
        "",
        COMPARISONS_HEAD,
        *(row for rows, _, _ in figures for row in rows),
        "",
        *(note for _, notes, _ in figures for note in notes),
    ]
    sections = [header(run), "\n".join(comparisons)] + [section for _, _, section in figures]
    return "\n\n".join(sections) + "\n"


def comparisons_table(report):
    """The comparisons table of a report, as README.md shows it."""
    start = report.index(COMPARISONS_HEAD)
    return report[start : report.index("\n\n", start) + 1]


def with_table(readme, report):
    """README.md with the block between its markers replaced by the report's table."""
    if not README_BLOCK.search(readme):
        raise ValueError(f"{README} has no block for the comparisons table")
    return README_BLOCK.sub(lambda m: m[1] + comparisons_table(report) + m[2], readme)

