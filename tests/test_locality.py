"""A NaN or infinity in the input reaches exactly the outputs that read it, on every backend:
for average and variance the windows that hold it, for hessian its own voxel, and only when it
lies in the lower triangle."""

import numpy as np
import pytest
from conftest import assert_bits_equal
from matrices import FAMILIES, LOWER, UPPER, symmetric
from test_backends import compute
from test_hessian_backends import run

testing = pytest.importorskip(
    "_voxelbench_testing", reason="built only with -Ccmake.define.VOXELBENCH_TESTING=ON"
)
BACKENDS = testing.supported_backends()
NONFINITE = np.float32([np.nan, np.inf, -np.inf])


@pytest.fixture(autouse=True)
def restore_default():
    yield
    testing.use_backend(BACKENDS[0])


@pytest.mark.parametrize("wkind", ["random", "ones"])
@pytest.mark.parametrize("seed", range(6))
@pytest.mark.parametrize("kind", ["average", "variance"])
@pytest.mark.parametrize("backend", BACKENDS)
def test_nonfinite_values_reach_exactly_the_windows_that_hold_them(backend, kind, seed, wkind):
    rng = np.random.default_rng(seed)
    eshape = tuple(int(e) for e in rng.choice([1, 3, 5, 7], 3))
    shape = tuple(int(e + rng.integers(1, 40)) for e in eshape)
    if wkind == "ones":
        w = np.ones(eshape, np.float32)
    else:  # signed, with zeros (0 times infinity is NaN), the total kept well away from 0
        w = rng.uniform(-0.3, 1, eshape).astype(np.float32)
        w[rng.random(eshape) < 0.2] = 0
        w[tuple(e // 2 for e in eshape)] = 2
    clean = rng.standard_normal(shape).astype(np.float32)
    hit = rng.random(shape) < 2 / clean.size**0.5  # a few, scattered
    hit.flat[rng.integers(hit.size)] = True
    dirty = clean.copy()
    dirty[hit] = rng.choice(NONFINITE, hit.sum())

    got = compute(backend, kind, dirty, w)
    held = np.zeros(shape, bool)  # interior voxels whose window holds a non-finite value
    interior = tuple(slice(e // 2, n - e // 2) for e, n in zip(eshape, shape))
    held[interior] = np.lib.stride_tricks.sliding_window_view(hit, eshape).any(axis=(3, 4, 5))
    assert np.array_equal(~np.isfinite(got), held)
    assert_bits_equal(got[~held], compute(backend, kind, clean, w)[~held], payloads=True)


def decomposed(backend, m):
    """(12, n) float32 results of (n, 9) row-major float32 matrices."""
    return run(backend, m)[0]


@pytest.mark.parametrize("value", NONFINITE, ids=["nan", "inf", "-inf"])
@pytest.mark.parametrize("position", LOWER + UPPER)
@pytest.mark.parametrize("backend", BACKENDS)
def test_nonfinite_matrix_entry_touches_its_voxel_only_and_only_from_the_lower_triangle(
    backend, position, value, rng
):
    m = symmetric(rng.standard_normal((500, 3, 3))).astype(np.float32)  # no zero entries
    hit = rng.random(len(m)) < 0.3
    dirty = m.copy()
    dirty[hit, position] = value
    clean, got = decomposed(backend, m), decomposed(backend, dirty)
    if position in UPPER:
        assert_bits_equal(got, clean, payloads=True)
        return
    assert_bits_equal(got[:, ~hit], clean[:, ~hit], payloads=True)
    assert np.isnan(got[:3, hit]).all(), "a value of a matrix with a non-finite entry"
    if np.isnan(value):
        assert np.isnan(got[:, hit]).all()
    assert_bits_equal(got, decomposed("scalar", dirty))


@pytest.mark.parametrize("backend", BACKENDS)
def test_a_value_is_nan_exactly_where_a_lower_entry_is_not_finite(backend, rng):
    """Over every family, sparse ones included: there zero off-diagonal entries can split a
    matrix into blocks, and a block without the non-finite entry keeps a finite value."""
    m = np.concatenate([FAMILIES[f](rng, 2000) for f in FAMILIES]).astype(np.float32)
    hit = rng.random((len(m), 6)) < 0.15
    m[:, LOWER] = np.where(hit, rng.choice(NONFINITE, hit.shape), m[:, LOWER])
    nan = np.isnan(decomposed(backend, symmetric(m.reshape(-1, 3, 3)))[:3]).any(axis=0)
    assert np.array_equal(nan, ~np.isfinite(m[:, LOWER]).all(axis=1))
