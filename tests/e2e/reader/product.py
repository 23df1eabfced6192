"""What the service must be, as the tests expect it (tests/e2e/product.sh), and how it differs
from what a build read from service/contract.h (the NAME=value lines of its contract.txt)."""

import shlex
from pathlib import Path

ORACLE = Path(__file__).resolve().parents[1] / "product.sh"


def read_oracle(path=ORACLE):
    """The NAME='value' assignments of a shell file, as a dict."""
    facts = {}
    for token in shlex.split(Path(path).read_text(encoding="utf-8"), comments=True):
        name, equals, value = token.partition("=")
        if not equals:
            raise ValueError(f"{path}: {token!r} is not NAME=value")
        facts[name] = value
    return facts


FACTS = read_oracle()


def differences(built, where):
    """A line for each name whose value the build (read from where) and the oracle do not agree
    on, or that only one of them has, naming both values."""

    def shown(value):
        return "nothing" if value is None else f'"{value}"'

    return [
        f"{name}: tests/e2e/product.sh says {shown(FACTS.get(name))}, the build read"
        f" {shown(built.get(name))} from service/contract.h ({where})"
        for name in sorted(FACTS.keys() | built.keys())
        if FACTS.get(name) != built.get(name)
    ]
