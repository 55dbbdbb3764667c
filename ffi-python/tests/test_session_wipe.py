"""No copy of the passphrase or of the master key stays in the memory of a
real CPython process that opened (or failed to open) a session. The test
reads the child's whole address space through /proc/<pid>/mem."""
import os
import subprocess
import sys
import textwrap

import pytest

from vaultfiles import SALT, Vault, derive_key, literal

# A passphrase of code points above U+00FF: CPython keeps such a str as
# UCS-2, so its UTF-8 form exists only where someone made it.
PHRASE = "\u4e16\u754c\u548c\u5e73 \u5bc6\u7801 \u0416\u0437\u0430\u043d\u0442\u0443 \u263a\u2603\u2602"
CONTROL = "\u6d4b\u8bd5\u5bf9\u7167 \u0421\u043b\u0435\u0434 \u2600\u2601\u2604\u2605"

CHILD = textwrap.dedent("""
    import sys
    import zantu_ffi

    def text(arg):
        return "".join(chr(int(c)) for c in arg.split(",") if c)

    def pause(what):
        print(what, flush=True)
        sys.stdin.readline()

    phrase, control, root, expect = text(sys.argv[1]) or None, text(sys.argv[2]), sys.argv[3], sys.argv[4]
    # Kept alive as UTF-8 bytes, so the scan shows it can see this kind of data.
    control_utf8 = control.encode("utf-8")
    scope = {"operations": ["metadata"]}
    if expect == "opens":
        s = zantu_ffi.ZantuSession(scope, root, phrase)
        assert len(s.list()) == 1
        pause("opened")
        del s
        pause("dropped")
    else:
        try:
            zantu_ffi.ZantuSession(scope, root, phrase)
        except zantu_ffi.ZantuError as e:
            pause("refused: " + str(e))
""")


def codes(text):
    return ",".join(str(ord(c)) for c in text)


# Read in pieces that overlap by the longest pattern, so memory stays bounded.
_CHUNK = 8 << 20
# Under AddressSanitizer the child reserves its shadow memory as mappings of
# hundreds of GiB to TiB that hold no data; no heap of these children comes
# near this size.
_MAX_MAPPING = 1 << 30


def memory_holds(pid, patterns):
    """Which of `patterns` occur anywhere in the readable memory of `pid`."""
    found = set()
    overlap = max(len(p) for p in patterns) - 1
    with open(f"/proc/{pid}/maps") as maps, open(f"/proc/{pid}/mem", "rb", buffering=0) as mem:
        for line in maps:
            fields = line.split()
            if "r" not in fields[1] or (len(fields) > 5 and fields[5] in ("[vvar]", "[vsyscall]")):
                continue
            start, end = (int(x, 16) for x in fields[0].split("-"))
            if end - start >= _MAX_MAPPING:
                continue
            tail = b""
            for at in range(start, end, _CHUNK):
                try:
                    mem.seek(at)
                    data = tail + mem.read(min(_CHUNK, end - at))
                except OSError:
                    break
                found.update(p for p in patterns if p in data)
                tail = data[-overlap:] if overlap else b""
    return found


class Child:
    def __init__(self, root, expect, passphrase=True):
        env = dict(os.environ)
        env.pop("ZANTU_PASSPHRASE", None)
        self.proc = subprocess.Popen(
            [sys.executable, "-c", CHILD, codes(PHRASE) if passphrase else "", codes(CONTROL), root, expect],
            stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True, env=env)

    def wait_for(self, what):
        line = self.proc.stdout.readline().strip()
        assert line == what, (line, self.proc.poll())

    def resume(self):
        self.proc.stdin.write("\n")
        self.proc.stdin.flush()

    def finish(self):
        self.proc.stdin.close()
        assert self.proc.wait(timeout=30) == 0


@pytest.fixture
def child_vault(tmp_path):
    if not os.access("/proc/self/mem", os.R_OK):
        pytest.skip("no /proc/<pid>/mem")
    return tmp_path


def test_passphrase_and_key_are_wiped(child_vault):
    phrase, control = PHRASE.encode("utf-8"), CONTROL.encode("utf-8")
    key = derive_key(phrase, SALT)
    v = Vault(child_vault / "vault", passphrase=phrase, key=key)
    v.plant(literal("dev/app/db", b"v"))
    child = Child(v.root, "opens")
    try:
        child.wait_for("opened")
        # While the session lives it holds its key; the passphrase is gone.
        assert memory_holds(child.proc.pid, {phrase, control, key}) == {control, key}
        child.resume()
        child.wait_for("dropped")
        assert memory_holds(child.proc.pid, {phrase, control, key}) == {control}
        child.resume()
    finally:
        child.finish()


@pytest.mark.parametrize(
    "salt, message",
    [
        (b"short", "keyring operation failed: salt must be at least 8 bytes"),
        (None, "reading kdf.salt from the vault root (run `zantu init` first)"),
    ],
)
def test_refused_passphrase_is_wiped(child_vault, salt, message):
    phrase, control = PHRASE.encode("utf-8"), CONTROL.encode("utf-8")
    root = child_vault / "vault"
    root.mkdir()
    if salt is not None:
        (root / "kdf.salt").write_bytes(salt)
    child = Child(str(root), "refused")
    try:
        child.wait_for("refused: " + message)
        assert memory_holds(child.proc.pid, {phrase, control}) == {control}
        child.resume()
    finally:
        child.finish()


@pytest.mark.secret_service
def test_key_from_the_secret_service_is_wiped(child_vault):
    from vaultfiles import random_os_key

    key = random_os_key()
    v = Vault(child_vault / "vault", key=key, key_source="os")
    v.plant(literal("dev/app/db", b"v"))
    child = Child(v.root, "opens", passphrase=False)
    try:
        child.wait_for("opened")
        assert memory_holds(child.proc.pid, {key}) == {key}
        child.resume()
        child.wait_for("dropped")
        assert memory_holds(child.proc.pid, {key}) == set()
        child.resume()
    finally:
        child.finish()
