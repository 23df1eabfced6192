"""The reader on made-up records: what it must accept, what it must refuse, and how it says so."""

import contextlib
import io
import re
import subprocess
import sys
import tempfile
import unittest
from pathlib import Path

from reader import cli, formats, normal_run, package, product

HERE = Path(__file__).resolve().parent
ROOT = HERE.parents[1]
CONTRACT = normal_run.load_contract()
NORMAL = CONTRACT.trace
HANDLER_STOP = [
    "ServiceCtrlHandler: Entry",
    "ServiceCtrlHandler: SERVICE_CONTROL_STOP Request",
    "ServiceCtrlHandler: Exit",
]
HANDLER_OTHER = ["ServiceCtrlHandler: Entry", "ServiceCtrlHandler: Exit"]


def record(t, event, **fields):
    return "\t".join([f"t={t}", f"event={event}"] + [f"{k}={v}" for k, v in fields.items()])


def status(t, state, accepted="0x0", exit=0, checkpoint=0, pid=7):
    fields = dict(type="0x10", state=state, accepted=accepted, exit=exit, specific=0)
    return record(t, "status", **fields, checkpoint=checkpoint, hint=0, pid=pid)


def normal_cycle(t, stop_after=3200.0, pid=7):
    """The records of one start and stop from t on, STOPPED stop_after ms after STOP_PENDING."""
    return [
        status(t, "START_PENDING", checkpoint=3, pid=0),  # the controller's, before any report
        record(t + 0.5, "start"),
        status(t + 1, "START_PENDING", pid=pid),
        record(t + 2, "start", result="ok"),
        status(t + 20, "RUNNING", accepted="0x1", pid=pid),
        record(t + 21, "wait", state="RUNNING", result="ok"),
        record(t + 100, "control", control="stop"),
        status(t + 250, "STOP_PENDING", checkpoint=4, pid=pid),
        record(t + 251, "control", control="stop", result="ok", state="STOP_PENDING", checkpoint=4),
        status(t + 250 + stop_after, "STOPPED", checkpoint=3, pid=0),
        record(t + 251 + stop_after, "service-exit", pid=pid, result="exited", code=0),
    ]


class Files(unittest.TestCase):
    """Writes made-up files to a temporary folder and runs the command line on them."""

    def setUp(self):
        folder = tempfile.TemporaryDirectory()
        self.addCleanup(folder.cleanup)
        self.dir = Path(folder.name)

    def write(self, name, lines, end="\n"):
        path = self.dir / name
        path.write_text("".join(line + end for line in lines), encoding="utf-8")
        return str(path)

    def run_cli(self, *argv, stdin=""):
        """(exit code, standard output, standard error) of records.py ARGV."""
        out, err = io.StringIO(), io.StringIO()
        old_stdin = sys.stdin
        sys.stdin = io.StringIO(stdin)
        try:
            with contextlib.redirect_stderr(err):
                try:
                    code = cli.main(list(argv), out)
                except SystemExit as exit:
                    code = exit.code
        finally:
            sys.stdin = old_stdin
        return code, out.getvalue(), err.getvalue()


class RecordLines(Files):
    def test_fields_in_any_order_with_windows_line_ends_and_unknown_fields(self):
        log = self.write(
            "run.log",
            [
                "t=1.5\tevent=mark\tnew-field=x\ttext=cycle 1 = a start",
                "t=2.0\tevent=done\tfailures=0",
            ],
            end="\r\n",
        )
        self.assertEqual(
            [
                {"t": 1.5, "event": "mark", "new-field": "x", "text": "cycle 1 = a start"},
                {"t": 2.0, "event": "done", "failures": "0"},
            ],
            formats.read_records(log),
        )

    def test_a_malformed_line_is_named_with_its_number(self):
        for line, why in [
            ("t=3.0 event=start", "not t= and event="),
            ("t=3.0\tevent=start\tok", "'ok' is not KEY=VALUE"),
            ("event=start\tt=3.0", "not t= and event="),
            ("t=soon\tevent=start", "not a number"),
            ("t=3.0\tevent=start\tresult=ok\tresult=error", "given twice"),
            ("", "not KEY=VALUE"),
        ]:
            with self.subTest(line=line):
                log = self.write(
                    "bad.log", [record(1.0, "start"), record(2.0, "start", result="ok"), line]
                )
                code, out, err = self.run_cli("expect-statuses", log)
                self.assertEqual((2, ""), (code, out))
                self.assertIn("bad.log:3: malformed line", err)
                self.assertIn(why, err)

    def test_only_a_line_feed_ends_a_line(self):
        log = self.write("run.log", [record(1.0, "mark", text="a\x85b\u2028c\x0cd")])
        self.assertEqual(["a\x85b\u2028c\x0cd"], [r["text"] for r in formats.read_records(log)])

    def test_a_missing_file_or_a_usage_error_exits_2(self):
        self.assertEqual(2, self.run_cli("expect-statuses", str(self.dir / "none.log"))[0])
        self.assertEqual(2, self.run_cli("no-such-command")[0])
        self.assertEqual(2, self.run_cli("stop-times", self.write("a.log", []), "walks")[0])

    def test_the_script_runs_without_site_packages_and_writes_utf8_whatever_the_console(self):
        # As the harness runs it: with -S, and natively with the console's code page.
        log = self.write("standin.log", ["pid=40\timage=C:\\c\\Zentorv\u0131k.exe\tcommand=x"])
        done = subprocess.run(
            [sys.executable, "-S", HERE / "records.py", "starts", log, "image"],
            capture_output=True,
            env={"PYTHONIOENCODING": "ascii", "PATH": ""},
        )
        self.assertEqual(
            (0, "C:\\c\\Zentorv\u0131k.exe\n".encode()), (done.returncode, done.stdout)
        )


class Statuses(Files):
    def test_from_the_service_s_own_first_report(self):
        # Before it the controller shows START_PENDING with the previous record; the pid changes
        # within one report and between two.
        log = normal_cycle(10.0)
        log.insert(3, status(11.5, "START_PENDING", pid=8))
        self.assertEqual(
            [normal_run.status_text(s, CONTRACT) for s in CONTRACT.statuses],
            [
                normal_run.status_text(s, CONTRACT)
                for s in normal_run.own_statuses(self.parsed(log), CONTRACT)
            ],
        )
        self.assertEqual((0, "", ""), self.run_cli("expect-statuses", self.write("run.log", log)))

    def test_a_start_pending_too_short_to_be_seen_passes_from_running_only(self):
        log = [line for line in normal_cycle(10.0) if "START_PENDING" not in line]
        path = self.write("run.log", log)
        self.assertEqual(1, self.run_cli("expect-statuses", path)[0])
        self.assertEqual(0, self.run_cli("expect-statuses", "--from-running", path)[0])
        own = normal_run.own_statuses(self.parsed(log), CONTRACT, from_running=True)
        self.assertEqual(["RUNNING", "STOP_PENDING", "STOPPED"], [s["state"] for s in own])

    def test_a_wrong_report_is_shown_as_a_diff(self):
        log = [line.replace("checkpoint=4", "checkpoint=1") for line in normal_cycle(10.0)]
        code, out, _ = self.run_cli("expect-statuses", self.write("run.log", log))
        self.assertEqual(1, code)
        self.assertIn(
            "-type=0x10 state=STOP_PENDING accepted=0x0 exit=0 specific=0 checkpoint=4", out
        )
        self.assertIn(
            "+type=0x10 state=STOP_PENDING accepted=0x0 exit=0 specific=0 checkpoint=1", out
        )

    def test_a_marked_stretch_of_a_log(self):
        log = (
            [record(1, "mark", text="cycle 1")]
            + normal_cycle(10.0)
            + [record(5000, "mark", text="cycle 2")]
            + [
                line.replace("exit=0", "exit=1067") if "STOPPED" in line else line
                for line in normal_cycle(6000.0)
            ]
        )
        path = self.write("run.log", log)
        self.assertEqual(0, self.run_cli("expect-statuses", "--mark", "cycle 1", path)[0])
        self.assertEqual(1, self.run_cli("expect-statuses", "--mark", "cycle 2", path)[0])
        code, _, err = self.run_cli("expect-statuses", "--mark", "cycle 3", path)
        self.assertEqual(2, code)
        self.assertIn("no mark 'cycle 3'", err)

    def test_each_cycle_of_a_soak_log(self):
        def soak(wrong_cycle):
            lines = []
            for n in range(1, 21):
                cycle = normal_cycle(n * 10000.0)
                if n == wrong_cycle:
                    cycle = [line.replace("checkpoint=4", "checkpoint=1") for line in cycle]
                lines += [record(n * 10000.0 - 1, "mark", text=f"cycle {n}")] + cycle
            return self.write("soak.log", lines + [record(300000, "mark", text="end")])

        self.assertEqual(
            (0, "statuses differ in 0 of 20 segments\n", ""),
            self.run_cli("expect-statuses", "--marks", "cycle", soak(wrong_cycle=None)),
        )
        code, out, _ = self.run_cli("expect-statuses", "--marks", "cycle", soak(wrong_cycle=7))
        self.assertEqual(1, code)
        lines = out.splitlines()
        self.assertEqual(["cycle 7:", "statuses differ in 1 of 20 segments"], [lines[0], lines[-1]])
        self.assertIn(
            "+type=0x10 state=STOP_PENDING accepted=0x0 exit=0 specific=0 checkpoint=1", out
        )
        no_marks = self.write("run.log", normal_cycle(1))
        self.assertEqual(1, self.run_cli("expect-statuses", "--marks", "cycle", no_marks)[0])

    @staticmethod
    def parsed(lines):
        return [formats.parse_record(line) for line in lines]


class Trace(Files):
    """The orders the threads fix, and those they leave open."""

    def check(self, received, expected=None, other_controls=0):
        return normal_run.check_trace(received, CONTRACT, expected, other_controls)

    def test_accepted_orders(self):
        cases = {
            "the normal order": NORMAL,
            "without ServiceMain's exit": NORMAL[:11] + ["Main: Exit"],
            "Main: Exit before ServiceMain: Exit": NORMAL[:11]
            + ["Main: Exit", "ServiceMain: Exit"],
            "the stop before the worker entered": NORMAL[:3]
            + HANDLER_STOP
            + ["ServiceWorkerThread: Entry", NORMAL[3]]
            + NORMAL[8:],
            "the handler's exit last but Main: Exit": NORMAL[:7]
            + NORMAL[8:12]
            + ["ServiceCtrlHandler: Exit", "Main: Exit"],
        }
        for what, received in cases.items():
            with self.subTest(what):
                self.assertEqual([], self.check(received))

    def test_another_control_while_the_worker_enters(self):
        received = (
            NORMAL[:3] + [HANDLER_OTHER[0], NORMAL[4], HANDLER_OTHER[1], NORMAL[3]] + NORMAL[5:]
        )
        self.assertEqual([], self.check(received, other_controls=1))
        self.assertNotEqual([], self.check(received), "one control more than expected")
        self.assertNotEqual([], self.check(received, other_controls=2), "one control less")

    def test_refused_orders(self):
        n = NORMAL
        cases = {
            "ServiceMain before Main: Entry": [n[1], n[0]] + n[2:],
            "the worker before the start operations": n[:2] + [n[4]] + n[2:4] + n[5:],
            "a control before the start operations": n[:2] + [n[5]] + n[2:5] + n[6:],
            "the worker's exit before the stop request": n[:6] + [n[8]] + n[6:8] + n[9:],
            "the join before the worker's exit": n[:8] + [n[9], n[8]] + n[10:],
            "Main: Exit before the cleanup": n[:10] + ["Main: Exit"] + n[10:12],
            "the handler's exit before its stop request": n[:6] + [n[7], n[6]] + n[8:],
            "a message missing": n[:8] + n[9:],
            "a message twice": n + ["ServiceMain: Exit"],
            "a message not expected": n[:3]
            + ["ServiceMain: SetServiceStatus returned error"]
            + n[3:],
        }
        for what, received in cases.items():
            with self.subTest(what):
                self.assertNotEqual([], self.check(received))

    def test_a_broken_order_shows_where(self):
        received = NORMAL[:6] + [NORMAL[8]] + NORMAL[6:8] + NORMAL[9:]
        changed = [
            line for line in self.check(received) if line[:1] in "+-" and line[1:2] != line[0]
        ]
        self.assertEqual(
            ["+ServiceWorkerThread: Exit", "-ServiceWorkerThread: Exit"], sorted(changed)
        )
        unexpected = NORMAL[:3] + ["ServiceMain: SetServiceStatus returned error"] + NORMAL[3:]
        diff = self.check(unexpected)
        self.assertEqual(
            [
                " ServiceMain: Performing Service Start Operations",
                "+ServiceMain: SetServiceStatus returned error",
                " ServiceMain: Waiting for Worker Thread to complete",
            ],
            diff[diff.index("+ServiceMain: SetServiceStatus returned error") - 1 :][:3],
        )

    def test_the_trace_file_keeps_the_service_s_messages_only(self):
        prefix = formats.PREFIX
        trace = self.write(
            "trace.txt",
            [
                f"40 {prefix}Main: Entry",
                "41 other program",
                "continued other text",
                f"40 {prefix}Main: StartServiceCtrlDispatcher returned error",
                f"42 prefix elsewhere: {prefix}Main: Exit",
            ],
            end="\r\n",
        )
        self.assertEqual(
            (0, "Main: Entry\nMain: StartServiceCtrlDispatcher returned error\n", ""),
            self.run_cli("trace", trace),
        )
        self.assertEqual((0, "40\n", ""), self.run_cli("trace", "--pids", trace))
        expected = "Main: Entry\nMain: StartServiceCtrlDispatcher returned error\n"
        self.assertEqual(
            0, self.run_cli("expect-trace", "--expected", "-", trace, stdin=expected)[0]
        )
        code, out, _ = self.run_cli("expect-trace", trace)
        self.assertEqual(1, code)
        self.assertIn("+Main: StartServiceCtrlDispatcher returned error", out)

    def test_a_message_beyond_another_expected_trace_fails(self):
        expected = ["Main: Entry", "Main: StartServiceCtrlDispatcher returned error"]
        self.assertNotEqual([], self.check(expected + ["ServiceMain: Exit"], expected))

    def test_the_contract_s_trace_keeps_its_own_orders(self):
        for first, second in CONTRACT.after:
            self.assertLess(NORMAL.index(first), NORMAL.index(second), f"{first} | {second}")
        self.assertLessEqual(CONTRACT.optional | set(CONTRACT.other_control), set(NORMAL))


class MadeUpContracts(Files):
    def test_an_order_binds_the_first_occurrences_only(self):
        contract = normal_run.load_contract(
            self.write(
                "contract.txt",
                [
                    "# a handler called twice, its first entry before the worker's exit",
                    "status state=RUNNING exit=0 checkpoint=0",
                    "trace main Handler: Entry",
                    "trace main Handler: Exit",
                    "trace worker Worker: Exit",
                    "trace main Handler: Entry",
                    "trace main Handler: Exit",
                    "after Handler: Entry | Worker: Exit",
                ],
            )
        )
        second_entry_first = [
            "Handler: Entry",
            "Handler: Exit",
            "Handler: Entry",
            "Worker: Exit",
            "Handler: Exit",
        ]
        self.assertEqual([], normal_run.check_trace(second_entry_first, contract))
        worker_first = [
            "Worker: Exit",
            "Handler: Entry",
            "Handler: Exit",
            "Handler: Entry",
            "Handler: Exit",
        ]
        self.assertNotEqual([], normal_run.check_trace(worker_first, contract))

    def test_a_contract_it_cannot_read_is_named_with_its_line(self):
        trace = self.write("trace.txt", [])
        for lines, why in [
            (["status state=RUNNING", "tracks main Main: Entry"], ":2: unknown statement 'tracks'"),
            (["trace main Main: Entry", "trace service Main: Exit"], ":2: Main runs on one thread"),
            (["after Main: Entry"], ":1: 'Main: Entry' is not FIRST | SECOND"),
            (["status state=RUNNING", "status state=STOPPED exit=0"], "the same fields"),
        ]:
            with self.subTest(why):
                code, _, err = self.run_cli(
                    "expect-trace", "--contract", self.write("c.txt", lines), trace
                )
                self.assertEqual(2, code)
                self.assertIn(why, err)


class Stop(Files):
    """The bound is the requirement's: walk + one 3000 ms poll + 400 ms slack."""

    @staticmethod
    def stop(walk, pending_to_stopped, t=100.0):
        return [
            record(t, "control", control="stop"),
            status(t + walk, "STOP_PENDING", checkpoint=4),
            record(t + walk + 0.5, "control", control="stop", result="ok", state="STOP_PENDING"),
            status(t + walk + pending_to_stopped, "STOPPED", checkpoint=3),
        ]

    def test_within_walk_poll_and_slack_passes_and_beyond_fails(self):
        for pending_to_stopped, code in [(3390, 0), (3410, 1), (5000, 1)]:
            with self.subTest(pending_to_stopped=pending_to_stopped):
                log = self.write("stop.log", self.stop(150, pending_to_stopped))
                self.assertEqual(code, self.run_cli("expect-stop", log)[0])

    def test_the_figures_of_the_first_stop(self):
        # A second stop, refused while stop pending, changes nothing.
        log = self.stop(150, 3200)
        log.insert(2, record(260, "control", control="stop"))
        log.insert(3, record(261, "control", control="stop", result="error", error=1061))
        path = self.write("stop.log", log)
        self.assertEqual((0, "150\n3350\n200\n", ""), self.run_cli("stop-times", path))
        self.assertEqual((0, "3350\n", ""), self.run_cli("stop-times", path, "latency"))
        self.assertEqual(
            (0, "stopped in 3350 ms, at most walk 150 + poll 3000 + slack 400 ms\n", ""),
            self.run_cli("expect-stop", path),
        )

    def test_a_log_without_a_whole_stop_fails(self):
        stop = self.stop(150, 3200)
        for what, log in [
            ("no request", stop[1:]),
            ("no stop pending", stop[:1] + stop[2:]),
            ("no stopped", stop[:3]),
        ]:
            with self.subTest(what):
                code, out, _ = self.run_cli("expect-stop", self.write("stop.log", log))
                self.assertEqual(
                    (1, "no stop request, then STOP_PENDING, then STOPPED\n"), (code, out)
                )

    def test_each_cycle_of_a_soak_log(self):
        def soak(slow_cycle):
            lines = []
            for n in range(1, 21):
                lines.append(record(n * 10000.0, "mark", text=f"cycle {n}"))
                lines += normal_cycle(n * 10000.0 + 1, stop_after=5000 if n == slow_cycle else 3100)
            return self.write("soak.log", lines + [record(300000, "mark", text="end")])

        code, out, _ = self.run_cli("expect-stop", "--marks", "cycle", soak(slow_cycle=None))
        self.assertEqual(0, code)
        self.assertEqual(
            "ms past walk + poll 3000 ms in 20 segments (slack 400 ms): "
            + " ".join(["100"] * 20)
            + "\n",
            out,
        )
        code, out, _ = self.run_cli("expect-stop", "--marks", "cycle", soak(slow_cycle=7))
        self.assertEqual(1, code)
        self.assertEqual(
            [
                "cycle 7: stop took 2000 ms past walk + poll 3000 ms",
                "ms past walk + poll 3000 ms in 20 segments (slack 400 ms): "
                + " ".join(["100"] * 6 + ["2000"] + ["100"] * 13),
            ],
            out.splitlines(),
        )

    def test_a_soak_log_without_its_marks_fails(self):
        code, out, _ = self.run_cli(
            "expect-stop", "--marks", "cycle", self.write("soak.log", normal_cycle(1))
        )
        self.assertEqual(1, code)
        self.assertIn("in 0 segments", out)


class WatchedProcesses(Files):
    def setUp(self):
        super().setUp()
        exited = dict(result="exited", code=0)
        self.log = self.write(
            "run.log",
            [
                record(10.0, "process", pid=40, **exited, image=r"C:\c\Zentorvik.exe.bak"),
                record(10.1, "process", pid=44, result="running", image=r"C:\c\Zentorvik"),
                record(10.2, "process", pid=48, **exited, image=r"C:\b\Zentorvik.exe"),
                record(10.3, "process", pid=52, **exited, image=r"C:\a\b\Zentorvik.exe"),
                record(10.4, "process", pid=56, **exited, image=r"C:\c\Zentorvık.exe"),
            ],
        )

    def test_paths_are_compared_whole_and_letter_case_aside(self):
        for image, outcome, why in [
            (r"C:\c\Zentorvik", ["running"], "inside a longer path"),
            (r"C:\b\Zentorvik.exe", ["exited 0"], "the end of a longer path"),
            (r"c:\A\B\zentorvik.EXE", ["exited 0"], "Windows reports C:\\Windows"),
            (r"C:\c\Zentorvik.exe", [], "a dotless i is another letter"),
        ]:
            with self.subTest(why):
                out = self.run_cli("outcome", self.log, image)[1]
                self.assertEqual(outcome, out.splitlines())

    def test_expect_outcome_wants_exactly_one_such_process(self):
        self.assertEqual(
            0, self.run_cli("expect-outcome", self.log, r"C:\c\Zentorvik", "running")[0]
        )
        code, out, _ = self.run_cli(
            "expect-outcome", self.log, r"C:\b\Zentorvik.exe", "exited", "5"
        )
        self.assertEqual(1, code)
        self.assertIn("pid=48", out)
        self.assertEqual(1, self.run_cli("expect-outcome", self.log, r"C:\none.exe", "running")[0])


class Fields(Files):
    def test_fields_by_name_with_filters(self):
        log = self.write(
            "run.log",
            [
                record(1, "procs", name="Zentorvik.exe", count=2, pids="40,44"),
                record(2, "procs", name="OrveldenZentorvikTool.exe", count=0, pids=""),
                record(3, "service-exit", pid=7, result="exited", code=1067),
            ],
        )
        self.assertEqual(
            (0, "2\n", ""), self.run_cli("field", log, "count", "event=procs", "name=Zentorvik.exe")
        )
        self.assertEqual(
            (0, "1067\n", ""), self.run_cli("field", log, "code", "event=service-exit")
        )
        self.assertEqual((0, "", ""), self.run_cli("field", log, "code", "event=procs"))
        self.assertEqual(2, self.run_cli("field", log, "code", "event")[0])

    def test_the_stand_in_s_starts(self):
        log = self.write(
            "standin.log",
            [
                'pid=40\timage=C:\\windows\\Zentorvik.exe\tcommand="c:\\windows\\Zentorvik.exe" -s',
                "pid=44\timage=C:\\c\\Zentorvik.exe.bak\tcommand=C:\\c\\Zentorvik.exe.bak a=b",
            ],
            end="\r\n",
        )
        self.assertEqual((0, "40\n44\n", ""), self.run_cli("starts", log))
        self.assertEqual(
            '"c:\\windows\\Zentorvik.exe" -s\nC:\\c\\Zentorvik.exe.bak a=b\n',
            self.run_cli("starts", log, "command")[1],
        )
        self.assertEqual(
            (0, "44\n", ""), self.run_cli("field", log, "pid", "image=C:\\c\\Zentorvik.exe.bak")
        )
        bad = self.write("bad.log", ["pid=40\timage=C:\\x.exe"])
        code, _, err = self.run_cli("starts", bad)
        self.assertEqual(2, code)
        self.assertIn("bad.log:1:", err)

    def test_nothing_between_two_marks(self):
        quiet = [
            record(1, "mark", text="ended"),
            record(2, "hold", ms=4000, result="done"),
            record(4002, "mark", text="stopping"),
            status(4003, "STOP_PENDING"),
        ]
        path = self.write("run.log", quiet)
        self.assertEqual(
            (0, "", ""), self.run_cli("expect-none", "--mark", "ended", path, "event=status")
        )
        noisy = self.write("noisy.log", quiet[:2] + [status(3000, "STOPPED")] + quiet[2:])
        code, out, _ = self.run_cli("expect-none", "--mark", "ended", noisy, "event=status")
        self.assertEqual(1, code)
        self.assertIn("t=3000.0\tevent=status\ttype=0x10\tstate=STOPPED", out)

    def test_elapsed_from_one_record_to_the_next_of_another_kind(self):
        tool = "C:\\zt\\tool.exe"
        log = self.write(
            "alone.log",
            [
                record(5.0, "process", pid=3, result="exited", code=1, image="x"),
                record(10.0, "watch", pid=40, image=tool),
                record(1260.6, "process", pid=40, result="exited", code=1063, image=tool),
            ],
        )
        for start, out in (("event=watch", "1251\n"), ("event=done", "")):
            self.assertEqual(
                (0, out, ""), self.run_cli("elapsed", log, "--from", start, "--to", "event=process")
            )


class Floods(Files):
    """The driver's debug-output COUNT TEXT as the monitor printed it: whole and in order, or up to
    where its queue was full, then the notice of what it dropped."""

    NOTICE = "dbwin-monitor: {} messages dropped here: the output was blocked"

    def flood(self, lines):
        return self.write("trace.txt", lines, end="\r\n")

    def test_a_flood_printed_whole(self):
        trace = self.flood(
            [
                "40 first 1",
                "41 other 2",
                "40 first 2",
                "40 first 3",
                f"7 {formats.PREFIX}Main: Exit",
            ]
        )
        self.assertEqual(
            (0, "3 of 3 printed in order\n", ""), self.run_cli("expect-flood", trace, "first", "3")
        )
        for what, lines in [
            ("one missing", ["40 first 1", "40 first 3"]),
            ("out of order", ["40 first 2", "40 first 1", "40 first 3"]),
            ("twice", ["40 first 1", "40 first 1", "40 first 2", "40 first 3"]),
            ("a longer text", ["40 first 1", "40 first 2", "40 first x 3"]),
        ]:
            with self.subTest(what):
                self.assertEqual(
                    1, self.run_cli("expect-flood", self.flood(lines), "first", "3")[0]
                )

    def test_a_flood_beyond_the_queue_is_counted_where_it_was_dropped(self):
        printed = [f"40 second 0000 {n}" for n in range(1, 261)]
        trace = self.flood(printed + [self.NOTICE.format(140), "40 later 1"])
        self.assertEqual(
            (0, "260 of 400 printed in order, then 140 dropped\n", ""),
            self.run_cli("expect-flood", "--dropped", trace, "second 0000", "400"),
        )
        self.assertEqual(1, self.run_cli("expect-flood", trace, "second 0000", "400")[0])
        for what, lines in [
            ("a wrong count", printed + [self.NOTICE.format(130)]),
            ("not right after", printed + ["40 later 1", self.NOTICE.format(140)]),
            ("no notice", printed),
            ("none dropped", printed + [f"40 second 0000 {n}" for n in range(261, 401)]),
        ]:
            with self.subTest(what):
                code, _, _ = self.run_cli(
                    "expect-flood", "--dropped", self.flood(lines), "second 0000", "400"
                )
                self.assertEqual(1, code)

    def test_every_line_without_its_writer(self):
        trace = self.flood(["40 first 1", self.NOTICE.format(1), "7 a\\x0Ab"])
        self.assertEqual(
            (0, f"first 1\n{self.NOTICE.format(1)}\na\\x0Ab\n", ""),
            self.run_cli("messages", trace),
        )


class Timeline(Files):
    def test_statuses_and_answers_timed_from_the_first_request(self):
        code, out, _ = self.run_cli("timeline", self.write("run.log", normal_cycle(10.0)[:5]))
        self.assertEqual(
            [
                "       -0.5 ms  START_PENDING type=0x10 accepted=0x0 exit=0 specific=0 checkpoint=3"
                " hint=0 pid=0",
                "       +0.5 ms  START_PENDING type=0x10 accepted=0x0 exit=0 specific=0 checkpoint=0"
                " hint=0 pid=7",
                "       +1.5 ms  (start result=ok)",
                "      +19.5 ms  RUNNING       type=0x10 accepted=0x1 exit=0 specific=0 checkpoint=0"
                " hint=0 pid=7",
            ],
            out.splitlines(),
        )


class ProductNames(Files):
    """contract.h's names, read as a build reads them, against the tests' copy of them."""

    DEFINES = re.findall(r'^#define (\w+) L"(.*)"$', (ROOT / "service/contract.h").read_text(), re.M)

    def built(self, **changed):
        names = {name: re.sub(r"\\(.)", r"\1", value) for name, value in self.DEFINES}
        return self.write("contract.txt", [f"{n}={v}" for n, v in {**names, **changed}.items()])

    def test_the_tests_copy_is_contract_h(self):
        self.assertEqual((0, "", ""), self.run_cli("expect-product", self.built()))

    def test_a_difference_names_both_values(self):
        code, out, _ = self.run_cli("expect-product", self.built(SERVICE_NAME="Other", NEW="x"))
        self.assertEqual(1, code)
        name = product.FACTS["SERVICE_NAME"]
        said = f'SERVICE_NAME: tests/e2e/product.sh says "{name}", the build read "Other"'
        self.assertIn(said, out)
        self.assertIn('NEW: tests/e2e/product.sh says nothing, the build read "x"', out)


class PackageSearches(unittest.TestCase):
    """What a search sets that the execute sequence reads: private, secure or lost."""

    @staticmethod
    def package(execute="", launch="", only_ui="", secure="START"):
        actions = [{"Action": "Execute", "Target": "[START]"}, {"Action": "UI", "Target": only_ui}]
        return {
            "Property": [{"Property": "SecureCustomProperties", "Value": secure}],
            "AppSearch": [{"Property": name} for name in ("START", "MARKED", "Found")],
            "Upgrade": [{"ActionProperty": "OLDER"}],
            "InstallExecuteSequence": [
                {"Action": "LaunchConditions", "Condition": ""},
                {"Action": "Execute", "Condition": execute},
            ],
            "InstallUISequence": [{"Action": "UI", "Condition": "MARKED AND OLDER AND Found"}],
            "LaunchCondition": [{"Condition": launch}],
            "CustomAction": actions,
        }

    def test_read_where_the_execute_sequence_reads_it(self):
        cases = [
            (dict(execute='MARKED AND MARKED<>"#0"'), {"MARKED": "lost"}),
            (dict(execute="MARKED", secure="START;MARKED"), {"MARKED": "secure"}),
            (dict(launch="NOT OLDER"), {"OLDER": "lost"}),
            (dict(execute="Installed AND Found"), {"Found": "private"}),
            # a component's state, quoted text, a custom action of the user interface alone
            (dict(execute='?MARKED=3 OR START="OLDER"', only_ui="[MARKED]"), {}),
        ]
        for tables, found in cases:
            with self.subTest(**tables):
                self.assertEqual(
                    {"START": "secure", **found},
                    package.searched_properties(self.package(**tables)),
                )


class ContractAgreesWithTheService(unittest.TestCase):
    """The normal run as the service's own code sends it: the messages it traces and the statuses
    it reports."""

    SOURCES = "\n".join(p.read_text() for p in sorted((ROOT / "service").glob("*.cpp")))
    HEADER = (ROOT / "service/contract.h").read_text()
    CONSTANTS = dict(re.findall(r"constexpr DWORD (\w+) = (\d+);", HEADER))

    def test_every_message_is_one_the_service_traces(self):
        for message in NORMAL + CONTRACT.other_control:
            self.assertIn(f'SERVICE_NAME L": {message}"', self.SOURCES)

    def test_every_status_is_one_the_service_reports(self):
        calls = set(re.findall(r"Report\w*\(SERVICE_(\w+), (\w+), (\w+), (\w+)\)", self.SOURCES))
        accepted = {"0": "0x0", "SERVICE_ACCEPT_STOP": "0x1"}
        reported = {
            (state, accepted.get(a, a), "0" if e == "NO_ERROR" else e, self.CONSTANTS.get(c, c))
            for state, a, e, c in calls
        }
        for s in CONTRACT.statuses:
            self.assertIn((s["state"], s["accepted"], s["exit"], s["checkpoint"]), reported)


if __name__ == "__main__":
    unittest.main()
