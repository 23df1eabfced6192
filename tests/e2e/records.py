#!/usr/bin/env python3
"""records.py COMMAND ARGUMENT...: the reader's command line (records.py --help lists the
commands). A check (expect-...) exits 0 when it holds and 1 when not, printing its evidence; any
other command prints values one a line and exits 0. Every command exits 2, saying why on standard
error, on a usage error, a file it cannot read, a malformed line (with its number) or a --mark
that is not in the log."""

import re
import sys

from reader.checks import POLL_MS, SLACK_MS, past_poll, stop_problem, stop_times
from reader.formats import InputError, first_index, lines_of, matches, parse_fields, parse_filters
from reader.formats import read_lines, read_monitor, read_records, read_trace, segments
from reader.normal_run import check_statuses, check_trace, load_contract
from reader.package import read_tables, searched_properties
from reader.product import FACTS


def show(lines):
    for line in lines:
        print(line)
    return 0


def verdict(evidence):
    """A check's exit code: 0 without evidence against it; else 1, the evidence shown."""
    show(evidence)
    return 1 if evidence else 0


def whole_number(word):
    if not word.isdigit():
        raise InputError(f"{word!r} is not a whole number")
    return int(word)


def marked(log, prefix):
    """(text, records) of each segment of the log from a mark whose text starts with prefix."""
    return [(text, r) for text, r in segments(read_records(log)) if text.startswith(prefix)]


def expect_statuses(log, *, from_running=False, marks=None):
    """The service's own statuses, repeats merged, from its first report (START_PENDING, exit
    code 0, checkpoint 0), or --from-running from RUNNING on, are the normal run's; --marks
    PREFIX: in each segment from a mark whose text starts with PREFIX, a diff headed by the
    mark's text for each that differs."""
    contract = load_contract()
    if marks is None:
        return verdict(check_statuses(read_records(log), contract, from_running))
    found = marked(log, marks)
    differ = [(text, check_statuses(r, contract, from_running)) for text, r in found]
    differ = [[f"{text}:"] + lines for text, lines in differ if lines]
    show(line for lines in differ for line in lines)
    print(f"statuses differ in {len(differ)} of {len(found)} segments")
    return 1 if differ or not found else 0


def expect_trace(trace, *, other_controls="0", expected=None):
    """The trace is the normal run's in every order the threads fix, with --other-controls N
    controls other than stop; --expected FILE (- for standard input) gives the messages one a
    line instead."""
    received = [message for _, message in read_trace(trace)]
    if expected is not None:
        lines = sys.stdin.read().split("\n") if expected == "-" else lines_of(expected)
        expected = [line.removesuffix("\r") for line in lines if line.removesuffix("\r")]
    return verdict(check_trace(received, load_contract(), expected, whole_number(other_controls)))


def expect_stop(log, *, marks=None):
    """STOPPED came within walk + poll + slack of the stop request, these figures shown; --marks
    PREFIX: a line for each segment that broke the bound, then each one's ms past walk + poll."""
    if marks is None:
        times = stop_times(read_records(log))
        if times is not None:
            print(f"stopped in {times.latency:.0f} ms, at most walk {times.walk:.0f} + poll"
                  f" {POLL_MS} + slack {SLACK_MS} ms")
        return verdict([problem] if (problem := stop_problem(times)) else [])
    found = [(text, stop_times(records)) for text, records in marked(log, marks)]
    problems = [f"{text}: {stop_problem(t)}" for text, t in found if stop_problem(t)]
    show(problems)
    print(f"ms past walk + poll {POLL_MS} ms in {len(found)} segments (slack {SLACK_MS} ms):",
          " ".join("?" if t is None else f"{past_poll(t):.0f}" for _, t in found) or "none")
    return 1 if problems or not found else 0


def expect_outcome(log, image, *outcome):
    """Exactly one watched process has that image path (whole, letter case aside), and that
    became of it: exited N, or running."""
    records, last = read_records(log), {}
    for r in records:  # each process of that image as its last record says
        if r["event"] == "process" and r.get("image", "").lower() == image.lower():
            exited = f" {r.get('code')}" if r.get("result") == "exited" else ""
            last[r.get("pid")] = r.get("result", "") + exited
    wanted = " ".join(outcome)
    if list(last.values()) == [wanted]:
        return 0
    watched = [format_record(r) for r in records if r["event"] in ("watch", "process")]
    return verdict([f"expected one watched process {image} that {wanted}; the watched"
                    " processes:"] + (watched or ["(none)"]))


def expect_none(log, *filters, mark=None):
    """No record (--mark TEXT: from that mark to the next) has all the KEY=VALUE fields given."""
    records = read_records(log)
    if mark is not None:
        records = next((r for text, r in segments(records) if text == mark), None)
        if records is None:
            raise InputError(f"no mark {mark!r} in the log")
    wanted = parse_filters(filters)
    return verdict([format_record(r) for r in records if matches(r, wanted)])


def format_record(record):
    return "\t".join(f"{key}={value:.1f}" if key == "t" else f"{key}={value}"
                     for key, value in record.items())


def expect_flood(trace, text, count, *, dropped=False):
    """The messages 'TEXT 1' to 'TEXT COUNT' were each printed once, in order; --dropped: 1 to k
    of them (k < COUNT), then right after 'TEXT k' the monitor's notice that COUNT - k were
    dropped."""
    lines, count = read_monitor(trace), whole_number(count)
    numbers, after = [], [line for line in lines if line[0] is None]
    for index, (pid, line) in enumerate(lines):
        head, _, number = line.rpartition(" ")
        if pid is not None and head == text and number.isdigit():
            numbers.append(int(number))
            after = lines[index + 1 :]
    printed = len(numbers)
    figures = f"{printed} of {count} printed in order"
    wrong = next((k for k, n in enumerate(numbers) if n != k + 1), None)
    notice = NOTICE.match(after[0][1]) if after and after[0][0] is None else None
    if wrong is not None:
        problem = f"message {wrong + 1} printed is number {numbers[wrong]}"
    elif not dropped:
        problem = None if printed == count else f"{count - printed} missing, none dropped"
    elif not notice:
        problem = "no notice of the dropped messages right after the last one printed"
    else:
        figures += f", then {notice.group(1)} dropped"
        problem = None if int(notice.group(1)) == count - printed else (
            f"{printed} printed and {notice.group(1)} dropped are not {count}")
    print(figures)
    return verdict([problem] if problem else [])


NOTICE = re.compile(r"dbwin-monitor: (\d+) messages? dropped")


def expect_product(contract_txt):
    """The names a build read from service/contract.h (its contract.txt) are those of
    tests/e2e/product.sh, the tests' own copy."""
    built = dict(line.partition("=")[::2] for line in lines_of(contract_txt))

    def shown(value):
        return "nothing" if value is None else f'"{value}"'

    return verdict([f"{name}: tests/e2e/product.sh says {shown(FACTS.get(name))}, the build read"
                    f" {shown(built.get(name))} from service/contract.h ({contract_txt})"
                    for name in sorted(FACTS.keys() | built.keys())
                    if FACTS.get(name) != built.get(name)])


def expect_searches_secure(msi):
    """Every property that AppSearch or an Upgrade row of the installer package sets and that its
    execute sequence reads is private or secure; prints each with how it gets there."""
    found = searched_properties(read_tables(msi))
    show(f"{name} {how}" for name, how in found.items())
    lost = " ".join(name for name, how in found.items() if how == "lost")
    return verdict([f"public and not in SecureCustomProperties: {lost}"] if lost else [])


def field(file, key, *filters):
    """KEY of every record (of any log of KEY=VALUE lines) with all the KEY=VALUE fields given."""
    wanted = parse_filters(filters)
    return show(r[key] for r in read_lines(file, parse_fields) if key in r and matches(r, wanted))


def starts(log, key="pid"):
    """That field of each start the stand-in logged (a line each): pid, image or command."""
    found = read_lines(log, parse_fields)
    if any(key not in start for start in found):
        raise InputError(f"{log}: a start without {key}=")
    return show(start[key] for start in found)


def elapsed(log, *words):
    """elapsed LOG --from KEY=VALUE... --to KEY=VALUE...: ms from the first record with the first
    fields to the first one after it with the second; nothing when there is no such pair."""
    if words[:1] != ("--from",) or "--to" not in words:
        raise InputError("elapsed LOG --from KEY=VALUE... --to KEY=VALUE...")
    to = words.index("--to")
    records = read_records(log)
    start = first_index(records, 0, parse_filters(words[1:to]))
    end = parse_filters(words[to + 1 :])
    end = None if start is None else first_index(records, start + 1, end)
    return show([] if end is None else [f"{records[end]['t'] - records[start]['t']:.0f}"])


def trace(file, *, pids=False):
    """The service's messages in the order received; --pids: the process ids that sent them."""
    sent = read_trace(file)
    return show(sorted({pid for pid, _ in sent}) if pids else [message for _, message in sent])


def messages(file):
    """Every line of the monitor's output without the writer's process id."""
    return show(text for _, text in read_monitor(file))


def timeline(log):
    """Statuses and request results, timed from the first request."""
    records = read_records(log)
    requests = (r["t"] for r in records if r["event"] in ("start", "control") and "result" not in r)
    t0 = next(requests, 0.0)
    for record in records:
        rest = " ".join(f"{k}={v}" for k, v in record.items() if k not in ("t", "event", "state"))
        if record["event"] == "status":
            print(f"  {record['t'] - t0:+9.1f} ms  {record['state']:<14}{rest}")
        elif record["event"] in ("start", "control") and "result" in record:
            print(f"  {record['t'] - t0:+9.1f} ms  ({record['event']} {rest})")
    return 0


COMMANDS = {command.__name__.replace("_", "-"): command for command in (
    expect_statuses, expect_trace, expect_stop, expect_outcome, expect_none, expect_flood,
    expect_product, expect_searches_secure, field, starts, elapsed, trace, messages, timeline)}
# The options: a word alone, or one that takes the next word as its value.
FLAGS = ("--from-running", "--dropped", "--pids")
VALUED = ("--mark", "--marks", "--other-controls", "--expected")


def main(argv):
    """Runs COMMAND ARGUMENT... with the arguments and options its function takes; exits 2 on
    input it cannot take, saying why on standard error."""
    try:
        if argv[:1] == ["--help"]:
            import inspect

            return show([__doc__] + [f"\n{n} {str(inspect.signature(c))[1:-1]}\n    {c.__doc__}"
                                     for n, c in COMMANDS.items()])
        if not argv or argv[0] not in COMMANDS:
            raise InputError(f"COMMAND is one of {', '.join(COMMANDS)}")
        words, options, arguments = iter(argv[1:]), {}, []
        for word in words:
            if word not in FLAGS + VALUED:
                arguments.append(word)
            elif (value := word in FLAGS or next(words, None)) is None:
                raise InputError(f"{word} wants a value")
            else:
                options[word[2:].replace("-", "_")] = value
        try:
            return COMMANDS[argv[0]](*arguments, **options)
        except TypeError as error:
            if error.__traceback__.tb_next:  # raised inside the command, not by its arguments
                raise
            raise InputError(f"{argv[0]}: {error}") from None
    except InputError as error:
        print(f"records.py: {error}", file=sys.stderr)
        return 2


if __name__ == "__main__":
    # Text for bash on every system: UTF-8 with "\n" line ends, also where Python would write the
    # console's code page and "\r\n" (Windows, in Git Bash).
    sys.stdin.reconfigure(encoding="utf-8")
    sys.stdout.reconfigure(encoding="utf-8", newline="\n")
    sys.stderr.reconfigure(encoding="utf-8", newline="\n")
    sys.exit(main(sys.argv[1:]))
