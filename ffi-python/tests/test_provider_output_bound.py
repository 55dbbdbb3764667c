"""A provider tool whose output passes 16 MiB ends the lookup at once with a
message that says so, instead of running into the tool's time limit."""
import os
import time

import pytest

from vaultfiles import reference
from zantu_ffi import ZantuError

BOUND = 16 * 1024 * 1024


@pytest.fixture
def aws_printing(tmp_path, monkeypatch):
    """Makes an `aws` tool first on PATH that runs the given shell body."""
    bindir = tmp_path / "fakebin"
    bindir.mkdir()
    monkeypatch.setenv("PATH", f"{bindir}:{os.environ['PATH']}")

    def write(body):
        tool = bindir / "aws"
        tool.write_text(f"#!/bin/sh\n{body}\n")
        tool.chmod(0o755)

    return write


@pytest.mark.parametrize(
    "body",
    [
        "exec yes",
        "exec yes >&2",
        f"head -c {BOUND + 1} /dev/zero | tr '\\0' x",
    ],
)
def test_tool_output_past_the_bound_is_reported_as_such(vault, aws_printing, body):
    vault.plant(reference("dev/app/ref", "aws-sm://eu-west-1/app-ref"))
    aws_printing(body)
    start = time.monotonic()
    with pytest.raises(ZantuError) as info:
        vault.session().inject_run("REF=secret:dev/app/ref\n", "dev", "/bin/sh", ["-c", "echo ran"])
    # Well before the tool's 15 s limit.
    assert time.monotonic() - start < 10
    assert type(info.value) is ZantuError
    assert info.value.args == (f"provider error: aws-sm: `aws` printed more than {BOUND} bytes",)

