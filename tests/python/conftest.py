"""Two small publications shared by the tests: nine chunks of five dimensions in 200-byte
records, under the toy profile and under the experimental simplepir-rs profile."""

import pytest

from support.corpus import publish_synthetic


@pytest.fixture(scope="session")
def toy(tmp_path_factory):
    return publish_synthetic(tmp_path_factory.mktemp("toy"), "toy-development-only-v0", 9, 5, 200, seed=1)


@pytest.fixture(scope="session")
def rs(tmp_path_factory):
    return publish_synthetic(tmp_path_factory.mktemp("rs"), "simplepir-rs-experimental-v0", 9, 5, 200, seed=1)
