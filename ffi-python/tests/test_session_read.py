"""list, status, fingerprint and reveal on real vault roots: the views, the
order of list, scope, corrupt files, and the reveal policy with its audit."""
import os

import pytest

from checks import TS_FORMAT, raises_exactly
from vaultfiles import fingerprint, keypair, literal, reference, seal, totp
import zantu_ffi
from zantu_ffi import ZantuDenied, ZantuError, ZantuNotFound

VIEW_KEYS = ["coordinate", "environment", "component", "key", "sensitivity", "mode", "fingerprint", "revealable",
             "origin", "reference"]


def not_addressable(fn, *args, **kwargs):
    raises_exactly(ZantuNotFound, "not addressable", fn, *args, **kwargs)


def view(path, sensitivity, mode, fp, origin="global", revealable=False, ref=None):
    env, component, key = path.split("/")
    return {"coordinate": path, "environment": env, "component": component, "key": key, "sensitivity": sensitivity,
            "mode": mode, "fingerprint": fp, "revealable": revealable, "origin": origin, "reference": ref}


# ---------------------------------------------------------------------------
# Views


@pytest.mark.parametrize(
    "record, expected",
    [
        (literal("dev/app/db", b"hunter2", revealable=True, description="main db"),
         view("dev/app/db", "medium", "literal", fingerprint(b"hunter2"), revealable=True)),
        (literal("dev/app/empty", b"", sensitivity="low"),
         view("dev/app/empty", "low", "literal", fingerprint(b""))),
        (literal("dev/app/io", b"\xff\x00", sensitivity="inject-only"),
         view("dev/app/io", "injectonly", "literal", fingerprint(b"\xff\x00"))),
        (reference("prod/app/db", "aws-sm://eu-west-1/app-db", sensitivity="high"),
         view("prod/app/db", "high", "reference", "\u2192 aws-sm://eu-west-1/app-db",
              ref="aws-sm://eu-west-1/app-db")),
        (keypair("dev/ssh/deploy", "ed25519", public="ssh-ed25519 AAAA k"),
         view("dev/ssh/deploy", "high", "keypair:ed25519", fingerprint(b"ssh-ed25519 AAAA k"))),
        (keypair("dev/ssh/rsa", "rsa", private=b"", public="ssh-rsa B"),
         view("dev/ssh/rsa", "high", "keypair:rsa", fingerprint(b"ssh-rsa B"))),
        (keypair("dev/ssh/pub", "ed25519", private=None, public="ssh-ed25519 C"),
         view("dev/ssh/pub", "high", "pubkey:ed25519", fingerprint(b"ssh-ed25519 C"))),
        (keypair("dev/ssh/pubrsa", "rsa", private=None, public="ssh-rsa D", sensitivity="medium"),
         view("dev/ssh/pubrsa", "medium", "pubkey:rsa", fingerprint(b"ssh-rsa D"))),
        (totp("dev/otp/github"),
         view("dev/otp/github", "high", "totp:sha1", fingerprint(b"totp:SHA1:6:30"))),
        (totp("dev/otp/aws", "sha256", digits=8, period=30, revealable=True),
         view("dev/otp/aws", "high", "totp:sha256", fingerprint(b"totp:SHA256:8:30"), revealable=True)),
        (totp("dev/otp/x", "sha512", digits=0, period=255, sensitivity="low"),
         view("dev/otp/x", "low", "totp:sha512", fingerprint(b"totp:SHA512:0:255"))),
    ],
)
def test_views_of_every_mode(vault, record, expected):
    path = vault.plant(record)
    s = vault.session()
    got = s.status("secret:" + path)
    assert list(got) == VIEW_KEYS
    assert got == expected
    assert type(got["revealable"]) is bool
    assert s.list() == [expected]
    assert s.fingerprint("secret:" + path) == expected["fingerprint"]
    # Reads of metadata are not audited.
    assert vault.audit() == []


def test_empty_root_lists_nothing(vault):
    assert vault.session().list() == []


def test_list_order_and_origins(vault):
    for project in ["b", "a", "B", "ab"]:
        vault.plant(literal(f"dev/{project}/k", b"p"), project=project)
    vault.plant(literal("dev/global/one", b"g1"))
    vault.plant(literal("dev/global/two", b"g2"))
    views = vault.session().list()
    origins = [v["origin"] for v in views]
    assert origins[:2] == ["global", "global"]
    assert {v["coordinate"] for v in views[:2]} == {"dev/global/one", "dev/global/two"}
    # Projects in byte order: upper case before lower case, a prefix first.
    assert origins[2:] == ["project:B", "project:a", "project:ab", "project:b"]
    assert [v["component"] for v in views[2:]] == ["B", "a", "ab", "b"]


def test_list_shows_only_what_the_scope_addresses(vault):
    vault.plant(literal("dev/app/g", b"1"))
    vault.plant(literal("prod/app/g", b"2"))
    vault.plant(literal("dev/app/a", b"3"), project="a")
    vault.plant(literal("prod/app/b", b"4"), project="b")

    def listed(**scope):
        return sorted((v["origin"], v["coordinate"]) for v in vault.session(**scope).list())

    assert listed(operations=["write", "reveal", "inject"]) == []
    assert listed(environments="dev") == [("global", "dev/app/g"), ("project:a", "dev/app/a")]
    # A scope naming projects never reaches the global pass, which asks without one.
    assert listed(projects=["b"]) == [("project:b", "prod/app/b")]
    assert listed(projects=["a", "*"], environments=["prod"]) == [("global", "prod/app/g"),
                                                                   ("project:b", "prod/app/b")]
    assert listed(projects=[]) == []


def test_record_whose_fields_do_not_form_a_coordinate_is_left_out(vault):
    vault.plant(literal("dev/app/ok", b"1"))
    bad = literal("dev/app/x", b"2")
    bad["component"] = "a${b"
    vault.plant(bad)
    assert [v["coordinate"] for v in vault.session().list()] == ["dev/app/ok"]


CORRUPTIONS = {
    "not a frame": (lambda v, p: b"garbage", "record serialization failed: not a zantu record frame"),
    "another key": (lambda v, p: seal(b'{"mode":"literal"}', b"k" * 32), "crypto operation failed"),
    "a directory": (None, "vault I/O failed: read record: Is a directory (os error 21)"),
}


@pytest.mark.parametrize("kind", CORRUPTIONS)
def test_corrupt_file_left_out_of_list_but_failing_lookups(vault, kind):
    make, message = CORRUPTIONS[kind]
    vault.plant(literal("dev/app/good", b"1"))
    path = "dev/app/bad"
    file = vault.record_file(path)
    if make is None:
        os.mkdir(file)
    else:
        with open(file, "wb") as f:
            f.write(make(vault, path))
    s = vault.session()
    assert [v["coordinate"] for v in s.list()] == ["dev/app/good"]
    for method in (s.status, s.fingerprint, s.reveal):
        raises_exactly(ZantuError, message, method, "secret:" + path)
    # A corrupt project record ends the lookup: the global one is not tried.
    if make is None:
        os.rmdir(file)
    vault.plant(literal(path, b"global"))
    assert s.status("secret:" + path)["fingerprint"] == fingerprint(b"global")
    os.makedirs(vault.vault_dir("p"))
    if make is None:
        os.mkdir(vault.record_file(path, "p"))
    else:
        with open(vault.record_file(path, "p"), "wb") as f:
            f.write(make(vault, path))
    raises_exactly(ZantuError, message, s.status, "secret:" + path, project="p")
    assert vault.audit() == []


@pytest.mark.parametrize("which", ["global", "projects"])
def test_list_fails_whole_when_a_vault_cannot_be_read(vault, which):
    s = vault.session()
    vault.plant(literal("dev/app/g", b"1"))
    vault.plant(literal("dev/app/p", b"1"), project="p")
    target = os.path.join(vault.root, which)
    os.rename(target, target + ".moved")
    with open(target, "w") as f:
        f.write("not a directory")
    raises_exactly(ZantuError, "vault I/O failed: read_dir: Not a directory (os error 20)", s.list)


# ---------------------------------------------------------------------------
# Lookups


def test_status_looks_in_the_project_then_the_global_vault(vault):
    vault.plant(literal("dev/app/both", b"global"))
    vault.plant(literal("dev/app/both", b"project"), project="p")
    vault.plant(literal("dev/app/only-global", b"g"))
    s = vault.session()
    assert s.status("secret:dev/app/both", project="p")["origin"] == "project:p"
    assert s.fingerprint("secret:dev/app/both", "p") == fingerprint(b"project")
    assert s.status("secret:dev/app/both")["origin"] == "global"
    assert s.status("secret:dev/app/only-global", "p")["origin"] == "global"
    # The selector looks in the global vault alone.
    assert s.fingerprint("secret://global/dev/app/both", "p") == fingerprint(b"global")
    # A project vault is never looked at without its project.
    vault.plant(literal("dev/app/only-project", b"x"), project="p")
    not_addressable(s.status, "secret:dev/app/only-project")


def test_scoped_status_sees_a_global_record_through_its_project(vault):
    vault.plant(literal("dev/app/token", b"t"))
    s = vault.session(operations=["metadata"], projects="p", environments="dev")
    got = s.status("secret://global/dev/app/token", project="p")
    assert (got["coordinate"], got["origin"]) == ("dev/app/token", "global")
    assert s.status("secret:dev/app/token", "p")["origin"] == "global"
    assert s.list() == []


SCOPE_REFUSALS = [
    ("wrong environment", dict(environments=["staging"]), None),
    ("wrong project", dict(projects=["other"]), "p"),
    ("no project under a project scope", dict(projects=["p"]), None),
    ("empty project filter", dict(projects=[]), None),
    ("empty environment filter", dict(environments=[]), None),
    ("metadata not granted", dict(operations=["write", "reveal", "inject"]), None),
]


@pytest.mark.parametrize("why, scope, project", SCOPE_REFUSALS, ids=[r[0] for r in SCOPE_REFUSALS])
@pytest.mark.parametrize("method", ["status", "fingerprint"])
def test_out_of_scope_reads_as_absent(vault, why, scope, project, method):
    path = vault.plant(literal("dev/app/db", b"v", revealable=True), project=project)
    # A corrupt record beside it: refused by scope before any file is read.
    with open(vault.record_file("dev/app/bad", project), "wb") as f:
        f.write(b"garbage")
    s = vault.session(**scope)
    for coordinate in ("secret:" + path, "secret:dev/app/bad", "secret:dev/app/absent"):
        not_addressable(getattr(s, method), coordinate, project)
    # The same session sees absence the same way.
    full = vault.session()
    not_addressable(getattr(full, method), "secret:dev/app/absent", project)
    assert vault.audit() == []


REVEAL_REFUSALS = SCOPE_REFUSALS[:-1] + [("reveal not granted", dict(operations=["metadata", "write"]), None)]


@pytest.mark.parametrize("why, scope, project", REVEAL_REFUSALS, ids=[r[0] for r in REVEAL_REFUSALS])
def test_out_of_scope_reveal_reads_as_absent(vault, why, scope, project):
    path = vault.plant(literal("dev/app/db", b"v", revealable=True, sensitivity="low"), project=project)
    with open(vault.record_file("dev/app/bad", project), "wb") as f:
        f.write(b"garbage")
    s = vault.session(**scope)
    for coordinate in ("secret:" + path, "secret:dev/app/bad", "secret:dev/app/absent"):
        not_addressable(s.reveal, coordinate, project)
    not_addressable(vault.session().reveal, "secret:dev/app/absent", project)
    assert vault.audit() == []


# ---------------------------------------------------------------------------
# Reveal


@pytest.mark.parametrize(
    "env, sensitivity, revealable, outcome",
    [
        ("dev", "low", True, None),
        ("dev", "medium", True, None),
        ("staging", "low", True, None),
        ("dev", "low", False, "NotRevealable"),
        ("dev", "medium", False, "NotRevealable"),
        ("dev", "high", True, "McpCriticalForbidden"),
        ("dev", "inject-only", True, "InjectOnlyNeverRevealed"),
        ("prod", "low", True, "McpCriticalForbidden"),
        ("prod", "medium", True, "McpCriticalForbidden"),
        ("prod", "inject-only", True, "InjectOnlyNeverRevealed"),
        # Only the exact name "prod" counts as production.
        ("Prod", "low", True, None),
        ("production", "medium", True, None),
    ],
)
def test_reveal_policy_and_its_audit_line(vault, env, sensitivity, revealable, outcome):
    value = b"s3cr\xe9t\x00"
    path = vault.plant(literal(f"{env}/app/db", value, sensitivity=sensitivity, revealable=revealable))
    s = vault.session(operations=["reveal"])
    if outcome is None:
        got = s.reveal("secret:" + path)
        assert type(got) is bytes and got == value
        action, result = "reveal", "revealed"
    else:
        raises_exactly(ZantuDenied, outcome, s.reveal, "secret:" + path)
        action, result = "deny", "denied"
    lines = vault.audit()
    assert len(lines) == 1
    line = lines[0]
    assert list(line) == ["ts", "action", "coordinate", "environment", "result", "origin"]
    assert TS_FORMAT.match(line["ts"])
    assert line | {"ts": None} == {"ts": None, "action": action, "coordinate": path, "environment": env,
                                   "result": result, "origin": "agent"}
    assert value.decode("latin-1") not in open(os.path.join(vault.root, "audit.log"), encoding="latin-1").read()


def test_reveal_audits_the_canonical_path_and_finds_through_the_project(vault):
    vault.plant(literal("dev/app/db", b"from-global", revealable=True))
    s = vault.session()
    assert s.reveal("secret://global/dev/app/db#private", project="p") == b"from-global"
    assert s.reveal("secret:dev/app/db", "p") == b"from-global"
    assert [(a["action"], a["coordinate"]) for a in vault.audit()] == [("reveal", "dev/app/db")] * 2


@pytest.mark.parametrize(
    "record, message",
    [
        (reference("dev/app/ref", "aws-sm://r/s", sensitivity="low", revealable=True),
         "reference value is materialized at run time, not revealable over MCP"),
        (keypair("dev/app/kp", sensitivity="low", revealable=True),
         "a keypair's private key is never revealed (I11/I14); use it through sign/decrypt/ssh-add via the CLI"),
        (keypair("prod/app/pub", private=None, sensitivity="inject-only"),
         "a keypair's private key is never revealed (I11/I14); use it through sign/decrypt/ssh-add via the CLI"),
        (totp("dev/app/otp", sensitivity="medium", revealable=True),
         "a TOTP seed is never revealed (I11/I14); derive a code on demand with `zantu code` via the CLI"),
    ],
)
def test_reveal_refuses_other_modes_without_an_audit_line(vault, record, message):
    path = vault.plant(record)
    raises_exactly(ZantuDenied, message, vault.session().reveal, "secret:" + path)
    assert vault.audit() == []


def test_reveal_of_an_absent_record(vault):
    not_addressable(vault.session().reveal, "secret:dev/app/none")
    assert vault.audit() == []


# ---------------------------------------------------------------------------
# Binding


@pytest.mark.parametrize(
    "call, exc, message, note",
    [
        (lambda s: s.list(1), TypeError, "ZantuSession.list() takes no arguments (1 given)", None),
        (lambda s: s.status(), TypeError,
         "ZantuSession.status() missing 1 required positional argument: 'coordinate'", None),
        (lambda s: s.fingerprint("secret:a/b/c", None, None), TypeError,
         "ZantuSession.fingerprint() takes from 1 to 2 positional arguments but 3 were given", None),
        (lambda s: s.reveal(coord="secret:a/b/c"), TypeError,
         "ZantuSession.reveal() got an unexpected keyword argument 'coord'", None),
        (lambda s: s.status(b"secret:a/b/c"), TypeError, "'bytes' object cannot be converted to 'PyString'",
         "coordinate"),
        (lambda s: s.fingerprint(5, project=5), TypeError, "'int' object cannot be converted to 'PyString'",
         "coordinate"),
        (lambda s: s.reveal("secret:a/b/c", project=b"p"), TypeError,
         "'bytes' object cannot be converted to 'PyString'", "project"),
    ],
)
def test_binding_errors(vault, call, exc, message, note):
    s = vault.session()
    with pytest.raises(exc) as info:
        call(s)
    assert str(info.value) == message
    assert getattr(info.value, "__notes__", None) == ([f"while processing '{note}'"] if note else None)


def test_results_are_new_objects_owned_by_the_caller(vault):
    vault.plant(literal("dev/app/db", b"v"))
    s = vault.session()
    first = s.list()
    first[0]["fingerprint"] = "changed"
    first.append(None)
    assert s.list() == [s.status("secret:dev/app/db")]
    assert s.status(coordinate="secret:dev/app/db", project=None)["fingerprint"] == fingerprint(b"v")


# ---------------------------------------------------------------------------
# Exceptions carry nothing but their message


def test_raised_exceptions_carry_no_cause_or_context(vault, tmp_path):
    session = vault.session()
    path = vault.plant(literal("dev/app/hi", b"v", sensitivity="high"))
    calls = [
        (ZantuNotFound, lambda: session.status("secret:dev/app/absent")),
        (ZantuDenied, lambda: session.reveal("secret:" + path)),
        (ZantuError, lambda: session.generate("secret:dev/app/g", length=0)),
        (ZantuError, lambda: zantu_ffi.ZantuSession({"operations": ["metadata"]}, str(tmp_path / "no-salt"), "pw")),
    ]
    for exc, call in calls:
        with pytest.raises(exc) as plain:
            call()
        # Raised while another exception is being handled, the error still
        # takes nothing of it along.
        with pytest.raises(exc) as handling:
            try:
                raise KeyError("being handled")
            except KeyError:
                call()
        for info in (plain, handling):
            assert type(info.value) is exc
            assert info.value.__cause__ is None
            assert info.value.__context__ is None
            assert info.value.__suppress_context__ is False
