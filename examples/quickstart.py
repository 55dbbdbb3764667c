"""A first agent session on a scratch vault.

Makes a vault root in a temporary directory, writes its `kdf.salt` the way
`zantu init` does, opens a session with a passphrase, and then stores,
generates, lists and fingerprints secrets, tries a reveal that the policy
refuses, marks a low value revealable and reveals it, runs programs with
values injected into their environment and masked in their output (a "prod"
value only for a program on the vault's allowlist, once a stand-in for the
human has approved it), and lowers a high value's sensitivity after another
approval. Run it with `scripts/example` after `scripts/setup`.
"""
import os
import secrets
import subprocess
import sys
import tempfile

import zantu_ffi
from zantu_ffi import ZantuDenied, ZantuNotFound, ZantuSession


def show(what, value):
    print(f"{what:<34} {value}")


# Plays the human at the companion tool: waits for the confirmation request in
# "pending", shows what it asks, and approves it by creating the decision file
# of the same id whole (written aside, then renamed into place). It must be
# another process: the session holds the interpreter lock while it waits.
APPROVER = """
import json, os, sys, time
pending = sys.argv[1]
deadline = time.monotonic() + 60
while time.monotonic() < deadline:
    names = sorted(n for n in os.listdir(pending) if n.endswith(".json")) if os.path.isdir(pending) else []
    if names:
        request_id = names[0][:-len(".json")]
        with open(os.path.join(pending, names[0]), encoding="utf-8") as f:
            request = json.load(f)["request"]
        print(f"{'  human approves':<34} {request['resolved_command']}", flush=True)
        aside = os.path.join(pending, request_id + ".answer")
        with open(aside, "w") as f:
            f.write("approved\\n")
        os.rename(aside, os.path.join(pending, request_id + ".decision"))
        sys.exit(0)
    time.sleep(0.05)
sys.exit("no confirmation request appeared")
"""


def approve_next_request(root):
    """Starts the stand-in human for the next confirmation request under `root`."""
    sys.stdout.flush()
    return subprocess.Popen([sys.executable, "-c", APPROVER, os.path.join(root, "pending")])


def main():
    with tempfile.TemporaryDirectory(prefix="zantu-quickstart-") as root:
        # The companion tool writes 16 random bytes of salt, readable by the owner only.
        salt_path = os.path.join(root, "kdf.salt")
        fd = os.open(salt_path, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o600)
        with os.fdopen(fd, "wb") as f:
            f.write(secrets.token_bytes(16))

        # The scope is fixed for the session's life: here any project and any
        # environment, for every operation.
        scope = {"operations": ["metadata", "write", "reveal", "inject"]}
        session = ZantuSession(scope, vault_dir=root, passphrase="a passphrase for this demo")
        show("zantu_ffi version", zantu_ffi.version())
        show("vault root", root)

        view = session.set("secret:dev/app/db-password", "hunter2")
        show("set dev/app/db-password", f"{view['sensitivity']}, fingerprint {view['fingerprint']}")

        view = session.generate("secret:prod/app/api-token", length=40, description="API token", project="shop")
        show("generated prod/app/api-token", f"{view['sensitivity']} (prod is born high), {view['origin']}")

        print("\nlist():")
        for v in session.list():
            print(f"  {v['origin']:<14} {v['coordinate']:<22} {v['mode']:<8} {v['sensitivity']:<7} "
                  f"{v['fingerprint']}")
        print()

        show("fingerprint of the password", session.fingerprint("secret:dev/app/db-password"))

        try:
            session.reveal("secret:dev/app/db-password")
        except ZantuDenied as refused:
            show("reveal dev/app/db-password", f"refused by policy: {refused}")

        # Lowering medium to low needs no human; the agent may then read it back.
        session.set("secret:dev/app/feature-flag", "on")
        view = session.edit_metadata("secret:dev/app/feature-flag", sensitivity="low", revealable=True)
        show("edit dev/app/feature-flag", f"{view['sensitivity']}, revealable {view['revealable']}")
        show("reveal dev/app/feature-flag", session.reveal("secret:dev/app/feature-flag"))

        # A program run with a value in its environment: the agent sees only its
        # masked output, never the value.
        run = session.inject_run("DB_PASSWORD=secret:dev/app/db-password\n", "dev", "sh",
                                 ["-c", 'echo "connecting with password $DB_PASSWORD"'])
        show("inject_run sh (dev value)", f"status {run['status']}, stdout {run['stdout']!r}")

        # A "prod" value reaches only a program on the vault's allowlist, and a
        # high one only after a human approves the run. The allowlist names the
        # real file of the program, which is also what the program is started as.
        python = os.path.realpath(sys.executable)
        with open(os.path.join(root, "allowlist"), "w", encoding="utf-8") as f:
            f.write(f"# programs that may receive high and prod values\n{python}\n")
        human = approve_next_request(root)
        run = session.inject_run("project = shop\nAPI_TOKEN=secret:${ENV}/app/api-token\n", "prod", python,
                                 ["-c", "import os; t = os.environ['API_TOKEN']; print(f'token {t}, {len(t)} chars')"])
        if human.wait(timeout=60) != 0:
            raise SystemExit("the approval did not happen")
        show("inject_run python (prod value)", f"status {run['status']}, stdout {run['stdout']!r}")

        # Lowering a high value waits until a human approves it through the
        # confirmation files, for up to two minutes.
        human = approve_next_request(root)
        view = session.edit_metadata("secret:prod/app/api-token", sensitivity="medium", project="shop")
        if human.wait(timeout=60) != 0:
            raise SystemExit("the approval did not happen")
        show("edit prod/app/api-token", f"high -> {view['sensitivity']} after the approval")

        try:
            session.status("secret:dev/app/missing")
        except ZantuNotFound as absent:
            show("status dev/app/missing", absent)

        print("\naudit.log:")
        with open(os.path.join(root, "audit.log"), encoding="utf-8") as log:
            for line in log:
                print("  " + line.rstrip())


if __name__ == "__main__":
    main()
