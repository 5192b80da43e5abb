"""average and variance against the NumPy reference, bit for bit."""

import subprocess
import sys

import numpy as np
import pytest
import voxelbench
from conftest import assert_bits_equal, bits, moving_reference

KINDS = ["average", "variance"]
ELEMENTS = [(1, 1, 1), (1, 1, 3), (3, 1, 1), (3, 3, 3), (5, 3, 1), (1, 5, 7), (7, 7, 7)]
IMAGES = [(9, 11, 13), (7, 7, 7), (12, 1, 40), (2, 30, 30), (6, 6, 6), (4, 9, 3), (0, 5, 5)]


def run(kind, im, w, out=None):
    """Call `kind` on a copy of a random-filled output and return (result, reference)."""
    if out is None:
        out = np.random.default_rng(1).standard_normal(np.shape(im)).astype(np.float32)
    expected = moving_reference(kind, im, out, w)
    assert getattr(voxelbench, kind)(im, out, w) is None
    return out, expected


@pytest.mark.parametrize("kind", KINDS)
@pytest.mark.parametrize("eshape", ELEMENTS, ids=lambda s: "x".join(map(str, s)))
@pytest.mark.parametrize("ishape", IMAGES, ids=lambda s: "x".join(map(str, s)))
def test_matches_reference(kind, eshape, ishape, rng):
    im = rng.standard_normal(ishape).astype(np.float32) * 10
    w = rng.standard_normal(eshape).astype(np.float32)  # negative and asymmetric
    assert_bits_equal(*run(kind, im, w))


@pytest.mark.parametrize("kind", KINDS)
def test_special_values_propagate(kind, rng):
    im = rng.standard_normal((8, 9, 10)).astype(np.float32)
    im[2, 3, 4], im[5, 5, 5], im[6, 1, 8] = np.nan, np.inf, -np.inf
    w = rng.uniform(0.5, 1.5, (3, 3, 3)).astype(np.float32)
    out, expected = run(kind, im, w)
    assert np.isnan(out[2, 3, 4]) and np.isnan(out).sum() > 20
    assert_bits_equal(out, expected)


@pytest.mark.parametrize(
    "kind, value, expected_bits",
    [("average", 0.3, 0x3E99999C), ("variance", 0.3, 0xB3638E39), ("variance", 5.0, 0)],
)
def test_constant_image_rounds_in_window_order(kind, value, expected_bits):
    im = np.full((5, 5, 5), value, np.float32)
    out = np.full_like(im, -1)
    getattr(voxelbench, kind)(im, out, np.ones((3, 3, 3), np.float32))
    assert (bits(out[1:4, 1:4, 1:4]) == expected_bits).all()
    out[1:4, 1:4, 1:4] = -1
    assert (out == -1).all(), "a voxel outside the interior was written"


@pytest.mark.parametrize(
    "kind, weights, expected_bits",
    [
        ("average", (1, 1, 1), 0x40000000),
        ("variance", (1, 1, 1), 0x3F2AAAAB),
        ("variance", (2, 2, 2), 0x40AAAAAB),
        ("average", (0, 0, 1), 0x40400000),  # applied as stored, not mirrored
    ],
)
def test_three_voxel_row(kind, weights, expected_bits):
    out = np.zeros((1, 1, 3), np.float32)
    getattr(voxelbench, kind)(
        np.array([[[1, 2, 3]]], np.float32), out, np.array([[weights]], np.float32)
    )
    assert bits(out[0, 0, 1]) == expected_bits and out[0, 0, 0] == out[0, 0, 2] == 0


@pytest.mark.parametrize("kind", KINDS)
def test_single_voxel_element_is_identity(kind, rng):
    im = rng.standard_normal((4, 5, 6)).astype(np.float32)
    out = np.empty_like(im)
    getattr(voxelbench, kind)(im, out, np.ones((1, 1, 1), np.float32))
    assert_bits_equal(out, im if kind == "average" else np.zeros_like(im))


@pytest.mark.parametrize("kind", KINDS)
def test_zero_weight_total_gives_inf_and_nan(kind, rng):
    im = rng.uniform(1, 2, (3, 3, 5)).astype(np.float32)
    im[1, 1, 3] = 0
    out = np.zeros_like(im)
    w = np.array([[[1, 0, -1]]], np.float32)
    getattr(voxelbench, kind)(np.zeros_like(im), out, w)
    assert np.isnan(out[:, :, 1:4]).all()
    getattr(voxelbench, kind)(im * np.arange(5, dtype=np.float32), out, w)
    assert np.isinf(out[:, :, 1:4]).all()
    assert_bits_equal(out, moving_reference(kind, im * np.arange(5, dtype=np.float32), out, w))


@pytest.mark.parametrize("kind", KINDS)
@pytest.mark.parametrize("ishape", [(2, 9, 9), (9, 1, 9), (9, 9, 0), (1, 1, 1)])
def test_image_thinner_than_element_writes_nothing(kind, ishape, rng):
    out = np.full(ishape, 7, np.float32)
    getattr(voxelbench, kind)(np.ones(ishape, np.float32), out, np.ones((3, 3, 3), np.float32))
    assert (out == 7).all()


LAYOUTS = {
    "fortran": lambda a: np.asfortranarray(a),
    "transposed": lambda a: np.ascontiguousarray(a.transpose(2, 1, 0)).transpose(2, 1, 0),
    "reversed": lambda a: np.ascontiguousarray(a[::-1, :, ::-1])[::-1, :, ::-1],
    "sliced": lambda a: np.pad(a, 2)[2:-2, 2:-2, 2:-2],
    "float64": lambda a: a.astype(np.float64),
    "fortran-float64": lambda a: np.asfortranarray(a, np.float64),
    "int16": lambda a: (a * 100).astype(np.int16),
    "big-endian": lambda a: a.astype(">f4"),
    "list": lambda a: a.tolist(),
    "misaligned": lambda a: np.frombuffer(b"\0" + a.tobytes(), np.float32, a.size, 1).reshape(
        a.shape
    ),
}


@pytest.mark.parametrize("kind", KINDS)
@pytest.mark.parametrize("layout", LAYOUTS)
def test_inputs_read_like_their_c_ordered_float32_copy(kind, layout, rng):
    im = rng.standard_normal((6, 7, 8)).astype(np.float32)
    w = rng.standard_normal((3, 1, 5)).astype(np.float32)
    im, w = LAYOUTS[layout](im), LAYOUTS[layout](w)
    expected = moving_reference(kind, np.asarray(im, np.float32), np.zeros((6, 7, 8)), w)
    out = np.zeros((6, 7, 8), np.float32)
    getattr(voxelbench, kind)(im, out, w)
    assert_bits_equal(out, expected)


@pytest.mark.parametrize("kind", KINDS)
@pytest.mark.parametrize("alias", ["image", "shifted image", "element"])
def test_output_sharing_memory_with_an_input(kind, alias, rng):
    base = rng.standard_normal(6 * 7 * 8 + 1).astype(np.float32)
    im = base[:-1].reshape(6, 7, 8).copy()
    w = rng.uniform(0.5, 1.5, (3, 3, 3)).astype(np.float32)
    if alias == "image":
        out = im
    elif alias == "shifted image":
        im, out = base[:-1].reshape(6, 7, 8), base[1:].reshape(6, 7, 8)
    else:
        out = im
        w = im[:3, :3, :3]
    expected = moving_reference(kind, im.copy(), out.copy(), w.copy())
    getattr(voxelbench, kind)(im, out, w)
    assert_bits_equal(out, expected)


@pytest.mark.skipif(sys.platform == "win32", reason="reads the peak through resource (POSIX)")
@pytest.mark.parametrize("kind", KINDS)
def test_peak_memory_does_not_grow_with_the_volume(kind):
    code = f"""
import resource, numpy as np, voxelbench
w = np.ones((3, 3, 3), np.float32)
voxelbench.{kind}(w, w.copy(), w)  # loads NumPy's interface
im = np.ones((256, 256, 256), np.float32)
out = np.full_like(im, 2)  # written now, so its pages are resident before the call
before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
voxelbench.{kind}(im, out, w)
print(resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - before)
"""
    result = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    kib = int(result.stdout) // (1024 if sys.platform == "darwin" else 1)  # macOS counts bytes
    assert kib < 8 * 1024, f"peak resident memory grew by {kib} KiB"
