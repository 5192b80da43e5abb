"""Time one whole-volume call against the same work through Zarr and dask, in one run.

    python benchmarks/parallel.py [--quick] [--workers N] [--repeat N] [--chunk N] [--dir PATH]

For `average` and `hessian`, four ways to get the same result:

- one call on arrays already in memory;
- one call Zarr to Zarr: read the input store into memory, one call, write the output store;
- dask's default threaded scheduler, Zarr to Zarr (examples/chunked.py);
- a dask.distributed LocalCluster of N single-threaded worker processes, Zarr to Zarr.

voxelbench holds the interpreter lock for a whole call, so dask's threads run the blocks one
after another; only worker processes run them side by side. Every result is read back from its
store and checked against the one call bit for bit. Needs `pip install '.[dask]'`.
"""

from __future__ import annotations

import argparse
import contextlib
import logging
import os
import statistics
import sys
import tempfile
import time
from pathlib import Path
from typing import Callable

import dask
import distributed
import numpy as np
import zarr
from dask.distributed import Client, LocalCluster

import voxelbench

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "examples"))
import chunked  # noqa: E402  (the Zarr pipelines a user would run; workers import it too)

COMPONENTS, RESULTS, same_bits = chunked.COMPONENTS, chunked.RESULTS, chunked.same_bits
# Chosen so that one call takes over a second on a 2-core machine (about 1.5 s and 2 s),
# long enough that dask's per-block and per-task overheads show in proportion.
AVERAGE_SIZE, AVERAGE_ELEMENT, HESSIAN_SIZE = 320, 11, 160
QUICK_AVERAGE_SIZE, QUICK_HESSIAN_SIZE, QUICK_CHUNK = 96, 48, 32


def cpu_model() -> str:
    with contextlib.suppress(OSError):
        for line in Path("/proc/cpuinfo").read_text().splitlines():
            if line.startswith("model name"):
                return line.split(":", 1)[1].strip()
    return "unknown CPU"


def backend() -> str:
    try:
        import _voxelbench_testing  # built only with VOXELBENCH_TESTING=ON
    except ImportError:
        return "unknown"
    return _voxelbench_testing.supported_backends()[0]


def write_array(path: Path, data: np.ndarray, chunk: int) -> None:
    store = zarr.open_array(str(path), mode="w", shape=data.shape, chunks=(chunk,) * data.ndim,
                            dtype="float32")
    store[...] = data


def read_array(path: Path) -> np.ndarray:
    return zarr.open_array(str(path), mode="r")[...]


def clock(run: Callable[[], object]) -> float:
    start = time.perf_counter()
    run()
    return time.perf_counter() - start


def interleaved(options: dict[str, Callable[[], float]], repeat: int) -> dict[str, float]:
    """Median seconds of each option, its repetitions taken in turn with the others'.

    Each option times itself, so that starting a client stays outside its time. One warm-up
    each first: worker imports, page cache, first-touch allocations.
    """
    for timed in options.values():
        timed()
    times: dict[str, list[float]] = {name: [] for name in options}
    for _ in range(repeat):
        for name, timed in options.items():
            times[name].append(timed())
    return {name: statistics.median(t) for name, t in times.items()}


def pipelines(in_memory: Callable[[], object], one_call_zarr: Callable[[Path], object],
              through_dask: Callable[[Path], object], stores: list[Path], cluster: LocalCluster,
              workers: int) -> dict[str, Callable[[], float]]:
    """The four options, each returning its own elapsed seconds; each writes its own store."""
    zarr_call, threads, processes = stores

    def on_cluster() -> float:
        with Client(cluster):  # the current client: dask computes on it until it closes
            return clock(lambda: through_dask(processes))

    return {
        "one call, in memory": lambda: clock(in_memory),
        "one call, Zarr to Zarr": lambda: clock(lambda: one_call_zarr(zarr_call)),
        "dask threads, Zarr to Zarr": lambda: clock(lambda: through_dask(threads)),
        f"dask LocalCluster {workers}x1, Zarr to Zarr": on_cluster,
    }


def bench_average(n: int, size: int, chunk: int, root: Path, cluster: LocalCluster,
                  workers: int, repeat: int) -> tuple[dict[str, float], list[bool]]:
    rng = np.random.default_rng(0)
    volume = rng.random((n, n, n), dtype=np.float32)
    element = rng.uniform(0.1, 1.0, (size,) * 3).astype(np.float32)
    src = root / "volume.zarr"
    write_array(src, volume, chunk)
    stores = [root / f"average_{how}.zarr" for how in ("one_call", "threads", "processes")]
    expected = np.full(volume.shape, np.nan, np.float32)  # NaN border, as the chunked results

    def one_call_zarr(dst: Path) -> None:
        image = read_array(src)
        out = np.full(image.shape, np.nan, np.float32)
        voxelbench.average(image, out, element)
        write_array(dst, out, chunk)

    medians = interleaved(pipelines(
        lambda: voxelbench.average(volume, expected, element), one_call_zarr,
        lambda dst: chunked.filter_zarr("average", src, dst, element), stores, cluster, workers),
        repeat)
    return medians, [same_bits(read_array(dst), expected) for dst in stores]


def bench_hessian(n: int, chunk: int, root: Path, cluster: LocalCluster, workers: int,
                  repeat: int) -> tuple[dict[str, float], list[bool]]:
    rng = np.random.default_rng(1)
    unique = {name: rng.standard_normal((n, n, n), dtype=np.float32)
              for name in ("hzz", "hyy", "hxx", "hzy", "hzx", "hyx")}
    comps = [unique[c if c in unique else c[0] + c[2] + c[1]] for c in COMPONENTS]  # symmetric
    src = root / "field.zarr"
    zarr.open_group(str(src), mode="w")
    for name, comp in zip(COMPONENTS, comps):
        write_array(src / name, comp, chunk)
    stores = [root / f"hessian_{how}.zarr" for how in ("one_call", "threads", "processes")]
    expected = [np.empty((n, n, n), np.float32) for _ in RESULTS]

    def one_call_zarr(dst: Path) -> None:
        inputs = [read_array(src / name) for name in COMPONENTS]
        outs = [np.empty(inputs[0].shape, np.float32) for _ in RESULTS]
        voxelbench.hessian(*inputs, *outs)
        zarr.open_group(str(dst), mode="w")
        for name, out in zip(RESULTS, outs):
            write_array(dst / name, out, chunk)

    medians = interleaved(pipelines(
        lambda: voxelbench.hessian(*comps, *expected), one_call_zarr,
        lambda dst: chunked.hessian_zarr(src, dst), stores, cluster, workers), repeat)
    return medians, [all(same_bits(read_array(dst / r), e) for r, e in zip(RESULTS, expected))
                     for dst in stores]


def report(title: str, medians: dict[str, float], checks: list[bool]) -> None:
    """One table; `checks` are the stored results' (every option but the reference)."""
    print(title)
    header = f"{'option':<36}{'median s':>10}{'x in memory':>13}{'x Zarr call':>13}  check"
    print(header)
    print("-" * (len(header) + 16))
    in_memory, zarr_call = list(medians.values())[:2]
    verdicts = ["reference"] + ["same bits as one call" if ok else "DIFFERENT" for ok in checks]
    for (name, t), verdict in zip(medians.items(), verdicts):
        print(f"{name:<36}{t:10.3f}{in_memory / t:13.2f}{zarr_call / t:13.2f}  {verdict}")
    print()


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true",
                        help=f"{QUICK_AVERAGE_SIZE}^3 volume, {QUICK_HESSIAN_SIZE}^3 field, "
                             f"{QUICK_CHUNK}^3 chunks: a smoke test")
    parser.add_argument("--workers", type=int, default=2, help="worker processes of the cluster")
    parser.add_argument("--repeat", type=int, default=3, help="timed repetitions per option")
    parser.add_argument("--chunk", type=int, help="edge of the Zarr and dask chunks (default 128)")
    parser.add_argument("--dir", type=Path, help="where the Zarr stores go (default: a temporary "
                                                 "directory, removed afterwards)")
    args = parser.parse_args()

    n_average, n_hessian = ((QUICK_AVERAGE_SIZE, QUICK_HESSIAN_SIZE) if args.quick
                            else (AVERAGE_SIZE, HESSIAN_SIZE))
    chunk = args.chunk or (QUICK_CHUNK if args.quick else 128)
    print(f"{cpu_model()}, {os.cpu_count()} cores, backend {backend()}; NumPy {np.__version__}, "
          f"dask {dask.__version__}, distributed {distributed.__version__}, "
          f"zarr {zarr.__version__}")
    print(f"chunks {chunk}^3 (the Zarr stores' and dask's), median of {args.repeat} interleaved "
          f"runs after a warm-up; 'x ...' = that option's time / this one's (above 1: faster)\n")

    with contextlib.ExitStack() as stack:
        if args.dir:
            args.dir.mkdir(parents=True, exist_ok=True)
            root = args.dir
        else:
            root = Path(stack.enter_context(tempfile.TemporaryDirectory()))
        cluster = stack.enter_context(LocalCluster(
            n_workers=args.workers, threads_per_worker=1, processes=True,
            dashboard_address=None, silence_logs=logging.ERROR))
        medians, checks = bench_average(n_average, AVERAGE_ELEMENT, chunk, root, cluster,
                                        args.workers, args.repeat)
        report(f"average, {AVERAGE_ELEMENT}^3 random weights, volume {n_average}^3",
               medians, checks)
        ok = all(checks)
        medians, checks = bench_hessian(n_hessian, chunk, root, cluster, args.workers, args.repeat)
        report(f"hessian, field {n_hessian}^3", medians, checks)
        ok &= all(checks)
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
