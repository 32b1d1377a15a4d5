import importlib
import pathlib

import quorvex
from quorvex import _native


def test_version_is_exported():
    assert _native.__version__ == "0.1.0"
    assert quorvex.__version__ == "0.1.0"
    assert "__version__" in _native.__all__


def test_reimport_yields_the_same_module():
    again = importlib.import_module("quorvex._native")
    assert again is _native
    assert _native.__all__.count("__version__") == 1


def test_extension_is_built_for_the_stable_abi():
    # One abi3 binary serves every CPython from 3.10 on.
    assert pathlib.Path(_native.__file__).name == "_native.abi3.so"
