"""The type stub shipped beside the module describes the module as it is."""

import os
import pathlib
import subprocess
import sys

import pytest

STUB_DIR = pathlib.Path(__file__).resolve().parents[2] / "python"


@pytest.mark.skipif(os.environ.get("QUILLET_SANITIZED") == "1",
                    reason="the stub check needs no second run under the sanitizers")
@pytest.mark.parametrize("module", ["_quillet", "quillet._native"])
def test_stub_matches_the_module(tmp_path, module):
    env = dict(os.environ, MYPYPATH=str(STUB_DIR))
    # quillet._native sits in a typed package whose other modules mypy would check along: only
    # the stub's own errors count here
    config = tmp_path / "mypy.ini"
    config.write_text("[mypy]\n[mypy-quillet.*]\nignore_errors = True\n"
                      "[mypy-quillet._native]\nignore_errors = False\n")
    result = subprocess.run([sys.executable, "-m", "mypy.stubtest", "--concise",
                             "--mypy-config-file", str(config), module],
                            capture_output=True, text=True, cwd=tmp_path, env=env, timeout=300)
    assert result.returncode == 0, result.stdout + result.stderr


@pytest.mark.parametrize("module_name, stub_name",
                         [("_quillet", "_quillet.pyi"), ("quillet._native", "quillet/_native.pyi")])
def test_stub_constants_are_the_module_constants(module_name, stub_name):
    # The codes are defined once, by their enums in the native core; the stub spells each value
    # out for readers and type checkers, and must say what the module exports.
    import importlib
    import re

    module = importlib.import_module(module_name)
    stub = (STUB_DIR / stub_name).read_text()
    constants = dict(re.findall(r"^([A-Z0-9_]+): Final = (\d+)$", stub, flags=re.M))
    exported = {name for name in module.__all__
                if name.isupper() and isinstance(getattr(module, name), int)}
    assert set(constants) == exported
    assert {name: int(v) for name, v in constants.items()} == {
        name: getattr(module, name) for name in exported}


@pytest.mark.parametrize("prefixes", [("H1_WATCH_",), ("H1_NEXT_", "H1_READ_"), ("H1_REQ_",)])
def test_every_verdict_family_is_a_complete_range(prefixes):
    # Each family is one enum of the core: its values are 0, 1, ... with no gap or repeat.
    import _quillet
    values = sorted(getattr(_quillet, n) for n in _quillet.__all__ if n.startswith(prefixes))
    assert values == list(range(len(values)))
