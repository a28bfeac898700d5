import pytest

from vaultkit import Vault

ALL_OPERATIONS = ["metadata", "inject", "reveal", "write"]


@pytest.fixture(autouse=True)
def isolated_environment(monkeypatch):
    # No test may reach a real vault or a real passphrase; tests that rely on
    # the default root point HOME at a temporary directory themselves.
    monkeypatch.delenv("TARNEL_VAULT_DIR", raising=False)
    monkeypatch.delenv("TARNEL_PASSPHRASE", raising=False)


@pytest.fixture
def vault(tmp_path):
    return Vault(tmp_path / "vault")


@pytest.fixture
def open_session(vault):
    """Opens a session on the test vault; scope keys as the server would give them."""
    import tarnel_ffi

    def opener(operations=ALL_OPERATIONS, **scope):
        return tarnel_ffi.TarnelSession({"operations": operations, **scope},
                                        vault_dir=str(vault.root), passphrase=vault.passphrase)

    return opener
