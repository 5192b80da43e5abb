"""Filter volumes stored in Zarr with dask, and check that the stored results are one call's bits.

Every interior voxel depends only on its own window, so blocks that overlap their neighbours by
the element's half-extents, each filtered by its own call and trimmed back, reproduce a single
call exactly; `hessian` works voxel by voxel and needs no overlap. Each task reads its blocks
from the input store and writes its results to the output store itself, so the same recipe
works on dask's threads and on worker processes. This script runs it both ways, on dask's
default (threaded) scheduler and on a local cluster of worker processes, reads every result
back from its store and compares it with one whole-volume call.

    pip install '.[dask]' && python examples/chunked.py
"""

from __future__ import annotations

import argparse
import json
import sys
import tempfile
import time
from functools import partial

import dask
import dask.array as da
import numpy as np

import voxelbench

COMPONENTS = ("hzz", "hzy", "hzx", "hyz", "hyy", "hyx", "hxz", "hxy", "hxx")
RESULTS = ("valA", "valB", "valC", "valAz", "valAy", "valAx",
           "valBz", "valBy", "valBx", "valCz", "valCy", "valCx")


def whole(name: str, volume: np.ndarray, element: np.ndarray) -> np.ndarray:
    """One call of voxelbench's `name` on a whole volume, or on one block of it.

    Voxels where no window fits are not written; they come out NaN.
    """
    out = np.full(volume.shape, np.nan, np.float32)
    getattr(voxelbench, name)(volume, out, element)
    return out


def chunked(name: str, volume: da.Array, element: np.ndarray) -> da.Array:
    """Lazily apply `name` ("average" or "variance") to a dask volume, block by block."""
    element = np.asarray(element, np.float32)
    depth = tuple(extent // 2 for extent in element.shape)
    # boundary="none": no padding at the faces, so the border stays unwritten as in one call.
    return da.map_overlap(partial(whole, name, element=element), volume, depth=depth,
                          boundary="none", dtype=np.float32)


def filter_zarr(name: str, src: str, dst: str, element: np.ndarray,
                storage_options: "dict | None" = None) -> None:
    """Filter the Zarr array at `src` into a new Zarr array at `dst`, chunk by chunk.

    `src` and `dst` are paths or fsspec URLs (s3://bucket/scan.zarr), opened with
    `storage_options` (credentials, endpoint_url, ...).
    """
    volume = da.from_zarr(str(src), storage_options=storage_options)
    da.to_zarr(chunked(name, volume, element), str(dst), overwrite=True,
               storage_options=storage_options)


def eigen_blocks(*components: np.ndarray) -> np.ndarray:
    """The twelve `hessian` results of one block, stacked along a new first axis."""
    results = np.empty((len(RESULTS),) + components[0].shape, np.float32)
    voxelbench.hessian(*components, *results)
    return results


def hessian_zarr(src: str, dst: str, storage_options: "dict | None" = None) -> None:
    """Decompose the field in the Zarr group `src` (arrays hzz ... hxx) into the group `dst`."""
    field = [da.from_zarr(str(src), component=c, storage_options=storage_options)
             for c in COMPONENTS]
    stacked = da.map_blocks(eigen_blocks, *field, new_axis=0,
                            chunks=((len(RESULTS),),) + field[0].chunks, dtype=np.float32)
    # Computed together, so each block is decomposed once for all twelve stores.
    dask.compute(*(da.to_zarr(stacked[i], str(dst), component=r, overwrite=True, compute=False,
                              storage_options=storage_options)
                   for i, r in enumerate(RESULTS)))


def same_bits(a: np.ndarray, b: np.ndarray) -> bool:
    """Equal bit for bit; NaNs count as equal whatever their payload."""
    a, b = np.asarray(a, np.float32), np.asarray(b, np.float32)
    return a.shape == b.shape and bool(
        ((a.view(np.uint32) == b.view(np.uint32)) | (np.isnan(a) & np.isnan(b))).all())


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--size", type=int, default=160, help="edge of the cubic volume")
    parser.add_argument("--chunk", type=int, default=48, help="edge of a chunk")
    parser.add_argument("--workers", type=int, default=2, help="processes of the local cluster")
    parser.add_argument("--scheduler", help="address of a running dask scheduler, "
                        "tcp://HOST:8786: run the recipe there only")
    parser.add_argument("--store", help="directory or fsspec URL (s3://bucket/run) that every "
                        "worker can reach; a temporary directory if not given")
    parser.add_argument("--storage-options", type=json.loads, default=None,
                        help='JSON for fsspec, e.g. \'{"endpoint_url": "http://HOST:9000"}\'')
    args = parser.parse_args()

    shape, chunk, options = (args.size,) * 3, args.chunk, args.storage_options
    element = np.random.default_rng(1).random((5, 3, 7), np.float32)  # asymmetric on purpose
    print(f"volume {shape} in chunks of {chunk}, element {element.shape}")
    ok = True

    def report(where: str, name: str, stored: np.ndarray, expected: np.ndarray,
               seconds: float) -> None:
        nonlocal ok
        equal = same_bits(stored, expected)
        ok &= equal
        print(f"{where:<34} {name:<8} {seconds:6.2f} s  "
              f"{'same bits as one call' if equal else 'DIFFERENT'}")

    with tempfile.TemporaryDirectory() as tmp:
        store = (args.store or tmp).rstrip("/")

        def at(name: str) -> str:
            return f"{store}/{name}.zarr"

        def read(name: str, component: str | None = None) -> np.ndarray:
            return da.from_zarr(at(name), component=component,
                                storage_options=options).compute()

        def run_all(where: str, tag: str) -> None:
            for name in ("average", "variance"):
                start = time.perf_counter()
                filter_zarr(name, at("volume"), at(f"{name}-{tag}"), element, options)
                report(where, name, read(f"{name}-{tag}"), expected[name],
                       time.perf_counter() - start)
            start = time.perf_counter()
            hessian_zarr(at("field"), at(f"eigen-{tag}"), options)
            seconds = time.perf_counter() - start
            stored = np.stack([read(f"eigen-{tag}", r) for r in RESULTS])
            report(where, "hessian", stored, expected["hessian"], seconds)

        def generate() -> None:
            # Block by block from fixed seeds, so that no worker is ever sent a whole volume.
            rng = da.random.default_rng(0)
            da.to_zarr(rng.standard_normal(shape, dtype=np.float32, chunks=chunk), at("volume"),
                       overwrite=True, storage_options=options)
            lower = {c: rng.standard_normal(shape, dtype=np.float32, chunks=chunk)
                     for c in ("hzz", "hyz", "hyy", "hxz", "hxy", "hxx")}
            mirror = {"hzy": "hyz", "hzx": "hxz", "hyx": "hxy"}
            for c in COMPONENTS:
                da.to_zarr(lower[mirror.get(c, c)], at("field"), component=c, overwrite=True,
                           storage_options=options)

        from dask.distributed import Client, LocalCluster

        if args.scheduler:
            with Client(args.scheduler) as client:
                # Workers import this file to unpickle the recipe's functions when it is
                # imported as a module; run as a script, they travel by value.
                client.upload_file(__file__)
                generate()
                expected = one_call(read, element)
                run_all(f"cluster at {args.scheduler}", "cluster")
            return 0 if ok else 1

        generate()
        expected = one_call(read, element)
        run_all("threads (default scheduler)", "threads")
        with LocalCluster(n_workers=args.workers, threads_per_worker=1, processes=True,
                          dashboard_address=None) as cluster, Client(cluster):
            run_all(f"LocalCluster, {args.workers} processes", "processes")

    return 0 if ok else 1


def one_call(read, element: np.ndarray) -> dict[str, np.ndarray]:
    """Each function's results from one call on the whole stored volume or field."""
    volume = read("volume")
    expected = {name: whole(name, volume, element) for name in ("average", "variance")}
    expected["hessian"] = eigen_blocks(*[read("field", c) for c in COMPONENTS])
    return expected


if __name__ == "__main__":
    sys.exit(main())
