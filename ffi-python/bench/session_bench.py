"""Times session operations on a scratch vault, each next to a floor measured
in the same run:

- list over 10,000 records (5,000 in the global vault, 500 in each of 10
  projects) against reading the same files and decrypting them with the same
  libsodium call, with the envelopes decoded beforehand (no JSON), in C++;
- status and reveal of one record against reading and decrypting its file;
- set of an existing record against writing the same number of bytes to a
  temporary file, fsync and rename.

reveal and set also append one audit line with its own fsync; the lines
marked "+audit floor" add that append to the floor.

    scripts/bench session [--build build] [--records 10000]

Reports medians and the ratio of each operation to its floor.
"""
import argparse
import ctypes
import json
import os
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.dirname(os.path.dirname(HERE))


def parse_args():
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--build", default=os.path.join(REPO, "build"), help="the CMake build directory")
    p.add_argument("--records", type=int, default=10000)
    p.add_argument("--projects", type=int, default=10)
    p.add_argument("--rounds", type=int, default=7, help="timed rounds of list")
    return p.parse_args()


args = parse_args()
sys.path.insert(0, os.path.join(args.build, "ffi-python"))
sys.path.insert(0, os.path.join(REPO, "ffi-python", "tests"))

import zantu_ffi  # noqa: E402
from vaultfiles import PASSPHRASE, Vault, literal, seal  # noqa: E402

baseline = ctypes.CDLL(os.path.join(args.build, "ffi-python", "bench", "libzantu_bench_baseline.so"))
baseline.zbb_prepare.argtypes = [ctypes.POINTER(ctypes.c_char_p), ctypes.c_long]
baseline.zbb_prepare.restype = ctypes.c_long
baseline.zbb_run.argtypes = [ctypes.c_char_p]
baseline.zbb_run.restype = ctypes.c_long
baseline.zbb_prepare_file.argtypes = [ctypes.c_char_p]
baseline.zbb_prepare_file.restype = ctypes.c_int
baseline.zbb_run_file.argtypes = [ctypes.c_char_p, ctypes.c_long]
baseline.zbb_run_file.restype = ctypes.c_long


def storage_ids(paths, scratch):
    """BLAKE3 of every canonical path, from one b3sum run."""
    files = []
    for i, p in enumerate(paths):
        name = os.path.join(scratch, str(i))
        with open(name, "w") as f:
            f.write(p)
        files.append(name)
    out = subprocess.run(["b3sum", "--no-names", *files], capture_output=True, text=True, check=True)
    return out.stdout.split()


def populate(vault, num_records, num_projects, scratch):
    per_vault = {None: num_records // 2}
    rest = num_records - per_vault[None]
    for i in range(num_projects):
        per_vault[f"project-{i:02d}"] = rest // num_projects + (1 if i < rest % num_projects else 0)
    planned = []
    for project, n in per_vault.items():
        for i in range(n):
            env = ("dev", "staging", "prod")[i % 3]
            planned.append((project, f"{env}/service-{i % 50}/key-{i}"))
    ids = storage_ids([p for _, p in planned], scratch)
    for (project, path), sid in zip(planned, ids):
        os.makedirs(vault.vault_dir(project), exist_ok=True)
        rec = literal(path, os.urandom(32), sensitivity="medium", revealable=True, description="benchmark record",
                      created="2026-01-02T03:04:05Z", updated="2026-01-02T03:04:05Z")
        with open(os.path.join(vault.vault_dir(project), sid + ".sec"), "wb") as f:
            f.write(seal(json.dumps(rec, separators=(",", ":")).encode(), vault.key))
    return [vault.vault_dir(p) for p in per_vault]


def median_time(fn, rounds):
    times = []
    for _ in range(rounds):
        t0 = time.perf_counter()
        fn()
        times.append(time.perf_counter() - t0)
    return statistics.median(times)


def interleaved(op, floor, rounds):
    """Medians of `op` and `floor`, run alternately so that drift hits both."""
    a, b = [], []
    for _ in range(rounds):
        a.append(median_time(op, 1))
        b.append(median_time(floor, 1))
    return statistics.median(a), statistics.median(b)


def report(name, op_s, floor_s, unit, count):
    print(f"{name:<22} {op_s / count * 1e6:>10.1f} {unit:<3} {floor_s / count * 1e6:>10.1f} {unit:<3} "
          f"{op_s / floor_s:>6.2f}x")


def append_fsync(path, line):
    """One audit-sized line appended and flushed to disk, as every audited operation must."""
    fd = os.open(path, os.O_WRONLY | os.O_APPEND | os.O_CREAT | os.O_CLOEXEC, 0o600)
    os.write(fd, line)
    os.fsync(fd)
    os.close(fd)


def main():
    with tempfile.TemporaryDirectory(prefix="zantu-bench-") as scratch:
        vault = Vault(os.path.join(scratch, "vault"))
        os.mkdir(os.path.join(scratch, "ids"))
        t0 = time.perf_counter()
        dirs = populate(vault, args.records, args.projects, os.path.join(scratch, "ids"))
        print(f"populated {args.records} records in {len(dirs)} vaults in {time.perf_counter() - t0:.1f} s")
        session = zantu_ffi.ZantuSession({"operations": ["metadata", "reveal", "write"]}, vault.root, PASSPHRASE)
        key = vault.key

        c_dirs = (ctypes.c_char_p * len(dirs))(*[d.encode() for d in dirs])
        assert baseline.zbb_prepare(c_dirs, len(dirs)) == args.records
        assert len(session.list()) == args.records
        assert baseline.zbb_run(key) == args.records

        print(f"{'':<22} {'operation':>14} {'floor':>14} {'ratio':>7}")
        op, floor = interleaved(session.list, lambda: baseline.zbb_run(key), args.rounds)
        report("list", op, floor, "ms", 1000)

        # One record for the single-record operations: the first global one.
        path = "dev/service-0/key-0"
        coordinate = "secret:" + path
        record_file = vault.record_file(path)
        assert baseline.zbb_prepare_file(record_file.encode()) == 0
        n = 2000

        def status():
            for _ in range(n):
                session.status(coordinate)

        op, floor = interleaved(status, lambda: baseline.zbb_run_file(key, n), 5)
        report("status", op, floor, "us", n)

        n = 200

        def reveal():
            for _ in range(n):
                session.reveal(coordinate)

        log = os.path.join(scratch, "floor.log")
        line = b'{"ts":"2026-01-02T03:04:05Z","action":"reveal","coordinate":"dev/service-0/key-0",' \
               b'"environment":"dev","result":"revealed","origin":"agent"}\n'

        def read_decrypt_append():
            baseline.zbb_run_file(key, n)
            for _ in range(n):
                append_fsync(log, line)

        op, floor = interleaved(reveal, lambda: baseline.zbb_run_file(key, n), 3)
        report("reveal", op, floor, "us", n)
        op, floor = interleaved(reveal, read_decrypt_append, 3)
        report("reveal (+audit floor)", op, floor, "us", n)

        # set replaces the value of an existing record: the floor writes as
        # many bytes as the record file then holds.
        session.set(coordinate, "x" * 32)
        size = os.path.getsize(record_file)
        data = os.urandom(size)
        tmp_dir = os.path.join(scratch, "floor")
        os.mkdir(tmp_dir)
        target = os.path.join(tmp_dir, "record")

        def set_values():
            for i in range(n):
                session.set(coordinate, "%032d" % i)

        def write_fsync_rename():
            for _ in range(n):
                fd = os.open(target + ".tmp", os.O_WRONLY | os.O_CREAT | os.O_TRUNC | os.O_CLOEXEC, 0o600)
                os.write(fd, data)
                os.fsync(fd)
                os.close(fd)
                os.rename(target + ".tmp", target)

        def write_fsync_rename_append():
            write_fsync_rename()
            for _ in range(n):
                append_fsync(log, line)

        op, floor = interleaved(set_values, write_fsync_rename, 3)
        report("set", op, floor, "us", n)
        op, floor = interleaved(set_values, write_fsync_rename_append, 3)
        report("set (+audit floor)", op, floor, "us", n)


if __name__ == "__main__":
    main()
