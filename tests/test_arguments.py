"""The Python surface: docstrings, calling rules, argument checks, import behaviour."""

import ast
import glob
import importlib.metadata
import os
import shutil
import subprocess
import sys

import numpy as np
import pytest
import voxelbench

FLOAT = "numpy.ndarray[numpy.float32]"


def signature(count):
    return "(" + ", ".join(f"arg{i}: {FLOAT}" for i in range(count)) + ") -> None"


def filter_args(shape=(5, 5, 5), eshape=(3, 3, 3)):
    return [np.ones(shape, np.float32), np.zeros(shape, np.float32), np.ones(eshape, np.float32)]


def hessian_args(shape=(3, 3, 3)):
    return [np.ones(shape, np.float32) for _ in range(9)] + [
        np.full(shape, i, np.float32) for i in range(12)
    ]


CALLS = {"average": (3, filter_args), "variance": (3, filter_args), "hessian": (21, hessian_args)}


def refused(name, args, error, match):
    """Call expecting `error`; every array passed must come back unchanged."""
    before = [np.array(a, copy=True) if isinstance(a, np.ndarray) else None for a in args]
    with pytest.raises(error, match=match):
        getattr(voxelbench, name)(*args)
    for a, b in zip(args, before):
        if b is not None:
            np.testing.assert_array_equal(a, b)


def test_module_surface():
    assert voxelbench.__doc__ is None
    assert [n for n in dir(voxelbench) if not n.startswith("__")] == [
        "average",
        "hessian",
        "variance",
    ]


def test_distribution_metadata_and_license():
    """The version is read from the metadata, and the MIT licence ships in the wheel."""
    dist = importlib.metadata.distribution("voxelbench")
    assert importlib.metadata.version("voxelbench") == dist.version != ""
    licenses = [f for f in dist.files or () if f.name.startswith("LICENSE")]
    assert licenses and licenses[0].read_text().startswith("MIT License")


@pytest.mark.parametrize(
    "name, count, text",
    [
        ("average", 3, "average c++ function moving filters"),
        ("variance", 3, "variance c++ function moving filters"),
        ("hessian", 21, "hessian c++ function not moving filters"),
    ],
)
def test_docstrings(name, count, text):
    assert getattr(voxelbench, name).__doc__ == f"{name}{signature(count)}\n\n{text}\n"


def incompatible(name, count, args, kwargs=None):
    text = (
        f"{name}(): incompatible function arguments. The following argument types are "
        f"supported:\n    1. {signature(count)}\n\nInvoked with: " + ", ".join(map(repr, args))
    )
    if kwargs:
        text += ("; " if args else "") + "kwargs: "
        text += ", ".join(f"{k}={v!r}" for k, v in kwargs.items())
    return text


@pytest.mark.parametrize(
    "name, args, kwargs",
    [
        ("average", filter_args()[:2], {}),
        ("average", filter_args() + [np.ones(1)], {}),
        ("variance", [], {}),
        ("hessian", hessian_args()[:20], {}),
        ("average", filter_args(), {"stElNumpy": 1}),
        ("variance", [], {"imInNumpy": [1.0], "x": None}),
        ("average", ["not a number"] + filter_args()[1:], {}),
        ("hessian", hessian_args()[:20] + [object()], {}),
    ],
    ids=["two", "four", "none", "twenty", "keyword", "only-keywords", "text", "object"],
)
def test_incompatible_arguments_message(name, args, kwargs):
    with pytest.raises(TypeError) as info:
        getattr(voxelbench, name)(*args, **kwargs)
    assert str(info.value) == incompatible(name, CALLS[name][0], args, kwargs)
    for a in args:
        if isinstance(a, np.ndarray) and a.dtype == np.float32 and a.size > 1:
            assert (a == a.flat[0]).all()  # nothing was written


OUTPUTS_THAT_WOULD_BE_COPIES = {
    "float64": lambda s: np.zeros(s),
    "int32": lambda s: np.zeros(s, np.int32),
    "big-endian": lambda s: np.zeros(s, ">f4"),
    "list": lambda s: np.zeros(s).tolist(),
    "memoryview": lambda s: memoryview(np.zeros(s, np.float32)),
}


@pytest.mark.parametrize("name", CALLS)
@pytest.mark.parametrize("kind", OUTPUTS_THAT_WOULD_BE_COPIES)
def test_output_that_would_be_a_copy_is_refused(name, kind):
    count, make = CALLS[name]
    args = make()
    position = 2 if count == 3 else 21
    args[position - 1] = OUTPUTS_THAT_WOULD_BE_COPIES[kind](args[0].shape)
    role = "output" if count == 3 else "valCx"
    refused(name, args, TypeError, rf"^{name}\(\): argument {position} \({role}\) must be a float32")


def shape_cases():
    """(function, arguments, message) for every shape rule."""
    f = filter_args
    yield "average", [np.ones((5, 5))] + f()[1:], r"argument 1 \(image\) must be 3-dimensional"
    yield "variance", f()[:2] + [np.ones((3, 3, 3, 1))], r"argument 3 \(element\) must be 3-dim"
    yield "average", [f()[0], np.zeros((5, 5, 4), np.float32), f()[2]], r"argument 2 \(output\) must have the shape of argument 1 \(image\), \(5, 5, 5\), got \(5, 5, 4\)"
    yield "average", [f()[0], np.zeros((5, 5, 5, 1), np.float32), f()[2]], r"argument 2 \(output\) must be 3-dim"
    for bad in [(2, 3, 3), (3, 3, 4), (0, 1, 1)]:
        yield "variance", f(eshape=bad), r"argument 3 \(element\) must have odd extents"
    yield "average", f(shape=(0, 5, 5), eshape=(1, 2, 1)), "odd extents"
    h = hessian_args()
    yield "hessian", [np.ones((3, 3))] * 9 + h[9:], r"argument 1 \(hzz\) must have at least 3 dim"
    yield "hessian", h[:4] + [np.ones((3, 3, 2))] + h[5:], r"argument 5 \(hyy\) must have the shape"
    yield "hessian", h[:9] + [np.ones((3, 3, 3, 1), np.float32)] + h[10:], r"argument 10 \(valA\)"
    yield "hessian", h[:20] + [np.ones(27, np.float32)], r"argument 21 \(valCx\) must have the sh"


def layout_cases():
    """Outputs that are float32 but not one C-ordered block."""
    c = np.zeros((5, 6, 7), np.float32)
    yield "fortran", np.asfortranarray(c)
    yield "transposed", c.transpose(2, 1, 0).copy().transpose(2, 1, 0)
    yield "reversed", np.zeros((5, 6, 7), np.float32)[::-1]
    yield "sliced", np.zeros((5, 6, 14), np.float32)[:, :, ::2]
    raw = np.zeros(5 * 6 * 7 * 4 + 1, np.uint8)[1:]
    yield "misaligned", raw.view(np.float32).reshape(5, 6, 7)


@pytest.mark.parametrize(
    "name, args, match", list(shape_cases()), ids=lambda v: v if isinstance(v, str) else ""
)
def test_shape_rules(name, args, match):
    refused(name, args, ValueError, match)


@pytest.mark.parametrize("layout, out", list(layout_cases()), ids=lambda v: v if isinstance(v, str) else "")
@pytest.mark.parametrize("name", CALLS)
def test_output_must_be_c_contiguous(name, layout, out):
    count, make = CALLS[name]
    args = make(out.shape) if count == 21 else make(out.shape, (3, 1, 1))
    args[1 if count == 3 else 13] = out
    refused(name, args, ValueError, "must be C-contiguous and aligned")


@pytest.mark.parametrize("name", CALLS)
def test_read_only_output_is_refused_by_the_buffer_protocol(name):
    count, make = CALLS[name]
    args = make()
    args[1 if count == 3 else 20].flags.writeable = False
    refused(name, args, ValueError, "read-only")


def test_memory_map_and_subclass_outputs_receive_results(tmp_path):
    im = np.arange(4 * 5 * 6, dtype=np.float32).reshape(4, 5, 6)
    expected = np.zeros_like(im)
    voxelbench.average(im, expected, np.ones((3, 3, 3), np.float32))
    mm = np.memmap(tmp_path / "out.f32", np.float32, "w+", shape=im.shape)
    voxelbench.average(im, mm, np.ones((3, 3, 3), np.float32))
    mm.flush()
    np.testing.assert_array_equal(np.fromfile(tmp_path / "out.f32", np.float32), expected.ravel())

    class Tagged(np.ndarray):
        pass

    tagged = np.zeros_like(im).view(Tagged)
    voxelbench.average(im, tagged, np.ones((3, 3, 3)))
    np.testing.assert_array_equal(tagged, expected)


def test_read_only_memory_map_output_is_refused(tmp_path):
    (tmp_path / "out.f32").write_bytes(bytes(4 * 27))
    mm = np.memmap(tmp_path / "out.f32", np.float32, "r", shape=(3, 3, 3))
    with pytest.raises(ValueError, match="read-only"):
        voxelbench.average(np.ones((3, 3, 3)), mm, np.ones((1, 1, 1)))
    assert (tmp_path / "out.f32").read_bytes() == bytes(4 * 27)


def run_python(executable, code):
    return subprocess.run(
        [executable, "-c", code], capture_output=True, text=True, timeout=120, check=False
    )


def test_import_and_calls_without_numpy():
    code = """
import sys
sys.modules["numpy"] = None  # makes "import numpy" fail
import voxelbench
assert voxelbench.__doc__ is None
try:
    voxelbench.average(1, 2)
except TypeError as e:
    print("count:", type(e).__name__)
for attempt in range(2):
    try:
        voxelbench.average([[[1.0]]], [[[1.0]]], [[[1.0]]])
    except ImportError as e:
        print("call:", type(e).__name__, "numpy" in str(e))
del sys.modules["numpy"]
import numpy as np
out = np.zeros((1, 1, 1), np.float32)
voxelbench.average([[[2.0]]], out, [[[1.0]]])
print("retry:", out.item())
"""
    result = run_python(sys.executable, code)
    assert result.returncode == 0, result.stderr
    assert result.stdout.split("\n") == [
        "count: TypeError",
        "call: ModuleNotFoundError True",
        "call: ModuleNotFoundError True",
        "retry: 2.0",
        "",
    ]


def other_interpreters():
    here = f"{sys.version_info.major}.{sys.version_info.minor}"
    for path in sorted(glob.glob("/root/.pyenv/versions/3.*/bin/python3")):
        version = path.split("/")[-3]
        if version.rsplit(".", 1)[0] != here:
            yield path


def test_import_under_another_interpreter_is_refused(tmp_path):
    shutil.copy(voxelbench.__file__, tmp_path / "voxelbench.so")
    built_for = f"{sys.version_info.major}.{sys.version_info.minor}"
    checked = 0
    for python in other_interpreters():
        code = f"""
import sys
sys.path.insert(0, {str(tmp_path)!r})
try:
    import voxelbench
except ImportError as e:
    print(repr((str(e), sys.version)))
"""
        out, version = ast.literal_eval(run_python(python, code).stdout)
        if "undefined symbol" in out:
            continue  # the loader refused the file before the module's own check could run
        assert out == (
            f"Python version mismatch: module was compiled for Python {built_for}, "
            f"but the interpreter version is incompatible: {version}."
        )
        checked += 1
    if not checked:
        pytest.skip("no other CPython that can load the module file is installed")
