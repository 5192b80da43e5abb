"""Time voxelbench against its peers and the scalar loop, in one run, on one machine.

    python benchmarks/bench.py [--quick] [--repeat N] [--png PATH]

Needs the test-only module (`pip install '.[bench]' -Ccmake.define.VOXELBENCH_TESTING=ON`) for
the scalar path, plus SciPy (and Matplotlib for --png). Random-weight windows are compared with
`scipy.ndimage.correlate` and with voxelbench's scalar loop, whose bits every result must equal;
boxes of ones with `scipy.ndimage.uniform_filter`, the running mean a user would pick for them;
`hessian`, on the Hessian of a smoothed random volume, with `numpy.linalg.eigh` and with every
backend this machine has, each checked bit for bit against the Eigen path (the scalar backend).
Peers round differently, so they are checked with a tolerance.
"""

from __future__ import annotations

import argparse
import platform
import statistics
import time
from pathlib import Path
from typing import Callable, NamedTuple

import numpy as np
import scipy
import scipy.ndimage as ndi

import _voxelbench_testing as testing
import voxelbench

RANDOM_SIZES = [3, 5, 7]
BOX_SIZES = [3, 5, 7, 9, 11, 13, 15]
# The peers sum in double precision and in another order; float32 sums of up to 15^3 terms
# differ from them by about 2e-6 on values of order 0.1.
RTOL, ATOL = 1e-4, 1e-5


class Row(NamedTuple):
    name: str
    voxels: int  # voxels written
    terms: int  # window terms per voxel
    t_vb: float
    peer: str
    t_peer: float
    t_scalar: float | None


def interleaved(cases: dict[str, Callable[[], object]], repeat: int) -> dict[str, float]:
    """Median seconds of each case, its repetitions taken in turn with the others'.

    Round-robin so that a slow spell of the machine (other jobs, frequency changes) falls on
    every case alike instead of on whichever ran during it.
    """
    for fn in cases.values():
        fn()  # warm up caches and one-time loads
    times: dict[str, list[float]] = {name: [] for name in cases}
    for _ in range(repeat):
        for name, fn in cases.items():
            start = time.perf_counter()
            fn()
            times[name].append(time.perf_counter() - start)
    return {name: statistics.median(t) for name, t in times.items()}


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


def bench_random(im: np.ndarray, sizes: list[int], repeat: int, rng) -> list[Row]:
    """Random weights: voxelbench vs correlate and the scalar loop, bits checked vs the loop."""
    rows = []
    testing.use_backend("scalar")  # the test-only module's own state; voxelbench keeps its pick
    for size in sizes:
        w = rng.uniform(0.1, 1.0, (size,) * 3).astype(np.float32)
        wn = w / w.sum()
        peers = {
            "average": lambda: ndi.correlate(im, wn, mode="constant"),
            "variance": lambda: correlate_variance(im, w),
        }
        for kind, peer in peers.items():
            out, ref = np.zeros_like(im), np.zeros_like(im)
            t = interleaved({"vb": lambda: getattr(voxelbench, kind)(im, out, w), "peer": peer,
                             "scalar": lambda: getattr(testing, kind)(im, ref, w)}, repeat)
            assert np.array_equal(out.view(np.uint32), ref.view(np.uint32)), f"{kind} {size}"
            np.testing.assert_allclose(interior(out, size), interior(peer(), size), RTOL, ATOL)
            voxels = interior(out, size).size
            rows.append(Row(f"{kind} {size}^3", voxels, size**3, t["vb"], "correlate", t["peer"],
                            t["scalar"]))
    testing.use_backend(testing.supported_backends()[0])
    return rows


def bench_boxes(im: np.ndarray, sizes: list[int], repeat: int) -> list[Row]:
    """Boxes of ones: voxelbench vs the separable running mean."""
    rows = []
    for size in sizes:
        w = np.ones((size,) * 3, np.float32)
        peers = {
            "average": lambda: ndi.uniform_filter(im, size),
            "variance": lambda: box_variance(im, size),
        }
        for kind, peer in peers.items():
            out = np.zeros_like(im)
            t = interleaved({"vb": lambda: getattr(voxelbench, kind)(im, out, w), "peer": peer},
                            repeat)
            np.testing.assert_allclose(interior(out, size), interior(peer(), size), RTOL, ATOL)
            voxels = interior(out, size).size
            rows.append(Row(f"{kind} {size}^3 ones", voxels, size**3, t["vb"], "uniform_filter",
                            t["peer"], None))
    return rows


def smoothed_hessian_field(n: int, rng) -> list[np.ndarray]:
    """The nine components of the Hessian of a smoothed random n^3 volume, by numpy.gradient."""
    volume = ndi.gaussian_filter(rng.standard_normal((n, n, n)), 2)
    h = [np.gradient(g) for g in np.gradient(volume)]
    return [np.ascontiguousarray(h[r][c], np.float32) for r in range(3) for c in range(3)]


def bench_hessian(n: int, repeat: int, rng) -> Row:
    """Every backend and the Eigen path (the scalar backend) against numpy.linalg.eigh.

    Each backend is forced through the test-only module and its results are compared with the
    Eigen path's bit for bit; the fallbacks are the matrices a vector backend handed to Eigen.
    """
    comps = smoothed_hessian_field(n, rng)
    stacked = np.stack(comps, -1).reshape(-1, 3, 3).astype(np.float64)  # not timed
    backends = testing.supported_backends()
    results = {b: [np.zeros((n, n, n), np.float32) for _ in range(12)] for b in backends}

    def forced(b: str) -> Callable[[], None]:
        def run() -> None:
            testing.use_backend(b)
            testing.hessian(*comps, *results[b])
        return run

    fallbacks: dict[str, tuple[int, int]] = {}
    for b in backends:
        before = testing.hessian_fallbacks()
        forced(b)()
        fallbacks[b] = tuple(x - y for x, y in zip(testing.hessian_fallbacks(), before))
    public = [np.zeros((n, n, n), np.float32) for _ in range(12)]
    cases = {b: forced(b) for b in backends}
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
        same = b is None or all(np.array_equal(x.view(np.uint32), y.view(np.uint32))
                                for x, y in zip(results[b], results["scalar"]))
        assert same, f"{name} differs from the Eigen path"
        label = "scalar (Eigen path)" if name == "scalar" else name
        handed = f"{fallbacks[b][0]}, {fallbacks[b][1]}" if b and b != "scalar" else ""
        check = "same as Eigen" if b and b != "scalar" else ""
        print(f"{label:<20}{t[name] * 1e3:9.2f}{n**3 / t[name] / 1e6:14.2f}"
              f"{t['scalar'] / t[name]:9.2f}{t['numpy eigh'] / t[name]:8.2f}  {handed:<27}{check}")
    print()
    return Row(f"hessian {n}^3", n**3, 1, t["voxelbench.hessian"], "numpy eigh",
               t["numpy eigh"], t["scalar"])


def report(rows: list[Row]) -> None:
    header = (f"{'case':<22}{'voxels/s':>11}{'terms/s':>11}{'time ms':>10}"
              f"  {'peer':<15}{'peer ms':>9}{'x peer':>8}{'x scalar':>10}")
    print(header)
    print("-" * len(header))
    for r in rows:
        scalar = f"{r.t_scalar / r.t_vb:10.1f}" if r.t_scalar else ""
        print(f"{r.name:<22}{r.voxels / r.t_vb:11.3g}{r.voxels * r.terms / r.t_vb:11.3g}"
              f"{r.t_vb * 1e3:10.2f}  {r.peer:<15}{r.t_peer * 1e3:9.2f}{r.t_peer / r.t_vb:8.2f}"
              f"{scalar}")


def crossover(rows: list[Row], kind: str) -> str:
    """The smallest box from which uniform_filter beats voxelbench (and stays ahead)."""
    mine = [(r.terms, r.t_peer < r.t_vb) for r in rows if r.name.startswith(kind + " ")]
    slower = [terms for terms, peer_wins in mine if peer_wins]
    if not slower:
        return f"none up to {round(mine[-1][0] ** (1 / 3))}^3"
    first = round(min(slower) ** (1 / 3))
    steady = all(peer_wins for terms, peer_wins in mine if terms >= min(slower))
    return f"{first}^3" + ("" if steady else " (not at every larger size)")


def chart(random_rows: list[Row], box_rows: list[Row], hessian_row: Row, path: Path,
          title: str) -> None:
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    fig, (left, right) = plt.subplots(1, 2, figsize=(13, 4.5), width_ratios=[1, 1.6])
    rows = random_rows + [hessian_row]
    x = np.arange(len(rows))
    left.bar(x - 0.2, [r.t_peer / r.t_vb for r in rows], 0.4,
             label="vs SciPy correlate / NumPy eigh")
    left.bar(x + 0.2, [r.t_scalar / r.t_vb if r.t_scalar else 0 for r in rows], 0.4,
             label="vs voxelbench scalar loop")
    left.set_xticks(x, [r.name for r in rows], rotation=30, ha="right")
    left.set_title("random weights", fontsize=9)
    x = np.arange(len(box_rows))
    right.bar(x, [r.t_peer / r.t_vb for r in box_rows], 0.6, label="vs SciPy uniform_filter")
    right.set_yscale("log")
    right.set_xticks(x, [r.name.replace(" ones", "") for r in box_rows], rotation=30, ha="right")
    right.set_title("boxes of ones (below 1: uniform_filter is faster)", fontsize=9)
    left.set_ylim(0, left.get_ylim()[1] * 1.25)  # room for the legend above the bars
    for ax in (left, right):
        ax.axhline(1, color="k", lw=0.8)
        ax.set_ylabel("speed-up (median time ratio)")
        ax.legend(fontsize=8)
    fig.suptitle(title, fontsize=9)
    fig.tight_layout()
    fig.savefig(path, dpi=110)
    print(f"chart written to {path}")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="a 64^3 volume and 32^3 field")
    parser.add_argument("--repeat", type=int, default=7, help="timed repetitions per case")
    parser.add_argument("--png", type=Path, help="also draw the speed-ups into this picture")
    args = parser.parse_args()

    n, nh = (64, 32) if args.quick else (160, 64)
    rng = np.random.default_rng(0)
    im = rng.random((n, n, n), dtype=np.float32)
    backend = testing.supported_backends()[0]
    title = (f"{cpu_model()}, backend {backend}; volume {n}^3, field {nh}^3; "
             f"NumPy {np.__version__}, SciPy {scipy.__version__}")
    print(title)
    print(f"median of {args.repeat} interleaved runs; 'x peer' = peer time / voxelbench time "
          f"(above 1: voxelbench is faster)\n")
    hessian_row = bench_hessian(nh, args.repeat, rng)
    random_rows = bench_random(im, RANDOM_SIZES, args.repeat, rng)
    box_rows = bench_boxes(im, BOX_SIZES, args.repeat)
    report(random_rows + box_rows + [hessian_row])
    print()
    for kind in ("average", "variance"):
        print(f"uniform_filter faster for {kind} from: {crossover(box_rows, kind)}")
    print("random-weight results equal the scalar path bit for bit; every interior is within "
          f"rtol {RTOL:g}, atol {ATOL:g} of its peer")
    if args.png:
        chart(random_rows, box_rows, hessian_row, args.png, title)


if __name__ == "__main__":
    main()
