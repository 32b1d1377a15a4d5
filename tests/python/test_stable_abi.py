"""The extension is built for the stable ABI of CPython 3.10 and later: its
wheel tag, its file name and the C API symbols it imports agree."""

import importlib.metadata
import pathlib
import shutil
import subprocess
import sys

import quorvex
from quorvex import _native


def test_wheel_is_tagged_abi3_for_310():
    assert "Tag: cp310-abi3-" in importlib.metadata.distribution("quorvex").read_text("WHEEL")
    assert pathlib.Path(_native.__file__).name == "_native.abi3.so"


def test_extension_imports_only_stable_abi_symbols_of_310():
    audit = shutil.which("abi3audit", path=str(pathlib.Path(sys.executable).parent))
    assert audit is not None, "abi3audit is part of the test extras"
    result = subprocess.run([audit, "--assume-minimum-abi3", "3.10", "--verbose", _native.__file__],
                            capture_output=True, text=True, timeout=120)
    output = result.stdout + result.stderr
    assert result.returncode == 0 and "0 ABI violations found" in " ".join(output.split()), output
    assert "mismatch" not in output.replace("0 ABI version mismatches", ""), output


def test_type_stub_matches_the_module_and_its_exports():
    import ast

    tree = ast.parse(pathlib.Path(_native.__file__).with_name("_native.pyi").read_text())
    classes = {node.name: node for node in tree.body if isinstance(node, ast.ClassDef)}
    assert sorted(classes) == sorted(name for name in _native.__all__ if name != "__version__")
    assert _native.__all__ == ["NativeClient", "PreparedRetrieval", "SearchResult", "DecodedChunk", "__version__"]
    assert _native.__version__ == quorvex.__version__ == "0.1.0"
    for name, node in classes.items():
        stubbed = {item.name for item in node.body if isinstance(item, ast.FunctionDef)}
        runtime = {attribute for attribute in vars(getattr(_native, name)) if not attribute.startswith("__")}
        assert stubbed == runtime, name
