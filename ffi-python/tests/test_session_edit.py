"""edit_metadata on real vault roots: the records it writes, downgrades that a
human answers through the confirmation files (from another process, as the
companion tool would), their audit lines, and the refusals."""
import json
import os

import pytest

from checks import Answerer, TS_FORMAT, audit_lines, raises_exactly
from vaultfiles import TS, foreseen_ids, keypair, literal, reference, seal, totp
from zantu_ffi import ZantuDenied, ZantuError, ZantuNotFound

DENIED = "denied \u2014 sensitivity not lowered"
TIMED_OUT = "timed out \u2014 sensitivity not lowered"


def edited(stored, **fields):
    """What `stored` should read after an edit: the fields changed and a
    fresh `updated`, in the record's own key order."""
    out = {}
    for k, v in stored.items():
        if k == "created" and "description" in fields and "description" not in stored:
            out["description"] = fields["description"]
        out[k] = fields.get(k, v)
    return out


@pytest.fixture(autouse=True)
def short_confirmations(monkeypatch):
    # A confirmation that no test expects ends quickly instead of after 120 s.
    monkeypatch.setenv("ZANTU_TEST_CONFIRM_TIMEOUT_MS", "3000")


# ---------------------------------------------------------------------------
# Edits without a confirmation


@pytest.mark.parametrize(
    "record, edits, changes",
    [
        (literal("dev/app/db", b"pw", sensitivity="low"), {}, {}),
        (literal("dev/app/db", b"pw", description="old"), {"description": ""}, {"description": ""}),
        (literal("dev/app/db", b"pw", sensitivity="low"), {"revealable": True, "description": "main db"},
         {"revealable": True, "description": "main db"}),
        (reference("dev/app/db", "aws-sm://eu-west-1/db"), {"reference": "no scheme at all", "revealable": False},
         {"ref": "no scheme at all"}),
        (keypair("dev/app/db", sensitivity="high"), {"sensitivity": "Inject_Only"}, {"sensitivity": "inject-only"}),
        (totp("dev/app/db", sensitivity="medium"), {"sensitivity": "HIGH", "revealable": True},
         {"sensitivity": "high", "revealable": True}),
    ],
    ids=["no edits", "empty description", "revealable and description", "reference", "keypair raised",
         "totp raised"],
)
def test_edit_rewrites_only_the_fields_asked(vault, record, edits, changes):
    path = vault.plant(record)
    s = vault.session()
    view = s.edit_metadata("secret:dev/app/db", **edits)
    stored = vault.stored(path)
    assert TS_FORMAT.match(stored["updated"]) and stored["updated"] != TS
    assert stored == edited(record, **changes, updated=stored["updated"])
    assert list(stored) == list(edited(record, **changes))
    assert view == s.status("secret:dev/app/db")
    # Raising a level, or none given: nothing asked, no downgrade line.
    assert audit_lines(vault) == [("edit", "metadata-updated", "dev/app/db", "dev")]
    assert not os.path.exists(os.path.join(vault.root, "pending"))


def test_environment_is_taken_from_the_coordinate(vault):
    # A record whose stored environment has gone stale, at dev/app/db's file.
    rec = literal("dev/app/db", b"pw")
    rec["environment"] = "stale"
    os.makedirs(vault.vault_dir())
    with open(vault.record_file("dev/app/db"), "wb") as f:
        f.write(seal(json.dumps(rec, separators=(",", ":")).encode(), vault.key))
    view = vault.session().edit_metadata("secret://global/dev/app/db#private")
    assert vault.stored("dev/app/db")["environment"] == "dev"
    assert (view["coordinate"], view["environment"], view["origin"]) == ("dev/app/db", "dev", "global")


@pytest.mark.parametrize(
    "current, new, downgraded",
    [
        ("medium", "low", True),
        ("low", "medium", False),
        ("high", "high", False),
        ("inject-only", "injectonly", False),
    ],
)
def test_levels_that_need_no_human(vault, current, new, downgraded):
    vault.plant(literal("dev/app/db", b"pw", sensitivity=current))
    view = vault.session().edit_metadata("secret:dev/app/db", new)
    wire = {"injectonly": "inject-only"}.get(new, new)
    assert vault.stored("dev/app/db")["sensitivity"] == wire
    assert view["sensitivity"] == wire.replace("-", "")
    down = [("sensitivity-downgrade", "downgraded", "dev/app/db", "dev")] if downgraded else []
    assert audit_lines(vault) == down + [("edit", "metadata-updated", "dev/app/db", "dev")]
    assert not os.path.exists(os.path.join(vault.root, "pending"))


def test_project_vault_only(vault):
    vault.plant(literal("dev/app/db", b"global-pw", sensitivity="low"))
    s = vault.session()
    # Only in the global vault: a project names its own vault, no fall-back.
    raises_exactly(ZantuNotFound, "not addressable", s.edit_metadata, "secret:dev/app/db", project="shop")
    vault.plant(literal("dev/app/db", b"shop-pw", sensitivity="low"), project="shop")
    global_before = open(vault.record_file("dev/app/db"), "rb").read()
    view = s.edit_metadata("secret://global/dev/app/db", description="shop's", project="shop")
    assert view["origin"] == "project:shop"
    assert vault.stored("dev/app/db", "shop")["description"] == "shop's"
    assert bytes(vault.stored("dev/app/db", "shop")["value"]) == b"shop-pw"
    assert open(vault.record_file("dev/app/db"), "rb").read() == global_before


# ---------------------------------------------------------------------------
# Downgrades a human answers

@pytest.mark.parametrize(
    "path, current, new, summary",
    [
        ("prod/db/password", "high", "medium", "edit prod/db/password --sensitivity medium (downgrade from High)"),
        ("dev/app/db", "high", "low", "edit dev/app/db --sensitivity low (downgrade from High)"),
        ("dev/api/token", "inject-only", "low", "edit dev/api/token --sensitivity low (downgrade from InjectOnly)"),
        ("dev/api/token", "inject-only", "High", "edit dev/api/token --sensitivity high (downgrade from InjectOnly)"),
    ],
)
def test_approved_downgrade(vault, tmp_path, monkeypatch, path, current, new, summary):
    monkeypatch.setenv("ZANTU_TEST_CONFIRM_TIMEOUT_MS", "20000")
    env = path.split("/")[0]
    record = literal(path, b"pw", sensitivity=current)
    vault.plant(record)
    s = vault.session()
    answerer = Answerer(vault, "approved\n", tmp_path)
    view = s.edit_metadata("secret:" + path, new, description="lowered")
    new_wire = new.lower()

    request = answerer.request()
    assert list(request) == ["id", "created_unix", "request"]
    seconds, pid, seq = request["id"].split("-")
    assert (int(pid), seq) == (os.getpid(), "0")
    assert request["created_unix"] - int(seconds) in (0, 1)
    assert request["request"] == {
        "resolved_command": summary,
        "coordinate": path,
        "sensitivity": current,
        "environment": env,
        "origin": "agent",
        "requesting_process": None,
        "requester_description": None,
        "action": None,
        "allow_password": True,
    }
    stored = vault.stored(path)
    assert stored == edited(record, sensitivity=new_wire, description="lowered", updated=stored["updated"])
    assert view["sensitivity"] == new_wire
    assert audit_lines(vault) == [("approve", "approved-downgrade", path, env),
                            ("sensitivity-downgrade", "downgraded", path, env),
                            ("edit", "metadata-updated", path, env)]
    assert os.listdir(os.path.join(vault.root, "pending")) == []


@pytest.mark.parametrize(
    "decision, timeout_ms, message, line",
    [
        ("Approved", "20000", DENIED, ("deny", "denied-downgrade")),
        ("", "20000", DENIED, ("deny", "denied-downgrade")),
        ("-", "1000", TIMED_OUT, ("timeout", "timeout-downgrade")),
    ],
)
def test_refused_downgrade_changes_nothing(vault, tmp_path, monkeypatch, decision, timeout_ms, message, line):
    monkeypatch.setenv("ZANTU_TEST_CONFIRM_TIMEOUT_MS", timeout_ms)
    vault.plant(literal("prod/app/db", b"pw", sensitivity="high"))
    before = open(vault.record_file("prod/app/db"), "rb").read()
    s = vault.session()
    answerer = Answerer(vault, decision, tmp_path)
    raises_exactly(ZantuDenied, message, s.edit_metadata, "secret:prod/app/db", "low", revealable=True)
    assert answerer.request()["request"]["sensitivity"] == "high"
    assert open(vault.record_file("prod/app/db"), "rb").read() == before
    assert audit_lines(vault) == [(*line, "prod/app/db", "prod")]
    assert os.listdir(os.path.join(vault.root, "pending")) == []


@pytest.mark.parametrize(
    "decision, timeout_ms, message, line",
    [
        ("denied", "20000", DENIED, ("deny", "denied-downgrade")),
        ("-", "1000", TIMED_OUT, ("timeout", "timeout-downgrade")),
    ],
)
def test_decisions_planted_before_the_request_do_not_approve(vault, tmp_path, monkeypatch, decision, timeout_ms,
                                                             message, line):
    # A program of the same user foresees the ids and answers in advance;
    # only an answer written after the request appears counts.
    monkeypatch.setenv("ZANTU_TEST_CONFIRM_TIMEOUT_MS", timeout_ms)
    vault.plant(literal("prod/app/db", b"pw", sensitivity="high"))
    before = open(vault.record_file("prod/app/db"), "rb").read()
    pending = os.path.join(vault.root, "pending")
    os.makedirs(pending)
    planted = [i + ".decision" for i in foreseen_ids()]
    for name in planted:
        with open(os.path.join(pending, name), "w") as f:
            f.write("approved\n")
    s = vault.session()
    answerer = Answerer(vault, decision, tmp_path)
    raises_exactly(ZantuDenied, message, s.edit_metadata, "secret:prod/app/db", "low", revealable=True)
    request_id = answerer.request()["id"]
    assert open(vault.record_file("prod/app/db"), "rb").read() == before
    assert audit_lines(vault) == [(*line, "prod/app/db", "prod")]
    # The decision planted at the request's id was removed before the request appeared.
    assert sorted(os.listdir(pending)) == sorted(set(planted) - {request_id + ".decision"})


def test_a_link_at_the_temporary_name_is_never_written_through(vault, tmp_path, monkeypatch):
    monkeypatch.setenv("ZANTU_TEST_CONFIRM_TIMEOUT_MS", "20000")
    vault.plant(literal("dev/app/db", b"pw", sensitivity="high"))
    outside = tmp_path / "outside"
    outside.write_bytes(b"a file of the user's")
    pending = os.path.join(vault.root, "pending")
    os.makedirs(pending)
    for request_id in foreseen_ids(seqs=1):
        os.link(outside, os.path.join(pending, request_id + ".tmp"))
    answerer = Answerer(vault, "approved", tmp_path)
    vault.session().edit_metadata("secret:dev/app/db", "low")
    # The request moved on to the next sequence number.
    assert answerer.request()["id"].endswith("-1")
    assert vault.stored("dev/app/db")["sensitivity"] == "low"
    assert outside.read_bytes() == b"a file of the user's"
    assert os.stat(outside).st_nlink == 31


def test_downgrade_that_cannot_be_filed_is_denied(vault):
    vault.plant(literal("dev/app/db", b"pw", sensitivity="high"))
    s = vault.session()
    before = vault.tree()
    # "pending" is a file, so no request can be written beneath it.
    with open(os.path.join(vault.root, "pending"), "wb"):
        pass
    raises_exactly(ZantuDenied, DENIED, s.edit_metadata, "secret:dev/app/db", "medium")
    assert vault.stored("dev/app/db")["sensitivity"] == "high"
    assert {k: v for k, v in vault.tree().items() if k not in ("pending", "audit.log")} == before
    assert audit_lines(vault) == [("deny", "denied-downgrade", "dev/app/db", "dev")]


def test_reference_edit_on_a_literal_is_refused_after_the_approval(vault, tmp_path, monkeypatch):
    monkeypatch.setenv("ZANTU_TEST_CONFIRM_TIMEOUT_MS", "20000")
    vault.plant(literal("dev/app/db", b"pw", sensitivity="high"))
    before = open(vault.record_file("dev/app/db"), "rb").read()
    answerer = Answerer(vault, "approved", tmp_path)
    raises_exactly(ZantuError, "`reference` edits a reference secret; this is a literal",
                   vault.session().edit_metadata, "secret:dev/app/db", "low", reference="aws-sm://x/y")
    answerer.request()
    assert open(vault.record_file("dev/app/db"), "rb").read() == before
    assert audit_lines(vault) == [("approve", "approved-downgrade", "dev/app/db", "dev")]


def test_edits_go_to_the_record_as_it_reads_after_the_approval(vault, tmp_path, monkeypatch):
    # A human rotates the value while the request waits; the edit must keep it.
    monkeypatch.setenv("ZANTU_TEST_CONFIRM_TIMEOUT_MS", "20000")
    vault.plant(literal("dev/app/db", b"old-value", sensitivity="high", description="before"))
    rotated = literal("dev/app/db", b"rotated-value", sensitivity="high", description="rotated",
                      updated="2026-03-04T05:06:07Z")
    prepared = tmp_path / "rotated.sec"
    prepared.write_bytes(seal(json.dumps(rotated, separators=(",", ":")).encode(), vault.key))
    answerer = Answerer(vault, "approved", tmp_path, "replace", vault.record_file("dev/app/db"), str(prepared))
    view = vault.session().edit_metadata("secret:dev/app/db", "medium", revealable=True)
    answerer.request()
    stored = vault.stored("dev/app/db")
    assert bytes(stored["value"]) == b"rotated-value"
    assert stored == edited(rotated, sensitivity="medium", revealable=True, updated=stored["updated"])
    assert stored["updated"] != rotated["updated"]
    assert view["fingerprint"] == vault.session().fingerprint("secret:dev/app/db")
    assert [a for a, *_ in audit_lines(vault)] == ["approve", "sensitivity-downgrade", "edit"]


def test_record_removed_during_the_wait_is_not_written_back(vault, tmp_path, monkeypatch):
    monkeypatch.setenv("ZANTU_TEST_CONFIRM_TIMEOUT_MS", "20000")
    vault.plant(literal("dev/app/db", b"pw", sensitivity="inject-only"))
    answerer = Answerer(vault, "approved", tmp_path, "remove", vault.record_file("dev/app/db"))
    raises_exactly(ZantuNotFound, "not addressable", vault.session().edit_metadata, "secret:dev/app/db", "low")
    answerer.request()
    assert not os.path.exists(vault.record_file("dev/app/db"))
    assert vault.stored("dev/app/db") is None
    assert audit_lines(vault) == [("approve", "approved-downgrade", "dev/app/db", "dev")]


# ---------------------------------------------------------------------------
# Refusals


@pytest.mark.parametrize(
    "record, what",
    [
        (literal("dev/app/db", b"pw"), "a literal"),
        (keypair("dev/app/db"), "a keypair"),
        (totp("dev/app/db"), "a TOTP enrollment"),
    ],
)
def test_reference_edit_on_other_modes(vault, record, what):
    vault.plant(record)
    s = vault.session()
    before = vault.tree()
    raises_exactly(ZantuError, f"`reference` edits a reference secret; this is {what}", s.edit_metadata,
                   "secret:dev/app/db", description="d", reference="aws-sm://eu-west-1/db")
    assert vault.tree() == before
    assert vault.audit() == []


@pytest.mark.parametrize(
    "coordinate, kwargs, exc, message",
    [
        ("secret:dev/app", {}, ZantuError, "invalid coordinate URI: coordinate must have exactly three segments"),
        ("secret:${ENV}/app/db", {}, ZantuError,
         "coordinate is not storable: coordinate has an unresolved `${ENV}` placeholder "
         "(a coordinate must be concrete, not ${ENV})"),
        ("secret:dev/app/none", {"sensitivity": "hgh"}, ZantuNotFound, "not addressable"),
        ("secret:dev/app/db", {"sensitivity": "hgh"}, ZantuError,
         "unknown sensitivity `hgh` (expected low|medium|high|inject-only)"),
        ("secret:dev/app/bad", {}, ZantuError,
         "record serialization failed: missing field `nonce` at line 1 column 2"),
        ("secret:dev/app/db", {"project": ".."}, ZantuError, "invalid project name `..`"),
        ("secret:dev/app/db", {"project": "a/b"}, ZantuError, "invalid project name `a/b`"),
        ("secret:dev/app/db", {"project": ""}, ZantuError, "invalid project name ``"),
        ("secret:dev/app/db", {"project": "a\0b"}, ZantuError, "invalid project name `a\0b`"),
    ],
)
def test_failures_leave_the_vault_alone(vault, coordinate, kwargs, exc, message):
    vault.plant(literal("dev/app/db", b"pw", sensitivity="high"))
    with open(vault.record_file("dev/app/bad"), "wb") as f:
        f.write(b"ZANT\x01\x00\x00\x00{}")
    os.makedirs(os.path.join(vault.root, "projects"))
    before = vault.tree()
    raises_exactly(exc, message, vault.session().edit_metadata, coordinate, **kwargs)
    assert vault.tree() == before
    assert vault.audit() == []


@pytest.mark.parametrize(
    "scope, project",
    [
        (dict(operations=["metadata", "reveal", "inject"]), None),
        (dict(environments="staging"), None),
        (dict(projects=["q"]), "p"),
        (dict(projects=["p"]), None),
        (dict(projects=["p"]), ".."),
    ],
)
def test_out_of_scope_reads_as_absent(vault, scope, project):
    for p in (None, "p"):
        vault.plant(literal("dev/app/db", b"pw", sensitivity="high"), project=p)
    before = vault.tree()
    s = vault.session(**scope)
    for coordinate in ("secret:dev/app/db", "secret:dev/app/none"):
        raises_exactly(ZantuNotFound, "not addressable", s.edit_metadata, coordinate, "low", project=project)
    assert vault.tree() == before
    assert vault.audit() == []


def test_write_failure_is_reported_and_not_audited(vault):
    vault.plant(literal("dev/app/db", b"pw"))
    # A directory where the backup belongs cannot be replaced by the previous version.
    os.mkdir(vault.record_file("dev/app/db") + ".bak")
    s = vault.session()
    before = vault.tree()
    raises_exactly(ZantuError, "vault I/O failed: rotate .bak: Is a directory (os error 21)",
                   s.edit_metadata, "secret:dev/app/db", "low")
    assert vault.tree() == before
    assert vault.audit() == []


@pytest.mark.parametrize(
    "args, kwargs, exc, note",
    [
        ((b"secret:dev/app/db",), {}, TypeError, "coordinate"),
        (("secret:dev/app/db", 2), {}, TypeError, "sensitivity"),
        (("secret:dev/app/db",), {"description": b"d"}, TypeError, "description"),
        (("secret:dev/app/db",), {"revealable": 1}, TypeError, "revealable"),
        (("secret:dev/app/db",), {"reference": "lone \ud800"}, UnicodeEncodeError, "reference"),
        (("secret:dev/app/db", None, None, None, None, 5), {}, TypeError, "project"),
    ],
)
def test_argument_conversion(vault, args, kwargs, exc, note):
    vault.plant(literal("dev/app/db", b"pw"))
    s = vault.session()
    before = vault.tree()
    with pytest.raises(exc) as info:
        s.edit_metadata(*args, **kwargs)
    assert info.value.__notes__ == [f"while processing '{note}'"]
    assert vault.tree() == before


@pytest.mark.parametrize(
    "args, kwargs, message",
    [
        ((), {}, "ZantuSession.edit_metadata() missing 1 required positional argument: 'coordinate'"),
        (("c",), {"level": "low"}, "ZantuSession.edit_metadata() got an unexpected keyword argument 'level'"),
        (("c", "low"), {"sensitivity": "low"},
         "ZantuSession.edit_metadata() got multiple values for argument 'sensitivity'"),
    ],
)
def test_signature_errors(vault, args, kwargs, message):
    with pytest.raises(TypeError) as info:
        vault.session().edit_metadata(*args, **kwargs)
    assert str(info.value) == message
