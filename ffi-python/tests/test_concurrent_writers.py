"""Several processes on one vault through the real module: writers of one
coordinate with a reader beside them, and audit lines appended while a
process that is none of the log's writers holds the log's lock."""
import json
import os
import subprocess
import sys
import textwrap
import time

import pytest

from vaultfiles import literal, storage_id

# The worker processes open their sessions with the vault's passphrase.
pytestmark = pytest.mark.passphrase_only

PATH = "dev/app/db"
COORDINATE = "secret:" + PATH

# Sets the coordinate `count` times to "writer <n> set <i>" and prints what
# failed, if anything.
WRITER = textwrap.dedent("""\
    import json, sys, zantu_ffi
    root, passphrase, n, count = sys.argv[1], sys.argv[2], int(sys.argv[3]), int(sys.argv[4])
    s = zantu_ffi.ZantuSession({"operations": ["metadata", "reveal", "write"]}, root, passphrase)
    print("ready", flush=True)
    sys.stdin.readline()
    failed = []
    for i in range(count):
        try:
            s.set("secret:dev/app/db", f"writer {n} set {i}")
        except Exception as e:
            failed.append(f"{type(e).__name__}: {e}")
    print(json.dumps(failed), flush=True)
    """)

# Reads the coordinate until its standard input ends, and prints what went
# wrong, if anything, and how many reads it made.
READER = textwrap.dedent("""\
    import json, select, sys, time, zantu_ffi
    root, passphrase = sys.argv[1], sys.argv[2]
    s = zantu_ffi.ZantuSession({"operations": ["metadata", "reveal", "write"]}, root, passphrase)
    print("ready", flush=True)
    errors, reads = [], 0
    give_up = time.monotonic() + 60
    while time.monotonic() < give_up and not select.select([sys.stdin], [], [], 0)[0]:
        try:
            view = s.status("secret:dev/app/db")
            value = s.reveal("secret:dev/app/db")
            if view["mode"] != "literal" or not (value == b"initial" or value.startswith(b"writer ")):
                errors.append(f"read {view['mode']} {value[:40]!r}")
            reads += 1
        except Exception as e:
            errors.append(f"{type(e).__name__}: {e}")
    print(json.dumps({"reads": reads, "errors": errors[:10], "num_errors": len(errors)}), flush=True)
    """)


def start(code, *args):
    proc = subprocess.Popen([sys.executable, "-c", code, *map(str, args)], stdin=subprocess.PIPE,
                            stdout=subprocess.PIPE, text=True)
    assert proc.stdout.readline() == "ready\n"
    return proc


def finish(proc, timeout=60):
    out, _ = proc.communicate(timeout=timeout)
    assert proc.returncode == 0, out
    return json.loads(out)


def test_writers_of_one_coordinate_and_a_reader(vault):
    writers, count = 3, 300
    vault.plant(literal(PATH, b"initial", revealable=True))
    procs = []
    try:
        reader = start(READER, vault.root, vault.passphrase)
        procs.append(reader)
        for n in range(writers):
            procs.append(start(WRITER, vault.root, vault.passphrase, n, count))
        # All writers start at once.
        for p in procs[1:]:
            p.stdin.write("go\n")
            p.stdin.flush()
        failed = [finish(p) for p in procs[1:]]
        read = finish(reader)
    finally:
        for p in procs:
            if p.poll() is None:
                p.kill()
                p.wait()

    assert failed == [[]] * writers
    assert read["num_errors"] == 0, read["errors"]
    assert read["reads"] > 0

    # The last rename of all is the last set of one of the writers.
    final = bytes(vault.stored(PATH)["value"])
    assert final in {f"writer {n} set {count - 1}".encode() for n in range(writers)}
    assert vault.session().reveal(COORDINATE) == final
    sets = [a for a in vault.audit() if a["action"] in ("create", "edit")]
    assert len(sets) == writers * count
    assert {(a["action"], a["result"], a["coordinate"]) for a in sets} == {("edit", "value-updated", PATH)}
    # The record, its backup and nothing else.
    sec = storage_id(PATH) + ".sec"
    assert sorted(os.listdir(vault.vault_dir())) == [sec, sec + ".bak"]
    assert [v["coordinate"] for v in vault.session().list()] == [PATH]


# Takes the audit log's lock and holds it until killed.
HOLD_AUDIT_LOCK = textwrap.dedent("""\
    import fcntl, os, sys, time
    fd = os.open(sys.argv[1], os.O_RDONLY)
    fcntl.flock(fd, fcntl.LOCK_EX)
    print("ready", flush=True)
    time.sleep(120)
    """)

# A key long enough that most audit lines cross a page boundary of the file,
# which keeps appends in flight while other writers look at its end.
LONG_PATH = "dev/app/" + "k" * 3000

# Reveals the coordinate `count` times.
REVEALER = textwrap.dedent("""\
    import json, sys, zantu_ffi
    root, passphrase, count, coordinate = sys.argv[1], sys.argv[2], int(sys.argv[3]), sys.argv[4]
    s = zantu_ffi.ZantuSession({"operations": ["reveal"]}, root, passphrase)
    print("ready", flush=True)
    sys.stdin.readline()
    failed = []
    for i in range(count):
        try:
            if s.reveal(coordinate) != b"hunter2":
                failed.append("wrong value")
        except Exception as e:
            failed.append(f"{type(e).__name__}: {e}")
    print(json.dumps(failed), flush=True)
    """)


def test_audit_lines_stay_whole_while_another_process_holds_the_lock(vault):
    procs, count = 6, 60
    vault.plant(literal(LONG_PATH, b"hunter2", revealable=True))
    log = os.path.join(vault.root, "audit.log")
    vault.session().set("secret:dev/app/other", "v")
    holder = subprocess.Popen([sys.executable, "-c", HOLD_AUDIT_LOCK, log], stdout=subprocess.PIPE, text=True)
    revealers = []
    try:
        assert holder.stdout.readline() == "ready\n"
        revealers = [start(REVEALER, vault.root, vault.passphrase, count, "secret:" + LONG_PATH)
                     for _ in range(procs)]
        started = time.monotonic()
        for p in revealers:
            p.stdin.write("go\n")
            p.stdin.flush()
        failed = [finish(p) for p in revealers]
        # Generous: each line waits for the lock a fifth of a second.
        assert time.monotonic() - started < 30
    finally:
        for p in revealers + [holder]:
            if p.poll() is None:
                p.kill()
                p.wait()
    assert failed == [[]] * procs

    with open(log, "rb") as f:
        text = f.read()
    assert text.endswith(b"\n")
    lines = text[:-1].split(b"\n")
    assert [n for n, line in enumerate(lines) if not line] == []
    events = [json.loads(line) for line in lines]
    assert [e["action"] for e in events] == ["create"] + ["reveal"] * (procs * count)
    assert {(e["coordinate"], e["result"]) for e in events[1:]} == {(LONG_PATH, "revealed")}
