"""Time voxelbench against its peers and the scalar loop, in one run, on one machine.

    python benchmarks/bench.py [--quick] [--repeat N] [--png PATH]
    python benchmarks/bench.py --versus [LABEL=]BUILD [LABEL=]BUILD ... [--repeat N]
    python benchmarks/bench.py --in-cache [--versus [LABEL=]BUILD ...] [--repeat N]

Needs the test-only module (`pip install '.[bench]' -Ccmake.define.VOXELBENCH_TESTING=ON`),
which can force each backend, plus SciPy (and Matplotlib for --png). In order:
- `hessian` on the Hessian of a smoothed random volume: every backend against the Eigen path
  (the scalar backend), whose bits each must equal, and `numpy.linalg.eigh`;
- `average` and `variance` with random positive weights, cubes 3^3 to 15^3 on a 160^3 volume:
  window terms per second of every backend (+reciprocal: ending with the product by the
  reciprocal instead of the divider, through the general blocks even at 3^3 and 5^3), its share
  of the machine's limit, which peak.cpp's loop measures beside each row, its ratio to the
  scalar loop, whose bits each must equal, and to `scipy.ndimage.correlate` up to 7^3; then
  `average` on a wide 64x512x512 volume, the vector backends checked against each other; the
  time of one copy of each volume for comparison;
- boxes of ones on both volumes: every backend against `scipy.ndimage.uniform_filter`, the
  separable running mean a user would pick for them, and the box from which it is faster.
Peers round differently, so they are checked with a tolerance. The chart (--png) draws the
boxes' ratios.

--versus times two or more builds of the test-only module (each a build folder or the module's
file, for example one from GCC and one from clang) in one process: every backend the first
supports, `average` 3^3 to 11^3 and `variance` 3^3 to 7^3 on a 160^3 volume with random weights,
and `hessian`, their calls interleaved, with each build's time against the first build's; the
filters' bits must be equal, NaN payloads included, and hessian's, NaN by position.

--in-cache times what the code alone decides: `average` and `variance` with random weights on
volumes small enough to stay in cache, (k + 7) x 64 x 160 for a k^3 element (48 rows from 7^3),
with rows as wide as at 160^3, every vector backend of the installed build (or of each --versus
build, interleaved), at least 101 calls per cell; it reports the 10th percentile of the times,
since noise only adds time, with the median and the best, as shares of the machine's limit. Then
the memory-bound cells, 160^3 and 64x512x512 with the caches evicted before each call, beside
the time of one copy of the volume.
"""

from __future__ import annotations

import argparse
import importlib.util
import os
import platform
import re
import statistics
import subprocess
import tempfile
import time
from pathlib import Path
from typing import Callable

import numpy as np
import scipy
import scipy.ndimage as ndi

try:
    import _voxelbench_testing as testing
    import voxelbench
except ImportError:  # --versus loads the builds it is given
    pass

CUBES = [3, 5, 7, 9, 11, 13, 15]
CORRELATE_SIZES = {3, 5, 7}  # correlate sums directly: minutes per call beyond 7^3
WIDE = (64, 512, 512)
WIDE_SIZES = [3, 5, 7, 9, 11]
SCALAR_REPEAT = 3  # the scalar loop takes seconds per call at the larger windows
# The peers sum in double precision and in another order; float32 sums of up to 15^3 terms
# differ from them by about 2e-6 on values of order 0.1.
RTOL, ATOL = 1e-4, 1e-5


def interleaved(cases: dict[str, Callable[[], object]], repeat: int,
                limits: dict[str, int] | None = None) -> dict[str, float]:
    """Median seconds of each case, its repetitions taken in turn with the others'.

    Round-robin so that a slow spell of the machine (other jobs, frequency changes) falls on
    every case alike instead of on whichever ran during it. `limits` caps the repetitions of
    slow cases, which then take part in the first rounds only.
    """
    for fn in cases.values():
        fn()  # warm up caches and one-time loads
    times: dict[str, list[float]] = {name: [] for name in cases}
    for i in range(repeat):
        for name, fn in cases.items():
            if i >= (limits or {}).get(name, repeat):
                continue
            start = time.perf_counter()
            fn()
            times[name].append(time.perf_counter() - start)
    return {name: statistics.median(t) for name, t in times.items()}


class PairLimit:
    """The machine's limit, measured afresh beside each figure: the independent float32
    (multiply, add) pairs per second of one core, per instruction set, from peak.cpp's loop."""

    def __init__(self) -> None:
        self.program: str | None = None
        self.directory = tempfile.TemporaryDirectory()
        program = os.path.join(self.directory.name, "peak")
        source = Path(__file__).with_name("peak.cpp")
        try:
            subprocess.run([os.environ.get("CXX", "g++"), "-O2", "-ffp-contract=off",
                            str(source), "-o", program], check=True, capture_output=True)
            self.program = program
        except (OSError, subprocess.CalledProcessError) as error:
            print(f"peak.cpp did not build ({error}); no shares of the limit\n")

    def measure(self) -> dict[str, float]:
        """G pairs/s per instruction set: the best of peak.cpp's three runs."""
        if self.program is None:
            return {}
        best: dict[str, float] = {}
        output = subprocess.run([self.program], check=True, capture_output=True, text=True)
        for name, value in re.findall(r"(\w+): ([\d.]+) G pairs/s", output.stdout):
            best[name] = max(best.get(name, 0.0), float(value))
        return best


def share(terms_per_second: float, backend: str, kind: str, limit: dict[str, float]) -> str:
    """The share of the limit that a backend reached: of half of it for variance, whose terms
    take two pairs each."""
    pairs = limit.get(backend.split("+")[0])
    if not pairs:
        return ""
    return f" {100 * terms_per_second / 1e9 / (pairs / (2 if kind == 'variance' else 1)):3.0f}%"


def cpu_model() -> str:
    for line in Path("/proc/cpuinfo").read_text().splitlines():
        if line.startswith("model name"):
            return line.split(":", 1)[1].strip()
    return platform.processor() or "unknown CPU"


def interior(a: np.ndarray, size: int) -> np.ndarray:
    """The voxels a cubic window of edge `size` fits around, which voxelbench writes."""
    h = size // 2
    return a[h:-h, h:-h, h:-h] if h else a


def correlate_variance(im: np.ndarray, w: np.ndarray) -> np.ndarray:
    """voxelbench's variance from SciPy: (S2 - S*S/W) / W, S = sum(w*v), S2 = sum((w*v)**2)."""
    total = w.sum(dtype=np.float64)
    s = ndi.correlate(im, w, mode="constant")
    s2 = ndi.correlate(im * im, w * w, mode="constant")
    return (s2 - s * s / total) / total


def box_variance(im: np.ndarray, size: int) -> np.ndarray:
    """The same quantity for weights of ones: mean of squares minus squared mean."""
    return ndi.uniform_filter(im * im, size) - ndi.uniform_filter(im, size) ** 2


def forced(backend: str, kind: str, *args: np.ndarray) -> Callable[[], None]:
    """One call of `kind` on `backend`, forced through the test-only module."""
    def run() -> None:
        testing.use_backend(backend)
        getattr(testing, kind)(*args)
    return run


def same_bits(a: np.ndarray, b: np.ndarray) -> bool:
    return np.array_equal(a.view(np.uint32), b.view(np.uint32))


def bench_random(im: np.ndarray, sizes: list[int], kinds: list[str], repeat: int, rng,
                 limit: PairLimit, scalar: bool = True) -> None:
    """Random positive weights: every backend's window terms per second, its share of the
    machine's limit measured beside it and its ratio to the scalar loop, whose bits each must
    equal; the ratio to correlate for the smaller windows.

    Without `scalar` (a volume where the loop would take minutes) the vector backends are
    checked against each other instead.
    """
    backends = [b for b in testing.supported_backends() if scalar or b != "scalar"]
    vectors = [b for b in backends if b != "scalar"]
    copy = np.empty_like(im)
    t_copy = interleaved({"copy": lambda: np.copyto(copy, im)}, repeat)["copy"]
    print(f"random weights on {'x'.join(map(str, im.shape))}: G window terms/s, % of the "
          "limit (of half of it for variance)" + (", (x scalar loop)" if scalar else "")
          + f", medians; copying the volume once takes {t_copy * 1e3:.2f} ms")
    header = f"{'kind':<10}{'window':<8}" + "".join(f"{b:>22}" for b in backends) + \
        f"{'x correlate':>13}{'limit, G pairs/s':>30}"
    print(header)
    print("-" * len(header))
    for kind in kinds:
        for size in sizes:
            w = rng.uniform(0.1, 1.0, (size,) * 3).astype(np.float32)
            outs = {b: np.zeros_like(im) for b in backends}
            cases: dict[str, Callable[[], object]] = {
                b: forced(b, kind, im, outs[b], w) for b in backends}
            wn = w / w.sum()
            peer = (lambda: ndi.correlate(im, wn, mode="constant")) if kind == "average" \
                else (lambda: correlate_variance(im, w))
            if size in CORRELATE_SIZES:
                cases["correlate"] = peer
            pairs = limit.measure()
            t = interleaved(cases, repeat, {"scalar": SCALAR_REPEAT})
            pairs_after = limit.measure()  # the higher of the two, beside the figures it bounds
            pairs = {k: max(v, pairs_after.get(k, 0.0)) for k, v in pairs.items()}
            reference = outs["scalar" if scalar else backends[0]]
            for b in backends:
                assert same_bits(outs[b], reference), f"{kind} {size}^3: {b} differs"
            terms = interior(im, size).size * size**3
            cells = []
            for b in backends:
                ratio = f" ({t['scalar'] / t[b]:4.1f}x)" if scalar and b != "scalar" else ""
                rate = terms / t[b]
                cells.append(f"{rate / 1e9:6.1f}{share(rate, b, kind, pairs)}{ratio}")
            versus = " " * 13
            if "correlate" in t:
                np.testing.assert_allclose(interior(outs[backends[0]], size),
                                           interior(peer(), size), RTOL, ATOL)
                versus = f"{t['correlate'] / t[vectors[0] if vectors else 'scalar']:13.1f}"
            limits = ", ".join(f"{k} {v:.1f}" for k, v in pairs.items())
            print(f"{kind:<10}{f'{size}^3':<8}" + "".join(f"{c:>22}" for c in cells) + versus
                  + f"{limits:>30}")
    testing.use_backend(testing.supported_backends()[0])
    print()


def bench_boxes(im: np.ndarray, sizes: list[int], kinds: list[str], repeat: int) -> dict:
    """Boxes of ones, every backend against the separable running mean a user would pick.

    A backend is no longer timed after uniform_filter has beaten it at two sizes in a row: its
    time grows with the box's volume while uniform_filter's hardly changes.
    """
    backends = [b for b in testing.supported_backends() if "+" not in b]
    print(f"boxes of ones on {'x'.join(map(str, im.shape))}: ms, and (x uniform_filter); "
          "above 1: voxelbench is faster")
    header = f"{'kind':<10}{'box':<6}{'uniform_filter':>15}" + \
        "".join(f"{b:>18}" for b in backends)
    print(header)
    print("-" * len(header))
    ratios: dict[tuple[str, str], list[float | None]] = {}
    for kind in kinds:
        behind = {b: 0 for b in backends}
        for b in backends:
            ratios[kind, b] = []
        for size in sizes:
            w = np.ones((size,) * 3, np.float32)
            timed = [b for b in backends if behind[b] < 2]
            if not timed:
                for b in backends:
                    ratios[kind, b].append(None)
                continue
            outs = {b: np.zeros_like(im) for b in timed}
            peer = (lambda: ndi.uniform_filter(im, size)) if kind == "average" \
                else (lambda: box_variance(im, size))
            cases: dict[str, Callable[[], object]] = {
                b: forced(b, kind, im, outs[b], w) for b in timed}
            cases["uniform_filter"] = peer
            t = interleaved(cases, repeat, {"scalar": SCALAR_REPEAT})
            cells = []
            for b in backends:
                if b not in timed:
                    ratios[kind, b].append(None)
                    cells.append("-")
                    continue
                assert same_bits(outs[b], outs[timed[0]]), f"{kind} {size}^3: {b} differs"
                ratio = t["uniform_filter"] / t[b]
                behind[b] = behind[b] + 1 if ratio < 1 else 0
                ratios[kind, b].append(ratio)
                cells.append(f"{t[b] * 1e3:8.1f} ({ratio:5.2f}x)")
            np.testing.assert_allclose(interior(outs[timed[0]], size),
                                       interior(peer(), size), RTOL, ATOL)
            print(f"{kind:<10}{f'{size}^3':<6}{t['uniform_filter'] * 1e3:15.1f}"
                  + "".join(f"{c:>18}" for c in cells))
    for kind in kinds:
        found = "; ".join(f"{b} {crossover(sizes, ratios[kind, b])}" for b in backends)
        print(f"uniform_filter faster for {kind} from: {found}")
    testing.use_backend(backends[0])
    print()
    return ratios


def smoothed_hessian_field(n: int, rng) -> list[np.ndarray]:
    """The nine components of the Hessian of a smoothed random n^3 volume, by numpy.gradient."""
    volume = ndi.gaussian_filter(rng.standard_normal((n, n, n)), 2)
    h = [np.gradient(g) for g in np.gradient(volume)]
    return [np.ascontiguousarray(h[r][c], np.float32) for r in range(3) for c in range(3)]


def bench_hessian(n: int, repeat: int, rng) -> None:
    """Every backend and the Eigen path (the scalar backend) against numpy.linalg.eigh.

    Each backend is forced through the test-only module and its results are compared with the
    Eigen path's bit for bit; the fallbacks are the matrices a vector backend handed to Eigen.
    """
    comps = smoothed_hessian_field(n, rng)
    stacked = np.stack(comps, -1).reshape(-1, 3, 3).astype(np.float64)  # not timed
    backends = [b for b in testing.supported_backends() if "+" not in b]  # the same hessian
    results = {b: [np.zeros((n, n, n), np.float32) for _ in range(12)] for b in backends}

    fallbacks: dict[str, tuple[int, int]] = {}
    for b in backends:
        before = testing.hessian_fallbacks()
        forced(b, "hessian", *comps, *results[b])()
        fallbacks[b] = tuple(x - y for x, y in zip(testing.hessian_fallbacks(), before))
    public = [np.zeros((n, n, n), np.float32) for _ in range(12)]
    cases: dict[str, Callable[[], object]] = {
        b: forced(b, "hessian", *comps, *results[b]) for b in backends}
    cases["voxelbench.hessian"] = lambda: voxelbench.hessian(*comps, *public)
    cases["numpy eigh"] = lambda: np.linalg.eigh(stacked)
    t = interleaved(cases, repeat)
    testing.use_backend(backends[0])

    values = np.linalg.eigh(stacked)[0][:, ::-1].reshape(n, n, n, 3)
    np.testing.assert_allclose(np.stack(public[:3], -1), values, rtol=1e-4, atol=1e-6)
    print(f"hessian of the Hessian of a smoothed random {n}^3 volume ({n**3} matrices)")
    header = (f"{'backend':<20}{'time ms':>9}{'M matrices/s':>14}{'x Eigen':>9}{'x eigh':>8}"
              f"  {'to Eigen: nonfinite, slow':<27}bits")
    print(header)
    print("-" * len(header))
    for name in cases:
        b = name if name in results else None
        same = b is None or all(same_bits(x, y)
                                for x, y in zip(results[b], results["scalar"]))
        assert same, f"{name} differs from the Eigen path"
        label = "scalar (Eigen path)" if name == "scalar" else name
        handed = f"{fallbacks[b][0]}, {fallbacks[b][1]}" if b and b != "scalar" else ""
        check = "same as Eigen" if b and b != "scalar" else ""
        print(f"{label:<20}{t[name] * 1e3:9.2f}{n**3 / t[name] / 1e6:14.2f}"
              f"{t['scalar'] / t[name]:9.2f}{t['numpy eigh'] / t[name]:8.2f}  {handed:<27}{check}")
    print()



def load_build(path: str):
    """The test-only module of a build folder, or the module's file itself, under its own name:
    two files of the same module name load side by side, each with its own state."""
    p = Path(path)
    if p.is_dir():
        found = sorted(p.glob("_voxelbench_testing*.so")) + sorted(p.glob("_voxelbench_testing*.pyd"))
        if not found:
            raise SystemExit(f"{path}: no _voxelbench_testing module in this folder")
        p = found[0]
    found_module = importlib.util.spec_from_file_location("_voxelbench_testing", p)
    module = importlib.util.module_from_spec(found_module)
    found_module.loader.exec_module(module)
    return module


def named_builds(items: list[str]) -> dict[str, object]:
    """The builds of [LABEL=]BUILD arguments, by label ("build 1", ... where none is given)."""
    builds = {}
    for i, item in enumerate(items):
        label, sep, path = item.partition("=")
        if not sep:
            label, path = f"build {i + 1}", label
        builds[label] = load_build(path)
    return builds


def same_nan_positions(a: np.ndarray, b: np.ndarray) -> bool:
    """Equal bits where either is not NaN, NaN at the same places."""
    nan_a, nan_b = np.isnan(a), np.isnan(b)
    return np.array_equal(nan_a, nan_b) and same_bits(a[~nan_a], b[~nan_b])


def bench_versus(builds: dict[str, object], repeat: int, rng) -> None:
    """Each build's median time per cell against the first build's, calls interleaved."""
    first, *others = builds
    backends = [b for b in builds[first].supported_backends() if "+" not in b]
    n, nh = 160, 64
    im = rng.random((n, n, n), dtype=np.float32)
    comps = smoothed_hessian_field(nh, rng)
    cells = [("average", s) for s in (3, 5, 7, 11)] + [("variance", s) for s in (3, 5, 7)]
    weights = {s: rng.uniform(0.1, 1.0, (s,) * 3).astype(np.float32) for _, s in cells}
    print(f"{len(builds)} builds side by side; the first, {first}, is the reference:")
    for label, module in builds.items():
        print(f"  {label}: {getattr(module, 'compiler', 'compiler not recorded')}, {module.__file__}")
    print(f"medians of {repeat} interleaved calls ({min(SCALAR_REPEAT, repeat)} for the scalar "
          f"loop); {n}^3 image with random weights, hessian of a {nh}^3 field\n")
    width = {b: max(12, len(b) + 6) for b in builds}
    ratio_width = {b: len(f"{b} / {first}") + 2 for b in others}
    header = f"{'backend':<9}{'cell':<14}" + "".join(f"{b + ', ms':>{width[b]}}" for b in builds) \
        + "".join(f"{b + ' / ' + first:>{ratio_width[b]}}" for b in others)
    print(header)
    print("-" * len(header))
    for backend in backends:
        for kind, size in cells + [("hessian", nh)]:
            if kind == "hessian":
                outs = {b: [np.zeros((nh,) * 3, np.float32) for _ in range(12)] for b in builds}
                args = {b: (*comps, *outs[b]) for b in builds}
            else:
                outs = {b: np.zeros_like(im) for b in builds}
                args = {b: (im, outs[b], weights[size]) for b in builds}

            def call(module, arguments):
                def run() -> None:
                    module.use_backend(backend)
                    getattr(module, kind)(*arguments)
                return run

            limit = SCALAR_REPEAT if backend == "scalar" and kind != "hessian" else repeat
            t = interleaved({b: call(m, args[b]) for b, m in builds.items()}, limit)
            for b in others:
                if kind == "hessian":
                    same = all(map(same_nan_positions, outs[b], outs[first]))
                else:
                    same = same_bits(outs[b], outs[first])
                assert same, f"{backend} {kind} {size}^3: {b} differs from {first}"
            print(f"{backend:<9}{f'{kind} {size}^3':<14}"
                  + "".join(f"{t[b] * 1e3:{width[b]}.2f}" for b in builds)
                  + "".join(f"{t[b] / t[first]:{ratio_width[b]}.2f}" for b in others))
    print(f"\nevery build gives {first}'s bits: the filters' NaN payloads included, "
          "hessian's NaN by position")


IN_CACHE = [("average", s) for s in (3, 5, 7, 9, 11)] + [("variance", s) for s in (3, 5, 7, 9)]
IN_CACHE_WIDTH = 160  # as at 160^3


def vector_backends(module) -> list[str]:
    """The module's vector backends, without their +reciprocal variants."""
    return [b for b in module.supported_backends() if "+" not in b and b != "scalar"]


def in_cache_volume(size: int, rng) -> np.ndarray:
    """(k + 7) x 64 x 160 for a k^3 element, 48 rows from 7^3: input and output stay in L2 or
    L3, and the interior keeps 8 planes."""
    return rng.random((size + 7, 64 if size < 7 else 48, IN_CACHE_WIDTH), dtype=np.float32)


def percentiles(times: list[float]) -> tuple[float, float, float]:
    """10th percentile, median and best of the times."""
    return float(np.percentile(times, 10)), statistics.median(times), min(times)


def bench_in_cache(builds: dict[str, object], repeat: int, rng, limit: PairLimit) -> None:
    """Shares of the machine's limit with data in cache: every vector backend of every build,
    the calls of one cell interleaved, all of them on one input and one output so that the
    cell's data stays in cache; each result is checked against the first build's scalar loop
    beforehand."""
    first = next(iter(builds))
    backends = vector_backends(builds[first])
    cases = [(label, b) for b in backends for label in builds]
    width = max(len(f"{label} {b}") for label, b in cases) + 2
    print(f"in cache: G window terms/s at the 10th percentile of {repeat} calls, and % of the "
          "limit (of half of it for variance) at the 10th percentile / median / best")
    header = f"{'kind':<10}{'window':<8}{'volume':<13}" + "".join(
        f"{label + ' ' + b:>{width + 14}}" for label, b in cases) + f"{'limit, G pairs/s':>30}"
    print(header)
    print("-" * len(header))
    for kind, size in IN_CACHE:
        im = in_cache_volume(size, rng)
        w = rng.uniform(0.1, 1.0, (size,) * 3).astype(np.float32)
        reference = np.zeros_like(im)
        builds[first].use_backend("scalar")
        getattr(builds[first], kind)(im, reference, w)
        out = np.zeros_like(im)
        for label, b in cases:
            builds[label].use_backend(b)
            check = np.zeros_like(im)
            getattr(builds[label], kind)(im, check, w)
            assert same_bits(check, reference), f"{kind} {size}^3: {label} {b} differs"
        times: dict[tuple[str, str], list[float]] = {case: [] for case in cases}
        pairs = limit.measure()
        for _ in range(repeat + 1):  # the first round warms the caches and is dropped
            for label, b in cases:
                module = builds[label]
                module.use_backend(b)
                fn = getattr(module, kind)
                start = time.perf_counter()
                fn(im, out, w)
                times[label, b].append(time.perf_counter() - start)
        pairs_after = limit.measure()
        pairs = {k: max(v, pairs_after.get(k, 0.0)) for k, v in pairs.items()}
        terms = interior(im, size).size * size**3
        cells = []
        for label, b in cases:
            p10, median, best = percentiles(times[label, b][1:])
            shares = "/".join(share(terms / t, b, kind, pairs).strip() or "-"
                              for t in (p10, median, best))
            cells.append(f"{terms / p10 / 1e9:6.1f} {shares:>{width + 7}}")
        limits = ", ".join(f"{k} {v:.1f}" for k, v in pairs.items())
        print(f"{kind:<10}{f'{size}^3':<8}{'x'.join(map(str, im.shape)):<13}"
              + "".join(f"{c:>{width + 14}}" for c in cells) + f"{limits:>30}")
    for module in builds.values():
        module.use_backend(module.supported_backends()[0])
    print()


def evict(buffer: np.ndarray) -> None:
    """Write a buffer larger than the last-level cache, so that the next call's data comes from
    memory."""
    buffer += 1


def bench_memory_bound(builds: dict[str, object], repeat: int, rng) -> None:
    """160^3 and 64x512x512 with the caches evicted before every call, beside one copy of the
    volume timed the same way: medians of `repeat` calls."""
    backends = vector_backends(next(iter(builds.values())))
    llc = 512 << 20  # beyond the largest last-level cache seen here (480 MiB)
    flush = np.zeros(llc // 4, np.float32)
    print(f"caches evicted before each call: ms, medians of {repeat} calls; above 1 in "
          "brackets: times the copy")
    for shape, cells in (((160, 160, 160), IN_CACHE), (WIDE, [("average", s) for s in (3, 5, 7)])):
        im = rng.random(shape, dtype=np.float32)
        out = np.zeros_like(im)
        copy_times = []
        for _ in range(repeat):
            evict(flush)
            start = time.perf_counter()
            np.copyto(out, im)
            copy_times.append(time.perf_counter() - start)
        t_copy = statistics.median(copy_times)
        print(f"{'x'.join(map(str, shape))}: one copy of the volume {t_copy * 1e3:.2f} ms")
        for kind, size in cells:
            w = rng.uniform(0.1, 1.0, (size,) * 3).astype(np.float32)
            row = []
            for label in builds:
                for b in backends:
                    builds[label].use_backend(b)
                    fn = getattr(builds[label], kind)
                    times = []
                    for _ in range(repeat):
                        evict(flush)
                        start = time.perf_counter()
                        fn(im, out, w)
                        times.append(time.perf_counter() - start)
                    t = statistics.median(times)
                    row.append(f"{label} {b} {t * 1e3:8.2f} ({t / t_copy:5.1f})")
            print(f"  {kind:<9}{f'{size}^3':<6}" + "   ".join(row))
    for module in builds.values():
        module.use_backend(module.supported_backends()[0])
    print()


def crossover(sizes: list[int], ratios: list[float | None]) -> str:
    """The smallest box from which uniform_filter is faster at every size timed."""
    first = None
    for size, ratio in zip(sizes, ratios):
        if ratio is not None and ratio >= 1:
            first = None
        elif first is None:
            first = size
    return f"{first}^3" if first else f"none up to {sizes[-1]}^3"


def chart(ratios: dict[str, dict], sizes: list[int], path: Path, title: str) -> None:
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    fig, axes = plt.subplots(1, len(ratios), figsize=(6 * len(ratios), 4.2), squeeze=False)
    for ax, (volume, by_case) in zip(axes[0], ratios.items()):
        for (kind, backend), values in by_case.items():
            xs = [s for s, r in zip(sizes, values) if r is not None]
            ys = [r for r in values if r is not None]
            ax.plot(xs, ys, "o-" if kind == "average" else "s--", label=f"{kind}, {backend}")
        ax.axhline(1, color="k", lw=0.8)
        ax.set_yscale("log")
        ax.set_xticks(sizes, [f"{s}^3" for s in sizes])
        ax.set_xlabel("box of ones")
        ax.set_ylabel("uniform_filter time / voxelbench time")
        ax.set_title(f"{volume} (above 1: voxelbench is faster)", fontsize=9)
        ax.legend(fontsize=7)
    fig.suptitle(title, fontsize=9)
    fig.tight_layout()
    fig.savefig(path, dpi=110)
    print(f"chart written to {path}")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="a 64^3 volume and 32^3 field")
    parser.add_argument("--repeat", type=int, default=7, help="timed repetitions per case")
    parser.add_argument("--png", type=Path, help="also draw the speed-ups into this picture")
    parser.add_argument("--versus", nargs="+", metavar="[LABEL=]BUILD",
                        help="time these builds of the test-only module side by side instead")
    parser.add_argument("--in-cache", action="store_true",
                        help="shares of the limit with data in cache, then the memory-bound "
                        "cells beside a copy (of the --versus builds, if given)")
    args = parser.parse_args()
    if args.in_cache:
        builds = named_builds(args.versus) if args.versus else {"": testing}
        repeat = max(args.repeat, 101)
        print(f"{cpu_model()}; NumPy {np.__version__}")
        for label, module in builds.items():
            print(f"  {label or 'installed'}: {getattr(module, 'compiler', 'compiler not recorded')}")
        print()
        rng = np.random.default_rng(0)
        bench_in_cache(builds, repeat, rng, PairLimit())
        bench_memory_bound(builds, min(args.repeat, 11), rng)
        return
    if args.versus:
        builds = named_builds(args.versus)
        if len(builds) < 2:
            parser.error("--versus needs at least two builds")
        print(cpu_model())
        return bench_versus(builds, args.repeat, np.random.default_rng(0))

    n, nh = (64, 32) if args.quick else (160, 64)
    wide = (16, 128, 128) if args.quick else WIDE
    sizes = CUBES[:3] if args.quick else CUBES
    rng = np.random.default_rng(0)
    im = rng.random((n, n, n), dtype=np.float32)
    im_wide = rng.random(wide, dtype=np.float32)
    backend = testing.supported_backends()[0]
    title = (f"{cpu_model()}, backend {backend}; NumPy {np.__version__}, SciPy {scipy.__version__}")
    print(title)
    print(f"median of {args.repeat} interleaved runs ({min(SCALAR_REPEAT, args.repeat)} for the scalar loop)\n")
    bench_hessian(nh, args.repeat, rng)
    limit = PairLimit()
    bench_random(im, sizes, ["average", "variance"], args.repeat, rng, limit)
    bench_random(im_wide, [s for s in WIDE_SIZES if s in sizes] or sizes[-1:], ["average"],
                 args.repeat, rng, limit, scalar=False)
    ratios = {}
    for volume in (im, im_wide):
        kinds = ["average", "variance"] if volume is im else ["average"]
        ratios["x".join(map(str, volume.shape))] = bench_boxes(volume, sizes, kinds, args.repeat)
    print("every backend's bits equal the scalar loop's (random weights on the cube) or each "
          f"other's; every interior is within rtol {RTOL:g}, atol {ATOL:g} of its peer")
    if args.png:
        chart(ratios, sizes, args.png, title)


if __name__ == "__main__":
    main()
