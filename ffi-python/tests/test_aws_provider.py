"""aws-sm references through the real module, against a stand-in `aws` first
on PATH that answers the way aws-cli 1.45 and 2.9 answer Secrets Manager's
GetSecretValue for `--query SecretString`: with `--output json` one JSON
value, the string or null when the secret holds SecretBinary; with `--output
text` the string, or "None" for a binary secret, and a line break."""
import json
import os
import sys
import textwrap

import pytest

from vaultfiles import reference
from zantu_ffi import ZantuError

# Stored as a string, or None for a secret stored as SecretBinary.
SECRETS = {
    "app-none": "None",
    "app-newline": "line1\nline2\n",
    "app-crlf": "a\r\nb\r\n",
    "app-cr": "ends in a carriage return\r",
    "app-unicode": "caf\u00e9 \u65e5\u672c \U0001F511",
    "app-large": "\u00e9" * 32768,  # 64 KiB of two-byte characters
    "app-blob": None,
}

FAKE_AWS = textwrap.dedent("""\
    #!{python}
    import json, sys
    secrets = json.load(open({table!r}))
    args = sys.argv[1:]
    shape = ["secretsmanager", "get-secret-value", "--secret-id", "S", "--region", "eu-west-1",
             "--query", "SecretString", "--output", "F"]
    if len(args) != len(shape) or any(a != s for a, s in zip(args, shape) if s not in ("S", "F")):
        sys.stderr.write("aws: unexpected arguments\\n")
        sys.exit(252)
    if args[3] not in secrets:
        sys.stderr.write("An error occurred (ResourceNotFoundException) when calling the GetSecretValue "
                         "operation: Secrets Manager can't find the specified secret.\\n")
        sys.exit(254)
    value = secrets[args[3]]
    if args[9] == "json":
        out = json.dumps(value, indent=4, ensure_ascii=False)
    elif args[9] == "text":
        out = "None" if value is None else value
    else:
        sys.exit(252)
    sys.stdout.buffer.write(out.encode() + b"\\n")
""")

BINARY = ("provider error: aws-sm secret `app-blob` in region `eu-west-1` is stored as binary (SecretBinary), "
          "which is not supported")


@pytest.fixture
def fake_aws(tmp_path, monkeypatch):
    bindir = tmp_path / "fakebin"
    bindir.mkdir()
    table = tmp_path / "secrets.json"
    table.write_text(json.dumps(SECRETS))
    tool = bindir / "aws"
    tool.write_text(FAKE_AWS.format(python=sys.executable, table=str(table)))
    tool.chmod(0o755)
    monkeypatch.setenv("PATH", f"{bindir}:{os.environ['PATH']}")


def test_string_secrets_arrive_byte_exact_and_a_binary_one_is_refused(vault, fake_aws, tmp_path):
    names = {f"V{i}": name for i, name in enumerate(SECRETS) if SECRETS[name] is not None}
    for name in SECRETS:
        vault.plant(reference(f"dev/app/{name}", f"aws-sm://eu-west-1/{name}"))
    refs = "".join(f"{var}=secret:dev/app/{name}\n" for var, name in names.items())
    # Each value goes to a file of its own, as the program received it.
    script = "; ".join(f"printf %s \"${var}\" > '{tmp_path / var}'" for var in names)
    session = vault.session()
    out = session.inject_run(refs, "dev", "/bin/sh", ["-c", script])
    assert out["status"] == 0, out
    for var, name in names.items():
        assert (tmp_path / var).read_bytes() == SECRETS[name].encode(), name

    # Until now this injected the text "None".
    marker = tmp_path / "ran"
    with pytest.raises(ZantuError) as info:
        session.inject_run("A=secret:dev/app/app-none\nBLOB=secret:dev/app/app-blob\n", "dev", "/bin/sh",
                           ["-c", f"printf %s \"$BLOB\" > '{marker}'"])
    assert type(info.value) is ZantuError
    assert info.value.args == (BINARY,)
    assert not marker.exists()
