"""The normal run (tests/normal-run.txt), and a log's statuses and a trace held to it."""

import difflib
import heapq
from collections import Counter, namedtuple
from pathlib import Path

from .formats import InputError, first_index, lines_of, parse_fields

CONTRACT = Path(__file__).resolve().parents[2] / "normal-run.txt"

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

