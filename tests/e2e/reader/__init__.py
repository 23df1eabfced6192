"""The reader of what the end-to-end suite records (tests/e2e/README.md says what it reads and how
the scenarios call it), in Python's standard library only, for Python 3.9 and later run with -S:
product (what the service must be: tests/e2e/product.sh), formats (the records and their files),
normal_run (tests/normal-run.txt and the checks held to it), checks (the stop bound, the watched
processes, the floods), package (the installer package's tables, read with msiinfo) and cli (the command line, which tests/e2e/records.py runs). The benchmark
imports it as tests.e2e.reader."""
