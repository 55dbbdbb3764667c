"""What a run leaves when its host dies or its helper is killed: nothing.
The helper process that runs the program shares the host's memory, so a
helper left behind would hold the host's keys and values; it ends with its
host, and the program with it. A helper ended by another process is reported,
never taken for a program that died by a signal."""
import json
import os
import signal
import subprocess
import sys
import textwrap
import time

import pytest

from vaultfiles import literal
from zantu_ffi import ZantuError

HELPER_ENDED = ("the run's helper process was ended by another process before `/bin/sh` exited; "
                "the program was ended with it and its status is unknown")

HOST = textwrap.dedent("""
    import json, sys
    import zantu_ffi

    root, passphrase, script = json.loads(sys.argv[1])
    session = zantu_ffi.ZantuSession({"operations": ["inject"]}, root, passphrase)
    session.inject_run("DB=secret:dev/app/db\\n", "dev", "/bin/sh", ["-c", script])
""")


def recording_script(pidfile):
    """The program writes its own pid and its parent's (the helper's), then
    sleeps long enough that only a kill ends it within the test."""
    return f"echo $$ $PPID > '{pidfile}.tmp' && mv '{pidfile}.tmp' '{pidfile}'; exec sleep 30"


def wait_for_pids(pidfile, host=None):
    for _ in range(3000):
        if os.path.exists(pidfile):
            with open(pidfile) as f:
                program, helper = (int(x) for x in f.read().split())
            return program, helper
        assert host is None or host.poll() is None, host.communicate()
        time.sleep(0.01)
    raise AssertionError("the program never started")


def running(pid):
    """Whether `pid` runs: neither gone nor a zombie (which holds no memory)."""
    try:
        with open(f"/proc/{pid}/stat") as f:
            stat = f.read()
    except FileNotFoundError:
        return False
    return stat[stat.rindex(")") + 2] != "Z"


def wait_until_gone(pids, within):
    deadline = time.monotonic() + within
    while any(running(p) for p in pids) and time.monotonic() < deadline:
        time.sleep(0.005)
    return [p for p in pids if running(p)]


def kill_if_running(pids):
    for p in pids:
        if running(p):
            os.kill(p, signal.SIGKILL)


@pytest.fixture
def db(vault):
    vault.plant(literal("dev/app/db", b"db-value"))
    return vault


@pytest.mark.parametrize("sig", [signal.SIGKILL, signal.SIGTERM])
def test_a_host_that_dies_mid_run_leaves_nothing_running(db, tmp_path, sig):
    pidfile = str(tmp_path / "pids")
    env = {**os.environ, "PYTHONPATH": os.pathsep.join(sys.path)}
    host = subprocess.Popen([sys.executable, "-c", HOST, json.dumps([db.root, db.passphrase, recording_script(pidfile)])],
                            env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    program, helper = wait_for_pids(pidfile, host)
    assert running(program) and running(helper)
    try:
        host.send_signal(sig)
        host.communicate(timeout=30)
        assert host.returncode == -sig
        # The helper and the program end with the host, at once.
        assert wait_until_gone([helper, program], within=1.0) == []
    finally:
        kill_if_running([program, helper])


@pytest.mark.parametrize("sig", ["KILL", "TERM"])
def test_a_helper_ended_by_another_process_is_an_error(db, tmp_path, sig):
    pidfile = str(tmp_path / "pids")
    # Another process, as a program of the same user could be: it ends the
    # helper as soon as the program runs.
    killer = subprocess.Popen(["/bin/sh", "-c", f"while [ ! -s '{pidfile}' ]; do sleep 0.01; done; "
                                                f"read program helper < '{pidfile}'; kill -{sig} $helper"])
    session = db.session()
    try:
        with pytest.raises(ZantuError) as info:
            session.inject_run("DB=secret:dev/app/db\n", "dev", "/bin/sh", ["-c", recording_script(pidfile)])
        assert type(info.value) is ZantuError
        assert info.value.args == (HELPER_ENDED,)
        program, helper = wait_for_pids(pidfile)
        assert wait_until_gone([program, helper], within=1.0) == []
    finally:
        killer.kill()
        killer.wait()
        if os.path.exists(pidfile):
            kill_if_running(wait_for_pids(pidfile))
