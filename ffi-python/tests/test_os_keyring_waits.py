"""Opening a session with the master key from the OS keyring, in hosts the
module does not control: every wait ends within its bound even while a timer
signal keeps interrupting it, no bus address ever makes it start a program,
and OpenSSL's configuration file is never read. Each opening runs in a child
interpreter, so that a wait that never ends fails the test instead of hanging
it."""
import errno
import os
import shutil
import socket
import subprocess
import sys
import textwrap
import time

import pytest

NO_KEY = "obtaining the master key (run `zantu init`?)"
HERE = os.path.dirname(os.path.abspath(__file__))
FIXTURE = os.path.join(HERE, "..", "..", "scripts", "with-secret-service")

OPEN_IN_HOST = textwrap.dedent("""
    import os, signal, sys, time
    import zantu_ffi

    if sys.argv[2] != "none":
        # A timer signal every 0.5 s, as watchdogs and profilers keep; with or
        # without the restarting of interrupted calls.
        signal.signal(signal.SIGALRM, lambda *_: None)
        signal.siginterrupt(signal.SIGALRM, sys.argv[2] == "interrupting")
        signal.setitimer(signal.ITIMER_REAL, 0.5, 0.5)
    start = time.monotonic()
    try:
        zantu_ffi.ZantuSession({"operations": []}, sys.argv[1])
        outcome = "opened"
    except zantu_ffi.ZantuError as e:
        outcome = repr(e.args)
    took = time.monotonic() - start
    try:
        os.waitid(os.P_ALL, 0, os.WEXITED | os.WNOHANG | os.WNOWAIT)
        children = "child"
    except ChildProcessError:
        children = "none"
    print(outcome, children, round(took, 3), sep="\\n")
""")


def _host_env(address, **extra):
    env = dict(os.environ, DBUS_SESSION_BUS_ADDRESS=address, **extra)
    env.pop("ZANTU_PASSPHRASE", None)
    env.pop("ZANTU_VAULT_DIR", None)
    return env


def _open_in_host(root, signals, env):
    out = subprocess.run([sys.executable, "-c", OPEN_IN_HOST, str(root), signals], env=env, capture_output=True,
                         text=True, timeout=60)
    assert out.returncode == 0, out.stderr
    outcome, children, took = out.stdout.splitlines()
    return outcome, children, float(took)


@pytest.mark.parametrize("signals", ["interrupting", "restarting"])
def test_a_bus_that_never_speaks_fails_within_its_bound(tmp_path, signals):
    # The kernel takes the connection; nothing ever answers the login.
    path = str(tmp_path / "bus")
    with socket.socket(socket.AF_UNIX, socket.SOCK_STREAM) as bus:
        bus.bind(path)
        bus.listen(8)
        outcome, children, took = _open_in_host(tmp_path / "vault", signals, _host_env("unix:path=" + path))
    assert outcome == repr((NO_KEY,))
    assert took < 10
    assert children == "none"
    assert not (tmp_path / "vault").exists()


def _dbus_launch_stub(tmp_path, marker):
    bin_dir = tmp_path / "bin"
    bin_dir.mkdir()
    stub = bin_dir / "dbus-launch"
    stub.write_text(f"#!/bin/sh\ntouch '{marker}'\nexit 1\n")
    stub.chmod(0o755)
    return str(bin_dir)


def _escaped(value):
    safe = set("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789/._-")
    return "".join(c if c in safe else "%%%02x" % ord(c) for c in value)


@pytest.mark.parametrize("transports", [["unixexec"], ["autolaunch"], ["unixexec", "autolaunch", "missing-socket"]])
def test_no_bus_address_starts_a_program(tmp_path, transports):
    marker = tmp_path / "ran"
    entries = {
        "unixexec": "unixexec:path=/bin/sh,argv0=sh,argv1=-c,argv2=" + _escaped(f"touch '{marker}'"),
        "autolaunch": "autolaunch:",
        "missing-socket": "unix:path=" + str(tmp_path / "no-bus"),
    }
    address = ";".join(entries[t] for t in transports)
    env = _host_env(address, DISPLAY=":0", PATH=_dbus_launch_stub(tmp_path, marker) + os.pathsep + os.environ["PATH"])
    outcome, children, took = _open_in_host(tmp_path / "vault", "none", env)
    assert outcome == repr((NO_KEY,))
    assert not marker.exists()
    assert children == "none"


OPEN_WITH_THE_OS_KEY = textwrap.dedent("""
    import os, sys
    from vaultfiles import random_os_key, store_os_key
    import zantu_ffi

    store_os_key(random_os_key())
    # Nothing in this interpreter has set OpenSSL up before the opening.
    assert "_hashlib" not in sys.modules and "_ssl" not in sys.modules, sorted(sys.modules)
    os.environ["OPENSSL_CONF"] = sys.argv[2]
    zantu_ffi.ZantuSession({"operations": []}, sys.argv[1])
    print("opened")
""")

READ_CONFIGURATION = "import os, sys; os.environ['OPENSSL_CONF'] = sys.argv[2]; import hashlib; print('opened')"


def _reads_openssl_configuration(tmp_path, command, code):
    """Whether `code`, run by `command` with the vault root and a FIFO named
    as OPENSSL_CONF, opens that FIFO: an opener for reading waits there until
    a writer comes, and a non-blocking open for writing succeeds only while
    it waits."""
    fifo = str(tmp_path / "openssl.cnf")
    os.mkfifo(fifo, 0o600)
    env = dict(os.environ, PYTHONPATH=HERE + os.pathsep + os.environ.get("PYTHONPATH", ""))
    for name in ("ZANTU_PASSPHRASE", "ZANTU_VAULT_DIR", "OPENSSL_CONF"):
        env.pop(name, None)
    proc = subprocess.Popen([*command, sys.executable, "-c", code, str(tmp_path / "vault"), fifo], env=env,
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    opened = False
    give_up = time.monotonic() + 120
    while proc.poll() is None and time.monotonic() < give_up:
        try:
            writer = os.open(fifo, os.O_WRONLY | os.O_NONBLOCK)
        except OSError as e:
            assert e.errno == errno.ENXIO, e
        else:
            # The reader finds an empty file and goes on.
            opened = True
            os.close(writer)
        time.sleep(0.005)
    proc.kill()
    out, err = proc.communicate(timeout=60)
    assert out.strip() == "opened", err
    return opened


def test_opening_with_the_os_key_never_reads_the_openssl_configuration(tmp_path):
    for tool in ("dbus-run-session", "gnome-keyring-daemon", "gdbus", "secret-tool"):
        if shutil.which(tool) is None:
            pytest.skip(f"{tool} is not installed (scripts/setup installs it)")
    # The check sees a read where OpenSSL's default context is set up.
    (tmp_path / "control").mkdir()
    assert _reads_openssl_configuration(tmp_path / "control", [], READ_CONFIGURATION)
    # A private bus and keyring of its own (nested inside the fixture, when
    # this suite already runs in one).
    (tmp_path / "session").mkdir()
    assert not _reads_openssl_configuration(tmp_path / "session", [FIXTURE], OPEN_WITH_THE_OS_KEY)
