"""Opening sessions whose master key the real Secret Service holds. These run
inside scripts/with-secret-service, with a private bus and gnome-keyring."""
import gc
import os
import subprocess
import sys
import textwrap

import pytest

from checks import raises_exactly
from vaultfiles import PASSPHRASE, Vault, clear_os_key, literal, random_os_key, store_os_key
from zantu_ffi import ZantuDenied, ZantuError, ZantuSession

pytestmark = pytest.mark.secret_service

NO_KEY = "obtaining the master key (run `zantu init`?)"
SCOPE = {"operations": ["metadata", "write", "reveal"]}


@pytest.fixture
def os_vault(tmp_path, monkeypatch):
    monkeypatch.delenv("ZANTU_VAULT_DIR", raising=False)
    monkeypatch.delenv("ZANTU_PASSPHRASE", raising=False)
    return Vault(tmp_path / "vault", key_source="os")


def test_runs_inside_the_fixture():
    fixture = os.environ["SECRET_SERVICE_FIXTURE_DIR"]
    assert os.environ["HOME"].startswith(fixture)


def test_session_with_the_os_key_end_to_end(os_vault):
    path = os_vault.plant(literal("dev/app/planted", b"planted", revealable=True))
    s = ZantuSession(SCOPE, os_vault.root)
    assert s.reveal("secret:" + path) == b"planted"
    s.set("secret:dev/app/db", "v")
    s.generate("secret:prod/app/tok", project="p")
    views = [(v["coordinate"], v["origin"]) for v in s.list()]
    assert sorted(views[:2]) == [("dev/app/db", "global"), ("dev/app/planted", "global")]
    assert views[2:] == [("prod/app/tok", "project:p")]
    raises_exactly(ZantuDenied, "NotRevealable", s.reveal, "secret:dev/app/db")
    s.delete("secret:dev/app/db")
    # What the session wrote opens under the daemon's key.
    assert os_vault.stored("prod/app/tok", "p")["sensitivity"] == "high"
    assert [(a["action"], a["result"]) for a in os_vault.audit()] == [
        ("reveal", "revealed"), ("create", "created"), ("create", "generated"), ("deny", "denied"),
        ("delete", "deleted")]


def test_new_root_gets_the_two_vaults_and_nothing_else(tmp_path, monkeypatch):
    monkeypatch.delenv("ZANTU_PASSPHRASE", raising=False)
    store_os_key(random_os_key())
    root = tmp_path / "a" / "new-root"
    ZantuSession({"operations": []}, str(root))
    assert sorted(os.listdir(root)) == ["global", "projects"]
    assert os.listdir(root / "global") == [] and os.listdir(root / "projects") == []


def test_non_utf8_environment_passphrase_falls_back_to_the_os_key(os_vault, monkeypatch):
    path = os_vault.plant(literal("dev/app/db", b"v"))
    monkeypatch.setitem(os.environb, b"ZANTU_PASSPHRASE", b"\xc3\x28")
    assert ZantuSession(SCOPE, os_vault.root).status("secret:" + path)["mode"] == "literal"


def test_a_passphrase_wins_over_the_os_key(os_vault, monkeypatch):
    # No salt in this root: the passphrase path is taken, and fails there.
    raises_exactly(ZantuError, "reading kdf.salt from the vault root (run `zantu init` first)",
                   ZantuSession, SCOPE, os_vault.root, "")
    monkeypatch.setenv("ZANTU_PASSPHRASE", PASSPHRASE)
    raises_exactly(ZantuError, "reading kdf.salt from the vault root (run `zantu init` first)",
                   ZantuSession, SCOPE, os_vault.root)


@pytest.mark.parametrize("stored", [None, b"k" * 31, b"k" * 33, b""])
def test_master_key_that_cannot_be_had(tmp_path, monkeypatch, stored):
    monkeypatch.delenv("ZANTU_PASSPHRASE", raising=False)
    clear_os_key()
    if stored is not None:
        store_os_key(stored)
    root = tmp_path / "vault"
    raises_exactly(ZantuError, NO_KEY, ZantuSession, SCOPE, str(root))
    # The key comes before the registry: nothing was created.
    assert not root.exists()


def test_registry_that_cannot_be_opened(tmp_path, monkeypatch):
    monkeypatch.delenv("ZANTU_PASSPHRASE", raising=False)
    store_os_key(random_os_key())
    root = tmp_path / "file"
    root.write_bytes(b"not a directory")
    with pytest.raises(ZantuError) as info:
        ZantuSession(SCOPE, str(root))
    assert type(info.value) is ZantuError
    assert str(info.value).startswith("vault I/O failed: create ")
    assert str(info.value).endswith(": Not a directory (os error 20)")


def test_session_outlives_a_changed_os_key(os_vault):
    # The key is read once, at opening.
    path = os_vault.plant(literal("dev/app/db", b"v"))
    s = ZantuSession(SCOPE, os_vault.root)
    store_os_key(random_os_key())
    assert s.status("secret:" + path)["mode"] == "literal"
    raises_exactly(ZantuError, "crypto operation failed", ZantuSession(SCOPE, os_vault.root).status,
                   "secret:" + path)


def _threads_and_descriptors():
    fds = {}
    for fd in os.listdir("/proc/self/fd"):
        try:
            fds[fd] = os.readlink(f"/proc/self/fd/{fd}")
        except OSError:
            pass  # the listing's own descriptor, closed by now
    return sorted(os.listdir("/proc/self/task")), fds


def test_the_os_keyring_leaves_no_thread_and_no_connection(os_vault, monkeypatch):
    # Equal descriptor tables: no socket to the bus stays open.
    os_vault.plant(literal("dev/app/db", b"v"))
    gc.collect()
    before = _threads_and_descriptors()
    assert len(before[0]) == 1
    s = ZantuSession(SCOPE, os_vault.root)
    assert _threads_and_descriptors() == before
    assert len(s.list()) == 1
    del s
    gc.collect()
    assert _threads_and_descriptors() == before
    # Failed openings: no item, then no bus where the address points.
    clear_os_key()
    raises_exactly(ZantuError, NO_KEY, ZantuSession, SCOPE, os_vault.root)
    assert _threads_and_descriptors() == before
    monkeypatch.setenv("DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent/zantu-test-bus")
    raises_exactly(ZantuError, NO_KEY, ZantuSession, SCOPE, os_vault.root)
    assert _threads_and_descriptors() == before


LOCKED_CHILD = textwrap.dedent("""
    import subprocess, sys, time
    from vaultfiles import _tool_env, random_os_key, store_os_key
    import zantu_ffi

    store_os_key(random_os_key())
    subprocess.run(["gdbus", "call", "--session", "-d", "org.freedesktop.secrets", "-o", "/org/freedesktop/secrets",
                    "-m", "org.freedesktop.Secret.Service.Lock", "['/org/freedesktop/secrets/collection/login']"],
                   check=True, capture_output=True, env=_tool_env())
    start = time.monotonic()
    try:
        zantu_ffi.ZantuSession({"operations": []}, sys.argv[1])
        print("opened")
    except zantu_ffi.ZantuError as e:
        print(repr(e.args), round(time.monotonic() - start, 3))
""")


def test_a_locked_collection_fails_within_its_bound(tmp_path):
    # In a daemon of its own (the fixture nests), since a locked collection
    # stays locked: with no prompter on the bus, the unlock prompt is
    # dismissed and the opening fails at once rather than waiting on it.
    fixture = os.path.join(os.path.dirname(__file__), "..", "..", "scripts", "with-secret-service")
    env = dict(os.environ, PYTHONPATH=os.path.dirname(__file__) + os.pathsep + os.environ.get("PYTHONPATH", ""))
    env.pop("ZANTU_PASSPHRASE", None)
    out = subprocess.run([fixture, sys.executable, "-c", LOCKED_CHILD, str(tmp_path / "vault")], env=env,
                         capture_output=True, text=True, timeout=300)
    assert out.returncode == 0, out.stderr
    message, took = out.stdout.rsplit(" ", 1)
    assert message == repr((NO_KEY,))
    assert float(took) < 30
    assert not (tmp_path / "vault").exists()
