"""Every vector backend this machine supports gives the scalar loop's bits."""

import numpy as np
import pytest
import voxelbench
from conftest import assert_bits_equal

testing = pytest.importorskip(
    "_voxelbench_testing", reason="built only with -Ccmake.define.VOXELBENCH_TESTING=ON"
)
VECTOR = [b for b in testing.supported_backends() if b != "scalar"]
ELEMENTS = [(1, 1, 1), (3, 3, 3), (5, 5, 5), (7, 7, 7), (1, 3, 5), (7, 1, 3), (3, 5, 1)]
WIDTHS = list(range(1, 41)) + [63, 64, 65, 130, 257]


def compute(backend, kind, im, w):
    testing.use_backend(backend)
    out = np.full(im.shape, -2, np.float32)
    getattr(testing, kind)(im, out, w)
    return out


@pytest.fixture(autouse=True)
def restore_default():
    yield
    testing.use_backend(testing.supported_backends()[0])


def test_scalar_is_always_there_and_unknown_names_are_refused():
    assert testing.supported_backends()[-1] == "scalar"
    with pytest.raises(ValueError, match="not supported"):
        testing.use_backend("sse9")


@pytest.mark.parametrize("kind", ["average", "variance"])
@pytest.mark.parametrize("eshape", ELEMENTS, ids=lambda s: "x".join(map(str, s)))
@pytest.mark.parametrize("backend", VECTOR)
def test_every_row_remainder_matches_scalar(backend, kind, eshape, rng):
    w = rng.standard_normal(eshape).astype(np.float32)  # negative, asymmetric
    for width in WIDTHS:
        shape = (eshape[0] + 1, eshape[1] + 2, width + eshape[2] - 1)
        im = (rng.standard_normal(shape) * 4).astype(np.float32)
        im.flat[rng.integers(0, im.size, 3)] = [np.nan, np.inf, -np.inf]
        assert_bits_equal(compute(backend, kind, im, w), compute("scalar", kind, im, w))


@pytest.mark.parametrize("kind", ["average", "variance"])
def test_public_module_matches_scalar(kind, rng):
    im = rng.standard_normal((20, 21, 70)).astype(np.float32)
    w = rng.uniform(0, 1, (3, 5, 7)).astype(np.float32)
    out = np.full(im.shape, -2, np.float32)
    getattr(voxelbench, kind)(im, out, w)
    assert_bits_equal(out, compute("scalar", kind, im, w))
