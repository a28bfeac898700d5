import os

import pytest

from cloud import aws_environment, reset_moto, running_moto
from vaultkit import Vault

ALL_OPERATIONS = ["metadata", "inject", "reveal", "write"]


@pytest.fixture(autouse=True)
def isolated_environment(monkeypatch):
    # No test may reach a real vault or a real passphrase; tests that rely on
    # the default root point HOME at a temporary directory themselves.
    monkeypatch.delenv("TARNEL_VAULT_DIR", raising=False)
    monkeypatch.delenv("TARNEL_PASSPHRASE", raising=False)
    # Nor a real cloud account: the aws client only sees what aws_env gives it.
    for name in [name for name in os.environ if name.startswith("AWS_")]:
        monkeypatch.delenv(name)


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


@pytest.fixture(scope="session")
def moto_server(tmp_path_factory):
    """The endpoint of a local moto server, shared by the whole run."""
    with running_moto(tmp_path_factory.mktemp("moto") / "moto_server.log") as endpoint:
        yield endpoint


@pytest.fixture
def aws_env(moto_server, tmp_path):
    """Variables for the `aws` client (lay them over os.environ) that point it
    at the moto server, emptied of what earlier tests stored."""
    reset_moto(moto_server)
    return aws_environment(moto_server, tmp_path)


# --- slow waits started early ---------------------------------------------------
#
# A test function may carry `start_early`, a callable that starts a long wait in
# another process and returns (subprocess.Popen, anything the test needs). It
# is called once collection is final (so only for selected tests), the test is
# moved to the end of the run, and it receives the pair through the `early_job`
# fixture: the wait overlaps the rest of the suite instead of adding to it.

EARLY_JOB = pytest.StashKey[object]()
_early_processes = []


def pytest_collection_modifyitems(config, items):
    items.sort(key=lambda item: hasattr(getattr(item, "function", None), "start_early"))


def pytest_collection_finish(session):
    for item in session.items:
        start = getattr(getattr(item, "function", None), "start_early", None)
        if start is not None:
            job = start()
            item.stash[EARLY_JOB] = job
            _early_processes.append(job[0])


def pytest_sessionfinish(session, exitstatus):
    # A run that stops before the slow test leaves its process behind otherwise.
    for process in _early_processes:
        if process.poll() is None:
            process.kill()
            process.wait()


@pytest.fixture
def early_job(request):
    return request.node.stash[EARLY_JOB]
