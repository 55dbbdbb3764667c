"""inject_run of a trivial program with 10 injected vault values, next to
subprocess.run of the same program with the same environment, in one run.

    scripts/bench inject [--runs N] [--dir DIR]

Prints the median time of each, the ratio, and how much of the overhead is
the 10 audit lines' fsyncs: measured once directly (10 appends with an fsync
each, as the audit log does them) and once as the difference to inject_run
with an audit log that cannot be opened (a directory in its place), which
skips the writes and the fsyncs and nothing else.
"""
import argparse
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests"))

from vaultfiles import Vault, literal  # noqa: E402

NUM_VALUES = 10
PROGRAM = "/bin/true"


def median_ms(fn, runs):
    fn()  # warm caches and the page cache of the record files
    times = []
    for _ in range(runs):
        t0 = time.perf_counter()
        fn()
        times.append((time.perf_counter() - t0) * 1000)
    return statistics.median(times)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--runs", type=int, default=200)
    parser.add_argument("--dir", default=None, help="where the vault root is made (its file system does the fsyncs)")
    opts = parser.parse_args()

    scratch = tempfile.mkdtemp(prefix="zantu-inject-bench-", dir=opts.dir)
    try:
        for name in ("ZANTU_VAULT_DIR", "ZANTU_PASSPHRASE"):
            os.environ.pop(name, None)
        vault = Vault(os.path.join(scratch, "vault"))
        values = {}
        refs = ""
        for i in range(NUM_VALUES):
            path = f"dev/app/value{i}"
            values[f"V{i}"] = f"value-{i}-0123456789abcdef"
            vault.plant(literal(path, values[f"V{i}"].encode(), sensitivity="medium"))
            refs += f"V{i}=secret:{path}\n"
        session = vault.session(operations=["inject"])

        # The child's environment under inject_run: this one less ZANTU_*, plus the values.
        env = {k: v for k, v in os.environ.items() if not k.startswith("ZANTU_")}
        env.update(values)

        def baseline():
            subprocess.run([PROGRAM], env=env, stdin=subprocess.DEVNULL, capture_output=True, check=True)

        def injected():
            out = session.inject_run(refs, "dev", PROGRAM)
            assert out["status"] == 0

        audit_log = os.path.join(vault.root, "audit.log")
        line = (b'{"ts":"2026-01-01T00:00:00Z","action":"inject","coordinate":"dev/app/value0",'
                b'"environment":"dev","result":"injected","origin":"agent"}\n')

        def fsyncs_only():
            for _ in range(NUM_VALUES):
                fd = os.open(os.path.join(scratch, "fsync.log"), os.O_WRONLY | os.O_APPEND | os.O_CREAT, 0o600)
                try:
                    os.write(fd, line)
                    os.fsync(fd)
                finally:
                    os.close(fd)

        # Interleaved rounds, so drift in the machine's load hits all alike.
        rounds = 5
        per_round = max(1, opts.runs // rounds)
        t_base, t_inject, t_noaudit, t_fsync = [], [], [], []
        for _ in range(rounds):
            t_base.append(median_ms(baseline, per_round))
            t_inject.append(median_ms(injected, per_round))
            t_fsync.append(median_ms(fsyncs_only, per_round))
            os.replace(audit_log, audit_log + ".kept")
            os.mkdir(audit_log)
            t_noaudit.append(median_ms(injected, per_round))
            os.rmdir(audit_log)
            os.replace(audit_log + ".kept", audit_log)
        base, inject, noaudit, fsync = (statistics.median(t) for t in (t_base, t_inject, t_noaudit, t_fsync))

        overhead = inject - base
        print(f"file system of the vault root: {scratch}")
        print(f"runs: {rounds} rounds x {per_round}, medians in ms")
        print(f"subprocess.run {PROGRAM} (same environment):    {base:8.3f}")
        print(f"inject_run with {NUM_VALUES} vault values:           {inject:8.3f}")
        print(f"ratio inject_run / subprocess.run:              {inject / base:8.2f}")
        print(f"overhead:                                       {overhead:8.3f}")
        print(f"  {NUM_VALUES} audit appends with fsync, measured alone: {fsync:8.3f}"
              f"  ({100 * fsync / overhead:.0f}% of the overhead)")
        print(f"  inject_run without audit writes:              {noaudit:8.3f}"
              f"  (audit writes = {inject - noaudit:.3f} ms, {100 * (inject - noaudit) / overhead:.0f}%)")
        print(f"  rest (resolution, gates, masking, binding):   {noaudit - base:8.3f}")
    finally:
        shutil.rmtree(scratch, ignore_errors=True)


if __name__ == "__main__":
    main()
