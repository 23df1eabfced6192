#!/usr/bin/env python3
"""Reads what the end-to-end tests record: the status driver's log, the stand-in's log of its
starts and the debug-output monitor's trace; checks them against the normal run
(tests/normal-run.txt); holds the stop bound and the statistics. Standard library only.

Formats
-------
Driver log (service-driver.exe's standard output), one record a line: fields separated by one
TAB, each KEY=VALUE (a value may hold spaces and "=", never a TAB: the programs write control
characters of a value as \\xNN); a final \\r is dropped. The first field is t=<ms since the
driver started>, the second event=<name>; the other fields come in any order, and fields a reader
does not know are ignored. Events:
    status        type state accepted exit specific checkpoint hint pid (at each change of any)
    start         the request; then result=ok, or result=error error=N
    control       control=NAME|N, the request; then result=ok state=S checkpoint=N, or
                  result=error error=N
    wait          state=S result=ok|timeout          hold        ms=N result=done
    service-exit  pid=N result=exited code=N | pid=N result=running | result=none
    watch         pid=N image=PATH | pid=N result=error error=N
    watch-log     result=timeout                     spawn       result=error error=N path=PATH
    process       pid=N result=exited code=N image=PATH | pid=N result=running image=PATH
    procs         name=IMAGE-NAME count=N pids=N,N,...
    mark          text=TEXT                          debug-output  count=N slowest=MS
    done          failures=N
    open-manager, open-service, service-process   result=error error=N (service-process: pid)
    partial-write result=holding pid=N, then result=signalled given-again=0|1 (signal), or
                  result=buffer-timeout | result=error error=N
    hold-object   name=NAME result=created|existed | name=NAME result=error error=N
Stand-in log (c:\\zentorvik-standin.log), one line a start: pid=N, image=PATH, command=LINE,
TAB-separated. Monitor trace: "<pid> <text>" a line, maybe ending in \\r; the service's messages
are those whose text starts with "Orvelden Zentorvik Tool: ", read without that prefix. The
monitor's own notices ("dbwin-monitor: N messages dropped here: ...") stand where the dropped
messages were.

Library
-------
parse_record(line) -> dict (t a float, the rest strings); parse_fields(line) for any TAB-separated
KEY=VALUE line; read_records(path), read_starts(path), read_trace(path) -> [(pid, message)],
read_monitor(path) -> [(pid or None, text)] for every line of the monitor's output.
matches(record, filters); section(records, mark_text); segments(records, mark_prefix).
load_contract(path) -> Contract: the normal run's statuses and trace with their ordering rules.
own_statuses(records, contract, from_running) -> the service's own status records;
check_statuses(...), check_trace(messages, contract, expected, other_controls) -> diff lines, empty
when the run is as expected; canonical_trace(...) orders a trace as close to the expected one as
the threads allow.
stop_times(records) -> StopTimes(walk, latency) or None; stop_problem(records) -> None or why the
stop broke its bound. process_outcomes(records, image) -> ["exited N" | "running", ...].
flood_problem(lines, text, count, dropped) -> (figures, None or why) for the messages "text 1" to
"text count" the driver's debug-output sent.
summary(numbers) -> count, min, median, p90, max, mean, stderr.

Command line: python3 tests/e2e/records.py COMMAND ...
-----------------------------------------------------
A check ("expect-...") exits 0 when it holds and 1 when not, printing its evidence on failure (a
diff, the figures, the offending records). Any other command prints values one a line and exits 0.
Every command exits 2, saying why on standard error, on a usage error, a file it cannot read, a
malformed line (with its number), or a --mark that is not in the log. --mark TEXT reads a driver
log only from the record "mark text=TEXT" up to the next mark.

  statuses [--from-running] [--mark TEXT] LOG
      The service's own statuses as the normal run writes them (pid aside), repeats merged: from
      its first report on (START_PENDING, exit code 0, checkpoint 0), or with --from-running from
      RUNNING on, for starts whose start pending may be too short to be seen.
  expect-statuses [--from-running] [--mark TEXT | --marks PREFIX] [--contract FILE] LOG
      Those statuses are the normal run's (from RUNNING on with --from-running). With --marks,
      in each segment from a mark whose text starts with PREFIX: a diff headed by the mark's text
      for each segment that differs, then how many segments there were.
  trace [--pids] TRACE
      The service's messages in the order received; with --pids the process ids that sent them.
  messages TRACE
      Every line of the monitor's output without the writer's process id, any program's message
      and the monitor's own notices alike.
  expect-flood [--dropped] TRACE TEXT COUNT
      The messages "TEXT 1" to "TEXT COUNT" (debug-output COUNT TEXT) were each printed once, in
      order; with --dropped, 1 to k of them, then right after "TEXT k" the monitor's notice that
      COUNT - k were dropped (k < COUNT). Prints how many were printed and dropped.
  expect-trace [--other-controls N] [--expected FILE] [--contract FILE] TRACE
      The trace is the normal run's in every order the threads fix (tests/normal-run.txt says
      which), with N other controls before the stop (each adds the handler's entry and exit).
      --expected FILE (- for standard input) gives the messages one a line instead.
  stop-times [--mark TEXT] LOG [walk|latency|past-poll...]
      For the first stop request, in ms: to the first STOP_PENDING (walk), to the first STOPPED
      after it (latency), and latency - walk - poll (past-poll); all three by default, one a line.
      Nothing when the log has no such stop.
  expect-stop [--mark TEXT | --marks PREFIX] LOG
      STOPPED came within walk + poll 3000 + slack 400 ms of the request; prints the figures.
      With --marks, for each segment from a mark whose text starts with PREFIX: a line for each
      segment that broke the bound, then each segment's ms past walk + poll.
  outcome [--mark TEXT] LOG IMAGE
      What became of each watched process whose image path is IMAGE, whole and letter case aside
      (Windows may report C:\\Windows for c:\\windows): "exited N" or "running".
  expect-outcome LOG IMAGE exited N | running
      Exactly one watched process has that image, and that became of it.
  field [--mark TEXT] FILE KEY [KEY=VALUE...]
      KEY of every record (driver or stand-in log) with all the KEY=VALUE fields given.
  expect-none [--mark TEXT] LOG KEY=VALUE...
      No record has all the fields given (e.g. event=status: no report in that stretch).
  elapsed [--mark TEXT] LOG --from KEY=VALUE... --to KEY=VALUE...
      Ms from the first record with the --from fields to the first one after it with the --to
      fields; nothing when there is no such pair.
  starts STANDIN-LOG [pid|image|command]
      That field (pid by default) of each start the stand-in logged.
  timeline LOG
      Statuses and request results, timed from the first request (start or control).
"""

import argparse
import difflib
import heapq
import math
import re
import statistics
import sys
from collections import Counter, namedtuple
from pathlib import Path

PREFIX = "Orvelden Zentorvik Tool: "
CONTRACT = Path(__file__).resolve().parent.parent / "normal-run.txt"

# The worker sees the stop event at its next poll, at most one interval after the stop-pending
# report: the requirement's interval, not whatever the service's source says.
POLL_MS = 3000
# What this machine adds under load (the worker's wake-up, its last trace messages, the stopped
# report, the driver's next query) was at most 82 ms over 247 stops with builds beside; the slack
# keeps well clear of that and of the 2000 ms a 5000 ms poll would add.
SLACK_MS = 400

STOP_FIGURES = ("walk", "latency", "past-poll")


class InputError(Exception):
    """Input the reader cannot take: a missing file, a malformed line, an unknown mark."""


# --- Records ------------------------------------------------------------------------------------


def parse_fields(line):
    """The KEY=VALUE fields of a TAB-separated line."""
    fields = {}
    for field in line.split("\t"):
        key, equals, value = field.partition("=")
        if not equals or not key or " " in key:
            raise ValueError(f"{field!r} is not KEY=VALUE")
        if key in fields:
            raise ValueError(f"{key} given twice")
        fields[key] = value
    return fields


def parse_record(line):
    """A driver record: its fields, t first (as a float, in ms) and event second."""
    record = parse_fields(line)
    if list(record)[:2] != ["t", "event"]:
        raise ValueError("the first fields are not t= and event=")
    try:
        record["t"] = float(record["t"])
    except ValueError:
        raise ValueError(f"t={record['t']} is not a number") from None
    return record


def lines_of(path):
    """The file's lines, each without its \\n or \\r\\n. Only \\n ends a line, as for the
    programs that wrote it: a value may hold any other character."""
    try:
        text = Path(path).read_text(encoding="utf-8", errors="replace")
    except OSError as error:
        raise InputError(f"cannot read {path}: {error.strerror}") from None
    lines = text.split("\n")
    if lines[-1] == "":
        lines.pop()
    return [line.removesuffix("\r") for line in lines]


def read_lines(path, parse):
    """Each line of the file through parse; a line it refuses is an InputError with its number."""
    parsed = []
    for number, line in enumerate(lines_of(path), 1):
        try:
            parsed.append(parse(line))
        except ValueError as error:
            raise InputError(f"{path}:{number}: malformed line: {error}") from None
    return parsed


def read_records(path):
    return read_lines(path, parse_record)


def parse_start(line):
    start = parse_fields(line)
    if not start.get("pid", "").isdigit() or "image" not in start or "command" not in start:
        raise ValueError("a start has pid=N, image= and command=")
    return start


def read_starts(path):
    """The stand-in's starts: dicts of pid, image and command (strings)."""
    return read_lines(path, parse_start)


def read_monitor(path):
    """Every line of the monitor's output as (pid, text); pid is None for a line that is not
    "<pid> <text>" (the monitor's own notices)."""
    lines = []
    for line in lines_of(path):
        pid, space, text = line.partition(" ")
        lines.append((int(pid), text) if space and pid.isdigit() else (None, line))
    return lines


def read_trace(path):
    """The service's messages as (pid, message without the prefix), in the order received."""
    return [
        (pid, text[len(PREFIX) :])
        for pid, text in read_monitor(path)
        if pid is not None and text.startswith(PREFIX)
    ]


def matches(record, filters):
    """Whether the record has every KEY=VALUE of filters (a dict), compared as text."""
    return all(key in record and str(record[key]) == value for key, value in filters.items())


def parse_filters(words):
    filters = {}
    for word in words:
        key, equals, value = word.partition("=")
        if not equals or not key:
            raise InputError(f"{word!r} is not KEY=VALUE")
        filters[key] = value
    return filters


def is_mark(record):
    return record.get("event") == "mark"


def section(records, text):
    """The records from the mark with that text up to the next mark."""
    for index, record in enumerate(records):
        if is_mark(record) and record.get("text") == text:
            end = next((k for k in range(index + 1, len(records)) if is_mark(records[k])), None)
            return records[index:end]
    raise InputError(f"no mark {text!r} in the log")


def segments(records, prefix):
    """(mark text, records) for each stretch from a mark whose text starts with prefix up to the
    next such mark; records before the first are left out."""
    found = []
    for record in records:
        if is_mark(record) and record.get("text", "").startswith(prefix):
            found.append((record["text"], []))
        if found:
            found[-1][1].append(record)
    return found


def first_index(records, start, filters):
    """The index of the first record from start on that has the filters' fields, or None."""
    return next((k for k in range(start, len(records)) if matches(records[k], filters)), None)


# --- The normal run -----------------------------------------------------------------------------

Contract = namedtuple("Contract", "statuses threads trace optional after other_control")
Contract.__doc__ = """The normal run: statuses (dicts, in order), threads (routine -> thread),
trace (messages in order), optional (messages), after (set of (first, second) messages) and
other_control (the messages each control other than stop adds)."""


def routine_of(message):
    return message.partition(": ")[0]


def load_contract(path=CONTRACT):
    statuses, threads, trace, optional, after, other = [], {}, [], set(), set(), []
    for number, line in enumerate(lines_of(path), 1):
        word, _, rest = line.partition(" ")
        try:
            if not line or line.startswith("#"):
                continue
            if word == "status":
                statuses.append(parse_fields(rest.replace(" ", "\t")))
            elif word == "trace":
                thread, _, message = rest.partition(" ")
                if threads.setdefault(routine_of(message), thread) != thread:
                    raise ValueError(f"{routine_of(message)} runs on one thread")
                trace.append(message)
            elif word == "optional":
                optional.add(rest)
            elif word == "after":
                after.add(pair(rest))
            elif word == "other-control":
                other = rest.split(" | ")
            else:
                raise ValueError(f"unknown statement {word!r}")
        except ValueError as error:
            raise InputError(f"{path}:{number}: {error}") from None
    if not statuses or any(list(s) != list(statuses[0]) for s in statuses):
        raise InputError(f"{path}: the statuses must have the same fields")
    return Contract(statuses, threads, trace, optional, after, other)


def pair(text):
    first, bar, second = text.partition(" | ")
    if not bar:
        raise ValueError(f"{text!r} is not FIRST | SECOND")
    return first, second


# --- Statuses -----------------------------------------------------------------------------------


def status_text(status, contract):
    """A status as the contract writes it: its fields, in the contract's order."""
    return " ".join(f"{key}={status.get(key, '')}" for key in contract.statuses[0])


def first_report(contract, from_running):
    """What tells the service's first report apart: until it comes, the controller shows
    START_PENDING with the exit code and checkpoint of the previous record."""
    if from_running:
        return {"state": "RUNNING"}
    return {key: contract.statuses[0][key] for key in ("state", "exit", "checkpoint")}


def own_statuses(records, contract, from_running=False):
    """The status records the service itself sent, each change of the contract's fields once
    (a change of pid alone is none), from its first report or from RUNNING on."""
    merged = []
    for record in records:
        if record["event"] == "status" and (
            not merged or status_text(record, contract) != status_text(merged[-1], contract)
        ):
            merged.append(record)
    start = first_index(merged, 0, first_report(contract, from_running))
    return [] if start is None else merged[start:]


def check_statuses(records, contract, from_running=False):
    """A diff of the normal run's statuses against the log's; empty when they are the same."""
    expected = [status_text(s, contract) for s in contract.statuses]
    if from_running:
        expected = expected[first_index(contract.statuses, 0, {"state": "RUNNING"}) :]
    received = [status_text(s, contract) for s in own_statuses(records, contract, from_running)]
    return diff(expected, received)


def diff(expected, received):
    return list(difflib.unified_diff(expected, received, "expected", "received", lineterm=""))


# --- The trace ----------------------------------------------------------------------------------


def expected_trace(contract, other_controls=0, messages=None):
    """The messages of a run (the contract's unless given), with what other_controls controls
    other than stop add before the first of the handler's messages."""
    messages = list(contract.trace if messages is None else messages)
    if other_controls:
        if contract.other_control[0] not in messages:
            raise InputError(f"no {contract.other_control[0]!r} to put other controls before")
        at = messages.index(contract.other_control[0])
        messages[at:at] = contract.other_control * other_controls
    return messages


def canonical_trace(received, expected, contract):
    """The received messages reordered as close to expected as the threads allow: a trace that
    keeps every fixed order comes out equal to expected, one that breaks an order shows where.

    Fixed are the order of each thread's own messages and, between first occurrences, the
    contract's "after" pairs, kept as received whichever way round they came. Of the messages
    free to go next, the one earliest in expected goes."""
    position = {key: index for index, key in enumerate(occurrences(expected))}
    rank, first = [], []
    for key in occurrences(received):
        # A message not expected keeps its place after the one it followed.
        rank.append((position[key], 0) if key in position else next_rank(rank))
        first.append(key[1] == 1)

    def fixed(i, j):
        a, b = received[i], received[j]
        if thread_of(a, contract) == thread_of(b, contract):
            return True
        return first[i] and first[j] and ((a, b) in contract.after or (b, a) in contract.after)

    followers = [
        [j for j in range(i + 1, len(received)) if fixed(i, j)] for i in range(len(received))
    ]
    waiting = Counter(j for later in followers for j in later)
    free = [(rank[j], j) for j in range(len(received)) if not waiting[j]]
    heapq.heapify(free)
    ordered = []
    while free:
        _, best = heapq.heappop(free)
        ordered.append(received[best])
        for j in followers[best]:
            waiting[j] -= 1
            if not waiting[j]:
                heapq.heappush(free, (rank[j], j))
    return ordered


def occurrences(messages):
    """(message, n) for the n-th occurrence of each message."""
    seen = Counter()
    for message in messages:
        seen[message] += 1
        yield message, seen[message]


def next_rank(rank):
    base, offset = rank[-1] if rank else (-1, 0)
    return base, offset + 1


def thread_of(message, contract):
    return contract.threads.get(routine_of(message), routine_of(message))


def check_trace(received, contract, expected=None, other_controls=0):
    """A diff of the expected trace against the received one in canonical order; empty when the
    received trace keeps every fixed order and has each message as often as expected. An optional
    message that was not received is not expected either."""
    expected = expected_trace(contract, other_controls, expected)
    expected = [m for m in expected if m not in contract.optional or m in received]
    return diff(expected, canonical_trace(received, expected, contract))


# --- The stop -----------------------------------------------------------------------------------

StopTimes = namedtuple("StopTimes", "walk latency")


def stop_times(records):
    """For the first stop request: ms to the first STOP_PENDING (the termination walk) and to the
    first STOPPED after it (the latency); None when the log has no such stop."""
    request = next((k for k, r in enumerate(records) if is_stop_request(r)), None)
    if request is None:
        return None
    pending = first_index(records, request, {"event": "status", "state": "STOP_PENDING"})
    if pending is None:
        return None
    stopped = first_index(records, pending, {"event": "status", "state": "STOPPED"})
    if stopped is None:
        return None
    start = records[request]["t"]
    return StopTimes(records[pending]["t"] - start, records[stopped]["t"] - start)


def is_stop_request(record):
    return matches(record, {"event": "control", "control": "stop"}) and "result" not in record


def past_poll(times):
    """By how many ms the stop took longer than its walk plus one poll (negative when less)."""
    return times.latency - times.walk - POLL_MS


def stop_problem(records):
    """None when STOPPED came within walk + poll + slack of the stop request; else why not."""
    times = stop_times(records)
    if times is None:
        return "no stop request, then STOP_PENDING, then STOPPED"
    if past_poll(times) > SLACK_MS:
        return f"stop took {past_poll(times):.0f} ms past walk + poll {POLL_MS} ms"
    return None


# --- Watched processes --------------------------------------------------------------------------


def process_outcomes(records, image):
    """What became of each watched process whose image path is image, whole and letter case
    aside, as its last record says: "exited N" or "running"."""
    last = {}
    for record in records:
        if record["event"] == "process" and record.get("image", "").lower() == image.lower():
            result = record.get("result", "")
            last[record.get("pid")] = (
                f"exited {record.get('code')}" if result == "exited" else result
            )
    return list(last.values())


# --- Floods of debug output ---------------------------------------------------------------------

NOTICE = re.compile(r"dbwin-monitor: (\d+) messages? dropped")


def flood_numbers(lines, text):
    """The numbers n of the messages "text n" among the monitor's lines, in the order printed,
    and the index of the line of the last one (None without any)."""
    numbers, last = [], None
    for index, (pid, line) in enumerate(lines):
        head, _, number = line.rpartition(" ")
        if pid is not None and head == text and number.isdigit():
            numbers.append(int(number))
            last = index
    return numbers, last


def flood_problem(lines, text, count, dropped):
    """(figures, None) when "text 1" to "text count" came as they should, else (figures, why).
    Without dropped: all of them, once each and in order. With dropped: 1 to k in order, k <
    count, and right after "text k" the monitor's notice that count - k were dropped."""
    numbers, last = flood_numbers(lines, text)
    printed = len(numbers)
    figures = f"{printed} of {count} printed in order"
    if numbers != list(range(1, printed + 1)):
        wrong = next(k for k, n in enumerate(numbers) if n != k + 1)
        return figures, f"message {wrong + 1} printed is number {numbers[wrong]}"
    if not dropped:
        return figures, None if printed == count else f"{count - printed} missing, none dropped"
    after = lines[last + 1 :] if last is not None else [line for line in lines if line[0] is None]
    notice = NOTICE.match(after[0][1]) if after and after[0][0] is None else None
    if not notice:
        return figures, "no notice of the dropped messages right after the last one printed"
    figures += f", then {notice.group(1)} dropped"
    if int(notice.group(1)) != count - printed:
        return figures, f"{printed} printed and {notice.group(1)} dropped are not {count}"
    return figures, None


# --- Statistics ---------------------------------------------------------------------------------


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


# --- Command line -------------------------------------------------------------------------------


def show(lines, out):
    for line in lines:
        print(line, file=out)
    return 0


def verdict(evidence, out):
    """A check's exit code: 0 without evidence against it; else 1, the evidence shown."""
    show(evidence, out)
    return 1 if evidence else 0


def log_of(args):
    records = read_records(args.log)
    return records if args.mark is None else section(records, args.mark)


def cmd_statuses(args, out):
    contract = load_contract()
    statuses = own_statuses(log_of(args), contract, args.from_running)
    return show([status_text(status, contract) for status in statuses], out)


def cmd_expect_statuses(args, out):
    contract = load_contract(args.contract)
    if args.marks is None:
        return verdict(check_statuses(log_of(args), contract, args.from_running), out)
    found = segments(read_records(args.log), args.marks)
    differ = 0
    for text, records in found:
        lines = check_statuses(records, contract, args.from_running)
        if lines:
            differ += 1
            show([f"{text}:"] + lines, out)
    print(f"statuses differ in {differ} of {len(found)} segments", file=out)
    return 1 if differ or not found else 0


def cmd_trace(args, out):
    messages = read_trace(args.trace)
    if args.pids:
        return show(sorted({pid for pid, _ in messages}), out)
    return show([message for _, message in messages], out)


def cmd_messages(args, out):
    return show([text for _, text in read_monitor(args.trace)], out)


def cmd_expect_flood(args, out):
    figures, problem = flood_problem(read_monitor(args.trace), args.text, args.count, args.dropped)
    print(figures, file=out)
    return verdict([problem] if problem else [], out)


def cmd_expect_trace(args, out):
    received = [message for _, message in read_trace(args.trace)]
    expected = None if args.expected is None else read_messages(args.expected)
    contract = load_contract(args.contract)
    return verdict(check_trace(received, contract, expected, args.other_controls), out)


def read_messages(path):
    """Expected messages, one a line, from a file or (for "-") standard input."""
    lines = lines_of(path) if path != "-" else sys.stdin.read().split("\n")
    return [line.removesuffix("\r") for line in lines if line.removesuffix("\r")]


def cmd_stop_times(args, out):
    times = stop_times(log_of(args))
    if times is None:
        return 0
    figures = {"walk": times.walk, "latency": times.latency, "past-poll": past_poll(times)}
    return show([f"{figures[name]:.0f}" for name in args.which or STOP_FIGURES], out)


def cmd_expect_stop(args, out):
    if args.marks is not None:
        return expect_stop_per_segment(segments(read_records(args.log), args.marks), out)
    records = log_of(args)
    times = stop_times(records)
    if times is not None:
        print(
            f"stopped in {times.latency:.0f} ms, at most walk {times.walk:.0f} + poll {POLL_MS}"
            f" + slack {SLACK_MS} ms",
            file=out,
        )
    problem = stop_problem(records)
    return verdict([problem] if problem else [], out)


def expect_stop_per_segment(found, out):
    """A line for each segment whose stop broke the bound, then every segment's ms past walk +
    poll ("?" where there was no stop)."""
    problems = [
        f"{text}: {stop_problem(records)}" for text, records in found if stop_problem(records)
    ]
    show(problems, out)
    excesses = [stop_times(records) for _, records in found]
    excesses = ["?" if times is None else f"{past_poll(times):.0f}" for times in excesses]
    print(
        f"ms past walk + poll {POLL_MS} ms in {len(found)} segments (slack {SLACK_MS} ms):",
        " ".join(excesses) or "none",
        file=out,
    )
    return 1 if problems or not found else 0


def cmd_outcome(args, out):
    return show(process_outcomes(log_of(args), args.image), out)


def cmd_expect_outcome(args, out):
    records = read_records(args.log)
    wanted = " ".join(args.outcome)
    if process_outcomes(records, args.image) == [wanted]:
        return 0
    watched = [format_record(r) for r in records if r["event"] in ("watch", "process")]
    return verdict(
        [f"expected one watched process {args.image} that {wanted}; the watched processes:"]
        + (watched or ["(none)"]),
        out,
    )


def format_record(record):
    return "\t".join(
        f"{key}={value:.1f}" if key == "t" else f"{key}={value}" for key, value in record.items()
    )


def cmd_field(args, out):
    records = read_lines(args.file, parse_fields)
    if args.mark is not None:
        records = section(records, args.mark)
    filters = parse_filters(args.filters)
    return show([r[args.key] for r in records if args.key in r and matches(r, filters)], out)


def cmd_expect_none(args, out):
    filters = parse_filters(args.filters)
    return verdict([format_record(r) for r in log_of(args) if matches(r, filters)], out)


def cmd_elapsed(args, out):
    records = log_of(args)
    start = first_index(records, 0, parse_filters(args.start))
    end = None if start is None else first_index(records, start + 1, parse_filters(args.end))
    if end is None:
        return 0
    return show([f"{records[end]['t'] - records[start]['t']:.0f}"], out)


def cmd_starts(args, out):
    return show([start[args.field] for start in read_starts(args.log)], out)


def cmd_timeline(args, out):
    records = read_records(args.log)
    requests = [r["t"] for r in records if r["event"] in ("start", "control") and "result" not in r]
    t0 = requests[0] if requests else 0.0
    for record in records:
        when = f"{record['t'] - t0:+9.1f} ms"
        if record["event"] == "status":
            rest = " ".join(
                f"{k}={v}" for k, v in record.items() if k not in ("t", "event", "state")
            )
            print(f"  {when}  {record.get('state', '?'):<14}{rest}", file=out)
        elif record["event"] in ("start", "control") and "result" in record:
            rest = " ".join(f"{k}={v}" for k, v in record.items() if k not in ("t", "event"))
            print(f"  {when}  ({record['event']} {rest})", file=out)
    return 0


def one_of(names):
    """An argument type for positional choices, which argparse cannot check when they may be
    left out (nargs="*")."""

    def check(word):
        if word not in names:
            raise argparse.ArgumentTypeError(f"{word!r} is not one of {', '.join(names)}")
        return word

    return check


def build_parser():
    parser = argparse.ArgumentParser(
        prog="records.py", description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter
    )
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")
    marked = argparse.ArgumentParser(add_help=False)
    marked.add_argument("--mark", metavar="TEXT", help="only from this mark to the next")
    segmented = argparse.ArgumentParser(add_help=False)
    where = segmented.add_mutually_exclusive_group()
    where.add_argument("--mark", metavar="TEXT", help="only from this mark to the next")
    where.add_argument("--marks", metavar="PREFIX", help="each segment from a mark with PREFIX")
    contract = argparse.ArgumentParser(add_help=False)
    contract.add_argument("--contract", default=CONTRACT, metavar="FILE")

    def command(name, run, *parents):
        sub = commands.add_parser(name, parents=list(parents))
        sub.set_defaults(run=run)
        return sub

    sub = command("statuses", cmd_statuses, marked)
    sub.add_argument("--from-running", action="store_true")
    sub.add_argument("log")
    sub = command("expect-statuses", cmd_expect_statuses, contract, segmented)
    sub.add_argument("--from-running", action="store_true")
    sub.add_argument("log")
    sub = command("trace", cmd_trace)
    sub.add_argument("--pids", action="store_true")
    sub.add_argument("trace")
    sub = command("messages", cmd_messages)
    sub.add_argument("trace")
    sub = command("expect-flood", cmd_expect_flood)
    sub.add_argument("--dropped", action="store_true")
    sub.add_argument("trace")
    sub.add_argument("text")
    sub.add_argument("count", type=int)
    sub = command("expect-trace", cmd_expect_trace, contract)
    sub.add_argument("--other-controls", type=int, default=0, metavar="N")
    sub.add_argument("--expected", metavar="FILE")
    sub.add_argument("trace")
    sub = command("stop-times", cmd_stop_times, marked)
    sub.add_argument("log")
    sub.add_argument(
        "which", nargs="*", type=one_of(STOP_FIGURES), metavar="walk|latency|past-poll"
    )
    sub = command("expect-stop", cmd_expect_stop, segmented)
    sub.add_argument("log")
    sub = command("outcome", cmd_outcome, marked)
    sub.add_argument("log")
    sub.add_argument("image")
    sub = command("expect-outcome", cmd_expect_outcome)
    sub.add_argument("log")
    sub.add_argument("image")
    sub.add_argument("outcome", nargs="+", metavar="exited N | running")
    sub = command("field", cmd_field, marked)
    sub.add_argument("file")
    sub.add_argument("key")
    sub.add_argument("filters", nargs="*", metavar="KEY=VALUE")
    sub = command("expect-none", cmd_expect_none, marked)
    sub.add_argument("log")
    sub.add_argument("filters", nargs="+", metavar="KEY=VALUE")
    sub = command("elapsed", cmd_elapsed, marked)
    sub.add_argument("log")
    sub.add_argument("--from", dest="start", nargs="+", required=True, metavar="KEY=VALUE")
    sub.add_argument("--to", dest="end", nargs="+", required=True, metavar="KEY=VALUE")
    sub = command("starts", cmd_starts)
    sub.add_argument("log")
    sub.add_argument("field", nargs="?", default="pid", choices=("pid", "image", "command"))
    sub = command("timeline", cmd_timeline)
    sub.add_argument("log")
    return parser


def main(argv=None, out=None):
    args = build_parser().parse_args(argv)
    try:
        return args.run(args, out or sys.stdout)
    except InputError as error:
        print(f"records.py: {error}", file=sys.stderr)
        return 2


if __name__ == "__main__":
    # Text for bash on every system: UTF-8 with "\n" line ends, also where Python would write the
    # console's code page and "\r\n" (Windows, in Git Bash).
    sys.stdin.reconfigure(encoding="utf-8")
    sys.stdout.reconfigure(encoding="utf-8", newline="\n")
    sys.stderr.reconfigure(encoding="utf-8", newline="\n")
    sys.exit(main())
