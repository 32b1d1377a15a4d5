"""Publications shared by the tests: nine synthetic chunks of five dimensions in 200-byte records under
the toy and the experimental simplepir-rs profile, and the documents of support.documents."""

import pytest

from support.corpus import publish_synthetic
from support.documents import publish_small


@pytest.fixture(scope="session")
def toy(tmp_path_factory):
    return publish_synthetic(tmp_path_factory.mktemp("toy"), "toy-development-only-v0", 9, 5, 200, seed=1)


@pytest.fixture(scope="session")
def rs(tmp_path_factory):
    return publish_synthetic(tmp_path_factory.mktemp("rs"), "simplepir-rs-experimental-v0", 9, 5, 200, seed=1)


@pytest.fixture(scope="session")
def store(tmp_path_factory):
    root = tmp_path_factory.mktemp("store")
    publish_small(root)
    return root


@pytest.fixture(autouse=True)
def own_state_directory(tmp_path_factory, monkeypatch):
    """Each test remembers distrusted servers in a folder of its own, never in the user's."""
    monkeypatch.setenv("XDG_STATE_HOME", str(tmp_path_factory.mktemp("state")))
