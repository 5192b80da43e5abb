"""hessian against numpy.linalg.eigh, exact small cases and the argument-aliasing rules."""

import numpy as np
import pytest
import voxelbench
from conftest import assert_bits_equal

# Row-major order of the nine components, then the twelve results.
COMPONENTS = ["hzz", "hzy", "hzx", "hyz", "hyy", "hyx", "hxz", "hxy", "hxx"]


def decompose(field):
    """Run hessian on a (..., 3, 3) field; return eigenvalues (largest first) and vectors.

    vectors[..., k, :] is the (z, y, x) eigenvector of values[..., k].
    """
    shape = field.shape[:-2]
    comps = [np.ascontiguousarray(field[..., r, c], np.float32) for r in range(3) for c in range(3)]
    results = [np.full(shape, np.nan, np.float32) for _ in range(12)]
    assert voxelbench.hessian(*comps, *results) is None
    values = np.stack(results[:3], axis=-1)
    vectors = np.stack(results[3:], axis=-1).reshape(*shape, 3, 3)
    return values, vectors


def symmetric_field(rng, shape):
    a = rng.standard_normal((*shape, 3, 3)).astype(np.float32)
    return np.tril(a) + np.swapaxes(np.tril(a, -1), -1, -2)


def test_random_symmetric_field_matches_eigh(rng):
    field = symmetric_field(rng, (6, 7, 8))
    values, vectors = decompose(field)
    ref_values, ref_vectors = np.linalg.eigh(field.astype(np.float64))
    ref_values, ref_vectors = ref_values[..., ::-1], np.swapaxes(ref_vectors[..., ::-1], -1, -2)
    np.testing.assert_allclose(values, ref_values, rtol=1e-5, atol=1e-5)
    # Vectors agree up to sign wherever the eigenvalue is well separated from the others.
    gaps = np.abs(ref_values[..., :, None] - ref_values[..., None, :]) + np.eye(3) * 1e9
    separated = gaps.min(axis=-1) > 1e-2
    dots = np.abs(np.einsum("...ki,...ki->...k", vectors.astype(np.float64), ref_vectors))
    np.testing.assert_allclose(dots[separated], 1, atol=1e-4)
    gram = np.einsum("...ki,...li->...kl", vectors.astype(np.float64), vectors)
    np.testing.assert_allclose(gram, np.broadcast_to(np.eye(3), gram.shape), atol=1e-5)
    assert (values[..., 0] >= values[..., 1]).all() and (values[..., 1] >= values[..., 2]).all()


UNIT_AXES = [[0, 0, 1], [0, 1, 0], [1, 0, 0]]


@pytest.mark.parametrize(
    "entries, values, vectors",
    [
        ({}, [0, 0, 0], UNIT_AXES),
        ({"hzz": 4, "hyy": 2, "hxx": 1}, [4, 2, 1], [[1, 0, 0], [0, 1, 0], [0, 0, 1]]),
        ({"hzz": 1, "hyy": 2, "hxx": 4}, [4, 2, 1], UNIT_AXES),
        ({"hzz": 2, "hyy": 2, "hxx": 2}, [2, 2, 2], UNIT_AXES),
        ({"hzy": 1}, [0, 0, 0], UNIT_AXES),  # upper triangle only: ignored
    ],
    ids=["zero", "descending-diagonal", "ascending-diagonal", "isotropic", "upper-only"],
)
def test_exact_cases(entries, values, vectors):
    field = np.zeros((1, 1, 1, 3, 3), np.float32)
    for name, v in entries.items():
        field[..., "zyx".index(name[1]), "zyx".index(name[2])] = v
    got_values, got_vectors = decompose(field)
    assert got_values.ravel().tolist() == values
    assert got_vectors.reshape(3, 3).tolist() == vectors


def test_off_diagonal_pair():
    field = np.zeros((1, 1, 1, 3, 3), np.float32)
    field[..., 1, 0] = 1  # hyz
    values, vectors = decompose(field)
    np.testing.assert_allclose(values.ravel(), [1, 0, -1], atol=1e-6)
    r = np.sqrt(0.5)
    expected = np.array([[r, r, 0], [0, 0, 1], [r, -r, 0]])
    signs = np.sign((vectors.reshape(3, 3) * expected).sum(axis=1))[:, None]
    np.testing.assert_allclose(vectors.reshape(3, 3) * signs, expected, atol=1e-6)


def test_upper_triangle_never_read(rng):
    field = symmetric_field(rng, (3, 4, 5))
    garbage = field.copy()
    garbage[..., 0, 1] = np.nan
    garbage[..., 0, 2] = rng.standard_normal((3, 4, 5))
    garbage[..., 1, 2] = np.inf
    for got, expected in zip(decompose(garbage), decompose(field)):
        assert_bits_equal(got, expected)


@pytest.mark.parametrize("lower", [  # hzz, hyz, hyy, hxz, hxy, hxx
    [-1.364188, 0.035208892, np.nan, 1.3309889, np.inf, 0.8887858],
    [0.05103072, -1.6083868, np.nan, -0.11138013, 2.8240971, np.inf],
    [0.46722887, 0.15010867, np.nan, -0.33467073, -np.inf, -0.84917508],
])
def test_nan_and_infinity_give_the_same_results_on_every_machine(lower):
    # Eigen's SSE2 maximum picks another operand than its scalar one when one is NaN: built
    # with it, these matrices gave unit eigenvectors on x86-64 and NaN on ARM.
    field = np.zeros((1, 1, 1, 3, 3), np.float32)
    field[..., [0, 1, 1, 2, 2, 2], [0, 0, 1, 0, 1, 2]] = lower
    for result in decompose(field):
        assert np.isnan(result).all()


def test_only_the_first_three_extents_count(rng):
    comps = [rng.standard_normal((2, 3, 4, 2)).astype(np.float32) for _ in range(9)]
    results = [np.full((2, 3, 4, 2), 9, np.float32) for _ in range(12)]
    voxelbench.hessian(*comps, *results)
    for r in results:
        assert (r.ravel()[24:] == 9).all() and (r.ravel()[:24] != 9).all()


@pytest.mark.parametrize("shape", [(0, 4, 4), (2, 3, 4, 0), (2, 3, 4, 5, 0)])
def test_empty_field_touches_nothing(shape):
    # A zero extent beyond the third leaves no element to write, however many the first three
    # extents count. Each empty result views the start of a larger buffer, to catch writes.
    buffers = [np.full(100, 9, np.float32) for _ in range(12)]
    voxelbench.hessian(*[np.zeros(shape, np.float32)] * 9, *[b[:0].reshape(shape) for b in buffers])
    assert all((b == 9).all() for b in buffers)


def test_component_reused_as_result_and_result_positions_shared(rng):
    field = symmetric_field(rng, (4, 4, 4))
    comps = [np.ascontiguousarray(field[..., r, c]) for r in range(3) for c in range(3)]
    separate = [np.empty((4, 4, 4), np.float32) for _ in range(12)]
    voxelbench.hessian(*comps, *separate)
    # hzz doubles as valA, and valB's array is also passed as valCx: it keeps the later store.
    results = [comps[0]] + [np.empty((4, 4, 4), np.float32) for _ in range(10)]
    results.append(results[1])
    voxelbench.hessian(*comps, *results)
    assert_bits_equal(results[0], separate[0])
    assert_bits_equal(results[1], separate[11])
