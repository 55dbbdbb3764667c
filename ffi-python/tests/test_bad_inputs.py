"""Bad inputs from Python: wrong types, text without a UTF-8 form, empty and
huge texts, control characters, and vault roots and record paths that hold
something other than what belongs there. Each is refused with a clear
exception (never a crash, a hang or the binding's panic) and leaves the vault
exactly as it was."""
import contextlib
import faulthandler
import json
import os
import pathlib
import stat
import subprocess
import sys
import textwrap
import time
import types

import pytest

from vaultfiles import PASSPHRASE, Vault, literal
from zantu_ffi import ZantuDenied, ZantuError, ZantuNotFound, ZantuSession

ELOOP = "Too many levels of symbolic links (os error 40)"
NOT_REGULAR = "not a regular file"
NO_SALT = "reading kdf.salt from the vault root (run `zantu init` first)"


# Record files larger than the store reads: 32 MiB.
RECORD_FILE_BOUND = 33554432
TOO_LARGE = f"file is larger than {RECORD_FILE_BOUND} bytes"


def snapshot(root):
    """Every path under `root` with its type, permission bits, inode and
    contents: a file's bytes (only the size of a sparse giant), a link's
    target; a FIFO is never opened."""
    out = {}
    for dirpath, dirnames, filenames in os.walk(root):
        for name in dirnames + filenames:
            path = os.path.join(dirpath, name)
            st = os.lstat(path)
            if stat.S_ISLNK(st.st_mode):
                content = os.readlink(path)
            elif stat.S_ISREG(st.st_mode) and st.st_size > 2 * RECORD_FILE_BOUND:
                content = ("size", st.st_size)
            elif stat.S_ISREG(st.st_mode):
                with open(path, "rb") as f:
                    content = f.read()
            else:
                content = None
            out[os.path.relpath(path, root)] = (stat.S_IFMT(st.st_mode), stat.S_IMODE(st.st_mode), st.st_ino,
                                                content)
    return out


@contextlib.contextmanager
def unchanged(*roots):
    before = [snapshot(r) for r in roots]
    yield
    assert [snapshot(r) for r in roots] == before


@pytest.fixture(autouse=True)
def no_hang():
    # The calls hold the interpreter lock throughout, so only a watchdog
    # outside Python can end a call that blocks.
    faulthandler.dump_traceback_later(120, exit=True)
    yield
    faulthandler.cancel_dump_traceback_later()


def refused(exc, fn, *args, **kwargs):
    """The exception `fn` raises, which must be exactly of type `exc`."""
    with pytest.raises(BaseException) as info:
        fn(*args, **kwargs)
    assert type(info.value) is exc, repr(info.value)
    return info.value


def fill(vault, tmp_path):
    """Records in the global vault and a project vault, an allowlist and an
    audit log, and the path of a marker that only a child run makes."""
    vault.plant(literal("dev/app/db", b"global-db", revealable=True))
    vault.plant(literal("dev/app/db", b"project-db"), project="p")
    vault.plant(literal("prod/app/key", b"prod-key", sensitivity="high"))
    with open(os.path.join(vault.root, "allowlist"), "w") as f:
        f.write("/bin/sh\n")
    with open(os.path.join(vault.root, "audit.log"), "w") as f:
        f.write('{"earlier":"line"}\n')
    vault.marker = str(tmp_path / "child-ran")
    return vault


@pytest.fixture
def filled(vault, tmp_path):
    return fill(vault, tmp_path)


@pytest.fixture(scope="module")
def shared(tmp_path_factory):
    """One filled vault and one session on it for the many refusals that
    must leave it as it was; each test checks that they did."""
    tmp_path = tmp_path_factory.mktemp("shared")
    vault = fill(Vault(tmp_path / "vault"), tmp_path)
    vault.shared_session = vault.session()
    return vault


def good_arguments(marker):
    """Arguments every method accepts, by keyword."""
    return {
        "status": dict(coordinate="secret:dev/app/db", project=None),
        "fingerprint": dict(coordinate="secret:dev/app/db", project=None),
        "reveal": dict(coordinate="secret:dev/app/db", project=None),
        "set": dict(coordinate="secret:dev/app/new", value="v", project=None),
        "generate": dict(coordinate="secret:dev/app/gen", length=8, sensitivity="low", description="d", project=None),
        "delete": dict(coordinate="secret:dev/app/db", project=None),
        "edit_metadata": dict(coordinate="secret:dev/app/db", sensitivity="low", description="d", revealable=True,
                              reference=None, project=None),
        "request_secret": dict(coordinate="secret:dev/app/req", sensitivity="low", description="d", project=None,
                               client_identity="c"),
        "inject_run": dict(refs="A=secret:dev/app/db\n", env="dev", program="/bin/sh",
                           args=["-c", f"echo ran > {marker}"], project=None, client_identity="c"),
    }


# What each parameter takes, and values of other types that it refuses.
KINDS = {
    "coordinate": "str", "value": "str", "refs": "str", "env": "str", "program": "str",
    "project": "optional str", "sensitivity": "optional str", "description": "optional str",
    "client_identity": "optional str", "reference": "optional str", "revealable": "optional bool",
    "length": "index", "args": "sequence of str",
}
WRONG_TYPES = {
    "str": [None, b"secret:dev/app/db", bytearray(b"x"), memoryview(b"x"), 5, 1.5, ["x"], ("x",), {"x": 1},
            object(), pathlib.PurePath("x")],
    "optional str": [b"p", 5, 1.5, ["p"], object(), pathlib.PurePath("p")],
    "optional bool": [1, 0, "true", b"", 1.0, [True]],
    "index": [None, "8", b"8", 8.0, [8], object()],
    "sequence of str": [None, "-c", b"-c", 5, {"-c"}, {"-c": 1}, [b"-c"], ["-c", 5], ("-c", None)],
}
OUT_OF_RANGE = {"index": [-1, 2**64]}

CASES = [
    (method, param, exc, bad)
    for method, params in good_arguments("").items()
    for param in params
    for exc, table in ((TypeError, WRONG_TYPES), (OverflowError, OUT_OF_RANGE))
    for bad in table.get(KINDS[param], [])
]


@pytest.mark.parametrize("method, param, exc, bad", CASES,
                         ids=[f"{m}-{p}-{type(b).__name__}" for m, p, _, b in CASES])
def test_wrong_types_for_every_parameter(shared, method, param, exc, bad):
    s = shared.shared_session
    kwargs = dict(good_arguments(shared.marker)[method], **{param: bad})
    with unchanged(shared.root):
        e = refused(exc, getattr(s, method), **kwargs)
    assert e.__notes__ == [f"while processing '{param}'"]
    assert not os.path.exists(shared.marker)


def test_every_method_is_covered():
    # Every method but `list` takes parameters, and each of them is in the table.
    methods = [n for n in ZantuSession.__dict__ if not n.startswith("_")]
    assert sorted(set(methods) - {"list"}) == sorted(good_arguments(""))
    for name, params in good_arguments("").items():
        sig = getattr(ZantuSession, name).__text_signature__
        assert [p.split("=")[0] for p in sig.strip("()").split(", ")[1:]] == list(params)
        assert all(p in KINDS for p in params)


def test_list_takes_no_arguments(filled):
    s = filled.session()
    refused(TypeError, s.list, 1)
    refused(TypeError, s.list, coordinate="secret:dev/app/db")


ROOT = object()  # stands for a vault root that must never be created


@pytest.mark.parametrize(
    "args, param",
    [
        (([], ROOT, PASSPHRASE), "scope"),
        ((None, ROOT, PASSPHRASE), "scope"),
        (("operations", ROOT, PASSPHRASE), "scope"),
        ((types.MappingProxyType({"operations": []}), ROOT, PASSPHRASE), "scope"),
        (({"operations": []}, b"/tmp/vault", PASSPHRASE), "vault_dir"),
        (({"operations": []}, pathlib.Path("/tmp/vault"), PASSPHRASE), "vault_dir"),
        (({"operations": []}, 5, PASSPHRASE), "vault_dir"),
        (({"operations": []}, ROOT, b"pw"), "passphrase"),
        (({"operations": []}, ROOT, bytearray(b"pw")), "passphrase"),
        (({"operations": []}, ROOT, 5), "passphrase"),
    ],
)
def test_wrong_types_for_the_constructor(tmp_path, args, param):
    root = tmp_path / "never"
    args = tuple(str(root) if a is ROOT else a for a in args)
    e = refused(TypeError, ZantuSession, *args)
    assert e.__notes__ == [f"while processing '{param}'"]
    assert not root.exists()


# ---------------------------------------------------------------------------
# Texts without a UTF-8 form

SURROGATES = ["\ud800", "\udcff"]  # a lone leading surrogate; an undecodable byte as surrogateescape keeps it


def with_surrogate(value, surrogate):
    if isinstance(value, list):
        return value[:1] + [value[1] + surrogate]
    return value[:3] + surrogate + value[3:]


STR_PARAMS = [(m, p) for m, params in good_arguments("").items() for p in params
              if KINDS[p] in ("str", "optional str", "sequence of str")]


@pytest.mark.parametrize("surrogate", SURROGATES)
@pytest.mark.parametrize("method, param", STR_PARAMS, ids=[f"{m}-{p}" for m, p in STR_PARAMS])
def test_lone_surrogates_in_every_text(shared, method, param, surrogate):
    s = shared.shared_session
    good = good_arguments(shared.marker)[method]
    value = good[param] if good[param] is not None else "text"
    kwargs = dict(good, **{param: with_surrogate(value, surrogate)})
    with unchanged(shared.root):
        e = refused(UnicodeEncodeError, getattr(s, method), **kwargs)
    assert e.__notes__ == [f"while processing '{param}'"]
    assert not os.path.exists(shared.marker)


@pytest.mark.parametrize("surrogate", SURROGATES)
@pytest.mark.parametrize("param", ["vault_dir", "passphrase"])
def test_lone_surrogates_in_the_constructor(vault, param, surrogate):
    kwargs = {"vault_dir": vault.root, "passphrase": PASSPHRASE}
    kwargs[param] += surrogate
    with unchanged(vault.root):
        e = refused(UnicodeEncodeError, ZantuSession, {"operations": ["metadata"]}, **kwargs)
    assert e.__notes__ == [f"while processing '{param}'"]


# ---------------------------------------------------------------------------
# Empty and huge texts

LONG_NAME = "p" * 300  # longer than a file name may be


@pytest.mark.parametrize(
    "method, changes, exc, message",
    [
        ("status", dict(coordinate=""), ZantuError, "invalid coordinate URI: must start with `secret:`"),
        ("set", dict(coordinate=""), ZantuError, "invalid coordinate URI: must start with `secret:`"),
        ("status", dict(project=""), ZantuError, "invalid project name ``"),
        ("set", dict(project=""), ZantuError, "invalid project name ``"),
        ("edit_metadata", dict(project=""), ZantuError, "invalid project name ``"),
        ("edit_metadata", dict(sensitivity=""), ZantuError,
         "unknown sensitivity `` (expected low|medium|high|inject-only)"),
        ("request_secret", dict(sensitivity=""), ZantuError,
         "unknown sensitivity `` (expected low|medium|high|inject-only)"),
        ("request_secret", dict(project="../p"), ZantuError, "invalid project name `../p`"),
        ("generate", dict(sensitivity=""), ZantuError,
         "unknown sensitivity `` (expected low|medium|high|inject-only)"),
        ("inject_run", dict(project=""), ZantuError, "invalid project name ``"),
        ("inject_run", dict(refs="A=secret:${ENV}/app/db\n", env=""), ZantuError,
         "env-refs error: `A`: a `${ENV}` coordinate needs a non-empty --env"),
        ("inject_run", dict(refs="A=1\n", program="", args=[]), ZantuError,
         "failed to launch child process: launch : No such file or directory (os error 2)"),
        ("status", dict(coordinate="secret:dev/app/" + "k" * (1 << 20)), ZantuNotFound, "not addressable"),
        ("delete", dict(coordinate="secret:dev/app/" + "k" * (1 << 20)), ZantuNotFound, "not addressable"),
        ("status", dict(coordinate="secret:" + "x" * (1 << 20)), ZantuError,
         "invalid coordinate URI: coordinate must have exactly three segments"),
        ("status", dict(project=LONG_NAME), ZantuError,
         "vault I/O failed: read record: File name too long (os error 36)"),
        ("set", dict(project=LONG_NAME), ZantuError,
         "vault I/O failed: read record: File name too long (os error 36)"),
        ("generate", dict(project=LONG_NAME), ZantuError,
         "vault I/O failed: read record: File name too long (os error 36)"),
        # Texts without vault values, so that no injection is audited before the run fails.
        ("inject_run", dict(refs="A=" + "v" * (8 << 20) + "\n"), ZantuError,
         "failed to launch child process: value for `A` is too long to be injected: one environment string "
         "holds at most 131072 bytes, `A=` and the final NUL included"),
        ("inject_run", dict(refs="A=1\n", args=["-c", "x" * (1 << 20)]), ZantuError,
         "failed to launch child process: argument 2 is too long to be passed: one argument holds at most 131072 "
         "bytes, the final NUL included"),
    ],
)
def test_empty_and_huge_texts(shared, method, changes, exc, message):
    s = shared.shared_session
    kwargs = dict(good_arguments(shared.marker)[method], **changes)
    with unchanged(shared.root):
        e = refused(exc, getattr(s, method), **kwargs)
    assert e.args == (message,)
    assert not os.path.exists(shared.marker)


def test_huge_and_empty_values_are_stored_whole(filled):
    s = filled.session()
    huge = "\u00e9" * (1 << 19)
    s.set("secret:dev/app/huge", huge)
    s.set("secret:dev/app/empty", "")
    assert bytes(filled.stored("dev/app/huge")["value"]) == huge.encode()
    assert filled.stored("dev/app/empty")["value"] == []


# Control characters: six bytes of record JSON each ("\u0001"), and each of
# those up to four bytes in the record file's envelope.
HUGE_CONTROL = "\x01" * (3 << 19)


@pytest.mark.parametrize("method, changes", [
    ("generate", dict(description=HUGE_CONTROL)),
    ("edit_metadata", dict(description=HUGE_CONTROL)),
    ("set", dict(coordinate="secret:dev/app/" + HUGE_CONTROL)),
], ids=["generate-description", "edit-description", "set-key"])
def test_texts_that_would_make_a_record_too_large_to_read(shared, method, changes):
    # The store writes nothing it would refuse to read back.
    s = shared.shared_session
    kwargs = dict(good_arguments(shared.marker)[method], **changes)
    with unchanged(shared.root):
        e = refused(ZantuError, getattr(s, method), **kwargs)
    assert e.args == (f"record serialization failed: record file would be larger than {RECORD_FILE_BOUND} bytes",)


def test_long_descriptions_within_the_bound_are_kept(filled):
    s = filled.session()
    description = "\x01" * (1 << 16)
    s.generate("secret:dev/app/gen", description=description)
    s.edit_metadata("secret:dev/app/db", description=description)
    assert filled.stored("dev/app/gen")["description"] == description
    assert filled.stored("dev/app/db")["description"] == description
    assert {"dev/app/gen", "dev/app/db"} <= {v["coordinate"] for v in s.list()}


# ---------------------------------------------------------------------------
# Control characters

CONTROL = "\x00\x01\t\n\r\x1b[2J\x7f\u0085\u2028"


def test_control_characters_in_coordinates_stay_inside_their_fields(filled):
    s = filled.session()
    coordinate = f"secret:d{CONTROL}v/a{CONTROL}p/k{CONTROL}y"
    path = coordinate[len("secret:"):]
    s.set(coordinate, "v" + CONTROL)
    assert s.status(coordinate)["coordinate"] == path
    assert path in [v["coordinate"] for v in s.list()]
    assert os.path.exists(filled.record_file(path))
    s.delete(coordinate)
    # One line per event, each a JSON object whose fields hold the text as given.
    with open(os.path.join(filled.root, "audit.log"), "rb") as f:
        lines = f.read().split(b"\n")
    assert lines[-1] == b"" and len(lines) == 4
    events = [json.loads(line) for line in lines[1:-1]]
    assert [(e["action"], e["coordinate"], e["environment"]) for e in events] == [
        ("create", path, f"d{CONTROL}v"), ("delete", path, f"d{CONTROL}v")]


@pytest.mark.parametrize("suffix", ["\x00", "\x00x", "\n", "\r"])
def test_a_control_character_is_never_cut_from_a_coordinate(shared, suffix):
    # A coordinate that extends an existing one by a control character names
    # another record.
    s = shared.shared_session
    with unchanged(shared.root):
        refused(ZantuNotFound, s.status, "secret:dev/app/db" + suffix)
        refused(ZantuNotFound, s.delete, "secret:dev/app/db" + suffix)


@pytest.mark.parametrize(
    "refs, message",
    [
        ("A=x\x00y\n", "failed to launch child process: value for `A` contains a NUL byte and cannot be injected"),
        ("A\x00=1\n", "env-refs error: line 1: variable name is not a valid identifier"),
        ("\x1b[31mA=1\n", "env-refs error: line 1: variable name is not a valid identifier"),
        ("B=1\n\x00\n", "env-refs error: line 2: expected `NAME=<source>` or `project = <name>`"),
        ("A=${env:HO\x00ME}\n", "env-refs error: line 1: `${env:\u2026}` requires a valid variable name"),
        ("A=secret:dev/app/db\x00\n",
         "env-refs error: `A`: coordinate `secret:dev/app/db\x00` did not resolve and has no fallback"),
        ("project = p\x00q\nA=1\n", "invalid project name `p\x00q`"),
        ("project = ../p\nA=1\n", "invalid project name `../p`"),
    ],
)
def test_refs_texts_with_control_characters(shared, refs, message):
    s = shared.shared_session
    kwargs = dict(good_arguments(shared.marker)["inject_run"], refs=refs)
    with unchanged(shared.root):
        e = refused(ZantuError, s.inject_run, **kwargs)
    assert e.args == (message,)
    assert not os.path.exists(shared.marker)


# ---------------------------------------------------------------------------
# Vault roots and root files that are not what they should be

def make_fifo(path):
    os.mkfifo(path)


def make_endless(path):
    os.symlink("/dev/zero", path)


def make_dir(path):
    os.mkdir(path)


def test_vault_root_that_is_a_file(tmp_path):
    root = tmp_path / "root"
    root.write_bytes(b"not a directory")
    with unchanged(tmp_path):
        e = refused(ZantuError, ZantuSession, {"operations": ["metadata"]}, str(root), PASSPHRASE)
    assert e.args == (NO_SALT,)


def test_vault_root_with_a_nul_names_no_other_directory(vault):
    # The system would read the path only up to the NUL: the vault itself.
    with unchanged(vault.root):
        e = refused(ZantuError, ZantuSession, {"operations": ["metadata"]}, vault.root + "\x00/elsewhere",
                    vault.passphrase)
    assert e.args == (NO_SALT,)


@pytest.mark.passphrase_only
@pytest.mark.parametrize("make", [make_fifo, make_endless, make_dir])
def test_salt_that_is_no_file(vault, make):
    os.remove(os.path.join(vault.root, "kdf.salt"))
    make(os.path.join(vault.root, "kdf.salt"))
    with unchanged(vault.root):
        e = refused(ZantuError, ZantuSession, {"operations": ["metadata"]}, vault.root, vault.passphrase)
    assert e.args == (NO_SALT,)


@pytest.mark.parametrize("which", ["global", "projects"])
def test_vault_directory_that_is_a_fifo(filled, which):
    s = filled.session()
    target = os.path.join(filled.root, which)
    os.rename(target, target + ".moved")
    make_fifo(target)
    with unchanged(filled.root):
        e = refused(ZantuError, s.list)
        assert e.args == ("vault I/O failed: read_dir: Not a directory (os error 20)",)
        if which == "global":
            refused(ZantuNotFound, s.status, "secret:dev/app/db")
            e = refused(ZantuError, s.set, "secret:dev/app/db", "v")
            assert e.args == ("vault I/O failed: create tmp: Not a directory (os error 20)",)


@pytest.mark.parametrize("make", [make_fifo, make_endless, make_dir])
def test_allowlist_that_is_no_file_allows_nothing(filled, make):
    os.remove(os.path.join(filled.root, "allowlist"))
    make(os.path.join(filled.root, "allowlist"))
    s = filled.session()
    kwargs = dict(good_arguments(filled.marker)["inject_run"], refs="A=secret:prod/app/key\n")
    e = refused(ZantuDenied, s.inject_run, **kwargs)
    assert e.args == ("`/bin/sh` is not on the executor allowlist; high/prod injection refused (I15)",)
    assert not os.path.exists(filled.marker)


def test_audit_log_that_is_a_fifo_neither_blocks_nor_fails(filled):
    os.remove(os.path.join(filled.root, "audit.log"))
    make_fifo(os.path.join(filled.root, "audit.log"))
    s = filled.session()
    s.set("secret:dev/app/new", "v")
    assert s.status("secret:dev/app/new")["mode"] == "literal"


# Takes the audit log's lock, leaves a torn line and holds the lock until killed.
HOLD_AUDIT_LOCK = textwrap.dedent("""\
    import fcntl, os, sys, time
    fd = os.open(sys.argv[1], os.O_WRONLY | os.O_APPEND)
    fcntl.flock(fd, fcntl.LOCK_EX)
    os.write(fd, b'{"torn')
    print("held", flush=True)
    time.sleep(60)
    """)


def test_audit_log_locked_by_another_process_stops_no_operation(filled):
    holder = subprocess.Popen([sys.executable, "-c", HOLD_AUDIT_LOCK, os.path.join(filled.root, "audit.log")],
                              stdout=subprocess.PIPE)
    try:
        assert holder.stdout.readline() == b"held\n"
        s = filled.session()
        started = time.monotonic()
        s.set("secret:dev/app/new", "v")
        assert s.reveal("secret:dev/app/db") == b"global-db"
        s.edit_metadata("secret:dev/app/new", description="d")
        s.delete("secret:dev/app/new")
        assert s.inject_run("A=secret:dev/app/db\n", "dev", "/bin/sh", ["-c", "true"])["status"] == 0
        # Generous: the lock is waited for well under a second per line.
        assert time.monotonic() - started < 10
    finally:
        holder.kill()
        holder.wait()
    with open(os.path.join(filled.root, "audit.log"), "rb") as f:
        lines = f.read().split(b"\n")
    # Without the lock the end of the log is never guessed at: the first line
    # after the torn one is glued to it, then stands whole on its own line.
    assert lines[0] == b'{"earlier":"line"}' and lines[1] == b'{"torn' + lines[2] and lines[-1] == b""
    assert [json.loads(line)["action"] for line in lines[2:-1]] == ["create", "reveal", "edit", "delete", "inject"]


# ---------------------------------------------------------------------------
# Record paths that are no record file of their own

def make_sparse(size):
    """A file of `size` bytes that holds no disk block."""
    def make(path):
        with open(path, "wb") as f:
            f.truncate(size)
    return make


def record_kinds(vault, outside):
    """Ways to replace a record file, each with the reason a read gives."""
    other = vault.record_file("prod/app/key")
    return {
        "symlink-to-another-record": (lambda p: os.symlink(other, p), ELOOP),
        "symlink-to-a-file-outside": (lambda p: os.symlink(outside, p), ELOOP),
        "symlink-to-an-endless-device": (make_endless, ELOOP),
        "dangling-symlink": (lambda p: os.symlink(outside + ".none", p), ELOOP),
        "fifo": (make_fifo, NOT_REGULAR),
        "directory": (make_dir, "Is a directory (os error 21)"),
        "sparse-1TiB": (make_sparse(1 << 40), TOO_LARGE),
        "sparse-one-byte-past-the-bound": (make_sparse(RECORD_FILE_BOUND + 1), TOO_LARGE),
    }


KIND_NAMES = ["symlink-to-another-record", "symlink-to-a-file-outside", "symlink-to-an-endless-device",
              "dangling-symlink", "fifo", "directory", "sparse-1TiB", "sparse-one-byte-past-the-bound"]
RECORD_METHODS = ["status", "fingerprint", "reveal", "set", "generate", "delete", "edit_metadata", "inject_run"]


@pytest.fixture
def outside(tmp_path):
    path = tmp_path / "outside"
    path.write_bytes(b"a file of the user's")
    return str(path)


@pytest.mark.parametrize("project", [None, "p"])
@pytest.mark.parametrize("kind", KIND_NAMES)
def test_record_replaced_by_something_else(filled, outside, kind, project):
    make, reason = record_kinds(filled, outside)[kind]
    file = filled.record_file("dev/app/db", project)
    os.remove(file)
    make(file)
    s = filled.session()
    good = good_arguments(filled.marker)
    with unchanged(filled.root, os.path.dirname(outside)):
        for method in RECORD_METHODS:
            kwargs = dict(good[method], project=project)
            if method in ("set", "generate"):
                kwargs["coordinate"] = "secret:dev/app/db"
            e = refused(ZantuError, getattr(s, method), **kwargs)
            assert e.args == ("vault I/O failed: read record: " + reason,), method
        # A listing leaves it out and shows the rest.
        listed = {(v["coordinate"], v["origin"]) for v in s.list()}
        assert listed == {("dev/app/db", "global"), ("prod/app/key", "global"), ("dev/app/db", "project:p")} - {
            ("dev/app/db", "project:p" if project else "global")}
    assert not os.path.exists(filled.marker)


def test_record_file_at_the_bound_is_read(filled):
    # Only past the bound is a file refused unread: this one is read, all
    # zeros, and is no record.
    file = filled.record_file("dev/app/db")
    os.remove(file)
    make_sparse(RECORD_FILE_BOUND)(file)
    s = filled.session()
    with unchanged(filled.root):
        for method in ("status", "fingerprint", "reveal", "set"):
            e = refused(ZantuError, getattr(s, method), **dict(good_arguments(filled.marker)[method],
                                                               coordinate="secret:dev/app/db"))
            assert e.args == ("record serialization failed: not a zantu record frame",), method
        assert {v["coordinate"] for v in s.list()} == {"dev/app/db", "prod/app/key"}


def changed(before, after):
    return {k for k in before.keys() | after.keys() if before.get(k) != after.get(k)}


def file_state(path):
    """A file's bytes, inode and number of links."""
    with open(path, "rb") as f:
        content = f.read()
    st = os.stat(path)
    return content, st.st_ino, st.st_nlink


def own_names(vault, path):
    """The names a write of `path` in the global vault may change."""
    file = os.path.relpath(vault.record_file(path), vault.root)
    return {file, file + ".bak", "audit.log"}


TMP_KIND_NAMES = ["symlink-to-another-record", "symlink-to-a-file-outside", "symlink-to-an-endless-device",
                  "dangling-symlink", "fifo", "directory"]


@pytest.mark.parametrize("kind", TMP_KIND_NAMES)
@pytest.mark.parametrize("method", ["set", "generate"])
def test_older_temporary_name_taken_by_something_else_is_left_alone(filled, outside, method, kind):
    # Each write uses a new file of its own: what stands at the temporary name
    # of older versions is neither opened, written through nor removed.
    make, _ = record_kinds(filled, outside)[kind]
    coordinate = good_arguments(filled.marker)[method]["coordinate"]
    path = coordinate[len("secret:"):]
    tmp = filled.record_file(path) + ".tmp"
    make(tmp)
    s = filled.session()
    before, outside_before = snapshot(filled.root), file_state(outside)
    getattr(s, method)(**good_arguments(filled.marker)[method])
    assert changed(before, snapshot(filled.root)) <= own_names(filled, path)
    assert file_state(outside) == outside_before
    assert os.path.lexists(tmp)
    assert s.status(coordinate)["mode"] == "literal"


def salt_path(vault):
    # With the OS key source there is no salt: one is made, to be linked.
    path = os.path.join(vault.root, "kdf.salt")
    if not os.path.exists(path):
        with open(path, "wb") as f:
            f.write(b"zantu-test-salt!")
    return path


@pytest.mark.parametrize("target", ["file-outside", "salt", "live-record"])
def test_hard_link_at_the_temporary_name_is_never_written_into(filled, outside, target):
    record = filled.record_file("dev/app/db")
    linked = {"file-outside": outside, "salt": salt_path(filled), "live-record": record}[target]
    os.link(linked, record + ".tmp")
    linked_before = file_state(linked)
    s = filled.session()
    before = snapshot(filled.root)
    s.set("secret:dev/app/db", "new")
    assert changed(before, snapshot(filled.root)) <= own_names(filled, "dev/app/db")
    # The linked file keeps its bytes, its inode and its two names: for the
    # live record, that inode is now the backup.
    assert file_state(record + ".bak" if target == "live-record" else linked) == linked_before
    assert file_state(record + ".tmp") == linked_before
    # A new session (the salt intact) reads the new value, and the backup
    # holds the previous one.
    assert filled.session().reveal("secret:dev/app/db") == b"new"
    os.replace(record + ".bak", record)
    assert filled.session().reveal("secret:dev/app/db") == b"global-db"


def backup_kinds(vault, outside):
    """What may be planted at a backup name, and the error of a write (None:
    it succeeds)."""
    return {
        "symlink-to-a-file-outside": (lambda p: os.symlink(outside, p), None),
        "hard-link-to-a-file-outside": (lambda p: os.link(outside, p), None),
        "hard-link-to-the-salt": (lambda p: os.link(salt_path(vault), p), None),
        "hard-link-to-the-live-record": (lambda p: os.link(vault.record_file("dev/app/db"), p), None),
        "fifo": (make_fifo, None),
        "directory": (lambda p: os.makedirs(os.path.join(p, "busy")),
                      "vault I/O failed: rotate .bak: Is a directory (os error 21)"),
    }


@pytest.mark.parametrize("kind", ["symlink-to-a-file-outside", "hard-link-to-a-file-outside",
                                  "hard-link-to-the-salt", "hard-link-to-the-live-record", "fifo", "directory"])
def test_planted_backup_name_loses_only_its_name(filled, outside, kind):
    make, error = backup_kinds(filled, outside)[kind]
    record = filled.record_file("dev/app/db")
    salt = salt_path(filled)
    make(record + ".bak")
    s = filled.session()
    # Read after the plant: a hard link there counts until the write.
    before = {p: file_state(p)[:2] for p in (outside, salt)}
    if error is None:
        s.set("secret:dev/app/db", "new")
    else:
        assert refused(ZantuError, s.set, "secret:dev/app/db", "new").args == (error,)
    assert {p: file_state(p)[:2] for p in (outside, salt)} == before
    # No name of the vault shares their inodes any longer.
    assert [file_state(p)[2] for p in (outside, salt)] == [1, 1]
    if error is None:
        assert filled.session().reveal("secret:dev/app/db") == b"new"
        os.replace(record + ".bak", record)
    assert filled.session().reveal("secret:dev/app/db") == b"global-db"


def test_backup_name_that_is_a_symlink_is_replaced_not_written_through(filled, outside):
    os.symlink(outside, filled.record_file("dev/app/db") + ".bak")
    s = filled.session()
    s.set("secret:dev/app/db", "new")
    with open(outside, "rb") as f:
        assert f.read() == b"a file of the user's"
    assert os.path.isfile(filled.record_file("dev/app/db") + ".bak")
    assert bytes(filled.stored("dev/app/db")["value"]) == b"new"


# ---------------------------------------------------------------------------
# Objects that misreport themselves

class LyingSequence:
    """A sequence that claims far more items than it holds."""

    def __init__(self, items):
        self.items = items

    def __len__(self):
        return 1 << 40

    def __getitem__(self, i):
        if i >= len(self.items):
            raise IndexError(i)
        return self.items[i]


class FailingIndex:
    def __index__(self):
        raise ValueError("no index here")


def test_sequence_claiming_more_items_than_it_holds(filled):
    s = filled.session()
    kwargs = dict(good_arguments(filled.marker)["inject_run"], args=LyingSequence(["-c", "true"]))
    with unchanged(filled.root):
        e = refused(IndexError, s.inject_run, **kwargs)
    assert e.__notes__ == ["while processing 'args'"]
    refused(IndexError, ZantuSession, {"operations": LyingSequence(["metadata"])}, filled.root, filled.passphrase)


def test_index_that_raises(filled):
    s = filled.session()
    with unchanged(filled.root):
        e = refused(ValueError, s.generate, "secret:dev/app/gen", FailingIndex())
    assert e.__notes__ == ["while processing 'length'"]
