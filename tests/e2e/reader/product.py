"""What the service must be, as the tests expect it (tests/e2e/product.sh), and how it differs
from what a build read from service/contract.h (the NAME=value lines of its contract.txt)."""

import os.path
import shlex

ORACLE = os.path.abspath(os.path.join(__file__, "../../product.sh"))

# The NAME='value' assignments of the oracle.
FACTS = {}
with open(ORACLE, encoding="utf-8") as oracle:
    for token in shlex.split(oracle.read(), comments=True):
        name, equals, value = token.partition("=")
        if not equals:
            raise ValueError(f"{ORACLE}: {token!r} is not NAME=value")
        FACTS[name] = value


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
