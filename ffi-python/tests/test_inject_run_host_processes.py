"""inject_run in hosts whose process settings are not ours to change: a host
that ignores SIGCHLD, a host that reaps every child itself (a SIGCHLD handler
and a thread blocked in os.waitpid(-1, 0)), and a host inside a seccomp
sandbox that refuses pidfd_open, clone3 and clone with CLONE_PIDFD. Each host
is a fresh interpreter, so this process keeps its own settings. The value of a
reference resolved through the provider tool takes the same road. And a host
without /dev/null learns that it is /dev/null that is missing."""
import errno
import json
import os
import shutil
import subprocess
import sys
import textwrap

import pytest

from vaultfiles import literal, reference

HOST = textwrap.dedent("""
    import json, os, signal, subprocess, sys, threading, time
    import zantu_ffi

    root, passphrase, setting = json.loads(sys.argv[1])
    reaped = []
    if setting == "ignore":
        signal.signal(signal.SIGCHLD, signal.SIG_IGN)
    own = None
    if setting == "reap":
        def reap(signum, frame):
            while True:
                try:
                    pid, _ = os.waitpid(-1, os.WNOHANG)
                except ChildProcessError:
                    return
                if pid == 0:
                    return
                reaped.append(pid)
        signal.signal(signal.SIGCHLD, reap)
        # A reaper thread waits in waitpid(-1) without the interpreter lock, so
        # it takes any child that ends while inject_run holds the lock. It has a
        # child of the host's own to wait for.
        own = subprocess.Popen(["sleep", "30"])
        def reaper():
            while True:
                try:
                    pid, _ = os.waitpid(-1, 0)
                except ChildProcessError:
                    return
                reaped.append(pid)
                if pid == own.pid:
                    return
        thread = threading.Thread(target=reaper)
        thread.start()
        # Only once the thread is blocked in wait4 is the host what it claims.
        wait4 = {"x86_64": "61", "aarch64": "260"}[os.uname().machine]
        for _ in range(2000):
            with open(f"/proc/self/task/{thread.native_id}/syscall") as f:
                if f.read().split()[0] == wait4:
                    break
            time.sleep(0.005)
        else:
            sys.exit("the reaper thread never blocked in wait4")

    refused = None
    if os.environ.get("ZANTU_TEST_SECCOMP"):
        try:
            os.close(os.pidfd_open(os.getpid()))
        except OSError as e:
            refused = e.errno

    session = zantu_ffi.ZantuSession({"operations": ["inject"]}, root, passphrase)
    script = "printf 'out:%s:%s' \\"$LIT\\" \\"${#REF}\\"; printf err >&2; exit 3"
    try:
        result = session.inject_run("LIT=lit-value\\nREF=secret:dev/app/ref\\n", "dev", "/bin/sh", ["-c", script])
        result = {k: v.decode() if isinstance(v, bytes) else v for k, v in result.items()}
    except zantu_ffi.ZantuError as e:
        result = {"error": str(e)}
    if own is not None:
        own.kill()
        thread.join(20)
    print(json.dumps({"result": result, "reaped": reaped, "own": own.pid if own else None, "refused": refused}))
""")

PIDFD_REFUSED_ENOSYS = ["pidfd_open=ENOSYS", "clone-pidfd=ENOSYS", "clone3=ENOSYS"]
ALL_REFUSED_EPERM = ["pidfd_open=EPERM", "clone-pidfd=EPERM", "clone3=ENOSYS", "close_range=ENOSYS"]


def seccomp_exec():
    path = os.environ.get("ZANTU_SECCOMP_EXEC")
    if not path:
        pytest.skip("ZANTU_SECCOMP_EXEC is not set (ctest sets it to the built zantu_seccomp_exec)")
    return path


@pytest.fixture
def fake_aws(tmp_path, monkeypatch):
    """An `aws` tool first on PATH whose value is 'aws-value', printed as the
    JSON string the real one prints."""
    bindir = tmp_path / "fakebin"
    bindir.mkdir()
    tool = bindir / "aws"
    tool.write_text("#!/bin/sh\nprintf '\"aws-value\"\\n'\n")
    tool.chmod(0o755)
    monkeypatch.setenv("PATH", f"{bindir}:{os.environ['PATH']}")


@pytest.mark.parametrize(
    "setting, refusals",
    [
        ("ignore", None),
        ("reap", None),
        ("default", PIDFD_REFUSED_ENOSYS),
        ("ignore", ALL_REFUSED_EPERM),
        ("reap", ALL_REFUSED_EPERM),
    ],
)
def test_run_returns_the_programs_output_and_status_whatever_the_host(vault, fake_aws, setting, refusals):
    vault.plant(reference("dev/app/ref", "aws-sm://eu-west-1/app-ref"))
    command = [sys.executable, "-c", HOST, json.dumps([vault.root, vault.passphrase, setting])]
    if refusals is not None:
        command = [seccomp_exec(), *[a for r in refusals for a in ("--refuse", r)], "--", *command]
    ran = subprocess.run(command, capture_output=True, text=True, timeout=60)
    assert ran.returncode == 0, ran.stderr
    report = json.loads(ran.stdout)
    # The provider's value is masked like every injected value; its length
    # shows it arrived whole.
    assert report["result"] == {"status": 3, "stdout": f"out:lit-value:{len('aws-value')}", "stderr": "err"}
    # The host reaped nothing but its own child.
    assert report["reaped"] == ([report["own"]] if setting == "reap" else [])
    if refusals is not None:
        want = errno.EPERM if "pidfd_open=EPERM" in refusals else errno.ENOSYS
        assert report["refused"] == want, "the filter did not take"


def test_status_of_a_program_killed_by_a_signal_is_none_in_a_host_that_ignores_sigchld(vault):
    vault.plant(literal("dev/app/db", b"pw"))
    code = textwrap.dedent("""
        import json, signal, sys
        import zantu_ffi
        root, passphrase = json.loads(sys.argv[1])
        signal.signal(signal.SIGCHLD, signal.SIG_IGN)
        session = zantu_ffi.ZantuSession({"operations": ["inject"]}, root, passphrase)
        out = session.inject_run("A=secret:dev/app/db\\n", "dev", "/bin/sh", ["-c", "echo $A; kill -KILL $$"])
        print(json.dumps([out["status"], out["stdout"].decode()]))
    """)
    ran = subprocess.run([sys.executable, "-c", code, json.dumps([vault.root, vault.passphrase])],
                         capture_output=True, text=True, timeout=60)
    assert ran.returncode == 0, ran.stderr
    assert json.loads(ran.stdout) == [None, "***\n"]


def test_a_host_without_dev_null_is_told_so_rather_than_that_the_program_is_missing(vault):
    """A tmpfs over /dev leaves no null device for the program's standard
    input: the run and the provider lookup say so, and blame neither the
    program nor the tool's install."""
    if os.geteuid() != 0 or shutil.which("unshare") is None:
        pytest.skip("mounting over /dev needs root and unshare")
    vault.plant(literal("dev/app/db", b"pw"))
    vault.plant(reference("dev/app/ref", "aws-sm://eu-west-1/app-ref"))
    code = textwrap.dedent("""
        import json, sys
        import zantu_ffi
        root, passphrase = json.loads(sys.argv[1])
        session = zantu_ffi.ZantuSession({"operations": ["inject"]}, root, passphrase)
        said = []
        for refs in ("A=secret:dev/app/db\\n", "A=secret:dev/app/ref\\n"):
            try:
                session.inject_run(refs, "dev", "/bin/true", [])
                said.append("ran")
            except zantu_ffi.ZantuError as e:
                said.append(e.args[0])
        print(json.dumps(said))
    """)
    ran = subprocess.run(["unshare", "-m", "sh", "-c", 'mount -t tmpfs none /dev && exec "$@"', "sh",
                          sys.executable, "-c", code, json.dumps([vault.root, vault.passphrase])],
                         capture_output=True, text=True, timeout=60)
    if ran.returncode != 0 and "mount" in ran.stderr:
        pytest.skip(f"no tmpfs over /dev here: {ran.stderr.strip()}")
    assert ran.returncode == 0, ran.stderr
    assert json.loads(ran.stdout) == [
        "failed to launch child process: launch /bin/true: cannot open /dev/null for its standard input: "
        "No such file or directory (os error 2)",
        "provider error: aws-sm: `aws` cannot be started: cannot open /dev/null for its standard input "
        "(No such file or directory (os error 2))",
    ]
