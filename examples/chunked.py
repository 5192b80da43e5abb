"""Filter a volume in chunks with dask and check that it gives one whole-volume call's bits.

Every interior voxel depends only on its own window, so blocks that overlap their neighbours by
the element's half-extents, each filtered by its own call and trimmed back, reproduce a single
call exactly. Runs on dask's default (threaded) scheduler, on a local cluster of 2 worker
processes, and from a memory-mapped file into a memory-mapped file.

    pip install '.[dask]' && python examples/chunked.py
"""

import argparse
import sys
import tempfile
from pathlib import Path

import dask.array as da
import numpy as np

import voxelbench

# Voxels that no window covers; the whole-volume call leaves them alone too.
UNWRITTEN = np.float32(np.nan)


def chunked(name: str, volume: da.Array, element: np.ndarray) -> da.Array:
    """Lazily apply voxelbench's `name` ("average" or "variance") to a dask volume.

    Voxels within half an element of the volume's faces are not interior and come out NaN.
    """
    element = np.asarray(element, np.float32)
    depth = {axis: extent // 2 for axis, extent in enumerate(element.shape)}
    return da.map_overlap(lambda block: whole(name, block, element), volume, depth=depth,
                          boundary="none", dtype=np.float32)


def filter_file(name: str, src: Path, dst: Path, shape: tuple, element: np.ndarray,
                chunk: int) -> None:
    """Filter a raw float32 volume file into another, never holding either in memory whole."""
    source = np.memmap(src, np.float32, "r", shape=shape)
    target = np.memmap(dst, np.float32, "w+", shape=shape)
    da.store(chunked(name, da.from_array(source, chunks=chunk), element), target)
    target.flush()


def whole(name: str, volume: np.ndarray, element: np.ndarray) -> np.ndarray:
    """One call on a whole volume, or on one block of it."""
    out = np.full(volume.shape, UNWRITTEN, np.float32)
    getattr(voxelbench, name)(volume, out, element)  # looked up here: workers import it
    return out


def same_bits(a: np.ndarray, b: np.ndarray) -> bool:
    a, b = np.asarray(a, np.float32), np.asarray(b, np.float32)
    return a.shape == b.shape and bool((a.view(np.uint32) == b.view(np.uint32)).all())


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--size", type=int, default=160, help="edge of the cubic volume")
    parser.add_argument("--chunk", type=int, default=48, help="edge of a dask chunk")
    parser.add_argument("--workers", type=int, default=2, help="processes of the local cluster")
    args = parser.parse_args()

    # Generated block by block wherever the graph runs, from seeds fixed in the graph, so the
    # workers never receive the volume itself.
    source = da.random.default_rng(0).standard_normal((args.size,) * 3, dtype=np.float32,
                                                      chunks=args.chunk)
    volume = source.compute()
    element = np.random.default_rng(1).random((5, 3, 7), np.float32)  # asymmetric on purpose
    lazy = {name: chunked(name, source, element) for name in ("average", "variance")}
    expected = {name: whole(name, volume, element) for name in lazy}
    print(f"volume {volume.shape} in chunks of {args.chunk}, element {element.shape}")
    ok = True

    def report(where: str, name: str, result: np.ndarray) -> None:
        nonlocal ok
        equal = same_bits(result, expected[name])
        ok &= equal
        print(f"{where:<34} {name:<9} {'same bits as one call' if equal else 'DIFFERENT'}")

    for name, x in lazy.items():
        report("threads (default scheduler)", name, x.compute())

    from dask.distributed import Client, LocalCluster

    with LocalCluster(n_workers=args.workers, threads_per_worker=1, processes=True,
                      dashboard_address=None) as cluster, Client(cluster):
        for name, x in lazy.items():
            report(f"LocalCluster, {args.workers} worker processes", name, x.compute())

    with tempfile.TemporaryDirectory() as tmp:
        src, dst = Path(tmp, "volume.f32"), Path(tmp, "average.f32")
        volume.tofile(src)
        filter_file("average", src, dst, volume.shape, element, args.chunk)
        report("memmap file to memmap file", "average", np.fromfile(dst, np.float32).reshape(volume.shape))

    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
