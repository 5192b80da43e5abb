"""Properties over any input: a call either gives the reference result or raises and writes
nothing. Run by test_robustness.py in a child process, so that a crash is reported with the
call that caused it; `pytest tests/properties.py` runs them in-process."""

import os
import warnings

import numpy as np
import pytest
import voxelbench
from conftest import assert_bits_equal
from hypothesis import HealthCheck, given, settings
from strategies import OUTPUTS, calls, describe, predict

LOG = os.environ.get("VOXELBENCH_CALL_LOG")


def snapshot(a):
    if isinstance(a, np.ndarray) and a.nbytes < 2**24:
        return a.tobytes()
    return None


def log_call(args, kwargs):
    if LOG:
        with open(LOG, "w") as f:
            f.write(describe(args, kwargs))


@pytest.mark.parametrize("name", ["average", "variance", "hessian"])
def test_any_call_gives_the_reference_or_raises_and_writes_nothing(name, hypothesis_examples):
    @settings(
        max_examples=hypothesis_examples,
        deadline=None,
        derandomize=hypothesis_examples <= 200,
        suppress_health_check=list(HealthCheck),
    )
    @given(calls(name))
    def check(call):
        args, kwargs = call
        log_call(args, kwargs)  # before predict(), which calls hessian on clean copies
        errors, expected = predict(name, args, kwargs)
        before = [snapshot(a) for a in args]
        try:
            with warnings.catch_warnings():
                warnings.simplefilter("ignore", np.exceptions.ComplexWarning if hasattr(np, "exceptions") else np.ComplexWarning)
                result = getattr(voxelbench, name)(*args, **kwargs)
        except Exception as e:
            assert isinstance(e, errors), f"raised {type(e).__name__}: {e}; expected {errors or 'success'}"
            for a, b in zip(args, before):
                assert b is None or snapshot(a) == b, "a refused call changed an argument"
            return
        assert not errors, f"succeeded; expected {errors}"
        assert result is None
        outputs = [args[i] for i in OUTPUTS[name]]
        for i, contents in expected.items():
            assert_bits_equal(args[i], contents)
        for a, b in zip(args, before):
            if b is not None and not any(np.may_share_memory(a, o) for o in outputs):
                assert snapshot(a) == b, "an input was written"

    check()
