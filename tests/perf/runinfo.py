"""run.json: what a benchmark run knows that its raw files do not say (its parameters, the
machine, the loads, the commit, the process ids, which phases were measured). Standard library.

The fields of the run itself are RUN_FIELDS; each figure declares its own (rendering.py,
FIGURES). tests/perf/run gives them as KEY=VALUE words once every phase has run (python3 -m
tests.perf run-json): KEY is dotted for nesting ("parameters.cycles=30" goes to {"parameters":
{"cycles": 30}}); every field without a default must be given, and none twice.
"""

import json
from collections import namedtuple
from pathlib import Path

PHASES = ("measured", "cut", "skipped")

Field = namedtuple("Field", "parse default", defaults=(None,))
Field.__doc__ = """A field of run.json: how its KEY=VALUE text becomes its value, and the text
taken when the field is not given (None: it must be given)."""


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

RUN_FIELDS = {
    "date": Field(str),  # when the run started, "YYYY-MM-DD HH:MM UTC"
    "run_seconds": Field(int),
    "commit": Field(str),
    "sources_modified": Field(flag),  # the programs' sources differ from the commit
    "parameters.cycles": Field(int),
    "parameters.budget_seconds": Field(int),
    "parameters.poll_ms": Field(int),  # the interval the run assumed
    "machine.cpus": Field(int),
    "machine.cpu_model": Field(str),
    "machine.kernel": Field(str),
    "machine.wine": Field(str),
    "machine.runner": Field(str),  # "native 32-bit", or the emulator and its version
    **{f"load.{when}.average": Field(str) for when in WHEN},  # /proc/loadavg's 1, 5 and 15 min
    **{f"load.{when}.other_wine_servers": Field(int) for when in WHEN},
    "null_service": Field(str),  # the name it is registered under
    "product": Field(str),  # what the run measured, by the names it had then
    "service_exe": Field(str),
}


class RunError(Exception):
    """A run.json that is missing, malformed or lacks a field of the run."""


def from_words(words, fields):
    """run.json's content from KEY=VALUE words: each of fields at most once, those without a
    default exactly once."""
    run = {}
    for word in words:
        key, equals, text = word.partition("=")
        if not equals or key not in fields:
            raise RunError(f"{word!r} is not a field of run.json")
        if has(run, key):
            raise RunError(f"{key} given twice")
        try:
            put(run, key, fields[key].parse(text))
        except ValueError as error:
            raise RunError(f"{key}: {error}") from None
    return complete(run, fields)


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


def complete(run, fields):
    """run, given the default of each of fields it lacks; RunError when it lacks one without."""
    lacking = []
    for key, field in fields.items():
        if not has(run, key):
            if field.default is None:
                lacking.append(key)
            else:
                put(run, key, field.parse(field.default))
    if lacking:
        raise RunError(f"run.json lacks {', '.join(lacking)}")
    return run


def load(directory):
    """run.json of the run saved in directory, which must have every field of the run."""
    path = Path(directory) / "run.json"
    try:
        run = json.loads(path.read_text(encoding="utf-8"))
    except OSError as error:
        raise RunError(f"cannot read {path}: {error.strerror}") from None
    except ValueError as error:
        raise RunError(f"{path}: {error}") from None
    return complete(run, RUN_FIELDS)

