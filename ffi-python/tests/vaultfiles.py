"""Vault roots on disk for the tests: a salt, the key it gives, and record
files sealed and framed the way another program of the product writes them
(libsodium and libargon2 through ctypes, storage ids from b3sum)."""
import ctypes
import ctypes.util
import json
import os
import subprocess
import time

import zantu_ffi

SALT = b"zantu-test-salt!"
PASSPHRASE = "correct horse battery"
TS = "2026-01-02T03:04:05Z"
ALL_OPS = ["metadata", "inject", "reveal", "write"]

_sodium = ctypes.CDLL(ctypes.util.find_library("sodium") or "libsodium.so.23")
_argon2 = ctypes.CDLL(ctypes.util.find_library("argon2") or "libargon2.so.1")
assert _sodium.sodium_init() >= 0

_NONCE_LEN = 12
_TAG_LEN = 16


_derived = {}


def derive_key(passphrase, salt):
    """Argon2id with the vault's parameters: t=2, 19456 KiB, one lane, 32 bytes."""
    pw = passphrase.encode() if isinstance(passphrase, str) else passphrase
    if (pw, salt) in _derived:
        return _derived[(pw, salt)]
    out = ctypes.create_string_buffer(32)
    rc = _argon2.argon2id_hash_raw(
        ctypes.c_uint32(2), ctypes.c_uint32(19456), ctypes.c_uint32(1),
        pw, ctypes.c_size_t(len(pw)), salt, ctypes.c_size_t(len(salt)), out, ctypes.c_size_t(32))
    assert rc == 0, rc
    _derived[(pw, salt)] = out.raw
    return out.raw


def blake3_hex(data):
    out = subprocess.run(["b3sum", "--no-names"], input=data, capture_output=True, check=True)
    return out.stdout.decode().strip()


def storage_id(path):
    return blake3_hex(path.encode())


def fingerprint(data):
    """The 8-digit fingerprint a view shows for `data`."""
    return blake3_hex(data)[:8]


def seal(plaintext, key):
    """The framed record file for `plaintext`: "ZANT", version 1, the envelope."""
    nonce = os.urandom(_NONCE_LEN)
    out = ctypes.create_string_buffer(len(plaintext) + _TAG_LEN)
    out_len = ctypes.c_ulonglong(0)
    rc = _sodium.crypto_aead_chacha20poly1305_ietf_encrypt(
        out, ctypes.byref(out_len), plaintext, ctypes.c_ulonglong(len(plaintext)),
        None, ctypes.c_ulonglong(0), None, nonce, key)
    assert rc == 0
    envelope = {"nonce": list(nonce), "ciphertext": list(out.raw[: out_len.value])}
    return b"ZANT" + (1).to_bytes(4, "little") + json.dumps(envelope, separators=(",", ":")).encode()


def unseal(data, key):
    """The record JSON text inside a record file's bytes."""
    assert data[:8] == b"ZANT" + (1).to_bytes(4, "little")
    envelope = json.loads(data[8:])
    nonce, ct = bytes(envelope["nonce"]), bytes(envelope["ciphertext"])
    out = ctypes.create_string_buffer(max(len(ct) - _TAG_LEN, 1))
    out_len = ctypes.c_ulonglong(0)
    rc = _sodium.crypto_aead_chacha20poly1305_ietf_decrypt(
        out, ctypes.byref(out_len), None, ct, ctypes.c_ulonglong(len(ct)), None, ctypes.c_ulonglong(0), nonce, key)
    assert rc == 0, "record does not open under the key"
    return out.raw[: out_len.value]


def _common(path, sensitivity, revealable, description, created, updated):
    env, component, key = path.split("/")
    meta = {"sensitivity": sensitivity, "revealable": revealable, "environment": env, "component": component,
            "key": key}
    if description is not None:
        meta["description"] = description
    meta["created"] = created
    meta["updated"] = updated
    return meta


def literal(path, value=b"", sensitivity="medium", revealable=False, description=None, created=TS, updated=TS):
    return {"mode": "literal", "value": list(value),
            **_common(path, sensitivity, revealable, description, created, updated)}


def reference(path, ref, sensitivity="medium", revealable=False, description=None, created=TS, updated=TS):
    return {"mode": "reference", "ref": ref, **_common(path, sensitivity, revealable, description, created, updated)}


def keypair(path, algorithm="ed25519", private=b"\x01\x02", public="ssh-ed25519 AAAAC3 test", sensitivity="high",
            revealable=False, created=TS, updated=TS):
    rec = {"mode": "keypair", "algorithm": algorithm}
    if private is not None:
        rec["private"] = list(private)
    rec["public"] = public
    rec.update(_common(path, sensitivity, revealable, None, created, updated))
    return rec


def totp(path, algorithm="sha1", digits=6, period=30, seed=b"12345678901234567890", sensitivity="high",
         revealable=False, created=TS, updated=TS):
    return {"mode": "totp", "seed": list(seed), "algorithm": algorithm, "digits": digits, "period": period,
            **_common(path, sensitivity, revealable, None, created, updated)}


def foreseen_ids(seconds=30, seqs=3):
    """The request ids that this process's confirmation and intake requests
    can take from now for `seconds` seconds, up to sequence number `seqs`."""
    now = int(time.time())
    return [f"{t}-{os.getpid()}-{q}" for t in range(now, now + seconds) for q in range(seqs)]


SS_ATTRIBUTES = ["service", "zantu", "username", "master-key", "target", "default"]


def in_secret_service_fixture():
    return bool(os.environ.get("SECRET_SERVICE_FIXTURE_DIR"))


def _tool_env():
    # In the sanitizer build the interpreter runs with the sanitizer runtimes
    # preloaded; secret-tool deadlocks in its locale setup under them, and it
    # is not what is being tested.
    env = dict(os.environ)
    env.pop("LD_PRELOAD", None)
    return env


def store_os_key(key):
    """Stores `key` as the master-key item of the running Secret Service."""
    subprocess.run(["secret-tool", "store", "--label=zantu master key", *SS_ATTRIBUTES], input=key, check=True,
                   env=_tool_env())


def clear_os_key():
    # Exits 1 when there was nothing to clear.
    subprocess.run(["secret-tool", "clear", *SS_ATTRIBUTES], capture_output=True, env=_tool_env())


def random_os_key():
    # Raw bytes, with a NUL, a line break and a high byte that any text
    # handling on the way would mangle.
    return b"\x00\n\xff" + os.urandom(29)


class Vault:
    """One vault root in a temporary directory and the key its sessions use:
    derived from a passphrase and the root's salt, or (key_source "os") held
    by the running Secret Service."""

    def __init__(self, root, passphrase=PASSPHRASE, salt=SALT, key=None, key_source="passphrase"):
        self.root = str(root)
        os.makedirs(self.root, exist_ok=True)
        if key_source == "os":
            self.passphrase = None
            self.key = key if key is not None else random_os_key()
            store_os_key(self.key)
            return
        self.passphrase = passphrase
        if salt is not None:
            with open(os.path.join(self.root, "kdf.salt"), "wb") as f:
                f.write(salt)
        self.key = key if key is not None else derive_key(passphrase, salt)

    def session(self, operations=ALL_OPS, projects=None, environments=None, **scope_extra):
        scope = {"operations": list(operations), **scope_extra}
        if projects is not None:
            scope["projects"] = projects
        if environments is not None:
            scope["environments"] = environments
        return zantu_ffi.ZantuSession(scope, self.root, self.passphrase)

    def vault_dir(self, project=None):
        if project is None:
            return os.path.join(self.root, "global")
        return os.path.join(self.root, "projects", project)

    def record_file(self, path, project=None):
        return os.path.join(self.vault_dir(project), storage_id(path) + ".sec")

    def plant(self, record, project=None):
        """Writes `record` (a dict from the builders above) as its vault's file."""
        path = "/".join((record["environment"], record["component"], record["key"]))
        os.makedirs(self.vault_dir(project), exist_ok=True)
        text = json.dumps(record, separators=(",", ":")).encode()
        with open(self.record_file(path, project), "wb") as f:
            f.write(seal(text, self.key))
        return path

    def stored(self, path, project=None):
        """The record JSON stored for `path`, or None when there is no file."""
        try:
            with open(self.record_file(path, project), "rb") as f:
                data = f.read()
        except FileNotFoundError:
            return None
        return json.loads(unseal(data, self.key))

    def audit(self):
        try:
            with open(os.path.join(self.root, "audit.log"), encoding="utf-8") as f:
                return [json.loads(line) for line in f]
        except FileNotFoundError:
            return []

    def tree(self):
        """Every path under the root with its bytes (None for a directory)."""
        out = {}
        for dirpath, dirnames, filenames in os.walk(self.root):
            for d in dirnames:
                out[os.path.relpath(os.path.join(dirpath, d), self.root)] = None
            for name in filenames:
                p = os.path.join(dirpath, name)
                with open(p, "rb") as f:
                    out[os.path.relpath(p, self.root)] = f.read()
        return out
