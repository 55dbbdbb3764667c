"""Checks shared by the test files: an exception's exact type and message,
the audit log as tuples, the allowlist file of a vault root, a human who
answers a confirmation request from another process, and whether a process
still runs."""
import json
import os
import re
import subprocess
import sys
import textwrap

import pytest

TS_FORMAT = re.compile(r"^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ$")


def raises_exactly(exc, message, fn, *args, **kwargs):
    """Calls fn; it must raise `exc` itself (no subclass) with `message` as its
    only argument. Returns the exception."""
    with pytest.raises(exc) as info:
        fn(*args, **kwargs)
    assert type(info.value) is exc
    assert info.value.args == (message,)
    return info.value


def audit_lines(vault):
    """The audit log as (action, result, coordinate, environment) tuples, each
    line checked for its fixed keys, its timestamp and the agent's origin."""
    out = []
    for e in vault.audit():
        assert list(e) == ["ts", "action", "coordinate", "environment", "result", "origin"]
        assert TS_FORMAT.match(e["ts"]) and e["origin"] == "agent"
        out.append((e["action"], e["result"], e["coordinate"], e["environment"]))
    return out


def write_allowlist(vault, text):
    """Writes the vault root's allowlist file: `text` as it is (str or bytes)."""
    with open(os.path.join(vault.root, "allowlist"), "wb") as f:
        f.write(text if isinstance(text, bytes) else text.encode())


# Stands in for the human with the companion tool: waits for the request file,
# keeps a copy, may first change the record as a human would meanwhile
# ("replace" moves a prepared record file into place, "remove" deletes it),
# and answers by creating the decision file whole (written aside, renamed).
# The session holds the interpreter lock while it waits, so the answer must
# come from another process.
ANSWERER = textwrap.dedent("""\
    import os, sys, time
    pending, decision, copy, change, target, source = sys.argv[1:7]
    deadline = time.monotonic() + 30
    while time.monotonic() < deadline:
        names = [n for n in os.listdir(pending) if n.endswith(".json")] if os.path.isdir(pending) else []
        if names:
            with open(os.path.join(pending, names[0]), "rb") as f:
                data = f.read()
            with open(copy, "wb") as f:
                f.write(data)
            if change == "replace":
                os.replace(source, target)
            elif change == "remove":
                os.remove(target)
            if decision != "-":
                aside = os.path.join(pending, names[0][:-5] + ".answer")
                with open(aside, "w") as f:
                    f.write(decision)
                os.rename(aside, os.path.join(pending, names[0][:-5] + ".decision"))
            sys.exit(0)
        time.sleep(0.01)
    sys.exit(1)
    """)


class Answerer:
    def __init__(self, vault, decision, tmp_path, change="-", target="-", source="-"):
        self.copy = tmp_path / "request-copy.json"
        self.proc = subprocess.Popen([sys.executable, "-c", ANSWERER, os.path.join(vault.root, "pending"),
                                      decision, str(self.copy), change, target, source])

    def request(self):
        assert self.proc.wait(timeout=30) == 0
        return json.loads(self.copy.read_text())


def running(pid):
    """Whether `pid` runs: neither gone nor a zombie (which holds no memory)."""
    try:
        with open(f"/proc/{pid}/stat") as f:
            stat = f.read()
    except FileNotFoundError:
        return False
    return stat[stat.rindex(")") + 2] != "Z"
