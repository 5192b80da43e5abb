"""Time voxelbench against its peers and the scalar loop, in one run, on one machine.

    python benchmarks/bench.py [--quick] [--repeat N] [--png benchmarks/bench.png]

Needs the test-only module (`pip install '.[bench]' -Ccmake.define.VOXELBENCH_TESTING=ON`) for
the scalar path, plus SciPy and Matplotlib. Every result is checked against the scalar path
bit for bit before it is reported.
"""

from __future__ import annotations

import argparse
import platform
import statistics
import time
from pathlib import Path

import numpy as np
import scipy
import scipy.ndimage as ndi

import _voxelbench_testing as testing
import voxelbench


def median_time(fn, repeat):
    fn()  # warm up caches and the one-time NumPy load
    times = []
    for _ in range(repeat):
        start = time.perf_counter()
        fn()
        times.append(time.perf_counter() - start)
    return statistics.median(times)


def cpu_model():
    for line in Path("/proc/cpuinfo").read_text().splitlines():
        if line.startswith("model name"):
            return line.split(":", 1)[1].strip()
    return platform.processor() or "unknown CPU"


def scipy_variance(im, w):
    mean = ndi.correlate(im, w, mode="constant")
    return ndi.correlate(im * im, w, mode="constant") - mean * mean


def bench_filters(im, sizes, repeat, rng):
    rows = []
    interior_base = np.array(im.shape)
    for size in sizes:
        w = rng.uniform(0.1, 1.0, (size,) * 3).astype(np.float32)
        wn = w / w.sum()
        voxels = int(np.prod(interior_base - (size - 1)))
        for kind, peer in [
            ("average", lambda: ndi.correlate(im, wn, mode="constant")),
            ("variance", lambda: scipy_variance(im, wn)),
        ]:
            out, ref = np.zeros_like(im), np.zeros_like(im)
            testing.use_backend("scalar")
            t_scalar = median_time(lambda: getattr(testing, kind)(im, ref, w), max(1, repeat // 2))
            t_vb = median_time(lambda: getattr(voxelbench, kind)(im, out, w), repeat)
            t_peer = median_time(peer, max(1, repeat // 2))
            assert np.array_equal(out.view(np.uint32), ref.view(np.uint32)), kind
            rows.append((f"{kind} {size}x{size}x{size}", voxels, size**3, t_vb, t_peer, t_scalar))
    testing.use_backend(testing.supported_backends()[0])
    return rows


def bench_hessian(n, repeat, rng):
    a = rng.standard_normal((n, n, n, 3, 3)).astype(np.float32)
    field = np.tril(a) + np.swapaxes(np.tril(a, -1), -1, -2)
    comps = [np.ascontiguousarray(field[..., r, c]) for r in range(3) for c in range(3)]
    results = [np.zeros((n, n, n), np.float32) for _ in range(12)]
    stacked = field.reshape(-1, 3, 3).astype(np.float64)  # not timed
    t_vb = median_time(lambda: voxelbench.hessian(*comps, *results), repeat)
    t_peer = median_time(lambda: np.linalg.eigh(stacked), max(1, repeat // 2))
    values = np.linalg.eigh(stacked)[0][:, ::-1].reshape(n, n, n, 3)
    np.testing.assert_allclose(np.stack(results[:3], -1), values, rtol=1e-4, atol=1e-4)
    return ("hessian", n**3, 1, t_vb, t_peer, None)


def report(rows, hessian_row):
    header = f"{'window':<22}{'voxels/s':>12}{'terms/s':>12}{'time ms':>10}{'x peer':>9}{'x scalar':>10}"
    print(header)
    print("-" * len(header))
    for name, voxels, terms, t_vb, t_peer, t_scalar in rows + [hessian_row]:
        scalar = f"{t_scalar / t_vb:10.1f}" if t_scalar else f"{'':>10}"
        print(
            f"{name:<22}{voxels / t_vb:12.3g}{voxels * terms / t_vb:12.3g}"
            f"{t_vb * 1e3:10.2f}{t_peer / t_vb:9.1f}{scalar}"
        )


def chart(rows, hessian_row, path, title):
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    names = [r[0] for r in rows] + ["hessian"]
    peer = [r[4] / r[3] for r in rows] + [hessian_row[4] / hessian_row[3]]
    scalar = [r[5] / r[3] for r in rows] + [0]
    x = np.arange(len(names))
    fig, ax = plt.subplots(figsize=(10, 4.5))
    ax.bar(x - 0.2, peer, 0.4, label="vs SciPy correlate / NumPy eigh")
    ax.bar(x + 0.2, scalar, 0.4, label="vs voxelbench scalar loop")
    ax.axhline(1, color="k", lw=0.8)
    ax.set_xticks(x, names, rotation=30, ha="right")
    ax.set_ylabel("speed-up (median time ratio)")
    ax.set_title(title, fontsize=9)
    ax.legend()
    fig.tight_layout()
    fig.savefig(path, dpi=110)
    print(f"chart written to {path}")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="a 64^3 volume and 32^3 field")
    parser.add_argument("--repeat", type=int, default=7, help="timed repetitions per case")
    parser.add_argument("--png", type=Path, default=Path(__file__).with_name("bench.png"))
    args = parser.parse_args()

    n, nh = (64, 32) if args.quick else (160, 64)
    rng = np.random.default_rng(0)
    im = rng.random((n, n, n), dtype=np.float32)
    backend = testing.supported_backends()[0]
    title = (
        f"{cpu_model()}, backend {backend}; volume {n}^3, field {nh}^3; "
        f"NumPy {np.__version__}, SciPy {scipy.__version__}"
    )
    print(title)
    rows = bench_filters(im, [3, 5, 7], args.repeat, rng)
    hessian_row = bench_hessian(nh, args.repeat, rng)
    report(rows, hessian_row)
    print("every average and variance result equals the scalar path bit for bit")
    chart(rows, hessian_row, args.png, title)


if __name__ == "__main__":
    main()
