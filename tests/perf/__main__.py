"""The benchmark's commands, run from the top of the repository: report DIR | --update-readme
(tests/perf/report), poll-ms (the end-to-end reader's interval, which tests/perf/run assumes) and
run-json FILE KEY=VALUE... (run.json from the run's words: runinfo's fields and the figures')."""

import json
import sys
from pathlib import Path

from tests.e2e.reader import formats
from tests.e2e.reader.checks import POLL_MS

from . import rendering, runinfo


def report(argv):
    if argv == ["--update-readme"]:
        text = rendering.render(rendering.SAMPLE)
        (rendering.SAMPLE / "report.md").write_text(text, encoding="utf-8")
        readme = rendering.README.read_text(encoding="utf-8")
        rendering.README.write_text(rendering.with_table(readme, text), "utf-8")
        print(f"rendered {rendering.SAMPLE / 'report.md'} and its table in {rendering.README}")
        return 0
    if len(argv) != 1 or argv[0].startswith("-"):
        print("usage: tests/perf/report DIR | --update-readme", file=sys.stderr)
        return 2
    try:
        text = rendering.render(argv[0])
    except (runinfo.RunError, formats.InputError) as error:
        print(f"tests/perf/report: {error}", file=sys.stderr)
        return 2
    Path(argv[0], "report.md").write_text(text, encoding="utf-8")
    print(text, end="")
    return 0


def main(argv):
    if argv[:1] == ["report"]:
        return report(argv[1:])
    if argv == ["poll-ms"]:
        print(POLL_MS)
        return 0
    if len(argv) >= 2 and argv[0] == "run-json":
        try:
            run = runinfo.from_words(argv[2:], rendering.run_json_fields())
        except runinfo.RunError as error:
            print(f"tests.perf run-json: {error}", file=sys.stderr)
            return 2
        Path(argv[1]).write_text(json.dumps(run, indent=2) + "\n", encoding="utf-8")
        return 0
    print("usage: python3 -m tests.perf report ... | poll-ms | run-json ...", file=sys.stderr)
    return 2


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
