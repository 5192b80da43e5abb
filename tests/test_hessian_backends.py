"""Vector hessian backends give the scalar (Eigen) bits and hand Eigen the lanes they must."""

import itertools

import numpy as np
import pytest
from conftest import assert_bits_equal
from test_hessian import COMPONENTS

testing = pytest.importorskip(
    "_voxelbench_testing", reason="built only with -Ccmake.define.VOXELBENCH_TESTING=ON"
)
BACKENDS = testing.supported_backends()
VECTOR = [b for b in BACKENDS if b != "scalar"]
RESULTS = ["valA", "valB", "valC"] + [f"val{v}{a}" for v in "ABC" for a in "zyx"]
LOWER, UPPER, OFF_DIAGONAL = [0, 3, 4, 6, 7, 8], [1, 2, 5], [3, 6, 7]
DBL_MIN, F32_MAX = np.finfo(np.float64).tiny, float(np.finfo(np.float32).max)


@pytest.fixture(autouse=True)
def restore_defaults():
    previous = testing.hessian_iterations(32)
    yield
    testing.use_backend(BACKENDS[0])
    testing.hessian_iterations(previous)


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


def run(backend, m):
    """(12, n) results for (n, 9) matrices, through hessian if float32 else hessian_doubles,
    and the (nonfinite, slow) fallbacks the call added."""
    testing.use_backend(backend)
    before = testing.hessian_fallbacks()
    if m.dtype == np.float32:
        out = np.full((12, 1, 1, len(m)), -7, np.float32)
        testing.hessian(*np.ascontiguousarray(m.T).reshape(9, 1, 1, -1), *out)
        out = out.reshape(12, -1)
    else:
        out = testing.hessian_doubles(m)
    return out, tuple(a - b for a, b in zip(testing.hessian_fallbacks(), before))


DTYPES = [np.float32, np.float64]  # hessian's float32 results, then hessian_doubles' raw ones


def assert_same(actual, expected, m):
    """(12, n) results equal bit for bit (NaN matches any NaN); names the first matrix off."""
    uint = f"u{actual.itemsize}"
    bad = (actual.view(uint) != expected.view(uint)) & ~(np.isnan(actual) & np.isnan(expected))
    if bad.any():
        k, i = np.argwhere(bad)[0]
        pytest.fail(
            f"{bad.any(axis=0).sum()} of {m.shape[0]} matrices differ; first: {m[i].tolist()} "
            f"gives {RESULTS[k]} = {actual[k, i]!r}, scalar {expected[k, i]!r}"
        )


@pytest.mark.parametrize("dtype", DTYPES, ids=["float32", "doubles"])
@pytest.mark.parametrize("family", FAMILIES)
@pytest.mark.parametrize("backend", VECTOR)
def test_families_match_scalar(backend, family, dtype, rng):
    m = FAMILIES[family](rng, 3000).astype(dtype)
    got, (nonfinite, slow) = run(backend, m)
    assert_same(got, run("scalar", m)[0], m)
    assert nonfinite == (~np.isfinite(m[:, LOWER])).any(axis=1).sum()
    if family == "smoothed-hessians":  # real data converges within the default bound
        assert slow == 0


@pytest.mark.parametrize("dtype", DTYPES, ids=["float32", "doubles"])
@pytest.mark.parametrize("backend", BACKENDS)
def test_nonfinite_upper_triangle_ignored_and_not_counted(backend, dtype, rng):
    clean = nonfinite_lower(rng, 2000).astype(dtype)
    clean[:, UPPER] = 0
    dirty = clean.copy()
    dirty[:, UPPER] = rng.choice([np.nan, np.inf, -np.inf, 0.0], (2000, 3))
    got, fallbacks = run(backend, dirty)
    assert_same(got, run("scalar", clean)[0], dirty)
    lower = (~np.isfinite(clean[:, LOWER])).any(axis=1).sum()
    assert fallbacks == (0 if backend == "scalar" else lower, 0)


SHAPES = [(1, 1, n) for n in range(1, 50)] + [(3, 5, 7), (2, 3, 4), (4, 1, 9), (2, 5, 5)]


@pytest.mark.parametrize("shape", SHAPES, ids=lambda s: "x".join(map(str, s)))
@pytest.mark.parametrize("backend", VECTOR)
def test_every_remainder_and_nothing_written_past_the_end(backend, shape, rng):
    n = int(np.prod(shape))
    m = symmetric(rng.standard_normal((n, 3, 3))).astype(np.float32)
    comps = [np.ascontiguousarray(c).reshape(shape) for c in m.T]
    outs = {}
    for b in ("scalar", backend):
        testing.use_backend(b)
        buffers = np.full((12, n + 40), -7.25, np.float32)
        testing.hessian(*comps, *[buf[:n].reshape(shape) for buf in buffers])
        assert (buffers[:, n:] == -7.25).all(), f"{b} wrote past the end"
        outs[b] = buffers
    assert_bits_equal(outs[backend], outs["scalar"])
    assert_bits_equal(np.stack(comps).reshape(9, -1), m.T)  # inputs untouched


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


@pytest.mark.parametrize("case", RARE)
@pytest.mark.parametrize("backend", VECTOR)
def test_rare_solver_paths_match_scalar(backend, case):
    m = RARE[case]
    assert_same(run(backend, m)[0], run("scalar", m)[0], m)


@pytest.mark.parametrize("dtype", DTYPES, ids=["float32", "doubles"])
@pytest.mark.parametrize("k", range(5))
@pytest.mark.parametrize("backend", VECTOR)
def test_lanes_past_the_step_bound_are_redone_by_eigen(backend, k, dtype, rng):
    m = np.concatenate([FAMILIES["normal"](rng, 2000), diagonal(rng, 200)]).astype(dtype)
    expected = run("scalar", m)[0]
    assert testing.hessian_iterations(k) == 32 and testing.hessian_iterations(k) == k
    got, (nonfinite, slow) = run(backend, m)
    assert_same(got, expected, m)
    assert nonfinite == 0 and slow > 0
    if k == 0:  # only matrices already diagonal take no step
        assert slow == (m[:, OFF_DIAGONAL] != 0).any(axis=1).sum()


ALIASES = {  # arguments that view one shared buffer -> their offsets into it
    "hzz-as-valA": {"hzz": 0, "valA": 0},
    "hyy-as-valBy": {"hyy": 0, "valBy": 0},
    "hxy-as-valC": {"hxy": 0, "valC": 0},
    "upper-hzy-as-valAz": {"hzy": 0, "valAz": 0},
    "valB-and-valCx": {"valB": 0, "valCx": 0},
    "valCz-and-valCy": {"valCz": 0, "valCy": 0},
    "hzz-then-valA-shifted": {"hzz": 0, "valA": 1},
    "valA-then-hzz-shifted": {"valA": 0, "hzz": 1},
    "hxy-then-valCx-shifted": {"hxy": 0, "valCx": 3},
    "valA-then-valB-shifted": {"valA": 0, "valB": 5},
    "valBz-hyz-hxx-shifted": {"valBz": 0, "hyz": 2, "hxx": 37},
}


@pytest.mark.parametrize("case", ALIASES)
@pytest.mark.parametrize("backend", BACKENDS)
def test_aliased_arguments_match_scalar(backend, case, rng):
    shape, n, names = (4, 5, 7), 140, COMPONENTS + RESULTS  # whole vectors and a remainder
    m = symmetric(rng.standard_normal((n, 3, 3))).astype(np.float32)
    m[rng.integers(0, n, 6), 7] = np.nan  # Eigen redoes these lanes amid vector ones
    base = rng.standard_normal(n + 40).astype(np.float32)
    base[rng.integers(0, n, 4)] = np.inf
    outs, shifted = {}, any(ALIASES[case].values())
    for b in ("scalar", backend):
        buf = base.copy()  # every backend starts from the same bytes
        args = [np.ascontiguousarray(c).reshape(shape) for c in m.T]
        args += [np.full(shape, -7, np.float32) for _ in range(12)]
        for name, offset in ALIASES[case].items():
            args[names.index(name)] = buf[offset : offset + n].reshape(shape)
        separate = run("scalar", np.stack(args[:9]).reshape(9, -1).T)[0]
        testing.use_backend(b)
        before = testing.hessian_fallbacks()
        testing.hessian(*args)
        if shifted:  # such calls take the scalar path, which hands nothing to Eigen
            assert testing.hessian_fallbacks() == before
        outs[b] = [buf] + [a.ravel() for a in args[9:]]
    for got, want in zip(outs[backend], outs["scalar"]):
        assert_bits_equal(got, want)
    if not shifted:  # same position: as if separate, and the later result wins
        shared = [names.index(name) - 9 for name in ALIASES[case]]
        for j in range(12):
            assert_bits_equal(outs[backend][1 + j], separate[max(shared) if j in shared else j])
