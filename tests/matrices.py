"""Families of 3x3 matrices that the hessian tests and the cross-architecture corpus share:
(n, 9) row-major float64 arrays made from a NumPy generator's integers and uniform doubles with
only +, -, *, / and sqrt, one element at a time in a fixed order, which IEEE rounds the same way
everywhere: no linear algebra, reductions, convolution, powers or C library functions, which
may round otherwise on another machine or NumPy. So the same seed gives the same bits on every
machine."""

import itertools
import math

import numpy as np

LOWER, UPPER, OFF_DIAGONAL = [0, 3, 4, 6, 7, 8], [1, 2, 5], [3, 6, 7]
DBL_MIN, F32_MAX = np.finfo(np.float64).tiny, float(np.finfo(np.float32).max)


def uniform(rng, low, high, shape):
    """rng.uniform's numbers, from the same draws, but with the product and the sum rounded
    apart: NumPy's C code may fuse them into one multiply-add on some machines."""
    return low + (high - low) * rng.random(shape)


def normal(rng, shape):
    """Numbers of mean 0 and variance 1, near enough normal: twelve uniform ones added in turn,
    less 6 (so within +-6). standard_normal calls the C library's exp and log1p in some 0.7% of
    draws (its ziggurat's edges and tail), and its tail values are made by log1p."""
    u = rng.random((12, *shape))
    total = u[0]
    for term in u[1:]:
        total = total + term
    return total - 6


def symmetric(a):
    """(n, 9) row-major matrices mirrored from the lower triangle of `a` (n, 3, 3); no
    arithmetic, so -0.0 and NaN survive."""
    return np.where(np.tri(3, dtype=bool), a, np.swapaxes(a, -1, -2)).reshape(-1, 9)


def diagonal(rng, n):
    a = rng.choice([0.0, -0.0], (n, 3, 3))
    a[:, range(3), range(3)] = rng.choice([0.0, -0.0, 1.0, -2.0, 3.0], (n, 3))
    a[: n // 4] = 0.0
    a[n // 4 : n // 2] = np.eye(3) * rng.choice([-0.0, 1.0, -2.5, 1e-30], (n // 2 - n // 4, 1, 1))
    return symmetric(a)


def rotations(rng, n):
    """(n, 3, 3) rotations of random unit quaternions: orthogonal to rounding error, as QR's,
    however the four numbers fall (Gram-Schmidt loses that on nearly dependent columns)."""
    w, x, y, z = normal(rng, (4, n))
    norm = np.sqrt(w * w + x * x + y * y + z * z)
    w, x, y, z = w / norm, x / norm, y / norm, z / norm
    return np.stack([
        1 - 2 * (y * y + z * z), 2 * (x * y - w * z), 2 * (x * z + w * y),
        2 * (x * y + w * z), 1 - 2 * (x * x + z * z), 2 * (y * z - w * x),
        2 * (x * z - w * y), 2 * (y * z + w * x), 1 - 2 * (x * x + y * y),
    ], -1).reshape(n, 3, 3)


POWERS_OF_TEN = np.array([float(f"1e{k}") for k in range(-17, -4)])  # parsed, not computed


def nearly_repeated(rng, n):
    q = rotations(rng, n)
    # eigenvalues 1, 1 + gap, 2, with gaps from 1e-17 (exactly repeated in double) to 1e-4
    gap = (1 + 9 * rng.random(n)) * rng.choice(POWERS_OF_TEN, n)
    qd = q * np.stack([np.ones(n), 1 + gap, np.full(n, 2.0)], -1)[:, None, :]
    m = qd[:, :, None, 0] * q[:, None, :, 0]  # q d q^T, its three terms added in turn
    for k in (1, 2):
        m = m + qd[:, :, None, k] * q[:, None, :, k]
    return symmetric(m)


# Binomial weights C(16, k) / 2^16, of variance 16 / 4: near a Gaussian of sigma 2, and exact, as
# is their total 1.
BINOMIAL = np.array([math.comb(16, k) for k in range(17)]) / 2**16


def smoothed_hessians(rng, n):
    side = 1
    while (2 * side + 1) ** 3 <= 8 * n:  # the nearest whole cube root of n, without pow
        side += 1
    volume = normal(rng, (side, side + 1, side + 2))
    for axis in range(3):  # zeros past the ends; the taps' products added in turn
        v = np.moveaxis(volume, axis, 0)
        padded = np.pad(v, [(8, 8), (0, 0), (0, 0)])
        smooth = np.zeros_like(v)
        for k, weight in enumerate(BINOMIAL):
            smooth = smooth + weight * padded[k : k + len(v)]
        volume = np.moveaxis(smooth, 0, axis)
    # np.gradient only subtracts neighbours and halves: each value rounded once
    h = [np.gradient(g) for g in np.gradient(volume)]
    return np.stack([h[r][c] for r in range(3) for c in range(3)], -1).reshape(-1, 9)


def nonfinite_lower(rng, n):
    m = symmetric(normal(rng, (n, 3, 3)))
    hit = rng.random((n, 6)) < 0.08
    m[:, LOWER] = np.where(hit, rng.choice([np.nan, np.inf, -np.inf], (n, 6)), m[:, LOWER])
    return m


def rank_1(v):
    """v v^T of each row of v (n, 3)."""
    return symmetric(v[:, :, None] * v[:, None, :])


FAMILIES = {
    "uniform": lambda rng, n: symmetric(uniform(rng, -1, 1, (n, 3, 3))),
    "normal": lambda rng, n: symmetric(normal(rng, (n, 3, 3))),
    "integers": lambda rng, n: symmetric(rng.integers(-3, 4, (n, 3, 3)).astype(float)),
    "diagonal-zero-identity": diagonal,
    "rank-1": lambda rng, n: rank_1(normal(rng, (n, 3))),
    "nearly-repeated": nearly_repeated,
    "near-float32-max": lambda rng, n: symmetric(
        rng.choice([-F32_MAX, F32_MAX, 3e38, -1e38, 1.0, 0.0], (n, 3, 3))
    ),
    "float32-subnormal": lambda rng, n: symmetric(uniform(rng, -1, 1, (n, 3, 3)) * 1e-40),
    "mixed-scales": lambda rng, n: symmetric(
        normal(rng, (n, 3, 3)) * rng.choice([1e-30, 1.0, 1e30], (n, 3, 3))
    ),
    "smoothed-hessians": smoothed_hessians,
    "nonfinite-lower": nonfinite_lower,
}


def rows(**entries):
    """Every combination of the values listed per row-major index (m0..m8); the rest are 0."""
    m = np.zeros((int(np.prod([len(v) for v in entries.values()])), 9))
    m[:, [int(k[1:]) for k in entries]] = list(itertools.product(*entries.values()))
    return symmetric(m.reshape(-1, 3, 3))


def signed(*values):
    return [s * v for s in (1, -1) for v in values]


TINY = [0.0, DBL_MIN, -DBL_MIN, 2 * DBL_MIN, 1e-310, -5e-324]
SQRT_MIN = np.sqrt(DBL_MIN)
RARE = {
    # e*e underflows in the Wilkinson shift, with the tiny block last or first
    "shift-underflow-last": rows(
        m0=[1.0, -1.0], m4=[1e-300, -1e-300, 3e-301], m8=[0.0, 1e-300],
        m7=signed(1e-160, 1e-162, 1e-165, 1e-168, 1e-170),
    ),
    "shift-underflow-first": rows(
        m0=[1e-300, -1e-300], m8=[1.0, -1.0], m3=signed(1e-160, 1e-163, 1e-165, 1e-170)
    ),
    "tiny-subdiagonals": rows(
        m0=[1.0, 0.0, 1e-300], m4=[2.0, 1.0, 0.0], m8=[3.0, 0.0], m3=TINY, m7=TINY, m6=[0.0, 1e-320]
    ),
    # every lower triangle of small integers and signed zeros: exact zeros and ties everywhere
    "all-small-integer-triangles": rows(**{f"m{i}": [-2.0, -1.0, -0.0, 0.0, 1.0, 2.0] for i in LOWER}),
    "hxz-squared-near-dbl-min": rows(
        m0=[1.0, 0.0], m4=[2.0, 1e-300], m8=[-1.0, 0.0], m3=[0.0, 1e-154, 1e-300, 1.0],
        m7=[0.0, 1e-160], m6=signed(1.4e-154, 1.5e-154, 1e-160, SQRT_MIN,
                                    np.nextafter(SQRT_MIN, 0), np.nextafter(SQRT_MIN, 1)),
    ),
}
