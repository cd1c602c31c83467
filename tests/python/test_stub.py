"""The type stub shipped beside the module describes the module as it is."""

import os
import pathlib
import subprocess
import sys

import pytest

STUB_DIR = pathlib.Path(__file__).resolve().parents[2] / "python"


@pytest.mark.skipif(os.environ.get("QUILLET_SANITIZED") == "1",
                    reason="the stub check needs no second run under the sanitizers")
def test_stub_matches_the_module(tmp_path):
    env = dict(os.environ, MYPYPATH=str(STUB_DIR))
    result = subprocess.run([sys.executable, "-m", "mypy.stubtest", "--concise", "_quillet"],
                            capture_output=True, text=True, cwd=tmp_path, env=env, timeout=300)
    assert result.returncode == 0, result.stdout + result.stderr
