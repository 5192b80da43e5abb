"""Shared volumes and the independent float32 references for the moving filters."""

import numpy as np
import pytest

# Quiet and signalling NaNs with distinct payloads and signs (which one a window keeps shows the
# order of its operands), infinities, subnormals, signed zeros and a value whose square overflows.
NANS = np.array([0x7FC00001, 0xFFC00002, 0x7FC12345, 0x7F800001, 0xFFA00000], np.uint32)
SPECIALS = np.concatenate([NANS.view(np.float32),
                           np.float32([np.inf, -np.inf, 1e-45, -1e-40, 1e-39, -0.0, 0.0, 3e38])])


def bits(a):
    return np.asarray(a, dtype=np.float32).view(np.uint32)


def assert_bits_equal(actual, expected, payloads=False):
    """Bit-for-bit equality; NaNs count as equal whatever their payload unless `payloads`."""
    actual, expected = np.asarray(actual), np.asarray(expected)
    assert actual.shape == expected.shape
    both_nan = np.isnan(actual) & np.isnan(expected) & (not payloads)
    mismatch = (bits(actual) != bits(expected)) & ~both_nan
    assert not mismatch.any(), (
        f"{mismatch.sum()} of {mismatch.size} values differ, first at "
        f"{np.argwhere(mismatch)[0]}: {actual[mismatch][0]!r} != {expected[mismatch][0]!r}"
    )


def weight_total(w):
    total = np.float32(0)
    for v in np.asarray(w, np.float32).ravel():
        total = np.float32(total + v)
    return total


@np.errstate(all="ignore")  # NaN and infinities are valid inputs
def moving_reference(kind, im, out, w):
    """What `kind` ("average" or "variance") leaves in `out`, computed with NumPy.

    Loops over the window offsets in window order and accumulates every interior voxel at once
    in float32, so each voxel sees the same sequence of rounded operations as the module.
    """
    im, w = np.asarray(im, np.float32), np.asarray(w, np.float32)
    expected = np.array(out, dtype=np.float32, copy=True)
    half = [e // 2 for e in w.shape]
    inner = [n - 2 * h for n, h in zip(im.shape, half)]
    if min(inner) <= 0:
        return expected
    s = np.zeros(inner, np.float32)
    s2 = np.zeros(inner, np.float32)
    for (a, b, c), weight in np.ndenumerate(w):
        p = im[a : a + inner[0], b : b + inner[1], c : c + inner[2]] * weight
        s += p
        s2 += p * p
    total = weight_total(w)
    result = s / total if kind == "average" else (s2 - (s * s) / total) / total
    expected[tuple(slice(h, h + n) for h, n in zip(half, inner))] = result
    return expected


@pytest.fixture
def rng():
    return np.random.default_rng(20261208)


def pytest_addoption(parser):
    parser.addoption(
        "--hypothesis-examples",
        type=int,
        default=200,
        help="examples per function for the property tests (raise it for local runs)",
    )


@pytest.fixture
def hypothesis_examples(request):
    return request.config.getoption("--hypothesis-examples")
