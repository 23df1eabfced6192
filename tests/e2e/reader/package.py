"""The installer package's own tables, read with msiinfo, and which of the properties that its
searches set reach the execute sequence from a user interface sequence.

After a user interface sequence, the execute sequence skips AppSearch and FindRelatedProducts, and
when the interface ran without elevation the elevated execute sequence receives only the public
properties listed in SecureCustomProperties. So a property that a search or an Upgrade row sets
and that the execute sequence reads must be secure, or private: a private one never leaves the
sequence that set it, nor can a command line set it, and what the package decides from it the
user interface sequence decides too."""

import re

from .formats import InputError


def msiinfo(*args):
    import subprocess  # here: the reader's other commands start faster without it

    try:
        done = subprocess.run(["msiinfo", *args], capture_output=True, text=True)
    except OSError as error:
        raise InputError(f"msiinfo: {error}") from error
    if done.returncode != 0:
        raise InputError(f"msiinfo {' '.join(args)} failed: {done.stderr.strip()}")
    return done.stdout


def read_tables(msi):
    """Every table of the package but the system's (_Name), by name: its rows, each a dict by
    column name. msiinfo export writes the column names, their types and the key first, then the
    rows, TAB-separated."""
    tables = {}
    for name in msiinfo("tables", msi).split():
        if not name.startswith("_"):
            lines = msiinfo("export", msi, name).split("\n")
            columns = lines[0].split("\t")
            tables[name] = [dict(zip(columns, line.split("\t"))) for line in lines[3:] if line]
    return tables


def read_in_execution(tables):
    """The properties that the execute sequence reads: in its actions' conditions, the launch
    conditions (when it runs LaunchConditions), the components' and features' conditions (its
    costing evaluates them), and as [NAME] in any table's text but a custom action's that only
    the user interface sequence runs."""
    sequence = {row["Action"]: row["Condition"] for row in tables["InstallExecuteSequence"]}
    conditions = list(sequence.values())
    if "LaunchConditions" in sequence:
        conditions += [row["Condition"] for row in tables.get("LaunchCondition", [])]
    for table in ("Component", "Condition"):
        conditions += [row["Condition"] for row in tables.get(table, [])]
    # The words of the conditions outside their quoted text, but for those that name a
    # component's or a feature's state or an environment variable (?, $, &, !, %): the properties
    # they read, and their operators.
    unquoted = " ".join(re.sub(r'"[^"]*"', " ", condition) for condition in conditions)
    read = set(re.findall(r"(?<![?$&!%\w])[A-Za-z_][\w.]*", unquoted))
    for name, rows in tables.items():
        for row in rows:
            if name != "CustomAction" or row["Action"] in sequence:
                read.update(*(re.findall(r"\[([A-Za-z_][\w.]*)\]", text) for text in row.values()))
    return read


def searched_properties(tables):
    """Each property that AppSearch or an Upgrade row sets and the execute sequence reads, by
    name, with how it reaches that sequence: "private", "secure", or "lost" (public, not in
    SecureCustomProperties)."""
    properties = {row["Property"]: row["Value"] for row in tables["Property"]}
    secure = properties.get("SecureCustomProperties", "").split(";")
    searched = {row["Property"] for row in tables.get("AppSearch", [])}
    searched |= {row["ActionProperty"] for row in tables.get("Upgrade", [])}

    def how(name):
        if name != name.upper():
            return "private"
        return "secure" if name in secure else "lost"

    return {name: how(name) for name in sorted(searched & read_in_execution(tables))}
