"""The reader of what the end-to-end suite records, in Python's standard library only (3.9 and
later, run with -S), a module for each kind of record or check, each saying what it reads.
tests/e2e/records.py is its command line; the benchmark imports it as tests.e2e.reader."""
