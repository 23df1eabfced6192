"""The stop bound, the watched processes' outcomes and the floods of debug output."""

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

STOP_FIGURES = ("walk", "latency", "past-poll")


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

