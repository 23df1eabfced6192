"""The reader on made-up records: each check passes a normal run and fails, with its evidence,
where the service goes wrong."""

import io
import re
import subprocess
import sys
import tempfile
import unittest
from contextlib import redirect_stderr, redirect_stdout
from pathlib import Path
from unittest import mock

import records
from reader import formats, normal_run, package

HERE = Path(__file__).resolve().parent
ROOT = HERE.parents[1]
CONTRACT = normal_run.load_contract()
NORMAL = CONTRACT.trace


def record(t, event, **fields):
    return "\t".join([f"t={t}", f"event={event}"] + [f"{k}={v}" for k, v in fields.items()])


def status(t, state, accepted="0x0", checkpoint=0, pid=7):
    fields = dict(type="0x10", state=state, accepted=accepted, exit=0, specific=0)
    return record(t, "status", **fields, checkpoint=checkpoint, hint=0, pid=pid)


def normal_cycle(t, stop_after=3200.0):
    """One start and stop from t on, STOPPED stop_after ms after STOP_PENDING (walk 150 ms)."""
    return [
        status(t, "START_PENDING", checkpoint=3, pid=0),  # the controller's, before any report
        record(t + 0.5, "start"),
        status(t + 1, "START_PENDING"),
        status(t + 1.5, "START_PENDING", pid=8),  # a change of pid alone is no new status
        record(t + 2, "start", result="ok"),
        status(t + 20, "RUNNING", accepted="0x1"),
        record(t + 100, "control", control="stop"),
        status(t + 250, "STOP_PENDING", checkpoint=4),
        record(t + 251, "control", control="stop", result="ok", state="STOP_PENDING"),
        status(t + 250 + stop_after, "STOPPED", checkpoint=3, pid=0),
    ]


def soak(changed_cycle=None, change=None):
    """Twenty marked cycles, the lines of one changed by change."""
    lines = []
    for n in range(1, 21):
        cycle = normal_cycle(n * 10000.0)
        lines += [record(n * 10000.0 - 1, "mark", text=f"cycle {n}")]
        lines += change(cycle) if n == changed_cycle else cycle
    return lines + [record(300000, "mark", text="end")]


class Reader(unittest.TestCase):
    """Writes made-up files to a temporary folder and runs the command line on them."""

    def setUp(self):
        folder = tempfile.TemporaryDirectory()
        self.addCleanup(folder.cleanup)
        self.dir = Path(folder.name)

    def write(self, lines, end="\n", name="run.log"):
        path = self.dir / name
        path.write_text("".join(line + end for line in lines), encoding="utf-8")
        return str(path)

    def run_cli(self, *argv, stdin=""):
        """(exit code, standard output, standard error) of records.py ARGV."""
        out, err = io.StringIO(), io.StringIO()
        with redirect_stdout(out), redirect_stderr(err):
            with mock.patch("sys.stdin", io.StringIO(stdin)):
                code = records.main(list(argv))
        return code, out.getvalue(), err.getvalue()


class Sanity(Reader):
    def test_the_script_as_the_harness_runs_it(self):
        # With -S and the console's code page; Windows' line ends, a lone \r kept in a value.
        log = self.write(["pid=40\timage=C:\\c\\Zentorvik.exe\tcommand=a\u2028b\x85c\rd"], "\r\n")
        done = subprocess.run([sys.executable, "-S", HERE / "records.py", "starts", log, "command"],
                              capture_output=True, env={"PYTHONIOENCODING": "ascii", "PATH": ""})
        self.assertEqual((0, "a\u2028b\x85c\rd\n".encode()), (done.returncode, done.stdout))
        bad = self.write([record(1, "start"), "t=2\tevent=start\tok"])
        self.assertEqual((2, "", f"records.py: {bad}:2: malformed line: 'ok' is not a KEY=VALUE"
                          " of its own\n"), self.run_cli("expect-stop", bad))
        # A misplaced word is a usage error, not an option.
        self.assertEqual(2, self.run_cli("expect-statuses", bad, "cycle")[0])


class Statuses(Reader):
    def test_a_normal_run_passes_a_wrong_status_or_order_fails_with_a_diff_in_a_soak_too(self):
        self.assertEqual((0, "", ""), self.run_cli("expect-statuses", self.write(normal_cycle(10))))
        # Start pending can be too short for the driver to see.
        unseen = self.write([line for line in normal_cycle(10) if "START_PENDING" not in line])
        self.assertEqual(1, self.run_cli("expect-statuses", unseen)[0])
        self.assertEqual(0, self.run_cli("expect-statuses", "--from-running", unseen)[0])
        log = normal_cycle(10)
        wrong_checkpoint = [line.replace("checkpoint=4", "checkpoint=1") for line in log]
        wrong_order = log[:5] + log[7:8] + log[5:7] + log[8:]
        for lines, shown in [(wrong_checkpoint, "+"), (wrong_order, "-")]:
            code, out, _ = self.run_cli("expect-statuses", self.write(lines))
            self.assertEqual(1, code)
            self.assertIn(f"{shown}type=0x10 state=STOP_PENDING accepted=0x0 exit=0", out)
        soaked = ("expect-statuses", "--marks", "cycle")
        code, out, _ = self.run_cli(*soaked, self.write(soak(7, lambda _: wrong_checkpoint)))
        lines = out.splitlines()
        self.assertEqual((1, "cycle 7:", "statuses differ in 1 of 20 segments"),
                         (code, lines[0], lines[-1]))
        self.assertEqual(0, self.run_cli(*soaked, self.write(soak()))[0])
        self.assertEqual(1, self.run_cli(*soaked[:2], "x", self.write(soak()))[0], "no segment")


class Trace(Reader):
    """The orders the threads fix, and those they leave open."""

    def check(self, received, other_controls=0):
        return normal_run.check_trace(received, CONTRACT, None, other_controls)

    def test_accepted_orders(self):
        n = NORMAL
        for what, received in {
            "the normal order": n,
            "without ServiceMain's exit": n[:11] + ["Main: Exit"],
            "Main: Exit before ServiceMain: Exit": n[:11] + ["Main: Exit", "ServiceMain: Exit"],
            "the stop before the worker entered": n[:3] + n[5:8] + n[4:5] + n[3:4] + n[8:],
            "the handler's exit last but Main: Exit": n[:7] + n[8:12] + [n[7], "Main: Exit"],
        }.items():
            with self.subTest(what):
                self.assertEqual([], self.check(received))

    def test_refused_orders(self):
        n = NORMAL
        for what, received in {
            "ServiceMain before Main: Entry": [n[1], n[0]] + n[2:],
            "the worker before the start operations": n[:2] + [n[4]] + n[2:4] + n[5:],
            "a control before the start operations": n[:2] + [n[5]] + n[2:5] + n[6:],
            "the worker's exit before the stop request": n[:6] + [n[8]] + n[6:8] + n[9:],
            "the join before the worker's exit": n[:8] + [n[9], n[8]] + n[10:],
            "Main: Exit before the cleanup": n[:10] + ["Main: Exit"] + n[10:12],
            "the handler's exit before its stop request": n[:6] + [n[7], n[6]] + n[8:],
            "a message missing": n[:8] + n[9:],
            "a message twice": n + ["ServiceMain: Exit"],
            "a message not expected": n[:3] + ["ServiceMain: SetStatus returned error"] + n[3:],
        }.items():
            with self.subTest(what):
                self.assertNotEqual([], self.check(received))
        diff = self.check(n[:6] + [n[8]] + n[6:8] + n[9:])
        moved = sorted(line for line in diff[2:] if line[:1] in "+-")
        self.assertEqual(["+ServiceWorkerThread: Exit", "-ServiceWorkerThread: Exit"], moved)

    def test_other_controls_while_the_worker_enters(self):
        other = CONTRACT.other_control
        received = NORMAL[:3] + [other[0], NORMAL[4], other[1], NORMAL[3]] + NORMAL[5:]
        self.assertEqual([], self.check(received, other_controls=1))
        self.assertNotEqual([], self.check(received), "one control more than expected")
        self.assertNotEqual([], self.check(received, other_controls=2), "one control less")

    def test_the_trace_file_keeps_the_service_s_messages_only(self):
        prefix = formats.PREFIX
        trace = self.write([f"40 {prefix}Main: Entry", "41 other program", "continued text",
                            f"40 {prefix}Main: StartServiceCtrlDispatcher returned error",
                            f"42 elsewhere: {prefix}Main: Exit"], "\r\n", "trace.txt")
        self.assertEqual((0, "40\n", ""), self.run_cli("trace", "--pids", trace))
        expected = "Main: Entry\nMain: StartServiceCtrlDispatcher returned error\n"
        self.assertEqual(0, self.run_cli("expect-trace", "--expected", "-", trace,
                                         stdin=expected)[0])
        self.assertIn("+Main: StartServiceCtrlDispatcher returned error",
                      self.run_cli("expect-trace", trace)[1])


class Stop(Reader):
    """The bound is the requirement's: walk + one 3000 ms poll + 400 ms slack."""

    def test_within_walk_poll_and_slack_passes_and_beyond_fails(self):
        for pending_to_stopped, code in [(3390, 0), (3410, 1), (5000, 1)]:
            with self.subTest(pending_to_stopped=pending_to_stopped):
                log = self.write(normal_cycle(0, pending_to_stopped))
                self.assertEqual(code, self.run_cli("expect-stop", log)[0])
        # A second stop, refused while stop pending, changes nothing.
        log = normal_cycle(0, 3200)
        log[8:8] = [record(260, "control", control="stop"),
                    record(261, "control", control="stop", result="error", error=1061)]
        self.assertEqual((0, "stopped in 3350 ms, at most walk 150 + poll 3000 + slack 400 ms\n",
                          ""), self.run_cli("expect-stop", self.write(log)))
        code, out, _ = self.run_cli("expect-stop", self.write(normal_cycle(0)[:8]))
        self.assertEqual((1, "no stop request, then STOP_PENDING, then STOPPED\n"), (code, out))
        # In a soak, each cycle's.
        slow = self.write(soak(7, lambda cycle: normal_cycle(70000.0, 5000)))
        code, out, _ = self.run_cli("expect-stop", "--marks", "cycle", slow)
        self.assertEqual((1, "cycle 7: stop took 2000 ms past walk + poll 3000 ms"),
                         (code, out.splitlines()[0]))


class Selections(Reader):
    """What a check or an extraction reads of a log: a process, a marked stretch, a pair."""

    def test_a_process_of_a_whole_image_path_a_marked_stretch_and_a_pair_of_records(self):
        exited = dict(result="exited", code=0)
        log = self.write([
            record(10.0, "process", pid=40, **exited, image=r"C:\c\Zentorvik.exe.bak"),
            record(10.1, "process", pid=44, result="running", image=r"C:\c\Zentorvik"),
            record(10.2, "process", pid=48, **exited, image=r"C:\b\Zentorvik.exe"),
            record(10.3, "process", pid=52, **exited, image=r"C:\a\b\Zentorvik.exe"),
            record(10.4, "process", pid=56, **exited, image=r"C:\c\Zentorvık.exe"),
        ])
        for image, outcome, code in [
            (r"C:\c\Zentorvik", "running", 0),  # inside a longer path
            (r"c:\A\B\zentorvik.EXE", "exited 0", 0),  # Windows may report C:\Windows
            (r"C:\c\Zentorvik.exe", "exited 0", 1),  # a dotless i is another letter
        ]:
            with self.subTest(image):
                found = self.run_cli("expect-outcome", log, image, *outcome.split())
                self.assertEqual(code, found[0])
        code, out, _ = self.run_cli("expect-outcome", log, r"C:\b\Zentorvik.exe", "exited", "5")
        self.assertEqual((1, True), (code, "pid=48" in out))
        # Nothing between two marks, and the time between two records.
        quiet = [record(1, "mark", text="ended"), record(2, "watch", pid=4, image="y"),
                 record(4002, "mark", text="stopping"), status(4003, "STOP_PENDING")]
        noisy = quiet[:2] + [status(3000, "STOPPED")] + quiet[2:]
        none = ("expect-none", "--mark", "ended")
        self.assertEqual((0, "", ""), self.run_cli(*none, self.write(quiet), "event=status"))
        code, out, _ = self.run_cli(*none, self.write(noisy), "event=status")
        self.assertEqual(1, code)
        self.assertIn("t=3000.0\tevent=status\ttype=0x10\tstate=STOPPED\t", out)
        elapsed = ("elapsed", self.write(noisy), "--from", "event=watch", "--to", "event=status")
        self.assertEqual((0, "2998\n", ""), self.run_cli(*elapsed))


class Floods(Reader):
    """The driver's debug-output COUNT TEXT as the monitor printed it: whole and in order, or up
    to where its queue was full, then the notice of what it dropped."""

    NOTICE = "dbwin-monitor: {} messages dropped here: the output was blocked"

    def flood(self, *argv, lines):
        return self.run_cli("expect-flood", *argv[:-2], self.write(lines, "\r\n"), *argv[-2:])

    def test_a_flood_printed_whole_or_counted_where_it_was_dropped(self):
        first, second = ("first", "3"), ("--dropped", "second 0000", "400")
        whole = ["40 first 1", "41 other 2", "40 first 2", "40 first 3", "7 x: Main: Exit"]
        self.assertEqual((0, "3 of 3 printed in order\n", ""), self.flood(*first, lines=whole))
        printed = [f"40 second 0000 {n}" for n in range(1, 261)]
        dropped = printed + [self.NOTICE.format(140), "40 later 1"]
        self.assertEqual((0, "260 of 400 printed in order, then 140 dropped\n", ""),
                         self.flood(*second, lines=dropped))
        for what, argv, lines in [
            ("one missing", first, ["40 first 1", "40 first 3"]),
            ("out of order", first, ["40 first 2", "40 first 1", "40 first 3"]),
            ("dropped unawares", second[1:], dropped),
            ("a wrong count", second, printed + [self.NOTICE.format(130)]),
            ("not right after", second, printed + ["40 later 1", self.NOTICE.format(140)]),
            ("no notice", second, printed),
        ]:
            with self.subTest(what):
                self.assertEqual(1, self.flood(*argv, lines=lines)[0])


class NormalRun(unittest.TestCase):
    def test_every_message_and_status_of_the_normal_run_is_one_the_service_sends(self):
        sources = "\n".join(p.read_text() for p in sorted((ROOT / "service").glob("*.cpp")))
        for message in NORMAL + CONTRACT.other_control:
            self.assertIn(f'SERVICE_NAME L": {message}"', sources)
        for first, second in CONTRACT.after:
            self.assertLess(NORMAL.index(first), NORMAL.index(second), f"{first} | {second}")
        self.assertLessEqual(CONTRACT.optional | set(CONTRACT.other_control), set(NORMAL))
        constants = dict(re.findall(r"constexpr DWORD (\w+) = (\d+);",
                                    (ROOT / "service/contract.h").read_text()))
        calls = re.findall(r"Report\w*\(SERVICE_(\w+), (\w+), (\w+), (\w+)\)", sources)
        accepted = {"0": "0x0", "SERVICE_ACCEPT_STOP": "0x1"}
        reported = {(state, accepted.get(a, a), "0" if e == "NO_ERROR" else e,
                     constants.get(c, c)) for state, a, e, c in calls}
        for s in CONTRACT.statuses:
            self.assertIn((s["state"], s["accepted"], s["exit"], s["checkpoint"]), reported)


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
                self.assertEqual({"START": "secure", **found},
                                 package.searched_properties(self.package(**tables)))


if __name__ == "__main__":
    unittest.main()
