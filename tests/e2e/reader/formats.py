"""The records the suite reads, and their files.

Driver log (service-driver.exe's standard output), one record a line: fields separated by one
TAB, each KEY=VALUE (a value may hold spaces and "=", never a TAB: the programs write control
characters of a value as \\xNN). The first field is t=<ms since the driver started>, the second
event=<name>; the other fields come in any order, and fields a reader does not know are ignored.
Events:
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
The stand-in's log has the same fields, pid= image= command=, a line for each start. The
monitor's output is "<pid> <text>" a line, and its own notices ("dbwin-monitor: N messages
dropped here: ...") stand where the dropped messages were.
"""

from .product import FACTS

# What starts each of the service's messages: its name.
PREFIX = FACTS["SERVICE_NAME"] + ": "


class InputError(Exception):
    """Input the reader cannot take: a missing file, a malformed line, an unknown mark."""


def parse_fields(line):
    """The KEY=VALUE fields of a TAB-separated line."""
    fields = {}
    for field in line.split("\t"):
        key, equals, value = field.partition("=")
        if not equals or not key or key in fields:
            raise ValueError(f"{field!r} is not a KEY=VALUE of its own")
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
        with open(path, encoding="utf-8", errors="replace", newline="") as file:
            text = file.read()
    except OSError as error:
        raise InputError(f"cannot read {path}: {error.strerror}") from None
    return [line.removesuffix("\r") for line in text.removesuffix("\n").split("\n")] if text else []


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


def read_monitor(path):
    """Every line of the monitor's output as (pid, text); pid is None for a line that is not
    "<pid> <text>" (the monitor's own notices)."""
    split = ((line, *line.partition(" ")) for line in lines_of(path))
    return [(int(pid), text) if space and pid.isdigit() else (None, line)
            for line, pid, space, text in split]


def read_trace(path):
    """The service's messages as (pid, message without the prefix), in the order received."""
    return [(pid, text[len(PREFIX) :]) for pid, text in read_monitor(path)
            if pid is not None and text.startswith(PREFIX)]


def matches(record, filters):
    """Whether the record has every KEY=VALUE of filters (a dict), compared as text."""
    return all(key in record and str(record[key]) == value for key, value in filters.items())


def parse_filters(words):
    """The KEY=VALUE words of a command line, as a dict."""
    try:
        return parse_fields("\t".join(words)) if words else {}
    except ValueError as error:
        raise InputError(str(error)) from None


def segments(records):
    """(mark text, records) for each stretch of the log from a mark up to the next one; the
    records before the first mark are left out."""
    found = []
    for record in records:
        if record["event"] == "mark":
            found.append((record.get("text", ""), []))
        if found:
            found[-1][1].append(record)
    return found


def first_index(records, start, filters):
    """The index of the first record from start on that has the filters' fields, or None."""
    return next((k for k in range(start, len(records)) if matches(records[k], filters)), None)
