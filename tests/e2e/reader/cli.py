"""The command line: records.py COMMAND ...; records.py --help lists the commands."""

import argparse
import sys

from .checks import (
    POLL_MS,
    SLACK_MS,
    STOP_FIGURES,
    flood_problem,
    past_poll,
    process_outcomes,
    stop_problem,
    stop_times,
)
from .formats import (
    InputError,
    first_index,
    lines_of,
    matches,
    parse_fields,
    parse_filters,
    read_lines,
    read_monitor,
    read_records,
    read_starts,
    read_trace,
    section,
    segments,
)
from .normal_run import CONTRACT, check_statuses, check_trace, load_contract
from .package import read_tables, searched_properties
from .product import differences

USAGE = """A check ("expect-...") exits 0 when it holds and 1 when not, printing its evidence; any
other command prints values one a line and exits 0. Every command exits 2, saying why on standard
error, on a usage error, a file it cannot read, a malformed line (with its number), or a --mark
that is not in the log. --mark TEXT reads a driver log only from the record "mark text=TEXT" up
to the next mark; --marks PREFIX checks each segment from a mark whose text starts with PREFIX."""
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


def cmd_expect_statuses(args, out):
    """the service's own statuses, repeats merged, from its first report (START_PENDING, exit
    code 0, checkpoint 0) or with --from-running from RUNNING on, are the normal run's; with
    --marks a diff headed by the mark's text for each segment that differs"""
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
    """the service's messages in the order received; with --pids the process ids that sent them"""
    messages = read_trace(args.trace)
    if args.pids:
        return show(sorted({pid for pid, _ in messages}), out)
    return show([message for _, message in messages], out)


def cmd_messages(args, out):
    """every line of the monitor's output without the writer's process id"""
    return show([text for _, text in read_monitor(args.trace)], out)


def cmd_expect_flood(args, out):
    """the messages 'TEXT 1' to 'TEXT COUNT' (debug-output COUNT TEXT) were each printed once,
    in order; with --dropped, 1 to k of them (k < COUNT), then right after 'TEXT k' the
    monitor's notice that COUNT - k were dropped"""
    figures, problem = flood_problem(read_monitor(args.trace), args.text, args.count, args.dropped)
    print(figures, file=out)
    return verdict([problem] if problem else [], out)


def cmd_expect_trace(args, out):
    """the trace is the normal run's in every order the threads fix, with N other controls
    before the stop; --expected FILE (- for standard input) gives the messages one a line
    instead"""
    received = [message for _, message in read_trace(args.trace)]
    expected = None if args.expected is None else read_messages(args.expected)
    contract = load_contract(args.contract)
    return verdict(check_trace(received, contract, expected, args.other_controls), out)


def read_messages(path):
    """Expected messages, one a line, from a file or (for "-") standard input."""
    lines = lines_of(path) if path != "-" else sys.stdin.read().split("\n")
    return [line.removesuffix("\r") for line in lines if line.removesuffix("\r")]


def cmd_stop_times(args, out):
    """for the first stop request, ms to the first STOP_PENDING (walk), to the first STOPPED
    after it (latency), and latency - walk - poll (past-poll); nothing without a stop"""
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
    """what became of each watched process with that whole image path, letter case aside:
    'exited N' or 'running'"""
    return show(process_outcomes(log_of(args), args.image), out)


def cmd_expect_outcome(args, out):
    """exactly one watched process has that image, and that became of it"""
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
    """KEY of every record (driver or stand-in log) with all the KEY=VALUE fields given"""
    records = read_lines(args.file, parse_fields)
    if args.mark is not None:
        records = section(records, args.mark)
    filters = parse_filters(args.filters)
    return show([r[args.key] for r in records if args.key in r and matches(r, filters)], out)


def cmd_expect_none(args, out):
    """no record has all the KEY=VALUE fields given"""
    filters = parse_filters(args.filters)
    return verdict([format_record(r) for r in log_of(args) if matches(r, filters)], out)


def cmd_elapsed(args, out):
    """ms from the first record with the --from fields to the first one after it with the --to
    fields; nothing when there is no such pair"""
    records = log_of(args)
    start = first_index(records, 0, parse_filters(args.start))
    end = None if start is None else first_index(records, start + 1, parse_filters(args.end))
    if end is None:
        return 0
    return show([f"{records[end]['t'] - records[start]['t']:.0f}"], out)


def cmd_starts(args, out):
    """that field of each start the stand-in logged"""
    return show([start[args.field] for start in read_starts(args.log)], out)


def cmd_timeline(args, out):
    """statuses and request results, timed from the first request"""
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


def cmd_expect_product(args, out):
    """the names a build read from service/contract.h (NAME=value lines of the build tree's
    contract.txt) are those of tests/e2e/product.sh, the tests' own copy"""
    built = dict(line.partition("=")[::2] for line in lines_of(args.contract_txt))
    return verdict(differences(built, args.contract_txt), out)


def cmd_expect_searches_secure(args, out):
    """every property that AppSearch or an Upgrade row of the installer package sets and that its
    execute sequence reads is private or in SecureCustomProperties, so that it is there after a
    user interface sequence run without elevation (the tables read with msiinfo); prints each
    with how it gets there: private, secure or lost"""
    found = searched_properties(read_tables(args.msi))
    show([f"{name} {how}" for name, how in found.items()], out)
    lost = " ".join(name for name, how in found.items() if how == "lost")
    return verdict([f"public and not in SecureCustomProperties: {lost}"] if lost else [], out)


def one_of(names):
    """An argument type for positional choices, which argparse cannot check when they may be
    left out (nargs="*")."""

    def check(word):
        if word not in names:
            raise argparse.ArgumentTypeError(f"{word!r} is not one of {', '.join(names)}")
        return word

    return check


def build_parser():
    parser = argparse.ArgumentParser(prog="records.py", description=USAGE)
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")
    marked = argparse.ArgumentParser(add_help=False)
    marked.add_argument("--mark", metavar="TEXT", help="only from this mark to the next")
    segmented = argparse.ArgumentParser(add_help=False)
    where = segmented.add_mutually_exclusive_group()
    where.add_argument("--mark", metavar="TEXT", help="only from this mark to the next")
    where.add_argument("--marks", metavar="PREFIX", help="each segment from a mark with PREFIX")
    contract = argparse.ArgumentParser(add_help=False)
    contract.add_argument("--contract", default=CONTRACT, metavar="FILE")

    def command(run, *parents, what=None):
        """The command cmd_NAME runs, named NAME with "-" for "_"; its help is the docstring."""
        name = run.__name__.removeprefix("cmd_").replace("_", "-")
        what = what or run.__doc__
        sub = commands.add_parser(name, parents=list(parents), help=what, description=what)
        sub.set_defaults(run=run)
        return sub

    sub = command(cmd_expect_statuses, contract, segmented)
    sub.add_argument("--from-running", action="store_true")
    sub.add_argument("log")
    sub = command(cmd_trace)
    sub.add_argument("--pids", action="store_true")
    sub.add_argument("trace")
    command(cmd_messages).add_argument("trace")
    sub = command(cmd_expect_flood)
    sub.add_argument("--dropped", action="store_true")
    sub.add_argument("trace")
    sub.add_argument("text")
    sub.add_argument("count", type=int)
    sub = command(cmd_expect_trace, contract)
    sub.add_argument("--other-controls", type=int, default=0, metavar="N")
    sub.add_argument("--expected", metavar="FILE")
    sub.add_argument("trace")
    sub = command(cmd_stop_times, marked)
    sub.add_argument("log")
    sub.add_argument(
        "which", nargs="*", type=one_of(STOP_FIGURES), metavar="walk|latency|past-poll"
    )
    stop_bound = (
        f"STOPPED came within walk + poll {POLL_MS} + slack {SLACK_MS} ms of the stop request;"
        " with --marks a line for each segment that broke the bound, then each one's ms past"
        " walk + poll"
    )
    command(cmd_expect_stop, segmented, what=stop_bound).add_argument("log")
    sub = command(cmd_outcome, marked)
    sub.add_argument("log")
    sub.add_argument("image")
    sub = command(cmd_expect_outcome)
    sub.add_argument("log")
    sub.add_argument("image")
    sub.add_argument("outcome", nargs="+", metavar="exited N | running")
    sub = command(cmd_field, marked)
    sub.add_argument("file")
    sub.add_argument("key")
    sub.add_argument("filters", nargs="*", metavar="KEY=VALUE")
    sub = command(cmd_expect_none, marked)
    sub.add_argument("log")
    sub.add_argument("filters", nargs="+", metavar="KEY=VALUE")
    sub = command(cmd_elapsed, marked)
    sub.add_argument("log")
    sub.add_argument("--from", dest="start", nargs="+", required=True, metavar="KEY=VALUE")
    sub.add_argument("--to", dest="end", nargs="+", required=True, metavar="KEY=VALUE")
    sub = command(cmd_starts)
    sub.add_argument("log")
    sub.add_argument("field", nargs="?", default="pid", choices=("pid", "image", "command"))
    sub = command(cmd_expect_product)
    sub.add_argument("contract_txt", metavar="contract.txt")
    command(cmd_timeline).add_argument("log")
    command(cmd_expect_searches_secure).add_argument("msi")
    return parser


def main(argv=None, out=None):
    args = build_parser().parse_args(argv)
    try:
        return args.run(args, out or sys.stdout)
    except InputError as error:
        print(f"records.py: {error}", file=sys.stderr)
        return 2

