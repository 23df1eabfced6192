#!/usr/bin/env python3
"""The end-to-end reader's command line (the package reader/): records.py --help."""

import sys

from reader import cli

# Text for bash on every system: UTF-8 with "\n" line ends, also where Python would write the
# console's code page and "\r\n" (Windows, in Git Bash).
sys.stdin.reconfigure(encoding="utf-8")
sys.stdout.reconfigure(encoding="utf-8", newline="\n")
sys.stderr.reconfigure(encoding="utf-8", newline="\n")
sys.exit(cli.main())
