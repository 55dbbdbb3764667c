"""inject_run on real vault roots with real children: the scope checks before
anything is resolved, the allowlist file, the allowlist and confirmation
gates with their audit lines, masking, the result dictionary and the child's
environment and name, and the variables a text may not set for a gated run."""
import json
import os
import re
import resource
import signal
import subprocess
import sys
import textwrap
import threading
import time

import pytest

from checks import Answerer, audit_lines, raises_exactly, write_allowlist
from vaultfiles import foreseen_ids, keypair, literal, reference
from zantu_ffi import ZantuDenied, ZantuError, ZantuNotFound

NOT_ALLOWLISTED = "`{}` is not on the executor allowlist; high/prod injection refused (I15)"
DENIED = "confirmation denied; high/prod injection refused"
TIMED_OUT = "confirmation timed out; high/prod injection refused"
CAT = os.path.realpath("/bin/cat")


@pytest.fixture
def fake_aws(tmp_path, monkeypatch):
    """An `aws` tool first on PATH that answers every secret with a value
    naming it, as the JSON string the real one prints, and logs each call;
    returns the log's path."""
    bindir = tmp_path / "fakebin"
    bindir.mkdir()
    log = tmp_path / "aws-calls"
    tool = bindir / "aws"
    # The vector is: secretsmanager get-secret-value --secret-id S --region R ...
    tool.write_text(f"#!/bin/sh\necho \"$4\" >> '{log}'\nprintf '\"aws-value-%s\"\\n' \"$4\"\n")
    tool.chmod(0o755)
    monkeypatch.setenv("PATH", f"{bindir}:{os.environ['PATH']}")
    return log


def aws_calls(log):
    return log.read_text().split() if log.exists() else []


# ---------------------------------------------------------------------------
# Scope before anything else


def test_no_inject_scope_is_not_addressable_even_for_unparsable_text(vault, tmp_path):
    marker = tmp_path / "ran"
    session = vault.session(operations=["metadata", "reveal", "write"])
    for refs in ["not a line", "A=x\n"]:
        raises_exactly(ZantuNotFound, "not addressable", session.inject_run, refs, "dev", "/bin/sh",
                       ["-c", f"touch '{marker}'"])
    assert not marker.exists()
    assert vault.audit() == []


@pytest.mark.parametrize(
    "scope, refs, env, project",
    [
        ({"environments": ["dev"]}, "A=secret:${ENV}/db/password\n", "staging", None),
        ({"environments": ["dev"]}, "R=secret:dev/app/ref\nB=secret:prod/app/db\n", "dev", None),
        ({"projects": ["shop"]}, "project = other\nR=secret:dev/app/ref\n", "dev", None),
        ({"projects": ["shop"]}, "project = shop\nR=secret:dev/app/ref\n", "dev", "other"),
        ({"projects": ["shop"]}, "R=secret:dev/app/ref\n", "dev", None),
    ],
)
def test_out_of_scope_coordinate_refuses_before_anything_is_resolved(vault, fake_aws, tmp_path, scope, refs, env,
                                                                     project):
    # The in-scope reference would call the provider and audit it if
    # resolution had begun.
    vault.plant(reference("dev/app/ref", "aws-sm://eu-west-1/app-ref"))
    vault.plant(reference("dev/app/ref", "aws-sm://eu-west-1/app-ref"), project="shop")
    vault.plant(literal("prod/app/db", b"prod-pass"))
    marker = tmp_path / "ran"
    session = vault.session(**scope)
    raises_exactly(ZantuNotFound, "not addressable", session.inject_run, refs, env, "/bin/sh",
                   ["-c", f"touch '{marker}'"], project=project)
    assert not marker.exists()
    assert aws_calls(fake_aws) == []
    assert vault.audit() == []
    assert not os.path.exists(os.path.join(vault.root, "pending"))


def test_project_comes_from_the_argument_else_the_text(vault):
    vault.plant(literal("dev/app/db", b"global-db", sensitivity="low"))
    vault.plant(literal("dev/app/db", b"shop-db", sensitivity="low"), project="shop")
    vault.plant(literal("dev/app/db", b"other-db", sensitivity="low"), project="other")
    session = vault.session(projects=["shop", "other"])
    show = ["-c", "printf %s \"$DB\" | tr a-z A-Z"]  # transformed, so masking does not hide it
    cases = [("project = shop\nDB=secret:dev/app/db\n", None, b"SHOP-DB"),
             ("project = shop\nDB=secret:dev/app/db\n", "other", b"OTHER-DB"),
             ("DB=secret://global/dev/app/db\n", "shop", b"GLOBAL-DB")]
    for refs, project, expected in cases:
        out = session.inject_run(refs, "dev", "/bin/sh", show, project=project)
        assert out["stdout"] == expected, (refs, project)


def test_fallback_text_is_never_taken_for_a_coordinate(vault):
    session = vault.session(environments=["dev"])
    out = session.inject_run("A=secret:dev/app/none|secret:prod/x/y\n", "dev", "/bin/sh",
                             ["-c", "printf %s \"$A\" | tr a-z A-Z"])
    # An unresolved coordinate's fallback counts as a vault value: it is masked,
    # so it is shown transformed.
    assert out["stdout"] == b"SECRET:PROD/X/Y"
    assert audit_lines(vault) == [("inject", "injected", "dev/app/none", "dev")]


@pytest.mark.parametrize(
    "refs, project, message",
    [
        ("not a line\n", None, "env-refs error: line 1: expected `NAME=<source>` or `project = <name>`"),
        ("A=secret:nope\n", None, "invalid coordinate URI: coordinate must have exactly three segments"),
        ("A=secret:dev/app/missing\n", None,
         "env-refs error: `A`: coordinate `secret:dev/app/missing` did not resolve and has no fallback"),
        ("A=x\n", "..", "invalid project name `..`"),
    ],
)
def test_text_coordinate_and_resolution_failures(vault, tmp_path, refs, project, message):
    marker = tmp_path / "ran"
    raises_exactly(ZantuError, message, vault.session().inject_run, refs, "dev", "/bin/sh",
                   ["-c", f"touch '{marker}'"], project=project)
    assert not marker.exists()
    assert vault.audit() == []


# ---------------------------------------------------------------------------
# The allowlist file


@pytest.fixture
def prod_value(vault):
    vault.plant(literal("prod/app/db", b"prod-pass", sensitivity="medium"))
    return "DB=secret:prod/app/db\n"


def test_allowlist_file_lines_and_symlinked_entry(vault, prod_value, tmp_path):
    links = tmp_path / "links"
    links.mkdir()
    (links / "mycat").symlink_to(CAT)
    write_allowlist(vault, textwrap.dedent(f"""\
        # tools
        \u00a0
          {links}/mycat\u3000
        /opt/zt-missing/tool\r
        /bin/sh # x
        #/usr/bin/env
        """))
    session = vault.session()
    allowed = [f"{links}/mycat", CAT, "/bin/cat", "/usr/bin/../bin/cat"]
    for program in allowed:
        out = session.inject_run(prod_value, "dev", program, ["/dev/null"])
        assert out == {"status": 0, "stdout": b"", "stderr": b""}, program
    # Kept as written (it does not resolve): it passes the gate and then fails to start.
    raises_exactly(ZantuError,
                   "failed to launch child process: launch /opt/zt-missing/tool: No such file or directory (os error 2)",
                   session.inject_run, prod_value, "dev", "/opt/zt-missing/tool")
    for program in ["/bin/sh", "/usr/bin/env", f"{links}/mycat/"]:
        raises_exactly(ZantuDenied, NOT_ALLOWLISTED.format(program), session.inject_run, prod_value, "dev", program)


def test_allowlist_file_is_read_on_every_call(vault, prod_value):
    session = vault.session()
    raises_exactly(ZantuDenied, NOT_ALLOWLISTED.format("/bin/cat"), session.inject_run, prod_value, "dev",
                   "/bin/cat", ["/dev/null"])
    write_allowlist(vault, "/bin/cat\n")
    assert session.inject_run(prod_value, "dev", "/bin/cat", ["/dev/null"])["status"] == 0
    # A file that is not UTF-8 is an empty list.
    write_allowlist(vault, b"/bin/cat\n\xff\n")
    raises_exactly(ZantuDenied, NOT_ALLOWLISTED.format("/bin/cat"), session.inject_run, prod_value, "dev",
                   "/bin/cat", ["/dev/null"])


ALLOWLIST_BOUND = 64 * 1024


@pytest.mark.parametrize("size, sparse", [(ALLOWLIST_BOUND, False), (ALLOWLIST_BOUND + 1, False),
                                          (3 << 30, True)])
def test_an_allowlist_past_its_bound_is_an_empty_list(vault, prod_value, size, sparse):
    # The entry, then comment lines up to `size` bytes (or a hole, for the
    # sparse file): the bound itself is still a list.
    text = b"/bin/cat\n"
    if sparse:
        write_allowlist(vault, text)
        os.truncate(os.path.join(vault.root, "allowlist"), size)
    else:
        comment = b"#" + b"x" * 78 + b"\n"
        text += comment * ((size - len(text)) // len(comment))
        text += b"\n" * (size - len(text))
        write_allowlist(vault, text)
    session = vault.session()
    # A run that needs no allowlist never depends on the file.
    assert session.inject_run("A=x\n", "dev", "/bin/echo", ["dev"])["stdout"] == b"dev\n"
    if size <= ALLOWLIST_BOUND:
        assert session.inject_run(prod_value, "dev", "/bin/cat", ["/dev/null"])["status"] == 0
        return
    raises_exactly(ZantuDenied, NOT_ALLOWLISTED.format("/bin/cat"), session.inject_run, prod_value, "dev",
                   "/bin/cat", ["/dev/null"])
    assert audit_lines(vault) == [("deny", "denied:not-allowlisted", "prod/app/db", "prod")]


def test_three_gated_values_are_each_audited_as_denied(vault, tmp_path):
    vault.plant(literal("prod/app/db", b"v1", sensitivity="medium"))
    vault.plant(literal("dev/app/low", b"v2", sensitivity="low"))
    vault.plant(literal("dev/app/key", b"v3", sensitivity="high"))
    vault.plant(literal("prod/app/io", b"v4", sensitivity="inject-only"))
    marker = tmp_path / "ran"
    refs = "A=secret:prod/app/db\nB=secret:dev/app/low\nC=secret:dev/app/key\nD=secret:prod/app/io\nE=plain\n"
    raises_exactly(ZantuDenied, NOT_ALLOWLISTED.format("sh"), vault.session().inject_run, refs, "dev", "sh",
                   ["-c", f"touch '{marker}'"])
    assert audit_lines(vault) == [("deny", "denied:not-allowlisted", "prod/app/db", "prod"),
                            ("deny", "denied:not-allowlisted", "dev/app/key", "dev"),
                            ("deny", "denied:not-allowlisted", "prod/app/io", "prod")]
    assert not marker.exists()
    assert not os.path.exists(os.path.join(vault.root, "pending"))


# ---------------------------------------------------------------------------
# One confirmation for every high value

HIGH_REFS = ("API=secret:dev/app/api\nLIT=plain\nDB=secret:prod/app/db\nMED=secret:dev/app/med\n"
             "PUB=secret:dev/app/ssh#public\n")
HIGH_LINES = [("provider-invocation", "scheme:aws-sm", "dev/app/api", "dev")]
INJECT_LINES = [("inject", "injected", "dev/app/api", "dev"), ("inject", "injected", "prod/app/db", "prod"),
                ("inject", "injected", "dev/app/med", "dev")]


@pytest.fixture
def high_values(vault, fake_aws):
    vault.plant(reference("dev/app/api", "aws-sm://eu-west-1/app-api", sensitivity="high"))
    vault.plant(literal("prod/app/db", b"prod-pass", sensitivity="high"))
    vault.plant(literal("dev/app/med", b"med-pass", sensitivity="medium"))
    vault.plant(keypair("dev/app/ssh", public="ssh-ed25519 AAAA pub", sensitivity="high"))
    write_allowlist(vault, "/bin/sh\n")
    return fake_aws


@pytest.mark.parametrize(
    "decision, client_identity, timeout_ms, error, answer",
    [
        ("  approved\n", "mcp-client-7", "20000", None, ("approve", "approved")),
        ("Approved", None, "20000", DENIED, ("deny", "denied")),
        ("-", "mcp-client-7", "1500", TIMED_OUT, ("timeout", "timeout")),
    ],
)
def test_one_confirmation_for_every_high_value(vault, high_values, tmp_path, monkeypatch, decision, client_identity,
                                               timeout_ms, error, answer):
    # An answer ends the wait at once; only the time-out case waits it out.
    monkeypatch.setenv("ZANTU_TEST_CONFIRM_TIMEOUT_MS", timeout_ms)
    session = vault.session()
    answerer = Answerer(vault, decision, tmp_path)
    args = ["-c", "printf '%s|%s|%s|%s|%s' \"$API\" \"$LIT\" \"$DB\" \"$MED\" \"$PUB\""]
    if error is None:
        out = session.inject_run(HIGH_REFS, "dev", "/bin/sh", args, client_identity=client_identity)
        assert out == {"status": 0, "stdout": b"***|plain|***|***|ssh-ed25519 AAAA pub", "stderr": b""}
    else:
        raises_exactly(ZantuDenied, error, session.inject_run, HIGH_REFS, "dev", "/bin/sh", args,
                       client_identity=client_identity)

    request = answerer.request()
    assert list(request) == ["id", "created_unix", "request"]
    assert request["request"] == {
        "resolved_command": "/bin/sh " + " ".join(args),
        "coordinate": "dev/app/api, prod/app/db",
        "sensitivity": "high",
        "environment": "prod",
        "origin": "agent",
        "requesting_process": client_identity,
        "requester_description": None,
        "action": None,
        "allow_password": False,
    }
    answers = [(*answer, "dev/app/api", "dev"), (*answer, "prod/app/db", "prod")]
    assert audit_lines(vault) == HIGH_LINES + answers + (INJECT_LINES if error is None else [])
    assert aws_calls(high_values) == ["app-api"]
    assert os.listdir(os.path.join(vault.root, "pending")) == []


@pytest.mark.parametrize(
    "decision, timeout_ms, error, answer",
    [
        ("denied", "20000", DENIED, ("deny", "denied")),
        ("-", "1000", TIMED_OUT, ("timeout", "timeout")),
    ],
)
def test_decisions_planted_before_the_request_do_not_approve(vault, high_values, tmp_path, monkeypatch, decision,
                                                             timeout_ms, error, answer):
    # A program run earlier foresees the ids and answers in advance; only an
    # answer written after the request appears counts.
    monkeypatch.setenv("ZANTU_TEST_CONFIRM_TIMEOUT_MS", timeout_ms)
    pending = os.path.join(vault.root, "pending")
    marker = tmp_path / "ran"
    session = vault.session()
    planter = ("import os, sys\n"
               "for name in sys.argv[2:]:\n"
               "    with open(os.path.join(sys.argv[1], name), 'w') as f:\n"
               "        f.write('approved')\n")
    planted = [i + ".decision" for i in foreseen_ids()]
    os.makedirs(pending)
    assert session.inject_run("", "dev", sys.executable, ["-c", planter, pending, *planted])["status"] == 0
    assert len(os.listdir(pending)) == len(planted)
    answerer = Answerer(vault, decision, tmp_path)
    raises_exactly(ZantuDenied, error, session.inject_run, HIGH_REFS, "dev", "/bin/sh", ["-c", f"touch '{marker}'"])
    request_id = answerer.request()["id"]
    assert not marker.exists()
    assert audit_lines(vault) == HIGH_LINES + [(*answer, "dev/app/api", "dev"), (*answer, "prod/app/db", "prod")]
    assert sorted(os.listdir(pending)) == sorted(set(planted) - {request_id + ".decision"})


# ---------------------------------------------------------------------------
# The child and the result


def test_result_dict_masks_vault_values_and_keeps_literals(vault):
    vault.plant(literal("dev/app/db", b"db-pass-0192", sensitivity="medium"))
    vault.plant(literal("dev/app/tok", b"pass", sensitivity="inject-only"))
    refs = "DB=secret:dev/app/db\nTOK=secret:dev/app/tok\nLIT=plain-literal\n"
    out = vault.session().inject_run(
        refs, "dev", "/bin/sh",
        ["-c", "printf '%s %s %s' \"$DB\" \"$LIT\" \"$TOK\"; printf 'x%sx' \"$DB\" >&2; exit 2"])
    assert list(out) == ["status", "stdout", "stderr"]
    # "pass" inside "db-pass-0192" is covered by the longer value's run.
    assert out == {"status": 2, "stdout": b"*** plain-literal ***", "stderr": b"x***x"}
    assert [type(v) for v in out.values()] == [int, bytes, bytes]
    assert audit_lines(vault) == [("inject", "injected", "dev/app/db", "dev"), ("inject", "injected", "dev/app/tok", "dev")]


def test_signal_gives_status_none(vault):
    out = vault.session().inject_run("A=x\n", "dev", "/bin/sh", ["-c", "echo before; kill -TERM $$"])
    assert out == {"status": None, "stdout": b"before\n", "stderr": b""}
    out = vault.session().inject_run("A=x\n", "dev", "/bin/sh", ["-c", f"kill -{int(signal.SIGKILL)} $$"])
    assert out["status"] is None


def test_background_process_holding_the_pipes_does_not_hold_the_call(vault, tmp_path):
    # The descendant would hold both pipes for 600 s; `timeout` ends it after
    # 40 s, so a call that waited for it fails this test instead of hanging.
    pidfile = tmp_path / "descendant"
    script = f"echo started; timeout -s KILL 40 sleep 600 & echo $! > '{pidfile}'; exit 0"
    start = time.monotonic()
    try:
        out = vault.session().inject_run("A=x\n", "dev", "/bin/sh", ["-c", script])
        took = time.monotonic() - start
        descendant = int(pidfile.read_text())
        os.kill(descendant, 0)  # left running, not killed
    finally:
        if pidfile.exists():
            os.kill(int(pidfile.read_text()), signal.SIGTERM)  # `timeout` passes it on to the sleeper
    assert took < 20
    assert out == {"status": 0, "stdout": b"started\n", "stderr": b""}


# Run in a fresh interpreter, so this test process keeps its own descriptors,
# dispositions and mask.
CARELESS_HOST = textwrap.dedent("""
    import json, os, signal, sys
    import zantu_ffi

    root, passphrase = json.loads(sys.argv[1])
    low = os.open(os.devnull, os.O_RDONLY)
    os.set_inheritable(low, True)
    high = os.dup2(low, 200, inheritable=True)
    signal.signal(signal.SIGXFSZ, signal.SIG_IGN)  # CPython already ignores SIGPIPE
    signal.pthread_sigmask(signal.SIG_BLOCK, {signal.SIGTERM, signal.SIGUSR1})
    probe = (f"for n in {low} {high}; do if [ -e /proc/$$/fd/$n ]; then echo fd $n; fi; done; "
             "exec grep -E '^Sig(Blk|Ign):' /proc/self/status")
    session = zantu_ffi.ZantuSession({"operations": ["inject"]}, root, passphrase)
    sys.stdout.write(session.inject_run("A=x\\n", "dev", "/bin/sh", ["-c", probe])["stdout"].decode())
""")


def test_child_gets_no_descriptor_ignored_signal_or_mask_of_the_host(vault):
    ran = subprocess.run([sys.executable, "-c", CARELESS_HOST, json.dumps([vault.root, vault.passphrase])],
                         capture_output=True, text=True, timeout=60)
    assert ran.returncode == 0, ran.stderr
    assert "fd " not in ran.stdout
    masks = dict(line.split(":\t") for line in ran.stdout.splitlines())
    assert int(masks["SigBlk"], 16) == 0
    ignored = int(masks["SigIgn"], 16)
    for sig in (signal.SIGPIPE, signal.SIGXFSZ):
        assert not ignored & (1 << (sig - 1)), sig.name


def test_child_environment_lacks_zantu_variables(vault, monkeypatch):
    monkeypatch.setenv("ZANTU_VAULT_DIR", vault.root)
    monkeypatch.setenv("ZANTU_PASSPHRASE", "the passphrase")
    monkeypatch.setenv("ZANTU_ANYTHING", "x")
    monkeypatch.setenv("XZANTU_KEPT", "kept")
    refs = "ZANTU_TOKEN=from-refs\nCOPY=${env:ZANTU_PASSPHRASE|withheld}\n"
    out = vault.session().inject_run(refs, "dev", "/usr/bin/env", ["-0"])
    env = dict(entry.split(b"=", 1) for entry in out["stdout"].split(b"\0") if entry)
    env = {k.decode(errors="replace"): v.decode(errors="replace") for k, v in env.items()}
    assert sorted(k for k in env if "ZANTU" in k) == ["XZANTU_KEPT", "ZANTU_TOKEN"]
    assert env["ZANTU_TOKEN"] == "from-refs" and env["COPY"] == "withheld"
    assert os.environ["ZANTU_PASSPHRASE"] == "the passphrase"


def test_gated_child_is_called_by_the_checked_path(vault, prod_value, tmp_path):
    # A link of the caller's naming passes the gate as its canonical target;
    # the child is called by that target's path, so the link's name cannot
    # pick the personality of a program that dispatches on it (bash called
    # "sh" turns POSIX). An ungated run keeps the caller's text.
    vault.plant(literal("dev/app/db", b"dev-pass", sensitivity="medium"))
    ungated = "DB=secret:dev/app/db\n"
    (tmp_path / "mycat").symlink_to(CAT)
    (tmp_path / "sh").symlink_to("/bin/bash")
    cat_link, sh_link = str(tmp_path / "mycat"), str(tmp_path / "sh")
    write_allowlist(vault, f"{cat_link}\n{sh_link}\n")
    personality = ["-c", "if shopt -oq posix; then echo posix; else echo bash; fi"]
    session = vault.session()
    cases = [(prod_value, cat_link, ["/proc/self/cmdline"], CAT.encode() + b"\0/proc/self/cmdline\0"),
             (ungated, cat_link, ["/proc/self/cmdline"], cat_link.encode() + b"\0/proc/self/cmdline\0"),
             (prod_value, sh_link, personality, b"bash\n"),
             (ungated, sh_link, personality, b"posix\n")]
    for refs, program, args, expected in cases:
        assert session.inject_run(refs, "dev", program, args)["stdout"] == expected, (refs, program)


def test_gated_bare_name_is_found_on_the_callers_path(vault, prod_value, tmp_path, monkeypatch):
    for name in ["good", "evil"]:
        d = tmp_path / name
        d.mkdir()
        (d / "zt-probe").write_text(f"#!/bin/sh\necho {name}\n")
        (d / "zt-probe").chmod(0o755)
    monkeypatch.setenv("PATH", f"{tmp_path / 'good'}:{os.environ['PATH']}")
    write_allowlist(vault, "zt-probe\n")
    session = vault.session()
    assert session.inject_run(prod_value, "dev", "zt-probe")["stdout"] == b"good\n"
    # The text cannot set PATH for a gated run at all.
    refs = f"PATH={tmp_path / 'evil'}:/usr/bin:/bin\n" + prod_value
    raises_exactly(ZantuDenied, STEERING.format("PATH", "changes where the program finds its own commands"),
                   session.inject_run, refs, "dev", "zt-probe")


def test_gated_bare_name_in_the_working_directory_is_that_file(vault, prod_value, tmp_path, monkeypatch):
    # Resolved against the working directory: that canonical file is checked,
    # started and named in argv[0], and the child runs in the caller's
    # working directory. An ungated run finds the name on PATH.
    vault.plant(literal("dev/app/db", b"dev-pass", sensitivity="medium"))
    work, on_path = tmp_path / "work", tmp_path / "onpath"
    work.mkdir()
    on_path.mkdir()
    (work / "zt-probe").write_text("#!/bin/sh\nprintf '%s|%s' \"$0\" \"$(pwd -P)\"\n")
    (on_path / "zt-probe").write_text("#!/bin/sh\necho on-path\n")
    for f in [work / "zt-probe", on_path / "zt-probe"]:
        f.chmod(0o755)
    monkeypatch.setenv("PATH", f"{on_path}:{os.environ['PATH']}")
    monkeypatch.chdir(work)
    here = os.path.realpath(work / "zt-probe")
    session = vault.session()
    # The relative entry is resolved against the working directory as well.
    for allowlist in [f"{work}/zt-probe\n", "zt-probe\n"]:
        write_allowlist(vault, allowlist)
        # "$0" is the path the script was executed by.
        out = session.inject_run(prod_value, "dev", "zt-probe")
        assert out["stdout"] == f"{here}|{os.path.realpath(work)}".encode(), allowlist
    write_allowlist(vault, f"{on_path}/zt-probe\n")
    raises_exactly(ZantuDenied, NOT_ALLOWLISTED.format("zt-probe"), session.inject_run, prod_value, "dev", "zt-probe")
    assert session.inject_run("DB=secret:dev/app/db\n", "dev", "zt-probe")["stdout"] == b"on-path\n"


# ---------------------------------------------------------------------------
# Values that no environment can hold

# One environment string is at most 131072 bytes, "V=" and the final NUL
# included.
TOO_LONG = ("failed to launch child process: value for `V` is too long to be injected: one environment string "
            "holds at most 131072 bytes, `V=` and the final NUL included")
HAS_NUL = "failed to launch child process: value for `V` contains a NUL byte and cannot be injected"


@pytest.fixture
def aws_with_a_nul(tmp_path, monkeypatch):
    """An `aws` tool first on PATH whose every secret is the JSON string
    "a\\u0000b"."""
    bindir = tmp_path / "nulbin"
    bindir.mkdir()
    (bindir / "aws").write_text("#!/bin/sh\ncat <<'EOF'\n\"a\\u0000b\"\nEOF\n")
    (bindir / "aws").chmod(0o755)
    monkeypatch.setenv("PATH", f"{bindir}:{os.environ['PATH']}")


@pytest.mark.parametrize("kind", ["131070 bytes", "NUL from aws"])
def test_a_value_no_environment_can_hold_is_refused_before_its_inject_line(vault, aws_with_a_nul, tmp_path, kind):
    if kind == "NUL from aws":
        vault.plant(reference("dev/app/v", "aws-sm://eu-west-1/app-v"))
        message, lines = HAS_NUL, [("provider-invocation", "scheme:aws-sm", "dev/app/v", "dev")]
    else:
        vault.plant(literal("dev/app/v", b"x" * 131070))
        message, lines = TOO_LONG, []
    marker = tmp_path / "ran"
    raises_exactly(ZantuError, message, vault.session().inject_run, "V=secret:dev/app/v\n", "dev", "/bin/sh",
                   ["-c", f"touch '{marker}'"])
    assert not marker.exists()
    assert audit_lines(vault) == lines


def test_a_value_as_long_as_an_environment_string_allows_runs(vault, tmp_path):
    value = os.urandom(131069 // 2).hex().encode() + b"z"
    vault.plant(literal("dev/app/v", value))
    got = tmp_path / "got"
    out = vault.session().inject_run("V=secret:dev/app/v\n", "dev", "/bin/sh", ["-c", f"printf %s \"$V\" > '{got}'"])
    assert out == {"status": 0, "stdout": b"", "stderr": b""}
    assert got.read_bytes() == value
    assert audit_lines(vault) == [("inject", "injected", "dev/app/v", "dev")]


# What exec cannot carry beyond one value: a value that is not UTF-8, an
# argument or a variable of the host's past one string, and everything together
# past what the kernel takes for a program's start, a quarter of the stack
# limit.

LONG_ARGUMENT = ("failed to launch child process: argument 3 is too long to be passed: one argument holds at most "
                 "131072 bytes, the final NUL included")
LONG_HOST_VARIABLE = ("failed to launch child process: variable `BIG` of the host's environment is too long to be "
                      "passed: one environment string holds at most 131072 bytes, `BIG=` and the final NUL included")
NOT_UTF8 = "failed to launch child process: value for `V` is not valid UTF-8 and cannot be injected"
TOO_LARGE_TOGETHER = re.compile(
    r"failed to launch child process: arguments and environment are too large to be passed together: with the "
    r"program's path they take (\d+) bytes, each string with its NUL and a pointer, where exec takes at most "
    r"2097152 \(a quarter of the stack size limit, at least 128 KiB and at most 6 MiB, and never more than fits on "
    r"a stack of that size\)")


@pytest.fixture
def stack_8mib():
    """This process's stack limit at 8 MiB, so that exec takes 2 MiB."""
    old = resource.getrlimit(resource.RLIMIT_STACK)
    resource.setrlimit(resource.RLIMIT_STACK, (8 << 20, old[1]))
    yield
    resource.setrlimit(resource.RLIMIT_STACK, old)


def big_values(vault, num_values):
    """Plants `num_values` values of 120000 bytes; returns the text that
    injects them as B1, B2, ... and their inject lines."""
    refs, lines = "", []
    for i in range(1, num_values + 1):
        path = vault.plant(literal(f"dev/app/big{i}", bytes([0x61 + i % 26]) * 120000))
        refs += f"B{i}=secret:{path}\n"
        lines.append(("inject", "injected", path, "dev"))
    return refs, lines


@pytest.mark.parametrize("kind", ["high and not UTF-8", "argument", "host variable", "18 values"])
def test_what_exec_cannot_carry_is_refused_before_anyone_is_asked_or_any_inject_line(vault, tmp_path, monkeypatch,
                                                                                     stack_8mib, kind):
    # A request that nobody answers times out soon.
    monkeypatch.setenv("ZANTU_TEST_CONFIRM_TIMEOUT_MS", "1000")
    marker = tmp_path / "ran"
    args = ["-c", f"touch '{marker}'"]
    refs = "V=secret:dev/app/v\n"
    if kind == "high and not UTF-8":
        vault.plant(literal("dev/app/v", b"caf\xe9", sensitivity="high"))
        write_allowlist(vault, "/bin/sh\n")
    else:
        vault.plant(literal("dev/app/v", b"v-value"))
    if kind == "argument":
        args.append("a" * 131072)
    if kind == "host variable":
        monkeypatch.setenv("BIG", "h" * 131069)
    if kind == "18 values":
        refs = big_values(vault, 18)[0]
    with pytest.raises(ZantuError) as info:
        vault.session().inject_run(refs, "dev", "/bin/sh", args)
    assert type(info.value) is ZantuError
    message = info.value.args[0]
    if kind == "18 values":
        assert TOO_LARGE_TOGETHER.fullmatch(message), message
        assert int(TOO_LARGE_TOGETHER.fullmatch(message)[1]) > 18 * 120000
    else:
        assert message == {"high and not UTF-8": NOT_UTF8, "argument": LONG_ARGUMENT,
                           "host variable": LONG_HOST_VARIABLE}[kind]
    assert not marker.exists()
    assert audit_lines(vault) == []
    assert not os.path.exists(os.path.join(vault.root, "pending"))


def test_as_many_values_as_the_kernel_takes_run(vault, stack_8mib):
    refs, lines = big_values(vault, 15)
    out = vault.session().inject_run(refs, "dev", "/bin/sh", ["-c", "printf %s \"$B1$B15\" | wc -c"])
    assert out == {"status": 0, "stdout": b"240000\n", "stderr": b""}
    assert audit_lines(vault) == lines


def at_stack_limit(limit, fn, *args):
    """fn(*args), called while this process's soft stack limit, which the
    programs it starts inherit, is `limit` bytes. It runs on a thread of its
    own, whose stack is mapped whole when it starts: the main thread's would
    crash if it had to grow past the limit."""
    old = resource.getrlimit(resource.RLIMIT_STACK)
    outcome = {}

    def body():
        resource.setrlimit(resource.RLIMIT_STACK, (limit, old[1]))
        try:
            outcome["value"] = fn(*args)
        except BaseException as e:  # raised again on the caller's thread
            outcome["error"] = e
        finally:
            resource.setrlimit(resource.RLIMIT_STACK, old)

    previous = threading.stack_size(8 << 20)
    try:
        thread = threading.Thread(target=body)
        thread.start()
    finally:
        threading.stack_size(previous)
    thread.join()
    if "error" in outcome:
        raise outcome["error"]
    return outcome["value"]


# Below a 132 KiB stack limit exec takes less than 131072 bytes: the strings
# must fit on a stack of the limit's whole pages less 8 bytes, against which
# their pointers are counted too.
TOO_LARGE_FOR_THE_STACK = re.compile(TOO_LARGE_TOGETHER.pattern.replace("2097152", r"(\d+)"))


@pytest.mark.parametrize("stack, value_len, limit", [(64 << 10, 70000, 65528), (100 << 10, 110000, 102392)])
@pytest.mark.parametrize("sensitivity", ["medium", "high"])
def test_a_small_stack_refuses_what_its_exec_cannot_carry_before_anyone_is_asked_or_any_inject_line(
        vault, tmp_path, monkeypatch, stack, value_len, limit, sensitivity):
    # A request that nobody answers times out soon.
    monkeypatch.setenv("ZANTU_TEST_CONFIRM_TIMEOUT_MS", "1000")
    vault.plant(literal("dev/app/v", b"v" * value_len, sensitivity=sensitivity))
    write_allowlist(vault, "/bin/sh\n")
    marker = tmp_path / "ran"
    session = vault.session()
    with pytest.raises(ZantuError) as info:
        at_stack_limit(stack, session.inject_run, "V=secret:dev/app/v\n", "dev", "/bin/sh", ["-c", f"touch '{marker}'"])
    assert type(info.value) is ZantuError
    match = TOO_LARGE_FOR_THE_STACK.fullmatch(info.value.args[0])
    assert match, info.value.args[0]
    assert int(match[1]) > value_len
    assert int(match[2]) == limit
    assert not marker.exists()
    assert audit_lines(vault) == []
    assert not os.path.exists(os.path.join(vault.root, "pending"))


def test_a_value_that_fits_a_small_stack_runs(vault):
    vault.plant(literal("dev/app/v", b"v" * 40000))
    session = vault.session()
    # The shell counts the value itself: a program it started (wc) would get
    # the value too and, below the kernel's random offset of the stack top,
    # at times too little stack of its own to run.
    out = at_stack_limit(64 << 10, session.inject_run, "V=secret:dev/app/v\n", "dev", "/bin/sh",
                         ["-c", "printf '%s\\n' \"${#V}\""])
    assert out == {"status": 0, "stdout": b"40000\n", "stderr": b""}
    assert audit_lines(vault) == [("inject", "injected", "dev/app/v", "dev")]


# ---------------------------------------------------------------------------
# Variables through which the text could steer a gated program

STEERING = "variable `{}` {}; high/prod injection refused"
LOADER = "changes how the program is loaded"
LIBC = "steers the C library inside the program"
SHELL = "makes a shell run code or changes what its scripts do"
PYTHON = "changes which code Python loads or runs"
PERL = "changes which code Perl loads or runs"
RUBY = "changes which code Ruby loads or runs"
NODE = "changes which code Node.js loads or runs"
JAVA = "changes which code Java loads or runs"
GIT = "makes git run a command or read a configuration the text chooses"
SSH = "makes ssh run a program the text chooses"
COMMAND = "names a command that programs run for their user"
HOME = "chooses the per-user start-up files that programs read"
LOOKUP = "changes where the program finds its own commands"
REFUSED = (
    [(n, LOADER) for n in ["LD_PRELOAD", "LD_LIBRARY_PATH", "LD_AUDIT", "LD_"]]
    + [(n, LIBC) for n in ["GCONV_PATH", "GETCONF_DIR", "GLIBC_TUNABLES", "HOSTALIASES", "LOCALDOMAIN", "LOCPATH",
                           "MALLOC_TRACE", "NIS_PATH", "NLSPATH", "RESOLV_HOST_CONF", "RES_OPTIONS", "TZDIR"]]
    + [(n, SHELL) for n in ["BASH_ENV", "SHELLOPTS", "BASHOPTS", "PS4", "CDPATH", "BASH_FUNC_ls", "ZDOTDIR",
                            "FPATH"]]
    + [(n, PYTHON) for n in ["PYTHONPATH", "PYTHONHOME", "PYTHONPLATLIBDIR", "PYTHONSTARTUP", "PYTHONINSPECT",
                             "PYTHONUSERBASE", "PYTHONWARNINGS", "PYTHONBREAKPOINT", "PYTHONPYCACHEPREFIX"]]
    + [(n, PERL) for n in ["PERL5LIB", "PERLLIB", "PERL5OPT", "PERL5DB"]]
    + [(n, RUBY) for n in ["RUBYLIB", "RUBYOPT"]]
    + [(n, NODE) for n in ["NODE_OPTIONS", "NODE_PATH"]]
    + [(n, JAVA) for n in ["JAVA_TOOL_OPTIONS", "_JAVA_OPTIONS", "JDK_JAVA_OPTIONS", "CLASSPATH"]]
    + [(n, GIT) for n in ["GIT_CONFIG", "GIT_CONFIG_COUNT", "GIT_CONFIG_PARAMETERS", "GIT_CONFIG_GLOBAL", "GIT_DIR",
                          "GIT_COMMON_DIR", "GIT_TEMPLATE_DIR", "GIT_EXEC_PATH", "GIT_SSH", "GIT_SSH_COMMAND",
                          "GIT_ASKPASS", "GIT_PROXY_COMMAND", "GIT_EXTERNAL_DIFF", "GIT_EDITOR", "GIT_PAGER"]]
    + [("SSH_ASKPASS", SSH)]
    + [(n, COMMAND) for n in ["EDITOR", "VISUAL", "PAGER", "BROWSER"]]
    + [(n, HOME) for n in ["HOME", "XDG_CONFIG_HOME"]]
    + [("PATH", LOOKUP)])
# Names are case-sensitive and match exactly (or by their prefix, for LD_, BASH_FUNC_ and GIT_CONFIG_); ENV and
# TMPDIR steer nothing the text could use.
NEAR_MISSES = ["ld_preload", "XLD_PRELOAD", "LDFLAGS", "gconv_path", "TMP", "bash_env", "BASH_FUNC", "ENVX",
               "PYTHONPATH2", "JAVA_OPTIONS", "PATHX", "XPATH", "path", "Path", "ENV", "TMPDIR", "home",
               "GIT_CONFIGX", "PYTHONUNBUFFERED"]
STEERING_DENY = ("deny", "denied:steering-variable", "prod/app/db", "prod")


def env_of(out):
    return [entry.decode(errors="replace") for entry in out["stdout"].split(b"\0") if entry]


def test_steering_variables_are_denied_only_in_gated_runs(vault, prod_value, tmp_path):
    vault.plant(literal("dev/app/db", b"dev-pass", sensitivity="medium"))
    write_allowlist(vault, "/usr/bin/env\n")
    session = vault.session()
    for name, reason in REFUSED:
        line = f"{name}=zt-steer\n"
        before = audit_lines(vault)
        raises_exactly(ZantuDenied, STEERING.format(name, reason), session.inject_run, line + prod_value, "dev",
                       "/usr/bin/env", ["-0"])
        assert audit_lines(vault) == before + [STEERING_DENY], name  # denied, nothing asked, nothing injected
        out = session.inject_run("DB=secret:dev/app/db\n" + line, "dev", "/usr/bin/env", ["-0"])
        assert f"{name}=zt-steer" in env_of(out), name
    for name in NEAR_MISSES:
        out = session.inject_run(prod_value + f"{name}=zt-steer\n", "dev", "/usr/bin/env", ["-0"])
        assert f"{name}=zt-steer" in env_of(out), name
    assert not os.path.exists(os.path.join(vault.root, "pending"))


@pytest.mark.parametrize("name", ["LD_PRELOAD", "GCONV_PATH", "BASH_ENV", "PATH"])
def test_steering_variable_off_the_allowlist_is_denied_first(vault, prod_value, name):
    write_allowlist(vault, "/bin/cat\n")
    raises_exactly(ZantuDenied, NOT_ALLOWLISTED.format("/bin/sh"), vault.session().inject_run,
                   f"{name}=zt-steer\n" + prod_value, "dev", "/bin/sh", ["-c", "true"])
    assert audit_lines(vault) == [("deny", "denied:not-allowlisted", "prod/app/db", "prod")]


@pytest.mark.parametrize("name", ["LD_PRELOAD", "BASH_ENV", "PYTHONPATH", "PATH", "HOME"])
def test_no_confirmation_is_asked_for_a_denied_run(vault, high_values, tmp_path, monkeypatch, name):
    # A stand-in human stands ready to approve whatever is asked.
    monkeypatch.setenv("ZANTU_TEST_CONFIRM_TIMEOUT_MS", "20000")
    marker = tmp_path / "ran"
    answerer = Answerer(vault, "approved", tmp_path)
    try:
        raises_exactly(ZantuDenied, STEERING.format(name, dict(REFUSED)[name]), vault.session().inject_run,
                       f"{name}=zt-steer\n" + HIGH_REFS, "dev", "/bin/sh", ["-c", f"touch '{marker}'"])
    finally:
        answerer.proc.kill()
        answerer.proc.wait(timeout=30)
    assert not answerer.copy.exists()
    assert not os.path.exists(os.path.join(vault.root, "pending"))
    # The resolver's provider line, then one denial per gated value: not the
    # medium dev one, nor the public half, which carries no coordinate.
    assert audit_lines(vault) == HIGH_LINES + [("deny", "denied:steering-variable", "dev/app/api", "dev"),
                                         ("deny", "denied:steering-variable", "prod/app/db", "prod")]
    assert not marker.exists()


def steering_demo(kind, tmp_path):
    """An allowlisted program and a text line that, between them, run code of
    the text author's choosing inside it: the code copies $DB to a file.
    Returns (program, args, the text line, the file)."""
    leak = tmp_path / "leak"
    evil = tmp_path / "evil"
    evil.mkdir()
    steal = f"#!/bin/sh\nprintf %s \"$DB\" > '{leak}'\n"
    if kind == "PATH":
        # The script runs `date` by name; the text's PATH decides which one.
        (evil / "date").write_text(steal)
        (evil / "date").chmod(0o755)
        script = tmp_path / "report"
        script.write_text("#!/bin/sh\ndate > /dev/null\necho done\n")
        script.chmod(0o755)
        return str(script), [], f"PATH={evil}:/usr/bin:/bin\n", leak
    if kind == "BASH_ENV":
        # A non-interactive bash sources $BASH_ENV before the script.
        (evil / "rc").write_text(steal)
        script = tmp_path / "report"
        script.write_text("#!/bin/bash\necho done\n")
        script.chmod(0o755)
        return str(script), [], f"BASH_ENV={evil / 'rc'}\n", leak
    # PYTHONPATH: site imports sitecustomize from it at start-up.
    (evil / "sitecustomize.py").write_text(f"import os\nopen({str(leak)!r}, 'w').write(os.environ['DB'])\n")
    return os.path.realpath(sys.executable), ["-c", "print('done')"], f"PYTHONPATH={evil}\n", leak


@pytest.mark.parametrize("kind", ["PATH", "BASH_ENV", "PYTHONPATH"])
def test_the_text_cannot_steer_an_allowlisted_program(vault, prod_value, tmp_path, kind):
    vault.plant(literal("dev/app/db", b"dev-pass", sensitivity="medium"))
    program, args, line, leak = steering_demo(kind, tmp_path)
    write_allowlist(vault, program + "\n")
    session = vault.session()
    # Ungated, the steering works: the text author's code sees the value.
    session.inject_run(line + "DB=secret:dev/app/db\n", "dev", program, args)
    assert leak.read_bytes() == b"dev-pass"
    leak.unlink()
    # Gated, the run is denied and nothing runs.
    raises_exactly(ZantuDenied, STEERING.format(kind, dict(REFUSED)[kind]), session.inject_run, line + prod_value,
                   "dev", program, args)
    assert not leak.exists()
    assert audit_lines(vault)[-1] == STEERING_DENY
    # Without the line the allowlisted program runs as its author meant.
    assert session.inject_run(prod_value, "dev", program, args)["stdout"] == b"done\n"
    assert not leak.exists()


@pytest.mark.parametrize(
    "kwargs, exc, message, note",
    [
        ({"args": "x"}, TypeError, "Can't extract `str` to `Vec`", "args"),
        ({"args": ["a", 1]}, TypeError, None, "args"),
        ({"args": None}, TypeError, None, "args"),
        ({"project": 5}, TypeError, None, "project"),
        ({"client_identity": b"id"}, TypeError, None, "client_identity"),
        ({"refs": 5}, TypeError, None, "refs"),
        ({"args": ["a\0b"]}, ZantuError,
         "failed to launch child process: argument 1 contains a NUL byte and cannot be passed", None),
    ],
)
def test_argument_refusals(vault, tmp_path, kwargs, exc, message, note):
    marker = tmp_path / "ran"
    call = {"refs": "A=x\n", "env": "dev", "program": "/bin/sh", **kwargs}
    if "args" not in kwargs:
        call["args"] = ["-c", f"touch '{marker}'"]
    with pytest.raises(exc) as info:
        vault.session().inject_run(**call)
    if message is not None:
        assert str(info.value) == message
    if note is not None:
        assert info.value.__notes__ == [f"while processing '{note}'"]
    assert not marker.exists()


def test_args_may_be_omitted_or_any_sequence(vault):
    session = vault.session()
    assert session.inject_run("A=x\n", "dev", "/bin/echo") == {"status": 0, "stdout": b"\n", "stderr": b""}
    assert session.inject_run("A=x\n", "dev", "/bin/echo", ("a b", "c"))["stdout"] == b"a b c\n"
