"""The benchmark's readers and report on made-up raw runs, and the saved sample run."""

import gzip
import json
import math
import subprocess
import sys
import tempfile
import unittest
import unittest.mock
from pathlib import Path

from tests.perf import readings, rendering, runinfo

HERE = Path(__file__).resolve().parent
CMD = "C:\\windows\\syswow64\\cmd.exe"
SERVICES, BENCH = 100, 50
# The service's executable in the made-up runs, and its name as Linux keeps it (15 characters).
SERVICE_EXE = "OrveldenZentorvikTool.exe"
SERVICE_COMM = SERVICE_EXE[:15]


# --- Made-up driver records ----------------------------------------------------------------------


def record(t, event, **fields):
    return "\t".join([f"t={t:.1f}", f"event={event}"] + [f"{k}={v}" for k, v in fields.items()])


def status(t, state, accepted="0x0", exit=0, checkpoint=0, pid=7):
    fields = dict(type="0x10", state=state, accepted=accepted, exit=exit, specific=0)
    return record(t, "status", **fields, checkpoint=checkpoint, hint=0, pid=pid)


def cycle_log(
    to_running=250.0,
    first_report=50.0,
    interpreter=180.0,
    hold=1000,
    late=2.0,
    walk=8.0,
    after_walk=2900.0,
    stopped_exit=0,
    left=0,
):
    """A driver log of one cycle: the interpreter alone (unless None), a start, a hold and a
    stop. first_report None: the service's own START_PENDING went unseen."""
    lines = [status(7.5, "STOPPED", exit=1077, pid=0)]
    start = 8.0
    if interpreter is not None:
        lines += [
            record(start, "mark", text="cmd"),
            record(start + 1, "watch", pid=300, image=CMD),
            record(start + interpreter, "process", pid=300, result="exited", code=0, image=CMD),
        ]
        start += interpreter + 50
    lines.append(record(start, "start"))
    # The controller shows START_PENDING with the previous record until the service reports.
    lines.append(status(start + 1, "START_PENDING", checkpoint=3))
    if first_report is not None:
        lines.append(status(start + first_report, "START_PENDING"))
    running, stop = start + to_running, start + to_running + hold + late
    lines += [
        status(running, "RUNNING", accepted="0x1"),
        record(running + 0.1, "wait", state="RUNNING", result="ok"),
        record(stop, "hold", ms=hold, result="done"),
        record(stop, "control", control="stop"),
        status(stop + walk, "STOP_PENDING", checkpoint=4),
        status(stop + walk + after_walk, "STOPPED", exit=stopped_exit, checkpoint=3, pid=0),
        record(stop + walk + after_walk + 1, "service-exit", pid=7, result="exited", code=0),
    ]
    if left is not None:
        lines.append(
            record(stop + walk + after_walk + 2, "procs", name="Zentorvik.exe", count=left)
        )
    return lines


def walk_log(size, walk):
    stop = 500.0
    return [
        status(6.5, "STOPPED", checkpoint=3, pid=0),
        record(100, "start"),
        status(150, "START_PENDING"),
        status(300, "RUNNING", accepted="0x1"),
        record(400, "procs", name="Zentorvik.exe", count=size),
        record(stop, "control", control="stop"),
        status(stop + walk, "STOP_PENDING", checkpoint=4),
        status(stop + 2000, "STOPPED", checkpoint=3, pid=0),
        record(stop + 2001, "service-exit", pid=7, result="exited", code=0),
        record(stop + 2002, "procs", name="Zentorvik.exe", count=0),
    ]


def parse(lines):
    return [readings.formats.parse_record(line) for line in lines]


# --- Made-up task events, as `perf script --show-task-events` prints them -------------------------


def event(t, pid, what):
    return f"{'x':>16} {pid:5}/{pid:<5} {t // 1000:6}.{(t % 1000) * 1000:06d}: {what}"


def spawn(t, caller, middle, child, name):
    """Wine creates each process through a middle one that runs no program."""
    return [
        event(t, caller, f"PERF_RECORD_FORK({middle}:{middle}):({caller}:{caller})"),
        event(t, middle, f"PERF_RECORD_FORK({child}:{child}):({middle}:{middle})"),
        event(t, middle, f"PERF_RECORD_EXIT({middle}:{middle}):({caller}:{caller})"),
        event(t + 1, child, f"PERF_RECORD_COMM exec: wine:{child}/{child}"),
        event(t + 2, child, f"PERF_RECORD_COMM: {name}:{child}/{child}"),
    ]


def end(t, pid):
    return [event(t, pid, f"PERF_RECORD_EXIT({pid}:{pid}):(1:1)")]


def interpreters(t=0, pid=0):
    """One cycle's interpreters from time t on, process ids offset by pid: the driver's alone
    (times 1100 to 1330 ms) and the service's, with a console host (2100 to 2450 ms)."""

    def at(ms, *pids):
        return [t + ms, *(p + pid for p in pids)]

    return [
        # The driver, run from the bench's shell, starts an interpreter alone.
        event(t + 1000, BENCH, f"PERF_RECORD_FORK({60 + pid}:{60 + pid}):({BENCH}:{BENCH})"),
        event(t + 1001, 60 + pid, f"PERF_RECORD_COMM exec: wine64:{60 + pid}/{60 + pid}"),
        *spawn(*at(1010, 60, 61, 62), "service-driver."),
        *spawn(*at(1100, 62, 63, 64), "cmd.exe"),
        *spawn(*at(1200, 64, 65, 66), "start.exe"),
        *spawn(*at(1300, 66, 67, 68), "Zentorvik.exe"),
        *end(*at(1320, 66)),
        *end(*at(1330, 64)),
        # The service starts its own; its worker thread is no process.
        *spawn(t + 2000, SERVICES, 101 + pid, 102 + pid, SERVICE_COMM),
        event(
            t + 2050,
            102 + pid,
            f"PERF_RECORD_FORK({102 + pid}:{111 + pid}):({102 + pid}:{102 + pid})",
        ),
        *spawn(*at(2100, 102, 103, 104), "cmd.exe"),
        *spawn(*at(2180, 104, 105, 106), "conhost.exe"),
        *spawn(*at(2250, 104, 107, 108), "start.exe"),
        *spawn(*at(2400, 108, 109, 110), "Zentorvik.exe"),
        *end(*at(2440, 108)),
        *end(*at(2450, 104)),
    ]


def task_events(cycles):
    """The processes there before the record began, then each cycle's interpreters 10 s apart,
    then another user's prefix running the same service."""
    return [
        event(0, 0, f"PERF_RECORD_COMM: services.exe:{SERVICES}/{SERVICES}"),
        event(0, 0, "PERF_RECORD_COMM: services.exe:200/200"),
        event(0, 0, f"PERF_RECORD_COMM: bash:{BENCH}/{BENCH}"),
        *[line for k in range(cycles) for line in interpreters(k * 10000, k * 1000)],
        *spawn(90000, 200, 201, 202, SERVICE_COMM),
        *spawn(90100, 202, 203, 204, "cmd.exe"),
        *end(90300, 204),
    ]


# --- Made-up /proc captures, strace and objdump --------------------------------------------------


def threads_capture(pid, threads):
    """What run captures of each thread: {tid: (name, wake-ups, involuntary, ns on CPU)}."""
    lines = []
    for tid, (name, _, _, ns) in threads.items():
        lines += [
            f"/proc/{pid}/task/{tid}/comm:{name}",
            f"/proc/{pid}/task/{tid}/schedstat:{ns} 9 9",
        ]
    for tid, (_, voluntary, involuntary, _) in threads.items():
        lines += [
            f"/proc/{pid}/task/{tid}/status:voluntary_ctxt_switches:\t{voluntary}",
            f"/proc/{pid}/task/{tid}/status:nonvoluntary_ctxt_switches:\t{involuntary}",
        ]
    return lines


def idle_captures(pid, wakes_per_slice, cpu_ms_per_slice):
    """A capture at each slice boundary of a process whose worker (the highest id) wakes and runs
    that much in each slice; its main thread does nothing."""
    captures, wakes, ns = [], 100, 5_000_000
    for k in range(len(wakes_per_slice) + 1):
        if k:
            wakes += wakes_per_slice[k - 1]
            ns += int(cpu_ms_per_slice[k - 1] * 1e6)
        threads = {
            pid: (SERVICE_COMM, 400, 300, 17_000_000),
            pid + 3: ("wine_sechost_se", wakes, 10, ns),
        }
        captures.append(threads_capture(pid, threads))
    return captures


STRACE = """\
pselect6(0, NULL, NULL, NULL, {tv_sec=1, tv_nsec=3}, NULL) = 0 (Timeout)
rt_sigprocmask(SIG_BLOCK, [HUP], [], 8) = 0
writev(18, [{iov_base="", iov_len=64}], 1) = 64
read(15, "", 64) = 64
sched_yield()         = 0
pselect6(0, NULL, NULL, NULL, {tv_sec=2, tv_nsec=9}, NULL) = 0 (Timeout)
rt_sigprocmask(SIG_BLOCK, [HUP], [], 8) = 0
writev(18, [{iov_base="", iov_len=64}], 1) = 64
read(15, "", 64) = 64
sched_yield()         = 0
pselect6(0, NULL, NULL, NULL, {tv_sec=2, tv_nsec=9}, NULL) = 0 (Timeout)
rt_sigprocmask(SIG_BLOCK, [HUP], [], 8) = 0
pselect6(0, NULL, NULL, NULL, {tv_sec=2, tv_nsec=9}, NULL <detached ...>
"""

OBJDUMP = """\
The Import Tables (interpreted .idata section contents)

\tDLL Name: ADVAPI32.dll
\tvma:  Hint/Ord Member-Name Bound-To
\t7228\t 1657  RegisterServiceCtrlHandlerW
\t7246\t 1713  SetServiceStatus
\t725a\t 1721  StartServiceCtrlDispatcherW

 00007014\t00007060 00000000 00000000 00007630 0000714c

\tDLL Name: KERNEL32.dll
\tvma:  Hint/Ord Member-Name Bound-To
\t7270\t  134  CloseHandle

\t00008000\t not a function
"""


def memory_capture(pid, rss):
    return [
        f"/proc/{pid}/status:Name:\tx",
        f"/proc/{pid}/status:VmHWM:\t   {rss} kB",
        f"/proc/{pid}/status:VmRSS:\t   {rss} kB",
        f"/proc/{pid}/status:RssAnon:\t    4812 kB",
        f"/proc/{pid}/status:RssFile:\t    6876 kB",
        f"/proc/{pid}/smaps_rollup:00010000-ffffe000 ---p 00000000 00:00 0    [rollup]",
        f"/proc/{pid}/smaps_rollup:Private_Clean:       100 kB",
        f"/proc/{pid}/smaps_rollup:Private_Dirty:      4832 kB",
    ]


# --- A made-up run directory ---------------------------------------------------------------------


def run_words(**changes):
    """The KEY=VALUE words tests/perf/run passes to runinfo.py, with some changed."""
    words = {
        "date": "2026-12-09 08:47 UTC",
        "run_seconds": "412",
        "commit": "abc1234",
        "sources_modified": "no",
        "parameters.cycles": "3",
        "parameters.idle_seconds": "20",
        "parameters.idle_slice_seconds": "10",
        "parameters.walk_sizes": "1 10 40",
        "parameters.walk_samples": "1 1 1",
        "parameters.budget_seconds": "540",
        "parameters.poll_ms": "3000",
        "machine.cpus": "2",
        "machine.cpu_model": "Made-up CPU",
        "machine.kernel": "6.1.0",
        "machine.wine": "wine-8.0",
        "machine.runner": "native 32-bit",
        "executable.size": "19968",
        "null_service": "Orvelden Zentorvik Null Service",
        "product": "Orvelden Zentorvik Tool",
        "service_exe": SERVICE_EXE,
        "pids.services": str(SERVICES),
        "pids.bench": str(BENCH),
        "pids.service": "2149",
        "pids.null": "2172",
        "pids.hosted": "2180",
        **{f"load.{when}.average": "0.20 0.30 0.40" for when in runinfo.WHEN},
        **{f"load.{when}.other_wine_servers": "0" for when in runinfo.WHEN},
        **{f"phases.{phase}": "measured" for phase in ("tasks", "idle", "polls", "walk")},
    }
    words.update(changes)
    return [f"{key}={value}" for key, value in words.items()]


class MadeUpRun(unittest.TestCase):
    """Writes a made-up raw run to a temporary folder: three clean cycles whose real start is the
    null start plus the interpreter alone, a quiet idle window, one walk of each size."""

    def setUp(self):
        folder = tempfile.TemporaryDirectory()
        self.addCleanup(folder.cleanup)
        self.dir = Path(folder.name)
        for k, (real, null) in enumerate(((250.0, 70.0), (260.0, 75.0), (240.0, 65.0)), 1):
            self.write(f"cycle-{k}.log", cycle_log(to_running=real))
            null = cycle_log(to_running=null, first_report=60.0, interpreter=None, left=None)
            self.write(f"null-{k}.log", null)
        with gzip.open(self.dir / "tasks.txt.gz", "wt") as out:
            out.write("".join(line + "\n" for line in task_events(3)))
        self.idle(real=(7, 7), null=(7, 8))
        for size, ms in ((1, 10.0), (10, 19.0), (40, 42.0)):
            self.write(f"walk-{size}-1.log", walk_log(size, ms))
        self.write("polls-real.txt", STRACE.splitlines())
        self.write("polls-null.txt", STRACE.splitlines())
        self.write("objdump.txt", OBJDUMP.splitlines())
        self.write("memory-real.txt", memory_capture(2149, 11688))
        self.write("memory-null.txt", memory_capture(2172, 11436))
        self.write("memory-hosted.txt", memory_capture(2180, 11592)[:3])
        self.info()

    def write(self, name, lines):
        (self.dir / name).write_text("".join(line + "\n" for line in lines), encoding="utf-8")

    def idle(self, real, null, cpu=(0.35, 0.35)):
        for side, pid, wakes in (("real", 2149, real), ("null", 2172, null)):
            for k, capture in enumerate(idle_captures(pid, wakes, cpu)):
                self.write(f"idle-{side}-{k}.txt", capture)

    def info(self, **changes):
        run = runinfo.from_words(run_words(**changes), rendering.run_json_fields())
        (self.dir / "run.json").write_text(json.dumps(run), encoding="utf-8")

    def report(self):
        return rendering.render(self.dir)

    def comparison(self, start):
        """The cells of the comparison row that starts with start."""
        line = next(line for line in self.report().splitlines() if line.startswith("| " + start))
        return [cell.strip() for cell in line.strip("|").split("|")]


# --- The tests -----------------------------------------------------------------------------------


class TaskEvents(unittest.TestCase):
    def test_interpreters_of_this_run_split_at_their_processes(self):
        launches = readings.Tasks(task_events(1)).launches(SERVICES, BENCH, SERVICE_EXE)
        self.assertEqual(
            launches,
            [
                readings.Launch("alone", 1100.0, None, 1200.0, 1300.0, 1320.0, 1330.0),
                readings.Launch("service", 2100.0, 2180.0, 2250.0, 2400.0, 2440.0, 2450.0),
            ],
        )

    def test_a_process_the_record_saw_only_from_its_program_on_is_left_out(self):
        late = [
            event(5, 104, "PERF_RECORD_COMM exec: wine:104/104"),
            event(6, 104, "PERF_RECORD_COMM: cmd.exe:104/104"),
        ]
        self.assertEqual(readings.Tasks(late).launches(SERVICES, BENCH, SERVICE_EXE), [])


def half(to_running, first_report, interpreter=None):
    return readings.Half(0, first_report, to_running, 0, 8, 3000, interpreter, 0, 0, True)


class StartExcess(unittest.TestCase):
    """Real start 100..700 ms with its first report at 150; null start 800..880, first report at
    850; cmd alone 10..330 as the driver timed it; the interpreters of task_events."""

    def setUp(self):
        self.cycles = [
            readings.Cycle(k, half(600, 50, interpreter=320), half(80, 50)) for k in (1, 2)
        ]
        self.launches = readings.Tasks(task_events(2)).launches(SERVICES, BENCH, SERVICE_EXE)

    def test_the_excess_and_its_parts_which_add_up_to_it(self):
        service, alone = self.launches[1], self.launches[0]
        excess = readings.start_excess(self.cycles[0].real, self.cycles[0].null, service, alone)
        self.assertEqual(excess, (200, 0, 200, 50, 50, 20, 0, -90, -30))
        self.assertEqual(sum(excess[1:]), excess[0])

    def test_means_over_the_cycles_paired_by_order(self):
        parts = readings.start_parts(self.cycles, self.launches, 2)
        self.assertEqual([p["mean"] for p in parts], [200, 0, 200, 50, 50, 20, 0, -90, -30])
        self.assertEqual(parts[0]["count"], 2)

    def test_no_split_unless_every_cycle_left_one_interpreter_of_each_kind(self):
        self.assertIsNone(readings.start_parts(self.cycles, self.launches[:3], 2))

    def test_a_null_first_report_unseen_leaves_the_cycle_out(self):
        self.cycles[1] = self.cycles[1]._replace(null=half(80, None))
        self.assertEqual(readings.start_parts(self.cycles, self.launches, 2)[0]["count"], 1)


class Summary(unittest.TestCase):
    def test_odd_and_even_counts(self):
        figures = readings.summary([50, 3, 1, 4, 2])
        # Deviations from the mean 12: -11, -10, -9, -8, 38; their squares add up to 1810.
        self.assertAlmostEqual(math.sqrt(1810 / 4 / 5), figures.pop("stderr"))
        self.assertEqual(
            {"count": 5, "min": 1, "median": 3, "p90": 50, "max": 50, "mean": 12.0}, figures
        )
        self.assertEqual(2.5, readings.summary([4, 1, 3, 2])["median"])
        self.assertEqual(0.0, readings.summary([7])["stderr"])
        self.assertIsNone(readings.summary([]))
        for n, rank in [(1, 1), (9, 9), (10, 9), (11, 10), (20, 18), (70, 63)]:
            with self.subTest(n=n):
                self.assertEqual(rank, readings.summary(range(1, n + 1))["p90"])


class PollCalls(unittest.TestCase):
    def test_the_calls_of_the_last_complete_poll_and_how_many_polls(self):
        calls, polls = readings.poll_calls(STRACE.splitlines())
        self.assertEqual(calls, ["rt_sigprocmask", "writev", "read", "sched_yield", "pselect6"])
        self.assertEqual(polls, 2)


class Cycles(unittest.TestCase):
    def test_an_unseen_start_pending_is_normal_for_a_quick_start_only(self):
        quick = parse(cycle_log(first_report=None, interpreter=None))
        failed = parse(cycle_log(first_report=None, interpreter=None, stopped_exit=1067))
        self.assertTrue(readings.read_half(quick, quick_start=True).normal)
        self.assertFalse(readings.read_half(quick).normal)
        self.assertFalse(readings.read_half(failed, quick_start=True).normal)
        self.assertTrue(readings.null_is_clean(readings.read_half(quick, quick_start=True)))

    def test_times_of_a_half(self):
        real = readings.read_half(parse(cycle_log(to_running=250, hold=1000, late=2, walk=8)))
        self.assertEqual(
            (real.to_first_report, real.to_running, real.hold, real.lateness, real.interpreter),
            (50, 250, 1000, 2, 180),
        )
        self.assertEqual((real.walk, real.latency, real.exit_code, real.left), (8, 2908, 0, 0))
        self.assertTrue(readings.real_is_clean(real))

    def test_a_real_half_counts_only_clean(self):
        for log in (cycle_log(left=1), cycle_log(interpreter=None), cycle_log(first_report=None)):
            self.assertFalse(readings.real_is_clean(readings.read_half(parse(log))))


class Idle(unittest.TestCase):
    def captures(self, pid, wakes, cpu):
        return [
            readings.read_threads(path) for path in self.written(idle_captures(pid, wakes, cpu))
        ]

    def written(self, captures):
        folder = tempfile.TemporaryDirectory()
        self.addCleanup(folder.cleanup)
        paths = []
        for k, lines in enumerate(captures):
            paths.append(Path(folder.name) / f"{k}.txt")
            paths[-1].write_text("".join(line + "\n" for line in lines))
        return paths

    def test_the_gap_per_minute_and_its_standard_error_from_the_slices(self):
        real = self.captures(2149, (20, 21), (0.5, 0.7))
        null = self.captures(2172, (7, 7), (0.3, 0.3))
        gap = readings.idle_gap(real, null, 20)
        # Differences of 13 and 14 wake-ups: 27 in 20 s; their mean's standard error is 0.5.
        self.assertAlmostEqual(gap.wakeups, 81.0)
        self.assertAlmostEqual(gap.wakeups_error, 3.0)
        self.assertAlmostEqual(gap.cpu_ms, 1.8)
        self.assertAlmostEqual(gap.cpu_error, 0.6)

    def test_threads_seen_at_both_ends_of_the_window(self):
        first, last = self.captures(2149, (20,), (0.5,))
        del first[2149]
        self.assertEqual(
            readings.idle_rows(first, last), [readings.IdleRow("wine_sechost_se", 2152, 20, 0, 0.5)]
        )


class Report(MadeUpRun):
    def test_the_three_comparisons_hold_for_a_real_service_at_its_floor(self):
        self.assertEqual(
            self.comparison("start,")[1:4],
            [
                "250",
                "null 70 + `cmd /c start` alone 180",
                "**1.00** (min 0.98, p90 1.02, max 1.02)",
            ],
        )
        self.assertEqual(self.comparison("start,")[-1], "**yes**")
        self.assertEqual(
            self.comparison("idle wake-ups")[1:4], ["42.0", "null 45.0", "-3.0 (± 3.0)"]
        )
        self.assertEqual(self.comparison("idle wake-ups")[-1], "**yes**")
        self.assertEqual(self.comparison("idle CPU")[-1], "**yes**")
        self.assertEqual(
            self.comparison("stop,")[1:5],
            ["2900 (median 2900)", "null 2908 (median 2908)", "", "both within 3000 + slack 2"],
        )
        self.assertEqual(self.comparison("stop,")[-1], "**yes**")

    def test_a_slow_start_a_busy_idle_and_a_late_stop_miss(self):
        self.write("cycle-2.log", cycle_log(to_running=300.0, after_walk=3100.0))
        self.write("cycle-3.log", cycle_log(to_running=300.0))
        self.idle(real=(20, 21), null=(7, 7))
        self.assertEqual(self.comparison("start,")[3].split()[0], "**1.18**")
        for start in ("start,", "idle wake-ups", "stop,"):
            self.assertEqual(self.comparison(start)[-1], "**no**", start)

    def test_the_sections_figures(self):
        report = self.report()
        for line in (
            "3 of 3 cycles were complete and clean on both sides (normal statuses, exit code",
            "| real: walk, stop request to STOP_PENDING | 3 | 8 | 8 | 8 | 8 |",
            "| **real start minus its floor** (3 cycles) | 0.0 | 2.9 |",
            "- A console host was created for 3 of 3 interpreters the service started and for",
            "  real `rt_sigprocmask writev read sched_yield pselect6` (2 complete polls traced); null `rt_sigprocmask writev read sched_yield pselect6`",
            "| wine_sechost_se (2152) | 14 | 42.0 | 0 | 0.70 |",
            "| 10 | 1 | 19 | 19 | 19 | 1 of 1 |",
            "Growth: about 0.8 ms per extra instance from 1 to 40 (medians 10 and 42 ms).",
            "- Imports: ADVAPI32.dll (3 functions), KERNEL32.dll (1 functions).",
            "  real VmHWM 11688 kB, VmRSS 11688 kB, RssAnon 4812 kB, RssFile 6876 kB, Private 4932 kB;",
            "  VmRSS 11592 kB.",
        ):
            self.assertIn(line + "\n", report)

    def test_an_unclean_or_unreadable_cycle_does_not_count(self):
        self.write("cycle-1.log", cycle_log(left=1))
        self.write("null-2.log", ["7.5 status type=0x10 state=STOPPED"])
        with unittest.mock.patch("sys.stderr"):
            self.assertIn("1 of 3 cycles were complete and clean", self.report())
            self.assertEqual(self.comparison("start,")[1], "240")

    def test_phases_not_measured_or_cut(self):
        self.info(**{"phases.tasks": "skipped", "phases.idle": "skipped", "phases.walk": "cut"})
        report = self.report()
        self.assertIn("Not measured: perf could not record the processes.", report)
        self.assertIn("## 3. Idle cost\n\nNot measured", report)
        self.assertIn("| idle | not measured | | | | |", report)
        self.assertIn("Rounds were dropped to keep the run within its time budget.", report)

    def test_the_command_writes_report_md_and_needs_every_field_of_the_run(self):
        done = subprocess.run([HERE / "report", self.dir], capture_output=True, text=True)
        self.assertEqual(done.returncode, 0, done.stderr)
        self.assertEqual((self.dir / "report.md").read_text(), done.stdout)
        run = json.loads((self.dir / "run.json").read_text())
        del run["machine"]["wine"]
        (self.dir / "run.json").write_text(json.dumps(run))
        done = subprocess.run([HERE / "report", self.dir], capture_output=True, text=True)
        self.assertEqual(
            (done.returncode, done.stderr), (2, "tests/perf/report: run.json lacks machine.wine\n")
        )

    def test_a_run_older_than_a_figure_renders_it_not_measured(self):
        run = json.loads((self.dir / "run.json").read_text())
        del run["pids"]["bench"], run["phases"]["idle"], run["pids"]["hosted"]
        (self.dir / "run.json").write_text(json.dumps(run))
        report = self.report()
        self.assertIn(
            "### Where the real start goes\n\nNot measured: run.json lacks pids.bench.\n", report
        )
        self.assertIn("## 3. Idle cost\n\nNot measured: run.json lacks phases.idle.\n", report)
        self.assertIn("| idle | not measured | | | | |", report)
        self.assertIn("3 of 3 cycles were complete and clean", report)


class RunInfo(unittest.TestCase):
    def test_words_become_typed_nested_fields(self):
        words = [w for w in run_words(**{"pids.hosted": ""}) if not w.startswith("pids.null=")]
        run = runinfo.from_words(words, rendering.run_json_fields())
        self.assertEqual(run["parameters"]["walk_sizes"], [1, 10, 40])
        self.assertEqual((run["sources_modified"], run["pids"]["hosted"]), (False, None))
        self.assertIsNone(run["pids"]["null"], "a default")
        self.assertEqual(
            run["load"]["cycles"], {"average": "0.20 0.30 0.40", "other_wine_servers": 0}
        )

    def test_a_field_unknown_twice_malformed_or_missing_is_refused(self):
        for words in (
            run_words() + ["cycles=3"],
            run_words() + ["date=again"],
            run_words(**{"parameters.cycles": "many"}),
            run_words(**{"phases.walk": "done"}),
            run_words()[1:],
        ):
            with self.assertRaises(runinfo.RunError):
                runinfo.from_words(words, rendering.run_json_fields())


class SavedRun(unittest.TestCase):
    """The sample renders as its committed report, whose table README.md shows (both made again
    by tests/perf/report --update-readme)."""

    def test_the_sample_renders_as_its_committed_report_and_readme_s_table(self):
        report = (rendering.SAMPLE / "report.md").read_text(encoding="utf-8")
        self.assertEqual(rendering.render(rendering.SAMPLE), report)
        readme = rendering.README.read_text(encoding="utf-8")
        self.assertEqual(rendering.with_table(readme, report), readme)
        # A table changed by hand is put back, and only the table.
        changed = readme.replace("|---|---|---|---|---|---|\n|", "|---|---|---|---|---|---|\n| x")
        self.assertEqual(rendering.with_table(changed, report), readme)
        with self.assertRaises(ValueError):
            rendering.with_table("# no block\n", report)

    def test_the_sample_has_every_figure_s_files(self):
        for figure in rendering.FIGURES:
            for pattern in figure.files:
                self.assertTrue(list(rendering.SAMPLE.glob(pattern)), f"{figure.name}: {pattern}")


if __name__ == "__main__":
    unittest.main()
