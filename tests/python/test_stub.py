"""The type stub shipped beside the module describes the module as it is."""

import os
import subprocess
import sys

import pytest


@pytest.mark.skipif(os.environ.get("QUILLET_SANITIZED") == "1",
                    reason="the stub check needs no second run under the sanitizers")
def test_stub_matches_the_module():
    result = subprocess.run([sys.executable, "-m", "mypy.stubtest", "_quillet"],
                            capture_output=True, text=True, cwd=os.path.dirname(__file__),
                            timeout=300)
    assert result.returncode == 0, result.stdout + result.stderr
