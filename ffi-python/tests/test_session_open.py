"""Opening a session with the passphrase key source: the vault root, the
passphrase, the salt, the registry, and the steps every operation shares."""
import os
import stat

import pytest

from checks import raises_exactly
from vaultfiles import PASSPHRASE, SALT, Vault, derive_key, literal
from zantu_ffi import ZantuDenied, ZantuError, ZantuSession

pytestmark = pytest.mark.passphrase_only

SALT_MISSING = "reading kdf.salt from the vault root (run `zantu init` first)"
NO_KEY = "obtaining the master key (run `zantu init`?)"
SCOPE = {"operations": ["metadata", "write", "reveal"]}


def opens_with_key(root, key, *args, **kwargs):
    """Whether a session opened with these arguments reads a record sealed under `key`."""
    v = Vault(root, salt=None, key=key)
    path = v.plant(literal("dev/app/probe", b"x"))
    s = ZantuSession(SCOPE, *args, **kwargs)
    assert s.status("secret:" + path)["fingerprint"]
    return s


def test_passphrase_session_reads_what_the_key_sealed(vault):
    s = opens_with_key(vault.root, vault.key, vault.root, PASSPHRASE)
    assert [v["coordinate"] for v in s.list()] == ["dev/app/probe"]


def test_empty_passphrase_is_a_passphrase_and_the_environment_is_not_read(vault, monkeypatch):
    monkeypatch.setenv("ZANTU_PASSPHRASE", PASSPHRASE)
    opens_with_key(vault.root, derive_key("", SALT), vault.root, "")


def test_passphrase_from_the_environment(vault, monkeypatch):
    monkeypatch.setenv("ZANTU_PASSPHRASE", PASSPHRASE)
    opens_with_key(vault.root, vault.key, vault.root)
    monkeypatch.setenv("ZANTU_PASSPHRASE", "")
    opens_with_key(vault.root, derive_key("", SALT), vault.root, None)


def test_non_ascii_passphrase_is_used_as_utf8(vault):
    phrase = "p\u00e4ss \u4e16\u754c \U0001f511"
    opens_with_key(vault.root, derive_key(phrase.encode("utf-8"), SALT), vault.root, phrase)


def test_passphrase_without_utf8_form_is_refused_in_conversion(vault):
    with pytest.raises(UnicodeEncodeError) as info:
        ZantuSession(SCOPE, vault.root, "pw\ud800")
    assert info.value.__notes__ == ["while processing 'passphrase'"]


def test_environment_passphrase_that_is_not_utf8_counts_as_unset(vault, monkeypatch):
    # Without a passphrase the OS secret store is asked; no bus is reachable here.
    monkeypatch.setitem(os.environb, b"ZANTU_PASSPHRASE", b"pw\xff")
    monkeypatch.setenv("DBUS_SESSION_BUS_ADDRESS", "unix:path=" + os.path.join(vault.root, "no-bus"))
    raises_exactly(ZantuError, NO_KEY, ZantuSession, SCOPE, vault.root)


def test_vault_dir_argument_wins_over_the_environment(vault, monkeypatch, tmp_path):
    monkeypatch.setenv("ZANTU_VAULT_DIR", str(tmp_path / "elsewhere"))
    opens_with_key(vault.root, vault.key, vault.root, PASSPHRASE)
    assert not (tmp_path / "elsewhere").exists()


def test_vault_root_from_the_environment(vault, monkeypatch):
    monkeypatch.setenv("ZANTU_VAULT_DIR", vault.root)
    opens_with_key(vault.root, vault.key, passphrase=PASSPHRASE)


def test_empty_environment_root_is_the_working_directory(vault, monkeypatch):
    monkeypatch.setenv("ZANTU_VAULT_DIR", "")
    monkeypatch.chdir(vault.root)
    opens_with_key(vault.root, vault.key, None, PASSPHRASE)


def test_default_root_under_home(tmp_path, monkeypatch):
    monkeypatch.delenv("ZANTU_VAULT_DIR", raising=False)
    monkeypatch.setenv("HOME", str(tmp_path))
    v = Vault(tmp_path / ".vaults")
    opens_with_key(v.root, v.key, passphrase=PASSPHRASE)


def test_no_root_without_home(monkeypatch):
    monkeypatch.delenv("ZANTU_VAULT_DIR", raising=False)
    monkeypatch.delenv("HOME", raising=False)
    raises_exactly(ZantuError, "vault I/O failed: no home directory ($HOME) set", ZantuSession, SCOPE,
                   passphrase=PASSPHRASE)


@pytest.mark.parametrize(
    "layout",
    [
        "no salt file",
        "salt is a directory",
        "no vault root",
    ],
)
def test_unreadable_salt(tmp_path, layout):
    root = tmp_path / "vault"
    if layout != "no vault root":
        root.mkdir()
    if layout == "salt is a directory":
        (root / "kdf.salt").mkdir()
    raises_exactly(ZantuError, SALT_MISSING, ZantuSession, SCOPE, str(root), "")
    # Opening stops before the registry: nothing is created.
    if layout == "no vault root":
        assert not root.exists()
    else:
        assert not (root / "global").exists() and not (root / "projects").exists()


@pytest.mark.parametrize("salt_len, ok", [(0, False), (7, False), (8, True), (64, True)])
def test_salt_length(tmp_path, salt_len, ok):
    salt = bytes(range(salt_len))
    v = Vault(tmp_path / "vault", salt=salt, key=b"\0" * 32)
    if ok:
        opens_with_key(v.root, derive_key(PASSPHRASE, salt), v.root, PASSPHRASE)
    else:
        raises_exactly(ZantuError, "keyring operation failed: salt must be at least 8 bytes",
                       ZantuSession, SCOPE, v.root, PASSPHRASE)


SALT_TOO_LARGE = "reading kdf.salt from the vault root: file is larger than 4096 bytes, which no salt is"


@pytest.mark.parametrize("salt_len, sparse", [(4096, False), (4097, False), (3 << 30, True)])
def test_a_salt_past_its_bound_is_refused_unread(tmp_path, salt_len, sparse):
    # A planted file of any size ends the opening at once, before the key is
    # derived; the largest salt accepted is the bound itself.
    salt = bytes(i % 251 for i in range(min(salt_len, 4097)))
    v = Vault(tmp_path / "vault", salt=salt, key=b"\0" * 32)
    if sparse:
        os.truncate(os.path.join(v.root, "kdf.salt"), salt_len)
    if salt_len <= 4096:
        opens_with_key(v.root, derive_key(PASSPHRASE, salt), v.root, PASSPHRASE)
        return
    raises_exactly(ZantuError, SALT_TOO_LARGE, ZantuSession, SCOPE, v.root, PASSPHRASE)
    assert not os.path.exists(os.path.join(v.root, "global"))


def test_opening_creates_the_two_vaults_and_nothing_else(vault):
    before = vault.tree()
    ZantuSession({"operations": []}, vault.root, PASSPHRASE)
    after = vault.tree()
    assert set(after) - set(before) == {"global", "projects"}
    for d in ("global", "projects"):
        assert stat.S_IMODE(os.stat(os.path.join(vault.root, d)).st_mode) == 0o700
    assert not os.path.exists(os.path.join(vault.root, "audit.log"))


def test_vault_that_cannot_be_created(vault):
    # A dangling link where "projects" belongs: nothing can be made there, not even by root.
    os.symlink(os.path.join(vault.root, "missing", "target"), os.path.join(vault.root, "projects"))
    with pytest.raises(ZantuError) as info:
        ZantuSession(SCOPE, vault.root, PASSPHRASE)
    assert type(info.value) is ZantuError
    assert str(info.value).startswith("vault I/O failed: create ")
    assert "projects" in str(info.value)


def test_wrong_passphrase_shows_only_when_a_record_is_opened(vault):
    path = vault.plant(literal("dev/app/db", b"v"))
    s = ZantuSession(SCOPE, vault.root, "not the passphrase")
    raises_exactly(ZantuError, "crypto operation failed", s.status, "secret:" + path)
    assert s.list() == []


def test_constructor_by_keyword_and_a_dict_subclass(vault):
    class Scope(dict):
        pass

    s = ZantuSession(passphrase=PASSPHRASE, vault_dir=vault.root, scope=Scope(operations=["metadata"]))
    assert s.list() == []
    # __new__ called directly builds the same object.
    s = ZantuSession.__new__(ZantuSession, {"operations": []}, vault.root, PASSPHRASE)
    assert type(s) is ZantuSession


# ---------------------------------------------------------------------------
# Shared steps: coordinates and sensitivity words


def call(s, method, coordinate):
    args = {
        "status": (coordinate,),
        "fingerprint": (coordinate,),
        "reveal": (coordinate,),
        "set": (coordinate, "v"),
        "generate": (coordinate,),
        "delete": (coordinate,),
    }[method]
    return getattr(s, method)(*args)


METHODS = ["status", "fingerprint", "reveal", "set", "generate", "delete"]


@pytest.mark.parametrize("method", METHODS)
@pytest.mark.parametrize(
    "coordinate, message",
    [
        ("dev/app/db", "invalid coordinate URI: must start with `secret:`"),
        ("secret:dev/app/db#secret", "invalid coordinate URI: unknown coordinate fragment `#secret` "
                                     "(only `#public`/`#private` are valid)"),
        ("secret:${ENV}/api/token",
         "coordinate is not storable: coordinate has an unresolved `${ENV}` placeholder "
         "(a coordinate must be concrete, not ${ENV})"),
    ],
)
def test_coordinate_must_be_concrete(vault, method, coordinate, message):
    s = vault.session()
    before = vault.tree()
    raises_exactly(ZantuError, message, call, s, method, coordinate)
    assert vault.tree() == before
    assert vault.audit() == []


def test_selector_and_fragment_are_kept(vault):
    s = vault.session()
    vault.plant(literal("dev/api/token", b"t"))
    view = s.status("secret://global/dev/api/token#public", project="p")
    assert (view["coordinate"], view["origin"]) == ("dev/api/token", "global")


@pytest.mark.parametrize(
    "word, shown",
    [
        ("low", "low"),
        ("Medium", "medium"),
        ("High", "high"),
        ("Inject_Only", "injectonly"),
        ("INJECTONLY", "injectonly"),
        ("inject-only", "injectonly"),
    ],
)
def test_sensitivity_words(vault, word, shown):
    s = vault.session()
    assert s.generate("secret:dev/app/tok", sensitivity=word)["sensitivity"] == shown


@pytest.mark.parametrize(
    "word, normalised",
    [
        (" high", " high"),
        ("", ""),
        ("Inject__Only", "inject--only"),
        ("critical", "critical"),
        ("HIGH\n", "high\n"),
        ("\u0130nject-only", "\u0130nject-only"),
    ],
)
def test_unknown_sensitivity_word(vault, word, normalised):
    s = vault.session()
    raises_exactly(ZantuError, f"unknown sensitivity `{normalised}` (expected low|medium|high|inject-only)",
                   s.generate, "secret:dev/app/tok", sensitivity=word)
    assert vault.stored("dev/app/tok") is None


# ---------------------------------------------------------------------------
# Audit lines that cannot be written


def test_unwritable_audit_log_never_fails_an_operation(vault):
    # A directory where the log belongs: opening it for writing fails even for root.
    os.mkdir(os.path.join(vault.root, "audit.log"))
    path = vault.plant(literal("dev/app/open", b"visible", revealable=True))
    s = vault.session()
    assert s.set("secret:dev/app/db", "v1")["mode"] == "literal"
    assert s.set("secret:dev/app/db", "v2")["fingerprint"] == s.fingerprint("secret:dev/app/db")
    assert s.generate("secret:dev/app/tok", project="p")["origin"] == "project:p"
    assert s.reveal("secret:" + path) == b"visible"
    with pytest.raises(ZantuDenied, match="^NotRevealable$"):
        s.reveal("secret:dev/app/db")
    assert s.delete("secret:dev/app/db") is None
    assert vault.stored("dev/app/db") is None
    assert os.path.isdir(os.path.join(vault.root, "audit.log"))
