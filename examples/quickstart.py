"""A first agent session on a scratch vault.

Makes a vault root in a temporary directory, writes its `kdf.salt` the way
`zantu init` does, opens a session with a passphrase, and then stores,
generates, lists and fingerprints secrets and tries a reveal that the policy
refuses. Run it with `scripts/example` after `scripts/setup`.
"""
import os
import secrets
import tempfile

import zantu_ffi
from zantu_ffi import ZantuDenied, ZantuNotFound, ZantuSession


def show(what, value):
    print(f"{what:<34} {value}")


def main():
    with tempfile.TemporaryDirectory(prefix="zantu-quickstart-") as root:
        # The companion tool writes 16 random bytes of salt, readable by the owner only.
        salt_path = os.path.join(root, "kdf.salt")
        fd = os.open(salt_path, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o600)
        with os.fdopen(fd, "wb") as f:
            f.write(secrets.token_bytes(16))

        # The scope is fixed for the session's life: here any project and any
        # environment, for metadata, writes and reveals but no injected runs.
        scope = {"operations": ["metadata", "write", "reveal"]}
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
