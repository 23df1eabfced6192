"""Reads a saved benchmark run into figures: the status driver's logs of every cycle and walk
(through the end-to-end reader, tests/e2e/reader), the kernel's task events, strace's output,
the /proc captures and objdump's output. rendering.py lays the figures out. Standard library.

Times are in ms. A figure that was not seen is None."""

import gzip
import math
import re
import statistics
import sys
from collections import namedtuple
from pathlib import Path

from tests.e2e.reader import checks, formats, normal_run

CONTRACT = normal_run.load_contract()


def summary(numbers):
    """count, min, median (the mean of the middle two for an even count), p90 (nearest rank), max,
    mean and the mean's standard error; None without numbers."""
    xs = sorted(numbers)
    n = len(xs)
    if not n:
        return None
    return {
        "count": n,
        "min": xs[0],
        "median": statistics.median(xs),
        # Nearest rank: ceil(0.9 n), in integers so that no rounding can move it.
        "p90": xs[(9 * n + 9) // 10 - 1],
        "max": xs[-1],
        "mean": statistics.fmean(xs),
        "stderr": statistics.stdev(xs) / math.sqrt(n) if n > 1 else 0.0,
    }


# --- One cycle: a start, a random hold, a stop ---------------------------------------------------

Half = namedtuple(
    "Half",
    "hold to_first_report to_running lateness walk latency interpreter exit_code left normal",
)
Half.__doc__ = """One service's half of a cycle: the hold drawn, start request to the service's
first report (None when it went unseen) and to RUNNING, how late the hold ended, the stop's walk
(request to STOP_PENDING) and latency (request to STOPPED), cmd /c start alone (real half only),
the service's exit code, the hosted instances left after the stop, and whether the statuses were
the normal ones."""

Cycle = namedtuple("Cycle", "number real null")


def read_half(log, quick_start=False):
    """A half from a driver log. With quick_start, a START_PENDING the driver did not see is
    normal: a service that reports RUNNING within a millisecond of it can slip between two of the
    driver's readings."""
    start = next(
        (k for k, r in enumerate(log) if matches(r, event="start") and "result" not in r), None
    )
    if start is None:
        return None
    first_report = time_of(log, start, normal_run.first_report(CONTRACT, False))
    running = time_of(log, start, {"event": "status", "state": "RUNNING"})
    hold = next((r for r in log if matches(r, event="hold", result="done")), None)
    stop = checks.stop_times(log)
    t0 = log[start]["t"]
    return Half(
        hold=None if hold is None else float(hold["ms"]),
        to_first_report=minus(first_report, t0),
        to_running=minus(running, t0),
        lateness=None if None in (hold, running) else hold["t"] - running - float(hold["ms"]),
        walk=None if stop is None else stop.walk,
        latency=None if stop is None else stop.latency,
        interpreter=interpreter_alone(log),
        exit_code=last_field(log, "code", event="service-exit", result="exited"),
        left=last_field(log, "count", event="procs"),
        normal=not normal_run.check_statuses(log, CONTRACT, from_running=quick_start),
    )


def matches(record, **fields):
    return formats.matches(record, fields)


def time_of(log, start, filters):
    """The time of the first record from start on with the filters' fields (a status filter is
    given without its event)."""
    index = formats.first_index(log, start, {"event": "status", **filters})
    return None if index is None else log[index]["t"]


def minus(t, t0):
    return None if t is None else t - t0


def last_field(log, key, **fields):
    values = [r[key] for r in log if matches(r, **fields) and key in r]
    return int(values[-1]) if values else None


def interpreter_alone(log):
    """From the driver's mark before it spawns the interpreter to the interpreter's exit."""
    mark = next((r["t"] for r in log if matches(r, event="mark", text="cmd")), None)
    end = next(
        (
            r["t"]
            for r in log
            if matches(r, event="process", result="exited")
            and r.get("image", "").lower().endswith("\\cmd.exe")
        ),
        None,
    )
    return None if mark is None or end is None else end - mark


def real_is_clean(half):
    """Every time seen, exit code 0, no hosted instance left, the normal statuses."""
    return (
        half is not None
        and None not in (half.hold, half.to_first_report, half.to_running, half.lateness)
        and None not in (half.walk, half.latency, half.interpreter)
        and (half.exit_code, half.left, half.normal) == (0, 0, True)
    )


def null_is_clean(half):
    """As the real half, but for the null service's first report, which may go unseen, and
    without an interpreter or hosted instances."""
    return (
        half is not None
        and None not in (half.hold, half.to_running, half.lateness, half.walk, half.latency)
        and (half.exit_code, half.normal) == (0, True)
    )


def read_log(path):
    """A driver log's records; a log that is missing or cannot be read is reported on standard
    error and read as None, so that one bad cycle does not lose the run."""
    try:
        return formats.read_records(path)
    except formats.InputError as error:
        print(f"tests/perf/report: {error}", file=sys.stderr)
        return None


def read_cycles(directory, count):
    """Cycles 1..count from cycle-N.log (real) and null-N.log."""
    cycles = []
    for number in range(1, count + 1):
        real = read_log(Path(directory) / f"cycle-{number}.log")
        null = read_log(Path(directory) / f"null-{number}.log")
        cycles.append(
            Cycle(
                number,
                None if real is None else read_half(real),
                None if null is None else read_half(null, quick_start=True),
            )
        )
    return cycles


def valid(cycles):
    """The cycles that count: both halves complete and clean."""
    return [c for c in cycles if real_is_clean(c.real) and null_is_clean(c.null)]


# --- Where the start goes: the kernel's task events ----------------------------------------------

EVENT = re.compile(r"(\d+\.\d+): PERF_RECORD_([A-Z]+)(.*)")
COMM_IDS = re.compile(r":(\d+)/(\d+)$")

Launch = namedtuple("Launch", "kind created console starter hosted starter_end end")
Launch.__doc__ = """A command interpreter (cmd.exe) the service ("service") or the driver
("alone") started: its creation, the creation of its console host (conhost.exe), of its start.exe
and of the hosted program start.exe created, the end of start.exe and its own end."""


class Tasks:
    """The processes of `perf script --show-task-events`: parent, creation, latest name, end, and
    whether they ran a program of their own (exec). Threads are left out."""

    def __init__(self, lines):
        self.parent, self.born, self.name, self.died, self.ran = {}, {}, {}, {}, set()
        for line in lines:
            found = EVENT.search(line)
            if found:
                self.take(float(found[1]) * 1000, found[2], found[3])

    def take(self, t, kind, rest):
        if kind == "FORK":
            pid, tid, parent = [int(x) for x in re.findall(r"\d+", rest)[:3]]
            if pid == tid and pid != parent:
                self.parent[pid], self.born[pid] = parent, t
                self.name[pid] = self.name.get(parent, "")
                self.died.pop(pid, None)
                self.ran.discard(pid)
        elif kind == "COMM":
            ids = COMM_IDS.search(rest)
            if ids and ids[1] == ids[2]:
                pid = int(ids[1])
                self.name[pid] = re.sub(r"^( exec)?: ", "", rest[: ids.start()])
                if rest.startswith(" exec"):
                    self.ran.add(pid)
        elif kind == "EXIT":
            pid, tid = [int(x) for x in re.findall(r"\d+", rest)[:2]]
            if pid == tid:
                self.died[pid] = t

    def caller(self, pid):
        """The process that created pid: Wine creates a process through a middle one that runs
        no program of its own."""
        parent = self.parent.get(pid)
        if parent in self.ran or parent not in self.born:
            return parent
        return self.parent.get(parent)

    def created(self, pid):
        """When the caller asked for pid: the middle process's creation when there is one; None
        for a process created before the record began."""
        parent = self.parent.get(pid)
        return self.born.get(pid) if self.caller(pid) == parent else self.born.get(parent)

    def descends(self, pid, root):
        for _ in range(12):
            if pid is None:
                return False
            if pid == root:
                return True
            pid = self.parent.get(pid)
        return False

    def launches(self, services, bench, service_exe):
        """The interpreters started by a service (its executable `service_exe`) under the
        controller `services` or by a driver under tests/perf/run's shell `bench`, in order of
        creation."""
        console, starter, hosted = {}, {}, {}
        for child in self.ran:
            caller, name, when = self.caller(child), self.name.get(child, ""), self.created(child)
            if self.name.get(caller) == "cmd.exe" and name == "conhost.exe" and when is not None:
                console[caller] = min(console.get(caller, when), when)
            if self.name.get(caller) == "cmd.exe" and name == "start.exe":
                starter[caller] = child
            if self.name.get(caller) == "start.exe" and name.lower() == "zentorvik.exe":
                hosted[caller] = self.created(child)
        found = []
        for cmd in self.ran:
            kind = self.kind(cmd, services, bench, service_exe[:15])
            # One created before the record began belongs to no cycle.
            if kind and self.created(cmd) is not None:
                start = starter.get(cmd)
                found.append(
                    Launch(
                        kind,
                        self.created(cmd),
                        console.get(cmd),
                        None if start is None else self.created(start),
                        hosted.get(start),
                        self.died.get(start),
                        self.died.get(cmd),
                    )
                )
        return sorted(found, key=lambda launch: launch.created)

    def kind(self, cmd, services, bench, service_comm):
        if self.name.get(cmd) != "cmd.exe":
            return None
        caller = self.caller(cmd)
        name = self.name.get(caller, "")
        # Linux keeps the first 15 characters of a name.
        if name.startswith(service_comm) and self.descends(caller, services):
            return "service"
        if name.startswith("service-driver") and self.descends(caller, bench):
            return "alone"
        return None


def read_launches(path, services, bench, service_exe):
    """The launches of a gzipped `perf script` output; None when there is no such file."""
    if not Path(path).exists():
        return None
    with gzip.open(path, "rt", encoding="utf-8", errors="replace") as lines:
        return Tasks(lines).launches(services, bench, service_exe)


# The parts of the real start's excess over its floor, in the report's words.
START_PARTS = (
    "request to first report, real minus null",
    "the service itself: first report to RUNNING minus its interpreter's life",
    "interpreter created to start.exe created, service minus alone",
    "start.exe created to the hosted program created, service minus alone",
    "hosted program created to start.exe ended, service minus alone",
    "start.exe ended to interpreter ended, service minus alone",
    "interpreter alone, as the kernel saw it minus as the driver timed it",
    "minus the null service's first report to RUNNING",
)


# What each interpreter's launch is timed by; a console host is counted, not timed.
TIMED = ("created", "starter", "hosted", "starter_end", "end")


def start_excess(real, null, service, alone):
    """A cycle's real start minus (null start + interpreter alone), then the parts it splits
    into, which add up to it; None unless every time was seen."""
    if (
        null.to_first_report is None
        or not seen(service, *TIMED)
        or not seen(alone, *TIMED)
    ):
        return None
    life = service.end - service.created
    return (
        real.to_running - null.to_running - real.interpreter,
        real.to_first_report - null.to_first_report,
        (real.to_running - real.to_first_report) - life,
        (service.starter - service.created) - (alone.starter - alone.created),
        (service.hosted - service.starter) - (alone.hosted - alone.starter),
        (service.starter_end - service.hosted) - (alone.starter_end - alone.hosted),
        (service.end - service.starter_end) - (alone.end - alone.starter_end),
        (alone.end - alone.created) - real.interpreter,
        -(null.to_running - null.to_first_report),
    )


def seen(launch, *fields):
    return all(getattr(launch, field) is not None for field in fields)


def start_parts(cycles, launches, count):
    """Per part (the excess first, then START_PARTS), summary over the valid cycles where
    every time was seen; None unless each of the count cycles left one launch of each kind, the
    i-th of each belonging to the i-th cycle."""
    service = [launch for launch in launches if launch.kind == "service"]
    alone = [launch for launch in launches if launch.kind == "alone"]
    if len(service) != count or len(alone) != count:
        return None
    rows = [
        start_excess(c.real, c.null, service[c.number - 1], alone[c.number - 1])
        for c in valid(cycles)
    ]
    rows = [row for row in rows if row is not None]
    return [summary(column) for column in zip(*rows)] if rows else None


# --- Idle cost: the /proc captures --------------------------------------------------------------

Thread = namedtuple("Thread", "name voluntary involuntary cpu_ns")


def read_threads(path):
    """Each thread's name, context switches and ns on CPU, by Linux id, from "PATH:LINE" lines of
    /proc/PID/task/TID/{comm,schedstat,status}."""
    fields = {}
    for line in formats.lines_of(path):
        where, _, text = line.partition(":")
        parts = where.split("/")
        if len(parts) != 6 or parts[3] != "task":
            continue
        thread = fields.setdefault(int(parts[4]), {})
        if parts[5] == "comm":
            thread["name"] = text
        elif parts[5] == "schedstat":
            thread["cpu_ns"] = int(text.split()[0])
        elif parts[5] == "status":
            key, _, value = text.partition(":")
            thread[key] = int(value)
    return {
        tid: Thread(
            f.get("name", "?"),
            f.get("voluntary_ctxt_switches", 0),
            f.get("nonvoluntary_ctxt_switches", 0),
            f.get("cpu_ns", 0),
        )
        for tid, f in fields.items()
    }


IdleRow = namedtuple("IdleRow", "name tid wakeups involuntary cpu_ms")


def idle_rows(first, last):
    """Per thread seen at both ends of the window, by Linux id, what it did in between."""
    return [
        IdleRow(
            last[tid].name,
            tid,
            last[tid].voluntary - first[tid].voluntary,
            last[tid].involuntary - first[tid].involuntary,
            (last[tid].cpu_ns - first[tid].cpu_ns) / 1e6,
        )
        for tid in sorted(first.keys() & last.keys())
    ]


def totals(sample):
    """(wake-ups, ms on CPU) of all the threads of one capture."""
    return (
        sum(t.voluntary for t in sample.values()),
        sum(t.cpu_ns for t in sample.values()) / 1e6,
    )


def slice_differences(samples):
    """(wake-ups, ms on CPU) of each slice between consecutive captures."""
    sums = [totals(sample) for sample in samples]
    return [(b[0] - a[0], b[1] - a[1]) for a, b in zip(sums, sums[1:])]


Gap = namedtuple("Gap", "wakeups wakeups_error cpu_ms cpu_error slices")


def idle_gap(real, null, seconds):
    """Real minus null per minute over the window, with the standard error of each from the
    spread of the slices: the gap is the sum of the slices' differences, so its standard error is
    the slice count times that of their mean."""
    real, null = slice_differences(real), slice_differences(null)
    wakes = [r[0] - n[0] for r, n in zip(real, null)]
    cpu = [r[1] - n[1] for r, n in zip(real, null)]
    per_minute = 60 / seconds
    n = len(wakes)
    return Gap(
        sum(wakes) * per_minute,
        summary(wakes)["stderr"] * n * per_minute,
        sum(cpu) * per_minute,
        summary(cpu)["stderr"] * n * per_minute,
        n,
    )


SLEEPS = ("pselect6", "nanosleep", "clock_nanosleep")


def poll_calls(lines):
    """(system calls of the last complete poll, number of complete polls) of a worker thread's
    strace: a poll runs from the end of one completed sleep to the end of the next."""
    calls, last, polls, started = [], None, 0, False
    for line in lines:
        call = line.split("(", 1)[0]
        if "<detached" in line or "resumed>" in line:
            continue
        calls.append(call)
        if call in SLEEPS and " = 0" in line:
            if started:
                last, polls = calls, polls + 1
            started, calls = True, []
    return last, polls


# --- Termination walk ---------------------------------------------------------------------------

Walk = namedtuple("Walk", "ms before after exit_code")


def read_walk(log):
    """Stop request to STOP_PENDING, the hosted instances before and after the stop, and the
    service's exit code."""
    stop = checks.stop_times(log)
    counts = [int(r["count"]) for r in log if matches(r, event="procs") and "count" in r]
    return Walk(
        None if stop is None else stop.walk,
        counts[0] if counts else None,
        counts[1] if len(counts) > 1 else None,
        last_field(log, "code", event="service-exit", result="exited"),
    )


def read_walks(directory, size):
    """The walks with size hosted instances (walk-SIZE-N.log), in sample order."""
    paths = sorted(Path(directory).glob(f"walk-{size}-*.log"), key=sample_number)
    logs = [read_log(path) for path in paths]
    return [Walk(None, None, None, None) if log is None else read_walk(log) for log in logs]


def sample_number(path):
    return int(path.stem.rsplit("-", 1)[1])


def walk_is_clean(walk, size):
    """Every instance was there before the stop and none after, and the service exited with 0."""
    return (walk.before, walk.after, walk.exit_code) == (size, 0, 0)


# --- Footprint ----------------------------------------------------------------------------------

MEMORY = ("VmHWM", "VmRSS", "RssAnon", "RssFile")


def read_memory(path):
    """kB by name from a capture of /proc/PID/status and smaps_rollup ("PATH:LINE" lines): those
    of MEMORY, and Private, the private pages clean and dirty."""
    found = {}
    for line in formats.lines_of(path):
        where, _, text = line.partition(":")
        key, _, value = text.partition(":")
        if where.endswith("/status") and key in MEMORY:
            found[key] = int(value.split()[0])
        elif where.endswith("/smaps_rollup") and key in ("Private_Clean", "Private_Dirty"):
            found["Private"] = found.get("Private", 0) + int(value.split()[0])
    return found


def read_imports(path):
    """[DLL, number of functions imported] from `objdump -p`, in its order: a DLL's functions
    follow its name up to the next blank line."""
    imports, current = [], None
    for line in formats.lines_of(path):
        if line.startswith("\tDLL Name: "):
            current = [line.split(": ", 1)[1], 0]
            imports.append(current)
        elif not line.strip():
            current = None
        elif current and re.match(r"\t[0-9a-f]+\t", line):
            current[1] += 1
    return imports
