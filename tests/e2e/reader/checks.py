"""The stop bound: STOPPED within the walk, one poll and some slack of a stop request."""

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


def stop_problem(times):
    """None when the stop that stop_times found took at most walk + poll + slack; else why not."""
    if times is None:
        return "no stop request, then STOP_PENDING, then STOPPED"
    if past_poll(times) > SLACK_MS:
        return f"stop took {past_poll(times):.0f} ms past walk + poll {POLL_MS} ms"
    return None

