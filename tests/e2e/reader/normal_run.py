"""The normal run (tests/normal-run.txt), and a log's statuses and a trace held to it."""

import difflib
import heapq
import os.path
from collections import Counter, namedtuple

from .formats import InputError, first_index, lines_of, parse_fields

CONTRACT = os.path.abspath(os.path.join(__file__, "../../../normal-run.txt"))

# statuses (dicts, in order), threads (routine -> thread), trace (messages in order), optional
# (messages), after (set of (first, second) messages) and other_control (the messages each
# control other than stop adds).
Contract = namedtuple("Contract", "statuses threads trace optional after other_control")


def routine_of(message):
    return message.partition(": ")[0]


def load_contract(path=CONTRACT):
    contract = Contract([], {}, [], set(), set(), [])
    for number, line in enumerate(lines_of(path), 1):
        word, _, rest = line.partition(" ")
        if word == "status":
            contract.statuses.append(parse_fields(rest.replace(" ", "\t")))
        elif word == "trace":
            thread, _, message = rest.partition(" ")
            if contract.threads.setdefault(routine_of(message), thread) != thread:
                raise InputError(f"{path}:{number}: {routine_of(message)} runs on one thread")
            contract.trace.append(message)
        elif word == "optional":
            contract.optional.add(rest)
        elif word == "after":
            contract.after.add(tuple(rest.split(" | ")))
        elif word == "other-control":
            contract.other_control[:] = rest.split(" | ")
        elif line and not line.startswith("#"):
            raise InputError(f"{path}:{number}: unknown statement {word!r}")
    return contract


def status_text(status, contract):
    """A status as the contract writes it: its fields, in the contract's order."""
    return " ".join(f"{key}={status.get(key, '')}" for key in contract.statuses[0])


def check_statuses(records, contract, from_running=False):
    """A diff of the normal run's statuses against those the service itself sent, each change of
    the contract's fields once (a change of pid alone is none), from its first report or from
    RUNNING on; empty when they are the same. Until the service's first report the controller
    shows START_PENDING with the exit code and checkpoint of the previous record."""
    first = {key: contract.statuses[0][key] for key in ("state", "exit", "checkpoint")}
    first = {"state": "RUNNING"} if from_running else first
    merged = []
    for record in (record for record in records if record["event"] == "status"):
        if not merged or status_text(record, contract) != status_text(merged[-1], contract):
            merged.append(record)
    start = first_index(merged, 0, first)
    received = [] if start is None else [status_text(s, contract) for s in merged[start:]]
    expected = contract.statuses[first_index(contract.statuses, 0, first) :]
    return diff([status_text(s, contract) for s in expected], received)


def diff(expected, received):
    return list(difflib.unified_diff(expected, received, "expected", "received", lineterm=""))


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
        base, offset = rank[-1] if rank else (-1, 0)
        rank.append((position[key], 0) if key in position else (base, offset + 1))
        first.append(key[1] == 1)

    threads = [contract.threads.get(routine_of(m), routine_of(m)) for m in received]

    def fixed(i, j):
        a, b = received[i], received[j]
        if threads[i] == threads[j]:
            return True
        return first[i] and first[j] and ((a, b) in contract.after or (b, a) in contract.after)

    followers = [[j for j in range(i + 1, len(received)) if fixed(i, j)]
                 for i in range(len(received))]
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


def check_trace(received, contract, expected=None, other_controls=0):
    """A diff of the expected messages (the contract's unless given, with what other_controls
    controls other than stop add before the first of the handler's messages) against the received
    ones in canonical order; empty when the received trace keeps every fixed order and has each
    message as often as expected. An optional message that was not received is not expected."""
    expected = list(contract.trace if expected is None else expected)
    if other_controls:
        at = expected.index(contract.other_control[0])
        expected[at:at] = contract.other_control * other_controls
    expected = [m for m in expected if m not in contract.optional or m in received]
    return diff(expected, canonical_trace(received, expected, contract))
