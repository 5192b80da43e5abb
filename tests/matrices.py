"""Families of 3x3 matrices that the hessian tests and the cross-architecture corpus share:
(n, 9) row-major float64 arrays made from a NumPy generator, so the same seed gives the same
matrices on every machine."""

import itertools

import numpy as np

LOWER, UPPER, OFF_DIAGONAL = [0, 3, 4, 6, 7, 8], [1, 2, 5], [3, 6, 7]
DBL_MIN, F32_MAX = np.finfo(np.float64).tiny, float(np.finfo(np.float32).max)


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


def nearly_repeated(rng, n):
    q = np.linalg.qr(rng.standard_normal((n, 3, 3)))[0]
    d = np.zeros((n, 3, 3))
    d[:, 0, 0], d[:, 1, 1], d[:, 2, 2] = 1, 1 + 10 ** rng.uniform(-17, -4, n), 2
    return symmetric(q @ d @ np.swapaxes(q, -1, -2))


def smoothed_hessians(rng, n):
    side = round(n ** (1 / 3))
    volume = rng.standard_normal((side, side + 1, side + 2))
    kernel = np.exp(-0.5 * (np.arange(-6, 7) / 2) ** 2)  # Gaussian, sigma 2
    for axis in range(3):
        volume = np.apply_along_axis(np.convolve, axis, volume, kernel / kernel.sum(), "same")
    h = [np.gradient(g) for g in np.gradient(volume)]
    return np.stack([h[r][c] for r in range(3) for c in range(3)], -1).reshape(-1, 9)


def nonfinite_lower(rng, n):
    m = symmetric(rng.standard_normal((n, 3, 3)))
    hit = rng.random((n, 6)) < 0.08
    m[:, LOWER] = np.where(hit, rng.choice([np.nan, np.inf, -np.inf], (n, 6)), m[:, LOWER])
    return m


FAMILIES = {
    "uniform": lambda rng, n: symmetric(rng.uniform(-1, 1, (n, 3, 3))),
    "normal": lambda rng, n: symmetric(rng.standard_normal((n, 3, 3))),
    "integers": lambda rng, n: symmetric(rng.integers(-3, 4, (n, 3, 3)).astype(float)),
    "diagonal-zero-identity": diagonal,
    "rank-1": lambda rng, n: symmetric(np.einsum("ni,nj->nij", *[rng.standard_normal((n, 3))] * 2)),
    "nearly-repeated": nearly_repeated,
    "near-float32-max": lambda rng, n: symmetric(
        rng.choice([-F32_MAX, F32_MAX, 3e38, -1e38, 1.0, 0.0], (n, 3, 3))
    ),
    "float32-subnormal": lambda rng, n: symmetric(rng.uniform(-1, 1, (n, 3, 3)) * 1e-40),
    "mixed-scales": lambda rng, n: symmetric(
        rng.standard_normal((n, 3, 3)) * 10.0 ** rng.choice([-30, 0, 30], (n, 3, 3))
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
