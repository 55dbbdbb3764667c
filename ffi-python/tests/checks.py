"""Checks shared by the test files: an exception's exact type and message,
the audit log as tuples, and the allowlist file of a vault root."""
import os
import re

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
