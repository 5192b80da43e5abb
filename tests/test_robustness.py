"""No input crashes the module, leaks, or loses a result; threads and memory exhaustion."""

import os
import resource
import subprocess
import sys
import threading
import time
import weakref
from pathlib import Path

import numpy as np
import pytest
import voxelbench

HERE = Path(__file__).parent
SANITIZED = "libasan" in os.environ.get("LD_PRELOAD", "")


@pytest.mark.parametrize("name", ["average", "variance", "hessian"])
def test_properties_without_a_crash(name, hypothesis_examples, tmp_path):
    """The property suite runs in a child process: a crash fails here, naming the call."""
    log = tmp_path / "last-call.txt"
    child = subprocess.run(
        [sys.executable, "-X", "faulthandler", "-m", "pytest", "-q", "-p", "no:cacheprovider",
         str(HERE / "properties.py"), "-k", name, f"--hypothesis-examples={hypothesis_examples}"],
        cwd=HERE.parent, env={**os.environ, "VOXELBENCH_CALL_LOG": str(log)},
        capture_output=True, text=True, timeout=1800, check=False,
    )
    if child.returncode < 0 or "Fatal Python error" in child.stderr:
        last = log.read_text() if log.exists() else "(no call logged)"
        pytest.fail(f"the child crashed ({child.returncode}) in the call:\n{last}\n{child.stderr[-3000:]}")
    assert child.returncode == 0, child.stdout[-6000:]
