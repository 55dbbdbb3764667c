"""A program whose exec sleeps on a hung mount, where no signal reaches it,
cannot be ended until the mount answers. A call that runs one returns all
the same, within its limits, and says that the program may still be
running, instead of claiming that it was ended: a provider lookup whose tool
lies on such a mount, and a run whose helper another process kills meanwhile.

The hung mount is zantu_held_fuse (core/tests), a FUSE file system that
leaves every open unanswered until it is released; mounting it needs root
and /dev/fuse."""
import ctypes
import os
import select
import subprocess
import sys
import time

import pytest

from checks import running
from vaultfiles import literal, reference
from zantu_ffi import ZantuError

MNT_DETACH = 2


class HeldMount:
    def __init__(self, directory, server):
        self.dir = directory
        self._server = server
        self._lines = b""

    def next_line(self, timeout):
        deadline = time.monotonic() + timeout
        while b"\n" not in self._lines:
            left = deadline - time.monotonic()
            if left <= 0 or not select.select([self._server.stdout], [], [], left)[0]:
                return ""
            chunk = os.read(self._server.stdout.fileno(), 256)
            if not chunk:
                return ""
            self._lines += chunk
        line, self._lines = self._lines.split(b"\n", 1)
        return line.decode()

    def next_held(self, timeout):
        """The pid of the next process whose open is held, or None."""
        line = self.next_line(timeout)
        return int(line.split()[1]) if line.startswith("held ") else None

    def output(self):
        """The file system's report, for another process to read from."""
        return self._server.stdout

    def control(self):
        """The descriptor on which "release" lines reach the file system."""
        return self._server.stdin.fileno()

    def release(self):
        """Answers every held open, and every later one, with EIO."""
        if not self._server.stdin.closed:
            self._server.stdin.write(b"release\n")
            self._server.stdin.flush()


@pytest.fixture
def held_mount(tmp_path):
    if os.geteuid() != 0:
        pytest.skip("mounting a FUSE file system needs root")
    if not os.access("/dev/fuse", os.R_OK | os.W_OK):
        pytest.skip("no /dev/fuse")
    directory = tmp_path / "mnt"
    directory.mkdir()
    server = subprocess.Popen([os.environ["ZANTU_HELD_FUSE"], str(directory), "aws", "az", "true"],
                              stdin=subprocess.PIPE, stdout=subprocess.PIPE)
    mount = HeldMount(str(directory), server)
    try:
        if mount.next_line(10) != "ready":
            pytest.skip("the held file system could not be mounted")
        yield mount
    finally:
        # The end of its input releases the mount and unmounts it.
        server.stdin.close()
        try:
            server.wait(timeout=10)
        except subprocess.TimeoutExpired:
            server.kill()
            server.wait()
        ctypes.CDLL(None, use_errno=True).umount2(str(directory).encode(), MNT_DETACH)


def test_a_lookup_whose_tool_sleeps_on_a_hung_mount_fails_at_its_limit_saying_the_tool_may_still_run(
        vault, held_mount, monkeypatch, tmp_path):
    vault.plant(reference("dev/app/db", "aws-sm://eu-west-1/app/key"))
    monkeypatch.setenv("PATH", f"{held_mount.dir}:{os.environ['PATH']}")
    marker = tmp_path / "ran"
    start = time.monotonic()
    with pytest.raises(ZantuError) as info:
        vault.session().inject_run("DB=secret:dev/app/db\n", "dev", "/bin/sh", ["-c", f": > '{marker}'"])
    took = time.monotonic() - start
    held = held_mount.next_held(timeout=1)
    assert type(info.value) is ZantuError
    assert info.value.args == (
        "provider error: aws-sm: `aws` timed out after 15s; it could not be ended and may still be running",)
    # The tool's 15 s, then at most the 2 s grace for its end.
    assert took < 15 + 2 + 3
    assert held is not None and running(held)
    assert not marker.exists()
    held_mount.release()
    for _ in range(1000):
        if not running(held):
            break
        time.sleep(0.01)
    assert not running(held)


# Another process, as a program of the same user could be: it reads the held
# open's pid from the file system's report and kills that program's helper.
# The host holds the interpreter lock for the whole run, so no thread of its
# own could. It releases the mount after a while in any case, so that a run
# that waits for the mount fails the test instead of hanging it.
KILLER = """
import os, signal, sys, time
pid = int(sys.stdin.readline().split()[1])
with open(f"/proc/{pid}/stat") as f:
    stat = f.read()
os.kill(int(stat[stat.rindex(")") + 2:].split()[1]), signal.SIGKILL)
print(pid, flush=True)
time.sleep(6)
os.write(int(sys.argv[1]), b"release\\n")
"""


def test_a_run_whose_helper_is_killed_while_the_exec_sleeps_on_a_hung_mount_ends_saying_so(db_vault, held_mount):
    control = held_mount.control()
    killer = subprocess.Popen([sys.executable, "-c", KILLER, str(control)], stdin=held_mount.output(),
                              stdout=subprocess.PIPE, pass_fds=[control])
    try:
        with pytest.raises(ZantuError) as info:
            db_vault.session().inject_run("DB=secret:dev/app/db\n", "dev", os.path.join(held_mount.dir, "true"), [])
        # Raised while the mount still holds the program, not once it answered.
        assert killer.poll() is None
        held = int(killer.stdout.readline())
        assert running(held)
    finally:
        killer.kill()
        killer.wait()
        held_mount.release()
    assert type(info.value) is ZantuError
    assert info.value.args == (
        f"the run's helper process was ended by another process before `{held_mount.dir}/true` exited; "
        "the program could not be ended and may still be running; its status is unknown",)


@pytest.fixture
def db_vault(vault):
    vault.plant(literal("dev/app/db", b"db-value"))
    return vault
