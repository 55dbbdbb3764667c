"""Opening sessions whose master key the real Secret Service holds. These run
inside scripts/with-secret-service, with a private bus and gnome-keyring."""
import os

import pytest

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


def raises_exactly(exc, message, fn, *args, **kwargs):
    with pytest.raises(exc) as info:
        fn(*args, **kwargs)
    assert type(info.value) is exc
    assert info.value.args == (message,)


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
