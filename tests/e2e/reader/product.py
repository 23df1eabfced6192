"""What the service must be, as the tests expect it: tests/e2e/product.sh's NAME='value' lines."""

import os.path
import shlex

ORACLE = os.path.abspath(os.path.join(__file__, "../../product.sh"))

FACTS = {}
with open(ORACLE, encoding="utf-8") as oracle:
    for token in shlex.split(oracle.read(), comments=True):
        name, equals, value = token.partition("=")
        if not equals:
            raise ValueError(f"{ORACLE}: {token!r} is not NAME=value")
        FACTS[name] = value
