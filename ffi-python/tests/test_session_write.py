"""set, generate and delete on real vault roots: the records they write, the
audit lines, the refusals, project names and generate's limits."""
import os
import re
import string
import subprocess

import pytest

from checks import raises_exactly
from vaultfiles import TS, fingerprint, keypair, literal, reference, totp
from zantu_ffi import ZantuError, ZantuNotFound

ALPHABET = string.ascii_uppercase + string.ascii_lowercase + string.digits


def actions(vault):
    return [(a["action"], a["result"], a["coordinate"], a["environment"], a["origin"]) for a in vault.audit()]


def refused_before_reading_the_vault(vault, exc, message, call):
    """`call(session, coordinate)` raises exactly `exc` with `message` for an
    existing, a corrupt and an absent record alike, and changes nothing."""
    vault.plant(literal("dev/app/tok", b"x"))
    with open(vault.record_file("dev/app/bad"), "wb") as f:
        f.write(b"garbage")
    s = vault.session()
    before = vault.tree()
    for coordinate in ("secret:dev/app/tok", "secret:dev/app/bad", "secret:dev/app/new"):
        raises_exactly(exc, message, call, s, coordinate)
    assert vault.tree() == before
    assert vault.audit() == []


# ---------------------------------------------------------------------------
# set


@pytest.mark.parametrize("env, sensitivity", [("dev", "medium"), ("prod", "high"), ("Prod", "medium"),
                                              ("prod2", "medium")])
def test_set_creates_a_literal(vault, env, sensitivity):
    s = vault.session()
    got = s.set(f"secret:{env}/app/db", "hunter2")
    assert got == {"coordinate": f"{env}/app/db", "environment": env, "component": "app", "key": "db",
                   "sensitivity": sensitivity, "mode": "literal", "fingerprint": fingerprint(b"hunter2"),
                   "revealable": False, "origin": "global", "reference": None}
    stored = vault.stored(f"{env}/app/db")
    assert list(stored) == ["mode", "value", "sensitivity", "revealable", "environment", "component", "key",
                            "created", "updated"]
    assert bytes(stored["value"]) == b"hunter2"
    assert stored["created"] == stored["updated"]
    assert re.match(r"^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ$", stored["created"])
    assert actions(vault) == [("create", "created", f"{env}/app/db", env, "agent")]


def test_set_replaces_a_literal_value_and_keeps_its_metadata(vault):
    vault.plant(literal("dev/app/db", b"old", sensitivity="low", revealable=True, description="main db"))
    s = vault.session()
    got = s.set("secret://global/dev/app/db#private", "new")
    assert (got["sensitivity"], got["revealable"], got["fingerprint"]) == ("low", True, fingerprint(b"new"))
    stored = vault.stored("dev/app/db")
    assert bytes(stored["value"]) == b"new"
    assert (stored["description"], stored["created"]) == ("main db", TS)
    assert stored["updated"] != TS
    assert actions(vault) == [("edit", "value-updated", "dev/app/db", "dev", "agent")]
    # The earlier version stays beside it as the backup.
    assert os.path.exists(vault.record_file("dev/app/db") + ".bak")


def test_set_turns_a_reference_into_a_literal(vault):
    vault.plant(reference("prod/app/db", "aws-sm://eu-west-1/db", sensitivity="medium", revealable=True))
    got = vault.session().set("secret:prod/app/db", "literal now")
    assert (got["mode"], got["reference"], got["sensitivity"], got["revealable"]) == ("literal", None, "medium",
                                                                                       True)
    stored = vault.stored("prod/app/db")
    assert stored["mode"] == "literal" and "ref" not in stored


@pytest.mark.parametrize(
    "record, what",
    [
        (keypair("dev/app/kp"), "is a keypair"),
        (keypair("dev/app/kp", private=None), "is a keypair"),
        (totp("dev/app/kp"), "is a TOTP enrollment"),
    ],
)
def test_set_refuses_keypairs_and_totp(vault, record, what):
    vault.plant(record)
    s = vault.session()
    before = vault.tree()
    coordinate = "secret://global/dev/app/kp#public"
    raises_exactly(ZantuError, f"`{coordinate}` {what}; it cannot be overwritten with `set`", s.set, coordinate, "v")
    assert vault.tree() == before
    assert vault.audit() == []


def test_set_with_a_project_writes_only_that_vault(vault):
    vault.plant(literal("dev/app/db", b"global"))
    before = open(vault.record_file("dev/app/db"), "rb").read()
    s = vault.session()
    got = s.set("secret:dev/app/db", "project", project="p")
    assert got["origin"] == "project:p"
    assert open(vault.record_file("dev/app/db"), "rb").read() == before
    assert bytes(vault.stored("dev/app/db", "p")["value"]) == b"project"
    assert actions(vault) == [("create", "created", "dev/app/db", "dev", "agent")]
    assert [v["origin"] for v in s.list()] == ["global", "project:p"]


@pytest.mark.parametrize("value", ["", "p\u00e4ss \u4e16\U0001f511", "nul\0inside"])
def test_set_stores_the_utf8_bytes(vault, value):
    got = vault.session().set("secret:dev/app/v", value)
    assert got["fingerprint"] == fingerprint(value.encode())
    assert bytes(vault.stored("dev/app/v")["value"]) == value.encode()


@pytest.mark.parametrize(
    "args, exc, note",
    [
        (("secret:dev/app/v", b"bytes"), TypeError, "value"),
        (("secret:dev/app/v", None), TypeError, "value"),
        (("secret:dev/app/v", "lone \ud800"), UnicodeEncodeError, "value"),
        ((b"secret:dev/app/v", b"bytes"), TypeError, "coordinate"),
        (("secret:dev/app/v", "v", 1), TypeError, "project"),
    ],
)
def test_set_argument_conversion(vault, args, exc, note):
    with pytest.raises(exc) as info:
        vault.session().set(*args)
    assert info.value.__notes__ == [f"while processing '{note}'"]
    assert vault.stored("dev/app/v") is None


# The longest value set takes, in UTF-8 bytes, and generate's longest text.
MAX_VALUE_LEN = 1048576


# Every byte at 100 or more: written as three digits in the record and again
# in its envelope, the widest record file a value can make.
@pytest.mark.parametrize("value", ["\u00ff" * (MAX_VALUE_LEN // 2), "d" * MAX_VALUE_LEN], ids=["two-byte", "ascii"])
def test_the_longest_values_read_back(vault, value):
    assert len(value.encode()) == MAX_VALUE_LEN
    s = vault.session()
    got = s.set("secret:dev/app/big", value)
    assert got["fingerprint"] == fingerprint(value.encode())
    s.generate("secret:dev/app/gen", MAX_VALUE_LEN)
    assert s.status("secret:dev/app/big") == got
    assert sorted(v["coordinate"] for v in s.list()) == ["dev/app/big", "dev/app/gen"]
    # A value that read back can be written again.
    s.edit_metadata("secret:dev/app/big", revealable=True)
    assert s.reveal("secret:dev/app/big") == value.encode()
    assert s.set("secret:dev/app/big", value)["fingerprint"] == got["fingerprint"]


@pytest.mark.parametrize("value", ["d" * (MAX_VALUE_LEN + 1), "\u00ff" * (MAX_VALUE_LEN // 2) + "d",
                                   "\U0010ffff" * (MAX_VALUE_LEN // 4 + 1)], ids=["ascii", "two-byte", "four-byte"])
def test_set_refuses_longer_values_before_reading_the_vault(vault, value):
    # Counted in UTF-8 bytes, not characters; checked where generate checks
    # its length, so even a corrupt record there comes second.
    refused_before_reading_the_vault(vault, ZantuError, "value must be at most 1048576 bytes",
                                     lambda s, coordinate: s.set(coordinate, value))


# ---------------------------------------------------------------------------
# generate


def test_generate_stores_random_text_and_returns_only_metadata(vault):
    s = vault.session()
    got = s.generate("secret:dev/app/tok", description="api token")
    stored = vault.stored("dev/app/tok")
    value = bytes(stored["value"]).decode()
    assert len(value) == 32 and set(value) <= set(ALPHABET)
    assert got["fingerprint"] == fingerprint(value.encode())
    assert value not in repr(got)
    assert (got["sensitivity"], got["revealable"], got["origin"]) == ("medium", False, "global")
    assert stored["description"] == "api token"
    assert stored["created"] == stored["updated"]
    assert actions(vault) == [("create", "generated", "dev/app/tok", "dev", "agent")]
    assert value not in open(os.path.join(vault.root, "audit.log")).read()


def test_generate_draws_over_the_whole_alphabet(vault):
    vault.session().generate("secret:dev/app/long", 20000)
    value = bytes(vault.stored("dev/app/long")["value"]).decode()
    assert len(value) == 20000
    assert set(value) == set(ALPHABET)


class Index:
    def __init__(self, n):
        self.n = n

    def __index__(self):
        return self.n


@pytest.mark.parametrize("length, expected", [(1, 1), (Index(5), 5), (True, 1), (1048576, 1048576)])
def test_generate_lengths(vault, length, expected):
    vault.session().generate("secret:dev/app/tok", length, project="p")
    assert len(vault.stored("dev/app/tok", "p")["value"]) == expected


@pytest.mark.parametrize(
    "length, exc, message",
    [
        (0, ZantuError, "length must be at least 1"),
        (1048577, ZantuError, "length must be at most 1048576"),
        (2**64 - 1, ZantuError, "length must be at most 1048576"),
    ],
)
def test_generate_refuses_lengths_before_reading_the_vault(vault, length, exc, message):
    # Even where a record exists (or a corrupt one), the length comes first.
    refused_before_reading_the_vault(vault, exc, message,
                                     lambda s, coordinate: s.generate(coordinate, length, "not a sensitivity"))


@pytest.mark.parametrize(
    "length, exc",
    [(None, TypeError), (-1, OverflowError), (2**64, OverflowError), ("32", TypeError), (32.0, TypeError)],
)
def test_generate_length_conversion(vault, length, exc):
    with pytest.raises(exc) as info:
        vault.session().generate("secret:dev/app/tok", length)
    assert info.value.__notes__ == ["while processing 'length'"]


def test_generate_never_replaces(vault):
    vault.plant(keypair("dev/app/kp"))
    s = vault.session()
    s.generate("secret:dev/app/tok")
    before = vault.tree()
    for coordinate in ("secret:dev/app/tok", "secret://global/dev/app/kp#private"):
        # An existing record is reported before the sensitivity word is read.
        raises_exactly(ZantuError, f"`{coordinate}` already exists", s.generate, coordinate, 8, "bogus")
    assert vault.tree() == before
    assert len(vault.audit()) == 1


@pytest.mark.parametrize(
    "env, asked, stored",
    [
        ("dev", None, "medium"),
        ("dev", "low", "low"),
        ("dev", "inject-only", "inject-only"),
        ("prod", None, "high"),
        ("prod", "low", "high"),
        ("prod", "inject_only", "high"),
        ("staging", "HIGH", "high"),
    ],
)
def test_generate_sensitivity(vault, env, asked, stored):
    got = vault.session().generate(f"secret:{env}/app/tok", sensitivity=asked)
    assert got["sensitivity"] == stored.replace("-", "")
    assert vault.stored(f"{env}/app/tok")["sensitivity"] == stored


def test_generate_by_keyword(vault):
    got = vault.session().generate(project="p", description=None, sensitivity="low", length=4,
                                   coordinate="secret:dev/app/k")
    assert (got["origin"], got["sensitivity"]) == ("project:p", "low")
    assert len(vault.stored("dev/app/k", "p")["value"]) == 4


# ---------------------------------------------------------------------------
# delete


@pytest.mark.parametrize("record", [literal("dev/app/x", b"v"), keypair("dev/app/x"), totp("dev/app/x"),
                                    reference("dev/app/x", "azure-kv://v/s")])
def test_delete_removes_a_record_of_any_mode(vault, record):
    vault.plant(record)
    s = vault.session()
    assert s.delete("secret:dev/app/x") is None
    assert vault.stored("dev/app/x") is None
    assert actions(vault) == [("delete", "deleted", "dev/app/x", "dev", "agent")]
    raises_exactly(ZantuNotFound, "not addressable", s.delete, "secret:dev/app/x")
    assert len(vault.audit()) == 1


def test_delete_touches_only_the_named_vault_and_keeps_the_backup(vault):
    vault.plant(literal("dev/app/x", b"global"))
    s = vault.session()
    s.set("secret:dev/app/x", "one", project="p")
    s.set("secret:dev/app/x", "two", project="p")
    raises_exactly(ZantuNotFound, "not addressable", s.delete, "secret:dev/app/y", project="p")
    s.delete("secret:dev/app/x", project="p")
    assert vault.stored("dev/app/x", "p") is None
    assert os.path.exists(vault.record_file("dev/app/x", "p") + ".bak")
    assert bytes(vault.stored("dev/app/x")["value"]) == b"global"
    # A new record after a delete starts over with new defaults.
    assert s.set("secret:dev/app/x", "three", project="p")["sensitivity"] == "medium"
    assert [a[0] for a in actions(vault)] == ["create", "edit", "delete", "create"]


def test_delete_that_cannot_remove_the_file(vault):
    path = vault.plant(literal("dev/app/x", b"v"))
    # An immutable vault directory refuses the unlink, even to root.
    gdir = vault.vault_dir()
    if subprocess.run(["chattr", "+i", gdir], capture_output=True).returncode != 0:
        pytest.skip("the file system cannot mark a directory immutable here")
    try:
        with pytest.raises(ZantuError) as info:
            vault.session().delete("secret:" + path)
        assert str(info.value) == "vault I/O failed: remove record: Operation not permitted (os error 1)"
    finally:
        subprocess.run(["chattr", "-i", gdir], check=True)
    assert vault.stored(path) is not None
    assert vault.audit() == []


# ---------------------------------------------------------------------------
# Shared refusals of the three


WRITES = {
    "set": lambda s, c, p=None: s.set(c, "v", p),
    "generate": lambda s, c, p=None: s.generate(c, 8, None, None, p),
    "delete": lambda s, c, p=None: s.delete(c, p),
}


@pytest.mark.parametrize("method", WRITES)
def test_corrupt_record_is_neither_replaced_nor_removed(vault, method):
    path = "dev/app/bad"
    s = vault.session()
    with open(vault.record_file(path), "wb") as f:
        f.write(b"ZANT\x01\x00\x00\x00{}")
    before = vault.tree()
    raises_exactly(ZantuError, "record serialization failed: missing field `nonce` at line 1 column 2",
                   WRITES[method], s, "secret:" + path)
    assert vault.tree() == before
    assert vault.audit() == []


WRITE_SCOPES = [
    ("write not granted", dict(operations=["metadata", "reveal", "inject"]), None),
    ("wrong environment", dict(environments="staging"), None),
    ("wrong project", dict(projects=["q"]), "p"),
    ("no project under a project scope", dict(projects=["p"]), None),
    ("empty project filter", dict(projects=[]), None),
]


@pytest.mark.parametrize("method", WRITES)
@pytest.mark.parametrize("why, scope, project", WRITE_SCOPES, ids=[w[0] for w in WRITE_SCOPES])
def test_out_of_scope_writes_read_as_absent(vault, method, why, scope, project):
    vault.plant(literal("dev/app/x", b"v"), project=project)
    with open(vault.record_file("dev/app/bad", project), "wb") as f:
        f.write(b"garbage")
    s = vault.session(**scope)
    before = vault.tree()
    for coordinate in ("secret:dev/app/x", "secret:dev/app/bad", "secret:dev/app/new"):
        raises_exactly(ZantuNotFound, "not addressable", WRITES[method], s, coordinate, project)
    assert vault.tree() == before
    assert vault.audit() == []


@pytest.mark.parametrize("method, message", [
    # A directory where the backup belongs cannot be replaced by the previous version.
    ("set", "vault I/O failed: rotate .bak: Is a directory (os error 21)"),
    # A project vault that is a file holds no new file.
    ("generate", "vault I/O failed: create tmp: Not a directory (os error 20)"),
])
def test_write_failure_is_reported_and_not_audited(vault, method, message):
    s = vault.session()
    vault.plant(literal("dev/app/x", b"v"))
    os.mkdir(vault.record_file("dev/app/x") + ".bak")
    os.makedirs(os.path.dirname(vault.vault_dir("p")), exist_ok=True)
    with open(vault.vault_dir("p"), "wb") as f:
        f.write(b"not a directory")
    before = vault.tree()
    project = "p" if method == "generate" else None
    raises_exactly(ZantuError, message, WRITES[method], s, "secret:dev/app/x", project)
    # Nothing of the failed write is left behind, and its value is not live.
    assert vault.tree() == before
    assert vault.audit() == []


def test_writes_create_a_missing_project_vault(vault):
    s = vault.session()
    s.generate("secret:dev/app/x", project="new")
    assert os.path.isdir(vault.vault_dir("new"))
    assert [v["origin"] for v in s.list()] == ["project:new"]


# ---------------------------------------------------------------------------
# Project names


ALL_METHODS = {
    **WRITES,
    "status": lambda s, c, p=None: s.status(c, p),
    "fingerprint": lambda s, c, p=None: s.fingerprint(c, p),
    "reveal": lambda s, c, p=None: s.reveal(c, p),
}
BAD_NAMES = ["", ".", "..", "../../x", "/abs", "a/b", "a/", "a\0b", "\0"]


@pytest.mark.parametrize("method", ALL_METHODS)
def test_project_names_that_are_not_one_directory_are_refused(vault, tmp_path, method):
    s = vault.session()
    # Records that a path escape or the "projects" directory itself would reach.
    vault.plant(literal("dev/app/x", b"v", revealable=True))
    os.makedirs(os.path.join(vault.root, "projects"), exist_ok=True)
    outside = sorted(os.listdir(tmp_path))
    before = vault.tree()
    for name in BAD_NAMES:
        for coordinate in ("secret:dev/app/x", "secret://global/dev/app/x"):
            raises_exactly(ZantuError, f"invalid project name `{name}`", ALL_METHODS[method], s, coordinate, name)
    assert vault.tree() == before
    assert sorted(os.listdir(tmp_path)) == outside
    assert vault.audit() == []


@pytest.mark.parametrize("method", ALL_METHODS)
def test_scope_is_checked_before_the_project_name(vault, method):
    s = vault.session(projects=["p"])
    raises_exactly(ZantuNotFound, "not addressable", ALL_METHODS[method], s, "secret:dev/app/x", "..")


@pytest.mark.parametrize("name", ["p", "..p", "p..", ".p", "my project", "\u00fc", "a\\b"])
def test_ordinary_project_names_are_accepted(vault, name):
    s = vault.session()
    assert s.set("secret:dev/app/x", "v", name)["origin"] == f"project:{name}"
    assert os.listdir(os.path.join(vault.root, "projects")) == [name]
    assert s.status("secret:dev/app/x", name)["origin"] == f"project:{name}"
