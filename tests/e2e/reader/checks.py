"""The stop bound and the floods of debug output."""

import re
from collections import namedtuple

from .formats import first_index, matches

# The worker sees the stop event at its next poll, at most one interval after the stop-pending
# report: the requirement's interval, not whatever the service's source says.
POLL_MS = 3000
# What this machine adds under load (the worker's wake-up, its last trace messages, the stopped
# report, the driver's next query) was at most 82 ms over 247 stops with builds beside; the slack
# keeps well clear of that and of the 2000 ms a 5000 ms poll would add.
SLACK_MS = 400

StopTimes = namedtuple("StopTimes", "walk latency")
REQUEST = {"event": "control", "control": "stop"}
PENDING = {"event": "status", "state": "STOP_PENDING"}
STOPPED = {"event": "status", "state": "STOPPED"}


def stop_times(records):
    """For the first stop request: ms to the first STOP_PENDING (the termination walk) and to the
    first STOPPED after it (the latency); None when the log has no such stop. A request's answer
    (the record with result=) is no request."""
    requests = (k for k, r in enumerate(records) if matches(r, REQUEST) and "result" not in r)
    request = next(requests, None)
    pending = None if request is None else first_index(records, request, PENDING)
    stopped = None if pending is None else first_index(records, pending, STOPPED)
    if stopped is None:
        return None
    start = records[request]["t"]
    return StopTimes(records[pending]["t"] - start, records[stopped]["t"] - start)


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


NOTICE = re.compile(r"dbwin-monitor: (\d+) messages? dropped")


def flood_problem(lines, text, count, dropped):
    """(figures, None) when "text 1" to "text count" came as they should among the monitor's
    lines ((pid, text) pairs), else (figures, why). Without dropped: all of them, once each and in
    order. With dropped: 1 to k in order, k < count, and right after "text k" the monitor's notice
    that count - k were dropped."""
    numbers, after = [], [line for line in lines if line[0] is None]
    for index, (pid, line) in enumerate(lines):
        head, _, number = line.rpartition(" ")
        if pid is not None and head == text and number.isdigit():
            numbers.append(int(number))
            after = lines[index + 1 :]
    printed = len(numbers)
    figures = f"{printed} of {count} printed in order"
    if numbers != list(range(1, printed + 1)):
        wrong = next(k for k, n in enumerate(numbers) if n != k + 1)
        return figures, f"message {wrong + 1} printed is number {numbers[wrong]}"
    if not dropped:
        return figures, None if printed == count else f"{count - printed} missing, none dropped"
    notice = NOTICE.match(after[0][1]) if after and after[0][0] is None else None
    if not notice:
        return figures, "no notice of the dropped messages right after the last one printed"
    figures += f", then {notice.group(1)} dropped"
    if int(notice.group(1)) != count - printed:
        return figures, f"{printed} printed and {notice.group(1)} dropped are not {count}"
    return figures, None
