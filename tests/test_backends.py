"""Every vector backend this machine supports gives the scalar loop's bits, NaN payloads too."""

import ctypes
import mmap
import platform
import sys

import numpy as np
import pytest
import voxelbench
from conftest import NANS, SPECIALS, assert_bits_equal, weight_total

testing = pytest.importorskip(
    "_voxelbench_testing", reason="built only with -Ccmake.define.VOXELBENCH_TESTING=ON"
)
VECTOR = [b for b in testing.supported_backends() if b != "scalar"]
KINDS = ["average", "variance"]
CUBES = [(e, e, e) for e in (1, 3, 5, 7, 9, 11, 13, 15)]
ODD_SHAPES = [(1, 1, 9), (9, 9, 1), (3, 5, 7), (7, 1, 3), (1, 3, 5), (3, 5, 1), (5, 3, 9)]
WIDTHS = list(range(1, 41)) + [47, 48, 49, 63, 64, 65, 95, 96, 97, 130, 257]
HEIGHTS = [1, 2, 3, 4, 5, 6, 7, 9, 13]  # interior rows, below and above a block's rows


def compute(backend, kind, im, w):
    testing.use_backend(backend)
    out = np.full(im.shape, -2, np.float32)
    getattr(testing, kind)(im, out, w)
    return out


def assert_backend_matches_scalar(backend, kind, im, w):
    assert_bits_equal(compute(backend, kind, im, w), compute("scalar", kind, im, w),
                      payloads=True)


def weights(kind_of_weights, shape, rng):
    if kind_of_weights == "ones":  # the multiply-free path
        return np.ones(shape, np.float32)
    return rng.standard_normal(shape).astype(np.float32)  # signed, asymmetric


@pytest.fixture(autouse=True)
def restore_default():
    yield
    testing.use_backend(testing.supported_backends()[0])


def test_scalar_is_always_there_and_unknown_names_are_refused():
    assert testing.supported_backends()[-1] == "scalar"
    with pytest.raises(ValueError, match="not supported"):
        testing.use_backend("sse9")


@pytest.mark.parametrize("wkind", ["random", "ones"])
@pytest.mark.parametrize("kind", KINDS)
@pytest.mark.parametrize("eshape", CUBES + ODD_SHAPES, ids=lambda s: "x".join(map(str, s)))
@pytest.mark.parametrize("backend", VECTOR)
def test_every_row_width_matches_scalar(backend, kind, eshape, wkind, rng):
    w = weights(wkind, eshape, rng)
    for width in WIDTHS:
        shape = (eshape[0] + 1, eshape[1] + 4, width + eshape[2] - 1)
        im = (rng.standard_normal(shape) * 4).astype(np.float32)
        im.flat[rng.integers(0, im.size, 3)] = [np.nan, np.inf, -np.inf]
        assert_backend_matches_scalar(backend, kind, im, w)


@pytest.mark.parametrize("wkind", ["random", "ones"])
@pytest.mark.parametrize("kind", KINDS)
@pytest.mark.parametrize("eshape", [(3, 3, 3), (5, 5, 5), (7, 7, 7), (1, 5, 3), (5, 1, 1)],
                         ids=lambda s: "x".join(map(str, s)))
@pytest.mark.parametrize("backend", VECTOR)
def test_every_height_matches_scalar(backend, kind, eshape, wkind, rng):
    w = weights(wkind, eshape, rng)
    for height in HEIGHTS:
        for width in (5, 16, 37, 100):
            shape = (eshape[0] + 2, height + eshape[1] - 1, width + eshape[2] - 1)
            im = rng.uniform(-3, 3, shape).astype(np.float32)
            assert_backend_matches_scalar(backend, kind, im, w)


@pytest.mark.parametrize("kind", KINDS)
@pytest.mark.parametrize("eshape", [(5, 5, 5), (7, 7, 7)], ids=lambda s: "x".join(map(str, s)))
@pytest.mark.parametrize("backend", VECTOR)
def test_rows_of_wide_images_in_several_tiles_match_scalar(backend, kind, eshape, rng):
    """Rows 4096 wide are filtered a few at a time through every plane; the last tile may hold
    fewer rows than a block."""
    w = rng.uniform(0.1, 1, eshape).astype(np.float32)
    for height in (9, 13, 14, 16):
        im = rng.uniform(-3, 3, (eshape[0] + 1, height + eshape[1] - 1, 4096)).astype(np.float32)
        assert_backend_matches_scalar(backend, kind, im, w)


# Up to 2^16 weights the vector blocks may hold each weight in a vector of its own; beyond, they
# broadcast it.
@pytest.mark.parametrize("kind", KINDS)
@pytest.mark.parametrize("eshape", [(1, 255, 257), (1, 257, 257)],
                         ids=lambda s: "x".join(map(str, s)))
@pytest.mark.parametrize("backend", VECTOR)
def test_elements_of_tens_of_thousands_of_weights_match_scalar(backend, kind, eshape, rng):
    w = weights("random", eshape, rng)
    im = rng.uniform(-3, 3, (eshape[0] + 1, eshape[1] + 2, eshape[2] + 40)).astype(np.float32)
    assert_backend_matches_scalar(backend, kind, im, w)


@pytest.mark.parametrize("wkind", ["random", "ones"])
@pytest.mark.parametrize("kind", KINDS)
@pytest.mark.parametrize("backend", VECTOR)
def test_special_values_and_nan_payloads_match_scalar(backend, kind, wkind, rng):
    for eshape in [(3, 3, 3), (5, 5, 5), (1, 3, 7)]:
        w = weights(wkind, eshape, rng)
        im = rng.standard_normal((9, 14, 70)).astype(np.float32)
        # Dense enough that most windows hold two or more of them.
        where = rng.random(im.shape) < 0.1
        im[where] = rng.choice(SPECIALS, where.sum())
        assert_backend_matches_scalar(backend, kind, im, w)


@pytest.mark.parametrize("kind", KINDS)
@pytest.mark.parametrize("backend", VECTOR)
def test_subnormal_and_signed_zero_sums_match_scalar(backend, kind, rng):
    w = np.array([1e-30, -1e-30, 0.5, -0.0, 1.0, 2.0, -1.0], np.float32).reshape(1, 1, 7)
    for width in (1, 17, 40):
        im = rng.choice(np.float32([0.0, -0.0, 1e-45, -1e-45, 1e-38, 1e-8]), (3, 4, width + 6))
        assert_backend_matches_scalar(backend, kind, im.astype(np.float32), w)


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="mprotect through libc")
@pytest.mark.parametrize("kind", KINDS)
@pytest.mark.parametrize("backend", VECTOR)
def test_reads_and_writes_stay_inside_arrays_next_to_protected_pages(backend, kind, rng):
    """An access past either end of the image or output faults instead of passing unseen."""
    libc = ctypes.CDLL(None, use_errno=True)
    libc.mprotect.argtypes = [ctypes.c_void_p, ctypes.c_size_t, ctypes.c_int]
    page = mmap.PAGESIZE
    keep = []

    def guarded(shape, flush_end):
        """A float32 array touching a PROT_NONE page at its end (or its start)."""
        n = int(np.prod(shape)) * 4
        span = -(-n // page) * page
        buf = mmap.mmap(-1, span + 2 * page)
        base = ctypes.addressof(ctypes.c_char.from_buffer(buf))
        for at in (base, base + span + page):
            assert libc.mprotect(at, page, 0) == 0, ctypes.get_errno()
        keep.append(buf)
        offset = page + span - n if flush_end else page
        return np.frombuffer(buf, np.float32, n // 4, offset).reshape(shape)

    for eshape in [(3, 3, 3), (5, 5, 5), (1, 1, 9), (3, 5, 7)]:
        w = rng.standard_normal(eshape).astype(np.float32)
        for width in (1, 7, 16, 23, 53, 63):
            shape = (eshape[0] + 1, eshape[1] + 2, width + eshape[2] - 1)
            for flush_end in (True, False):
                im, out = guarded(shape, flush_end), guarded(shape, flush_end)
                im[...] = rng.standard_normal(shape)
                out[...] = -2
                testing.use_backend(backend)
                getattr(testing, kind)(im, out, w)
                assert_bits_equal(out, compute("scalar", kind, im.copy(), w), payloads=True)


@pytest.mark.parametrize("kind", KINDS)
def test_public_module_matches_scalar(kind, rng):
    im = rng.standard_normal((20, 21, 70)).astype(np.float32)
    w = rng.uniform(0, 1, (3, 5, 7)).astype(np.float32)
    out = np.full(im.shape, -2, np.float32)
    getattr(voxelbench, kind)(im, out, w)
    assert_bits_equal(out, compute("scalar", kind, im, w), payloads=True)

GLIBC = pytest.mark.skipif(platform.libc_ver()[0] != "glibc" or not VECTOR
                           or platform.machine() not in ("x86_64", "aarch64"),
                           reason="x86-64 or AArch64 glibc")
# glibc's FE_UPWARD, FE_DOWNWARD and FE_TOWARDZERO on (x86-64, AArch64).
ROUNDING = {"upward": (0x800, 0x400000), "downward": (0x400, 0x800000),
            "toward-zero": (0xC00, 0xC00000)}


# Made at import: converted under FTZ, the subnormal would already be 0. The results are normal.
NEAR_SUBNORMAL = np.float32([5e-38, 1e-39, -3e-39])


@pytest.fixture
def flush_to_zero():
    """Sets this thread's flush-to-zero bit for the test through glibc's fenv_t: on x86-64 FTZ
    alone in the MXCSR, its last word (DAZ would read the subnormal as -0 in both paths); on
    AArch64 FZ in the FPCR, its first word."""
    word, bit = (7, 0x8000) if platform.machine() == "x86_64" else (0, 1 << 24)
    libc = ctypes.CDLL(None)
    env = (ctypes.c_uint32 * 8)()  # large enough for either
    assert libc.fegetenv(env) == 0
    saved = env[word]
    env[word] |= bit
    assert libc.fesetenv(env) == 0
    yield
    env[word] = saved
    assert libc.fesetenv(env) == 0


@GLIBC
@pytest.mark.parametrize("kind", KINDS)
@pytest.mark.parametrize("backend", VECTOR)
def test_boxes_of_ones_match_scalar_when_subnormals_flush(backend, kind, flush_to_zero):
    # The scalar loop's product x * 1 flushes a subnormal x to 0 before it is added; an add
    # without the multiply would add x itself to the small normal sum beside it. (On AArch64 FZ
    # also reads subnormal inputs as 0, and boxes of ones are multiplied there anyway.)
    im = np.resize(NEAR_SUBNORMAL, (3, 4, 41))
    for w in (np.ones((1, 1, 3), np.float32), np.ones((3, 3, 3), np.float32)):
        assert_backend_matches_scalar(backend, kind, im, w)


# Weight totals W for the division tests, each as the element (3, 1, 1) whose weights add up
# to it in window order: [1, -1, W] for a finite or NaN W, two huge weights for an infinite one.
# A total of -0 cannot occur: the sum starts at +0.
TOTALS = {
    "zero": [1, -1, 0], "subnormal": [1, -1, 1e-40], "-subnormal": [1, -1, -3e-42],
    "tiny": [1, -1, 2e-38], "three": [1, -1, 3], "six": [1, -1, 6], "-0.7": [1, -1, -0.7],
    "huge": [1, -1, 3e38], "inf": [1, 3e38, 3e38], "-inf": [1, -3e38, -3e38],
    **{f"nan{i}": [1, -1, x] for i, x in enumerate(NANS.view(np.float32)[:2])},
}


def finite(a):
    return np.asarray(a, np.float32)[np.isfinite(np.asarray(a, np.float32))]


def sums_for(total, rng):
    """Sums s whose quotients s / total fall everywhere the float32 quotient can: subnormal,
    around FLT_MIN, around the overflow threshold, exact ties between two subnormals (and
    between 0 and the smallest one), any finite bit pattern, and the special values."""
    f32 = np.float32
    patterns = rng.integers(0, 0xFF000000, 400, dtype=np.uint32).view(np.float32)
    sums = [finite(patterns), SPECIALS, f32([0.0, -0.0])]
    if np.isfinite(total) and total != 0:
        w = float(total)
        steps = 1 + np.arange(-6, 7) * 2.0**-23
        tiny = np.finfo(np.float32).tiny
        with np.errstate(over="ignore", under="ignore"):
            for q in (tiny, -tiny, 1e-40, 2.0**-149, 3.4e38, np.finfo(np.float32).max):
                sums.append(finite(f32(w * q * steps)))
            # s = m * W with m a midpoint between subnormals, where that product is a float.
            m = (2 * rng.integers(0, 2**23, 300).astype(np.float64) + 1) * 2.0**-150
            m[:3] = [2.0**-150, 3 * 2.0**-150, 2.0**-127 - 2.0**-150]
            s = m * w
            sums.append(f32(s[f32(s).astype(np.float64) == s]))
    return np.concatenate(sums).astype(np.float32)


def division_case(name, rng, edge=1):
    """Image and element whose one output plane is s / W for the sums s of `sums_for`. The
    element is 3x1x1, or a cube of `edge` (the compiled-in cubes have their own code) holding
    those three weights in its first column and zeros elsewhere."""
    weights = np.zeros((3, edge, edge), np.float32)
    weights[:, 0, 0] = TOTALS[name]
    with np.errstate(over="ignore"):
        sums = sums_for(weight_total(weights), rng)
    im = np.zeros((3, edge, sums.size + edge - 1), np.float32)
    im[0, 0, : sums.size] = sums  # s = s * 1 + 0 * -1 + 0 * W + ..., exact while W is finite
    if edge > 3:
        weights = np.pad(weights, ((0, edge - 3), (0, 0), (0, 0)))
        im = np.pad(im, ((0, edge - 3), (0, 0), (0, 0)))
    return im, weights


@pytest.mark.parametrize("edge", [1, 3, 5])
@pytest.mark.parametrize("total", TOTALS)
@pytest.mark.parametrize("kind", KINDS)
@pytest.mark.parametrize("backend", VECTOR)
def test_final_division_matches_scalar(backend, kind, total, edge, rng):
    im, w = division_case(total, rng, edge)
    assert_backend_matches_scalar(backend, kind, im, w)


@pytest.fixture(params=[*ROUNDING, "flush-to-zero"])
def other_environment(request):
    """Sets another rounding mode, or flush-to-zero, for the test: the product with a double
    reciprocal is the quotient's bits under round-to-nearest without flushing only."""
    if request.param == "flush-to-zero":
        yield request.getfixturevalue("flush_to_zero")
        return
    mode = ROUNDING[request.param][platform.machine() != "x86_64"]
    libc = ctypes.CDLL(None)
    saved = libc.fegetround()
    assert libc.fesetround(mode) == 0
    yield
    assert libc.fesetround(saved) == 0


@GLIBC
@pytest.mark.parametrize("kind", KINDS)
@pytest.mark.parametrize("backend", VECTOR)
def test_final_division_matches_scalar_in_other_environments(backend, kind, other_environment,
                                                             rng):
    for total, edge in [("three", 1), ("-0.7", 3), ("subnormal", 5)]:
        im, w = division_case(total, rng, edge)
        assert_backend_matches_scalar(backend, kind, im, w)
