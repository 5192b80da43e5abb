"""The installed type stubs: found by mypy, faithful to the module's runtime signatures."""

import ast
import re
import sys
from pathlib import Path

import pytest

import voxelbench

mypy_api = pytest.importorskip("mypy.api")

STUBS = Path(voxelbench.__file__).with_name("voxelbench.pyi")

# Each line of CALLS that ends in a comment must draw an error containing the comment's text.
CALLS = """\
import numpy as np
import voxelbench

im = np.zeros((8, 8, 8), np.float32)
out = np.empty_like(im)
mm = np.memmap("/dev/null", np.float32, "r+", shape=(0,))
w = [[[1.0, 2.0, 1.0]]]
f = [im] * 9
o = [out] * 12
voxelbench.average(im, out, w)
voxelbench.variance(im.astype(np.float64), mm, np.ones((3, 3, 3)))
voxelbench.hessian(*f[:9], *o[:12])
voxelbench.hessian(f[0], f[1], f[2], f[3], f[4], f[5], f[6], f[7], f[8], o[0], o[1], o[2], o[3], o[4], o[5], o[6], o[7], o[8], o[9], o[10], o[11])
voxelbench.average(im, out)  # Too few arguments
voxelbench.variance(im, out, w, w)  # Too many arguments
voxelbench.hessian(f[0], f[1], f[2], f[3], f[4], f[5], f[6], f[7], f[8], o[0], o[1], o[2], o[3], o[4], o[5], o[6], o[7], o[8], o[9], o[10])  # Too few arguments
voxelbench.average(im, out, element=w)  # Unexpected keyword argument
voxelbench.average(im, np.zeros((8, 8, 8)), w)  # incompatible type
voxelbench.average(im, [1.0], w)  # incompatible type
"""


def test_mypy_accepts_correct_calls_and_rejects_wrong_ones(tmp_path):
    (tmp_path / "calls.py").write_text(CALLS)
    report, _, status = mypy_api.run(
        ["--strict", "--no-error-summary", "--cache-dir", str(tmp_path / "cache"),
         "--python-executable", sys.executable, str(tmp_path / "calls.py")]
    )
    errors = {}
    for line in report.splitlines():
        m = re.match(r".*calls\.py:(\d+): error: (.*)", line)
        if m:
            errors.setdefault(int(m[1]), []).append(m[2])
    expected = {n: c.split("# ")[1] for n, c in enumerate(CALLS.splitlines(), 1) if "# " in c}
    assert status == 1 and sorted(errors) == sorted(expected), report
    for n, text in expected.items():
        assert any(text in e for e in errors[n]), (n, errors[n])


def test_stub_package_for_mypy_is_the_same_file():
    copy = STUBS.parent / "voxelbench-stubs" / "__init__.pyi"
    assert copy.read_bytes() == STUBS.read_bytes()


@pytest.mark.parametrize("name", ["average", "variance", "hessian"])
def test_stub_signature_matches_the_module(name):
    tree = ast.parse(STUBS.read_text())
    (fn,) = [n for n in tree.body if isinstance(n, ast.FunctionDef) and n.name == name]
    runtime = getattr(voxelbench, name).__doc__
    signature, docstring = runtime.split("\n\n")
    assert len(fn.args.posonlyargs) == signature.count("numpy.ndarray[numpy.float32]")
    assert not (fn.args.args or fn.args.vararg or fn.args.kwonlyargs or fn.args.kwarg)
    assert ast.unparse(fn.returns) == "None"
    outputs = {"average": [1], "variance": [1], "hessian": range(9, 21)}[name]
    kinds = [ast.unparse(a.annotation) for a in fn.args.posonlyargs]
    assert kinds == [
        "NDArray[np.float32]" if i in outputs else "ArrayLike" for i in range(len(kinds))
    ]
    assert ast.get_docstring(fn).split("\n")[0] == docstring.strip()
