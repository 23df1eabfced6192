"""The reader of what the end-to-end suite records, in Python's standard library only (3.9 and
later, run with -S): product (what the service must be: tests/e2e/product.sh), formats (the
records and their files), normal_run (tests/normal-run.txt and the checks held to it), checks (the
stop bound) and package (the installer package's tables, read with msiinfo).
tests/e2e/records.py is its command line; the benchmark imports it as tests.e2e.reader."""
