"""A gated run whose text sets a variable that would make an allowlisted
program run code of the text's choosing is denied: ZantuDenied naming the
variable, one audit denial per gated value, no confirmation request, nothing
run. Each case is shown working ungated first, so the fixture is real."""
import os
import shutil
import subprocess
import sys

import pytest

from vaultfiles import literal
from zantu_ffi import ZantuDenied

HOME_REASON = "chooses the per-user start-up files that programs read"
GIT_REASON = "makes git run a command or read a configuration the text chooses"
PYTHON_REASON = "changes which code Python loads or runs"
DENIAL = "variable `{}` {}; high/prod injection refused"
PYTHON = os.path.realpath(sys.executable)
GIT = shutil.which("git")


def write_allowlist(vault, *programs):
    with open(os.path.join(vault.root, "allowlist"), "w") as f:
        f.write("".join(p + "\n" for p in programs))


def audit_lines(vault):
    return [(e["action"], e["result"], e["coordinate"], e["environment"]) for e in vault.audit()]


def copy_db_script(path, leak):
    """A script that copies $DB into `leak`: the text author's code."""
    path.write_text(f"#!/bin/sh\nprintf %s \"$DB\" > '{leak}'\n")
    path.chmod(0o755)
    return path


def user_site_home(tmp_path, leak):
    """A HOME whose user site holds a .pth file that copies $DB into `leak`
    when any Python starts. Returns the text line."""
    home = tmp_path / "home"
    site = home / ".local" / "lib" / f"python{sys.version_info[0]}.{sys.version_info[1]}" / "site-packages"
    site.mkdir(parents=True)
    (site / "zt-steer.pth").write_text(
        f"import os; open({str(leak)!r}, 'w').write(os.environ.get('DB', ''))\n")
    return f"HOME={home}\n"


def git_repo(tmp_path):
    """A repository with one commit, made with no one's configuration."""
    repo = tmp_path / "repo"
    repo.mkdir()
    (repo / "f").write_text("f\n")
    env = {**os.environ, "HOME": str(tmp_path), "GIT_CONFIG_NOSYSTEM": "1"}
    for args in (["init", "-q"], ["add", "f"], ["-c", "user.name=t", "-c", "user.email=t@t", "commit", "-qm", "f"]):
        subprocess.run([GIT, *args], cwd=repo, check=True, timeout=30, env=env)
    return repo


def demo(kind, tmp_path, monkeypatch):
    """(program, args, text lines, variable named in the denial, its reason,
    the file the author's code would write)."""
    leak = tmp_path / "leak"
    if kind == "HOME":
        return PYTHON, ["-c", "print('done')"], user_site_home(tmp_path, leak), "HOME", HOME_REASON, leak
    if kind == "PYTHONWARNINGS":
        # The warning category's module is imported as Python starts: the
        # standard library's antigravity opens a web page through BROWSER,
        # which the text names too.
        browser = copy_db_script(tmp_path / "browser", leak)
        return (PYTHON, ["-c", "print('done')"], f"PYTHONWARNINGS=ignore::antigravity.W\nBROWSER={browser}\n",
                "PYTHONWARNINGS", PYTHON_REASON, leak)
    if GIT is None:
        pytest.skip("needs git")
    hook = copy_db_script(tmp_path / "hook", leak)
    monkeypatch.chdir(git_repo(tmp_path))
    if kind == "XDG_CONFIG_HOME":
        config = tmp_path / "xdg" / "git"
        config.mkdir(parents=True)
        (config / "config").write_text(f"[core]\n\tfsmonitor = {hook}\n")
        return GIT, ["status", "--short"], f"XDG_CONFIG_HOME={tmp_path / 'xdg'}\n", "XDG_CONFIG_HOME", HOME_REASON, leak
    # git takes configuration from the environment as well.
    lines = f"GIT_CONFIG_COUNT=1\nGIT_CONFIG_KEY_0=core.fsmonitor\nGIT_CONFIG_VALUE_0={hook}\n"
    return GIT, ["status", "--short"], lines, "GIT_CONFIG_COUNT", GIT_REASON, leak


@pytest.mark.parametrize("kind", ["HOME", "PYTHONWARNINGS", "XDG_CONFIG_HOME", "GIT_CONFIG_COUNT"])
@pytest.mark.parametrize("gate", ["prod", "high"])
def test_text_that_would_steer_an_allowlisted_program_is_denied(vault, tmp_path, monkeypatch, kind, gate):
    # A request filed by mistake would time out quickly rather than hold the test.
    monkeypatch.setenv("ZANTU_TEST_CONFIRM_TIMEOUT_MS", "1500")
    vault.plant(literal("dev/app/db", b"dev-pass", sensitivity="medium"))
    vault.plant(literal("prod/app/db", b"prod-pass", sensitivity="medium"))
    vault.plant(literal("dev/app/key", b"key-pass", sensitivity="high"))
    program, args, steer, name, reason, leak = demo(kind, tmp_path, monkeypatch)
    write_allowlist(vault, program)
    session = vault.session()

    # Ungated, the steering works: the author's code sees the value.
    session.inject_run(steer + "DB=secret:dev/app/db\n", "dev", program, args)
    assert leak.read_bytes() == b"dev-pass"
    leak.unlink()

    gated = "DB=secret:prod/app/db\n" if gate == "prod" else "DB=secret:dev/app/key\n"
    denial = [("deny", "denied:steering-variable", "prod/app/db", "prod")] if gate == "prod" else \
        [("deny", "denied:steering-variable", "dev/app/key", "dev")]
    before = audit_lines(vault)
    with pytest.raises(ZantuDenied) as info:
        session.inject_run(steer + gated + "LIT=plain\n", "dev", program, args)
    assert type(info.value) is ZantuDenied
    assert info.value.args == (DENIAL.format(name, reason),)
    assert not leak.exists()
    assert audit_lines(vault) == before + denial
    assert not os.path.exists(os.path.join(vault.root, "pending"))

    # Without the lines the allowlisted program runs as its author meant.
    if gate == "prod":
        out = session.inject_run(gated, "dev", program, args)
        assert out["status"] == 0
        assert not leak.exists()


def test_env_and_tmpdir_beside_a_prod_value_run(vault, tmp_path):
    vault.plant(literal("prod/app/db", b"prod-pass", sensitivity="medium"))
    write_allowlist(vault, "/bin/sh")
    out = vault.session().inject_run(
        "ENV=production\nTMPDIR=/tmp\nDB=secret:prod/app/db\n", "dev", "/bin/sh",
        ["-c", "printf '%s|%s|%s' \"$ENV\" \"$TMPDIR\" \"$DB\""])
    assert out == {"status": 0, "stdout": b"production|/tmp|***", "stderr": b""}
    assert audit_lines(vault) == [("inject", "injected", "prod/app/db", "prod")]
