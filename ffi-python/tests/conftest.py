import os
import sys

# ctest puts the built module's directory on PYTHONPATH; running pytest by hand
# from a build tree works the same way.
_build = os.environ.get("ZANTU_FFI_DIR")
if _build and _build not in sys.path:
    sys.path.insert(0, _build)

import pytest  # noqa: E402


@pytest.fixture
def vault(tmp_path, monkeypatch):
    """A vault root with a salt; the key source is the passphrase."""
    from vaultfiles import Vault

    monkeypatch.delenv("ZANTU_VAULT_DIR", raising=False)
    monkeypatch.delenv("ZANTU_PASSPHRASE", raising=False)
    return Vault(tmp_path / "vault")
