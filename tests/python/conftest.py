import os

import pytest

from cloud import aws_environment, reset_moto, running_moto
from vaultkit import Vault

ALL_OPERATIONS = ["metadata", "inject", "reveal", "write"]


@pytest.fixture(autouse=True)
def isolated_environment(monkeypatch):
    # No test may reach a real vault, passphrase or cloud account; tests that
    # rely on the default root point HOME at a temporary directory themselves.
    for name in [name for name in os.environ if name.startswith(("AWS_", "TARNEL_VAULT_DIR", "TARNEL_PASSPHRASE"))]:
        monkeypatch.delenv(name)


@pytest.fixture
def vault(tmp_path):
    return Vault(tmp_path / "vault")


@pytest.fixture
def open_session(vault):  # a session on the test vault; scope keys as the server would give them
    import tarnel_ffi

    def opener(operations=ALL_OPERATIONS, **scope):
        return tarnel_ffi.TarnelSession({"operations": operations, **scope},
                                        vault_dir=str(vault.root), passphrase=vault.passphrase)

    return opener


@pytest.fixture(scope="session")
def moto_server(tmp_path_factory):  # shared by the run, stopped at its end even after a failure
    with running_moto(tmp_path_factory.mktemp("moto") / "moto_server.log") as endpoint:
        yield endpoint


@pytest.fixture
def aws_env(moto_server, tmp_path):  # variables to lay over os.environ, for an emptied moto server
    reset_moto(moto_server)
    return aws_environment(moto_server, tmp_path)
