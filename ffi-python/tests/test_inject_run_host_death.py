"""What a run leaves when its host dies or its helper is killed: nothing.
The helper process that runs the program shares the host's memory, so a
helper left behind would hold the host's keys and values; it ends with its
host, and the program with it, even a set-user-ID one, which the kernel does
not end with its parent. A helper ended or stopped by another process is
reported, never taken for a program that died by a signal or exited, and a
stop that merely names the host as its sender is another process's."""
import ctypes
import fcntl
import json
import os
import shutil
import signal
import subprocess
import sys
import textwrap
import time

import pytest

from checks import running
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

NOBODY = 65534


def recording_script(pidfile, sleeper="sleep"):
    """The program writes its own pid and its parent's (the helper's), then
    sleeps long enough that only a kill ends it within the test."""
    return f"echo $$ $PPID > '{pidfile}.tmp' && mv '{pidfile}.tmp' '{pidfile}'; exec '{sleeper}' 30"


def wait_for_pids(pidfile, host=None):
    for _ in range(3000):
        if os.path.exists(pidfile):
            with open(pidfile) as f:
                program, helper = (int(x) for x in f.read().split())
            return program, helper
        assert host is None or host.poll() is None, host.communicate()
        time.sleep(0.01)
    raise AssertionError("the program never started")


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


def assert_helper_ended(db, pidfile, other, script):
    """Runs `script` while `other`, another process, acts on the helper: the
    run raises the helper's error, `other` has done its part, and neither
    the program nor the helper is left running."""
    session = db.session()
    try:
        with pytest.raises(ZantuError) as info:
            session.inject_run("DB=secret:dev/app/db\n", "dev", "/bin/sh", ["-c", script])
        assert type(info.value) is ZantuError
        assert info.value.args == (HELPER_ENDED,)
        assert other.wait(timeout=30) == 0
        program, helper = wait_for_pids(pidfile)
        assert wait_until_gone([program, helper], within=1.0) == []
    finally:
        other.kill()
        other.wait()
        if os.path.exists(pidfile):
            kill_if_running(wait_for_pids(pidfile))


@pytest.mark.parametrize("sig", ["KILL", "TERM"])
def test_a_helper_ended_by_another_process_is_an_error(db, tmp_path, sig):
    pidfile = str(tmp_path / "pids")
    # Another process, as a program of the same user could be: it ends the
    # helper as soon as the program runs.
    killer = subprocess.Popen(["/bin/sh", "-c", f"while [ ! -s '{pidfile}' ]; do sleep 0.01; done; "
                                                f"read program helper < '{pidfile}'; kill -{sig} $helper"])
    assert_helper_ended(db, pidfile, killer, recording_script(pidfile))


@pytest.fixture
def setuid_sleep(tmp_path):
    """A copy of sleep that runs set-user-ID as nobody: its exec changes the
    credentials, and the kernel clears its parent-death signal."""
    if os.geteuid() != 0:
        pytest.skip("only root can give a program another owner")
    if os.statvfs(tmp_path).f_flag & os.ST_NOSUID:
        pytest.skip(f"{tmp_path} is on a nosuid filesystem")
    with open("/proc/self/status") as f:
        if "NoNewPrivs:\t1" in f.read():
            pytest.skip("no_new_privs is set, so exec ignores the set-user-ID bit")
    copy = tmp_path / "setuid-sleep"
    shutil.copy("/bin/sleep", copy)
    os.chown(copy, NOBODY, NOBODY)
    os.chmod(copy, 0o4755)
    return str(copy)


def runs_as(pid, uid, within=10.0):
    """Waits until `pid` runs with the effective uid `uid`."""
    deadline = time.monotonic() + within
    while time.monotonic() < deadline:
        try:
            with open(f"/proc/{pid}/status") as f:
                for line in f:
                    if line.startswith("Uid:") and int(line.split()[2]) == uid:
                        return True
        except FileNotFoundError:
            return False
        time.sleep(0.005)
    return False


def test_a_setuid_program_ends_with_its_host(db, tmp_path, setuid_sleep):
    pidfile = str(tmp_path / "pids")
    env = {**os.environ, "PYTHONPATH": os.pathsep.join(sys.path)}
    host = subprocess.Popen([sys.executable, "-c", HOST,
                             json.dumps([db.root, db.passphrase, recording_script(pidfile, setuid_sleep)])],
                            env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    program, helper = wait_for_pids(pidfile, host)
    try:
        assert runs_as(program, NOBODY), "the set-user-ID exec did not happen"
        host.kill()
        host.communicate(timeout=30)
        assert wait_until_gone([helper, program], within=1.0) == []
    finally:
        kill_if_running([program, helper])


# Another process, as a program of the same user could be: once the program
# runs as nobody, it kills the helper.
HELPER_KILLER = textwrap.dedent("""
    import os, signal, sys, time
    pidfile, uid = sys.argv[1], int(sys.argv[2])
    while not os.path.exists(pidfile):
        time.sleep(0.01)
    program, helper = (int(x) for x in open(pidfile).read().split())
    deadline = time.monotonic() + 10
    while time.monotonic() < deadline:
        uids = [l for l in open(f"/proc/{program}/status") if l.startswith("Uid:")][0].split()
        if int(uids[2]) == uid:
            os.kill(helper, signal.SIGKILL)
            break
        time.sleep(0.005)
""")


def test_a_setuid_program_ends_when_its_helper_is_killed(db, tmp_path, setuid_sleep):
    pidfile = str(tmp_path / "pids")
    killer = subprocess.Popen([sys.executable, "-c", HELPER_KILLER, pidfile, str(NOBODY)])
    assert_helper_ended(db, pidfile, killer, recording_script(pidfile, setuid_sleep))


# Queues SIGTERM to the helper with the host's pid as its sender, which
# rt_sigqueueinfo lets any process of the user write; the code it carries
# (SI_QUEUE) is not the one kill(2) gives.
FORGER = textwrap.dedent("""
    import ctypes, os, signal, struct, sys, time
    pidfile = sys.argv[1]
    while not os.path.exists(pidfile):
        time.sleep(0.01)
    program, helper = (int(x) for x in open(pidfile).read().split())
    SI_QUEUE, SYS_rt_sigqueueinfo = -1, 129
    info = struct.pack("iiii", signal.SIGTERM, 0, SI_QUEUE, 0) + struct.pack("iI", os.getppid(), os.getuid())
    buf = ctypes.create_string_buffer(info.ljust(128, b"\\0"), 128)
    libc = ctypes.CDLL(None, use_errno=True)
    if libc.syscall(SYS_rt_sigqueueinfo, helper, signal.SIGTERM, buf) != 0:
        sys.exit(os.strerror(ctypes.get_errno()))
""")


def test_a_forged_stop_is_a_stop_from_another_process(db, tmp_path):
    pidfile = str(tmp_path / "pids")
    forger = subprocess.Popen([sys.executable, "-c", FORGER, pidfile])
    assert_helper_ended(db, pidfile, forger, recording_script(pidfile))


# Holds a lease on the program's file, so that its exec, which must open the
# file, waits; once the exec waits, stops the helper from outside (SIGTERM,
# then SIGSTOP so that the helper resumes only after the program has ended),
# lets the exec go on, and continues the helper when the program has exited.
SLOW_EXEC_STOPPER = textwrap.dedent("""
    import fcntl, os, signal, sys, time
    F_SETLEASE, F_GETLEASE = 1024, 1025
    path, host = sys.argv[1], os.getppid()
    signal.signal(signal.SIGIO, signal.SIG_IGN)
    fd = os.open(path, os.O_RDONLY)
    try:
        fcntl.fcntl(fd, F_SETLEASE, fcntl.F_WRLCK)
    except OSError as e:
        print("no-lease", e, flush=True)
        sys.exit(0)
    print("ready", flush=True)
    while fcntl.fcntl(fd, F_GETLEASE) == fcntl.F_WRLCK:
        time.sleep(0.005)

    def children(pid):
        with open(f"/proc/{pid}/task/{pid}/children") as f:
            return [int(c) for c in f.read().split()]

    def in_execve(pid):
        with open(f"/proc/{pid}/syscall") as f:
            return f.read().split()[0] == "59"

    # The helper is the host's child whose own child waits in execve.
    helper, program = next((c, g) for c in children(host) if c != os.getpid() for g in children(c) if in_execve(g))
    os.kill(helper, signal.SIGTERM)
    os.kill(helper, signal.SIGSTOP)
    fcntl.fcntl(fd, F_SETLEASE, fcntl.F_UNLCK)

    def state(pid):
        try:
            with open(f"/proc/{pid}/stat") as f:
                stat = f.read()
            return stat[stat.rindex(")") + 2]
        except FileNotFoundError:
            return "gone"

    deadline = time.monotonic() + 10
    while state(program) not in ("Z", "gone") and time.monotonic() < deadline:
        time.sleep(0.005)
    os.kill(helper, signal.SIGCONT)
    print("stopped", flush=True)
""")


def test_a_stop_before_the_exec_completes_is_acted_on(db, tmp_path):
    slow = tmp_path / "true"
    shutil.copy("/bin/true", slow)
    stopper = subprocess.Popen([sys.executable, "-c", SLOW_EXEC_STOPPER, str(slow)],
                               stdout=subprocess.PIPE, text=True)
    try:
        ready = stopper.stdout.readline()
        if ready.startswith("no-lease"):
            pytest.skip(f"no write lease on {slow}: {ready}")
        assert ready == "ready\n"
        session = db.session()
        with pytest.raises(ZantuError) as info:
            session.inject_run("DB=secret:dev/app/db\n", "dev", str(slow), [])
        assert info.value.args == (HELPER_ENDED.replace("/bin/sh", str(slow)),)
        assert stopper.stdout.read() == "stopped\n"
    finally:
        stopper.kill()
        stopper.wait()


# Daemons and services run with stdin, stdout or stderr closed: the host is
# started as such a service would be, through a shell that closes them before
# it execs, and reports on a descriptor of its own.
CLOSED_STDIO = {
    "stdin closed": "0<&-",
    "stdout closed": "1>&-",
    "stderr closed": "2>&-",
    "all three closed": "0<&- 1>&- 2>&-",
}

CLOSED_STDIO_HOST = textwrap.dedent("""
    import json, os, sys
    import zantu_ffi

    root, passphrase, report_fd, runs = json.loads(sys.argv[1])
    session = zantu_ffi.ZantuSession({"operations": ["inject"]}, root, passphrase)
    script = 'read x; printf "%s|%s" "$DB" "${x-none}"; printf err >&2; exit 3'
    results = []
    for _ in range(runs):
        try:
            out = session.inject_run("DB=secret:dev/app/db\\n", "dev", "/bin/sh", ["-c", script])
            results.append([out["status"], out["stdout"].decode(), out["stderr"].decode()])
        except Exception as e:
            results.append(repr(e))
    os.write(report_fd, json.dumps(results).encode())
""")


def closed_stdio_launch(closing, argv):
    """The argument vector of a shell that closes the host's standard
    descriptors as `closing` says and then execs `argv`."""
    return ["/bin/sh", "-c", f'exec "$@" {closing}', "sh", *argv]


@pytest.mark.parametrize("closing", CLOSED_STDIO.values(), ids=CLOSED_STDIO.keys())
def test_a_host_with_a_standard_descriptor_closed_runs_exactly(db, closing):
    read_end, write_end = os.pipe()
    env = {**os.environ, "PYTHONPATH": os.pathsep.join(sys.path)}
    args = json.dumps([db.root, db.passphrase, write_end, 20])
    host = subprocess.Popen(closed_stdio_launch(closing, [sys.executable, "-c", CLOSED_STDIO_HOST, args]),
                            env=env, pass_fds=(write_end,))
    os.close(write_end)
    with os.fdopen(read_end, "rb") as report:
        results = json.loads(report.read() or b"null")
    assert host.wait(timeout=60) == 0
    # stdin is the null device whatever the host's was; the value is masked.
    assert results == [[3, "***|", "err"]] * 20


HELD_HOST = textwrap.dedent("""
    import json, sys
    import zantu_ffi

    root, passphrase, program, args = json.loads(sys.argv[1])
    session = zantu_ffi.ZantuSession({"operations": ["inject"]}, root, passphrase)
    session.inject_run("DB=secret:dev/app/db\\n", "dev", program, args)
""")


def parent_of(pid):
    with open(f"/proc/{pid}/stat") as f:
        stat = f.read()
    return int(stat[stat.rindex(")") + 2:].split()[1])


@pytest.mark.parametrize("closing", ["", *CLOSED_STDIO.values()], ids=["all open", *CLOSED_STDIO.keys()])
def test_a_host_killed_while_its_program_waits_before_the_exec_leaves_nothing(db, tmp_path, closing):
    # The host is held in the one call it makes while its program waits
    # before the exec (taking a descriptor of the program), and killed there.
    report = tmp_path / "held"
    env = {**os.environ, "PYTHONPATH": os.pathsep.join(sys.path)}
    held = [os.environ["ZANTU_SECCOMP_EXEC"], "--hold-pidfd-open", str(report), "--",
            sys.executable, "-c", HELD_HOST, json.dumps([db.root, db.passphrase, "/bin/sh", ["-c", "exec sleep 30"]])]
    launcher = subprocess.Popen(closed_stdio_launch(closing, held), env=env)
    program = helper = None
    try:
        for _ in range(3000):
            if report.exists() or launcher.poll() is not None:
                break
            time.sleep(0.01)
        assert report.exists(), f"the run was never held (exit {launcher.poll()})"
        host, program = (int(x) for x in report.read_text().split())
        helper = parent_of(program)
        assert running(program) and running(helper)
        os.kill(host, signal.SIGKILL)
        assert launcher.wait(timeout=30) == 128 + signal.SIGKILL
        assert wait_until_gone([helper, program], within=1.0) == []
    finally:
        kill_if_running([p for p in (program, helper) if p])
        launcher.kill()
        launcher.wait()


def test_a_host_killed_while_its_programs_exec_is_held_leaves_nothing(db, tmp_path):
    # A lease on the program's file holds its exec, which must open the file;
    # the host dies meanwhile, and the helper does not wait the exec out.
    slow = tmp_path / "true"
    shutil.copy("/bin/true", slow)
    F_SETLEASE, F_GETLEASE = 1024, 1025
    old_io = signal.signal(signal.SIGIO, signal.SIG_IGN)  # the lease's break notice
    fd = os.open(slow, os.O_RDONLY)
    helper = program = None
    try:
        try:
            fcntl.fcntl(fd, F_SETLEASE, fcntl.F_WRLCK)
        except OSError as e:
            pytest.skip(f"no write lease on {slow}: {e}")
        env = {**os.environ, "PYTHONPATH": os.pathsep.join(sys.path)}
        host = subprocess.Popen([sys.executable, "-c", HELD_HOST, json.dumps([db.root, db.passphrase, str(slow), []])],
                                env=env)
        deadline = time.monotonic() + 30
        while fcntl.fcntl(fd, F_GETLEASE) == fcntl.F_WRLCK and time.monotonic() < deadline:
            assert host.poll() is None
            time.sleep(0.005)
        with open(f"/proc/{host.pid}/task/{host.pid}/children") as f:
            helper = int(f.read().split()[0])
        with open(f"/proc/{helper}/task/{helper}/children") as f:
            program = int(f.read().split()[0])
        host.kill()
        assert host.wait(timeout=30) == -signal.SIGKILL
        assert wait_until_gone([helper, program], within=1.0) == []
    finally:
        fcntl.fcntl(fd, F_SETLEASE, fcntl.F_UNLCK)
        os.close(fd)
        signal.signal(signal.SIGIO, old_io)
        kill_if_running([p for p in (program, helper) if p])


LIMITED_HOST = textwrap.dedent("""
    import json, os, resource, sys
    import zantu_ffi

    root, passphrase, report_fd, num_free = json.loads(sys.argv[1])
    session = zantu_ffi.ZantuSession({"operations": ["inject"]}, root, passphrase)
    # Every hole below the highest descriptor filled, then exactly `num_free`
    # numbers left free below the limit.
    highest = max(int(fd) for fd in os.listdir("/proc/self/fd"))
    fillers = []
    while (fd := os.open("/dev/null", os.O_RDONLY)) < highest:
        fillers.append(fd)
    os.close(fd)
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    resource.setrlimit(resource.RLIMIT_NOFILE, (highest + 1 + num_free, hard))
    results = []
    for _ in range(10):
        try:
            out = session.inject_run("DB=secret:dev/app/db\\n", "dev", "/bin/sh", ["-c", 'printf %s "$DB"; exit 3'])
            results.append([out["status"], out["stdout"].decode(), out["stderr"].decode()])
        except Exception as e:
            results.append(repr(e))
    os.write(report_fd, json.dumps(results).encode())
""")


@pytest.mark.parametrize("num_free", [5, 6])
def test_a_host_near_its_descriptor_limit_still_runs(db, num_free):
    read_end, write_end = os.pipe()
    env = {**os.environ, "PYTHONPATH": os.pathsep.join(sys.path)}
    host = subprocess.Popen([sys.executable, "-c", LIMITED_HOST,
                             json.dumps([db.root, db.passphrase, write_end, num_free])], env=env, pass_fds=(write_end,))
    os.close(write_end)
    with os.fdopen(read_end, "rb") as report:
        results = json.loads(report.read() or b"null")
    assert host.wait(timeout=60) == 0
    assert results == [[3, "***", ""]] * 10
