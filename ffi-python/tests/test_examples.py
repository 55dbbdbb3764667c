"""The examples run as a new user runs them, against the built module."""
import os
import subprocess
import sys

EXAMPLES = os.path.join(os.path.dirname(__file__), "..", "..", "examples")


def test_quickstart_runs_and_shows_the_refused_reveal_the_runs_and_the_edits(tmp_path):
    env = dict(os.environ, TMPDIR=str(tmp_path))
    for name in ("ZANTU_VAULT_DIR", "ZANTU_PASSPHRASE"):
        env.pop(name, None)
    out = subprocess.run([sys.executable, os.path.join(EXAMPLES, "quickstart.py")], env=env,
                         capture_output=True, text=True, timeout=60)
    assert out.returncode == 0, out.stderr
    assert "refused by policy: NotRevealable" in out.stdout
    assert "project:shop" in out.stdout
    assert "hunter2" not in out.stdout
    # The low value marked revealable is revealed; the high one is lowered
    # after the example's own stand-in human approved it.
    assert "reveal dev/app/feature-flag        b'on'" in out.stdout
    assert "edit prod/app/api-token --sensitivity medium (downgrade from High)" in out.stdout
    assert "high -> medium after the approval" in out.stdout
    # Both runs print their injected value, and the output shows it masked.
    assert "stdout b'connecting with password ***\\n'" in out.stdout
    assert "status 0, stdout b'token ***, 40 chars\\n'" in out.stdout
    actions = [line.split('"action":"')[1].split('"')[0] for line in out.stdout.splitlines() if '"action"' in line]
    assert actions[-6:] == ["inject", "approve", "inject", "approve", "sensitivity-downgrade", "edit"]
    # The scratch vault is removed afterwards.
    assert os.listdir(tmp_path) == []
