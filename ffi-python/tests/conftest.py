import os
import sys

# ctest puts the built module's directory on PYTHONPATH; running pytest by hand
# from a build tree works the same way.
_build = os.environ.get("ZANTU_FFI_DIR")
if _build and _build not in sys.path:
    sys.path.insert(0, _build)

import pytest  # noqa: E402


def pytest_collection_modifyitems(config, items):
    from vaultfiles import in_secret_service_fixture

    # Inside the Secret Service fixture the suites run with the OS key source;
    # outside it the tests that need the daemon cannot run.
    inside = in_secret_service_fixture()
    for item in items:
        if inside and item.get_closest_marker("passphrase_only"):
            item.add_marker(pytest.mark.skip(reason="runs with the passphrase key source"))
        if not inside and item.get_closest_marker("secret_service"):
            item.add_marker(pytest.mark.skip(reason="needs scripts/with-secret-service"))


@pytest.fixture
def vault(tmp_path, monkeypatch):
    """A vault root whose sessions open with the passphrase key source, or,
    inside the Secret Service fixture, with the key the daemon holds."""
    from vaultfiles import Vault, in_secret_service_fixture

    monkeypatch.delenv("ZANTU_VAULT_DIR", raising=False)
    monkeypatch.delenv("ZANTU_PASSPHRASE", raising=False)
    return Vault(tmp_path / "vault", key_source="os" if in_secret_service_fixture() else "passphrase")
