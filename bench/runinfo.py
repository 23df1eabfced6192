#!/usr/bin/env python3
"""run.json: what a benchmark run knows that its raw files do not say (its parameters, the
machine, the loads, the commit, the process ids, which phases were measured). Standard library.

bench/run writes it once every phase has run, from the top of the repository:
    python3 -m bench.runinfo write FILE KEY=VALUE...
KEY is one of FIELDS, dotted for nesting ("parameters.cycles=30" goes to
{"parameters": {"cycles": 30}}); every field must be given once. bench/run also takes the poll
interval it assumes from here (python3 -m bench.runinfo poll-ms), which is the end-to-end
reader's: the requirement's interval, not a second copy of it.
"""

import json
import sys
from pathlib import Path

from tests.e2e.reader.checks import POLL_MS

PHASES = ("measured", "cut", "skipped")


def integers(text):
    """Numbers separated by spaces, as bash gives an array."""
    return [int(word) for word in text.split()]


def flag(text):
    if text not in ("yes", "no"):
        raise ValueError(f"{text!r} is not yes or no")
    return text == "yes"


def optional_integer(text):
    """A process id that may not have been found (given empty)."""
    return int(text) if text else None


def phase(text):
    if text not in PHASES:
        raise ValueError(f"{text!r} is not one of {', '.join(PHASES)}")
    return text


WHEN = ("start", "cycles", "idle", "end")

FIELDS = {
    "date": str,  # when the run started, "YYYY-MM-DD HH:MM UTC"
    "run_seconds": int,
    "commit": str,
    "sources_modified": flag,  # the programs' sources differ from the commit
    "parameters.cycles": int,
    "parameters.idle_seconds": int,  # the whole window, a whole number of slices
    "parameters.idle_slice_seconds": int,
    "parameters.walk_sizes": integers,  # hosted instances of each walk
    "parameters.walk_samples": integers,  # walks wanted of each size
    "parameters.budget_seconds": int,
    "parameters.poll_ms": int,  # the interval the run assumed
    "machine.cpus": int,
    "machine.cpu_model": str,
    "machine.kernel": str,
    "machine.wine": str,
    "machine.runner": str,  # "native 32-bit", or the emulator and its version
    **{f"load.{when}.average": str for when in WHEN},  # /proc/loadavg's 1, 5 and 15 minutes
    **{f"load.{when}.other_wine_servers": int for when in WHEN},
    "executable.size": int,
    "null_service": str,  # the name it is registered under
    # The service controller, whose descendants the services are (None: not found).
    "pids.services": optional_integer,
    "pids.bench": int,  # bench/run's shell, whose descendants the drivers are
    "pids.service": optional_integer,  # the services and the hosted program of the idle window
    "pids.null": optional_integer,
    "pids.hosted": optional_integer,
    "phases.tasks": phase,  # the kernel's task events during the cycles (perf)
    "phases.idle": phase,
    "phases.polls": phase,  # strace of each worker
    "phases.walk": phase,  # cut: later rounds dropped for the time budget
}


class RunError(Exception):
    """A run.json that is missing, malformed or lacks a field."""


def from_words(words):
    """run.json's content from KEY=VALUE words, each field of FIELDS once."""
    run = {}
    for word in words:
        key, equals, text = word.partition("=")
        if not equals or key not in FIELDS:
            raise RunError(f"{word!r} is not a field of run.json")
        if has(run, key):
            raise RunError(f"{key} given twice")
        try:
            put(run, key, FIELDS[key](text))
        except ValueError as error:
            raise RunError(f"{key}: {error}") from None
    check(run)
    return run


def put(run, key, value):
    *path, last = key.split(".")
    for part in path:
        run = run.setdefault(part, {})
    run[last] = value


def has(run, key):
    for part in key.split("."):
        if not isinstance(run, dict) or part not in run:
            return False
        run = run[part]
    return True


def check(run):
    missing = [key for key in FIELDS if not has(run, key)]
    if missing:
        raise RunError(f"run.json lacks {', '.join(missing)}")


def load(directory):
    path = Path(directory) / "run.json"
    try:
        run = json.loads(path.read_text(encoding="utf-8"))
    except OSError as error:
        raise RunError(f"cannot read {path}: {error.strerror}") from None
    except ValueError as error:
        raise RunError(f"{path}: {error}") from None
    check(run)
    return run


def main(argv):
    if argv == ["poll-ms"]:
        print(POLL_MS)
        return 0
    if len(argv) >= 2 and argv[0] == "write":
        try:
            run = from_words(argv[2:])
        except RunError as error:
            print(f"runinfo.py: {error}", file=sys.stderr)
            return 2
        Path(argv[1]).write_text(json.dumps(run, indent=2) + "\n", encoding="utf-8")
        return 0
    print("usage: runinfo.py poll-ms | write FILE KEY=VALUE...", file=sys.stderr)
    return 2


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
