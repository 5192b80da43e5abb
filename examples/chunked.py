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

import argparse
import sys
import tempfile
from functools import partial
from pathlib import Path

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


def filter_zarr(name: str, src: str, dst: str, element: np.ndarray) -> None:
    """Filter the Zarr array at `src` into a new Zarr array at `dst`, chunk by chunk."""
    da.to_zarr(chunked(name, da.from_zarr(str(src)), element), str(dst), overwrite=True)


def eigen_blocks(*components: np.ndarray) -> np.ndarray:
    """The twelve `hessian` results of one block, stacked along a new first axis."""
    results = np.empty((len(RESULTS),) + components[0].shape, np.float32)
    voxelbench.hessian(*components, *results)
    return results


def hessian_zarr(src: str, dst: str) -> None:
    """Decompose the field in the Zarr group `src` (arrays hzz ... hxx) into the group `dst`."""
    field = [da.from_zarr(str(src), component=c) for c in COMPONENTS]
    stacked = da.map_blocks(eigen_blocks, *field, new_axis=0,
                            chunks=((len(RESULTS),),) + field[0].chunks, dtype=np.float32)
    # Computed together, so each block is decomposed once for all twelve stores.
    dask.compute(*(da.to_zarr(stacked[i], str(dst), component=r, overwrite=True, compute=False)
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
    args = parser.parse_args()

    shape, chunk = (args.size,) * 3, args.chunk
    element = np.random.default_rng(1).random((5, 3, 7), np.float32)  # asymmetric on purpose
    print(f"volume {shape} in chunks of {chunk}, element {element.shape}")
    ok = True

    def report(where: str, name: str, stored: np.ndarray, expected: np.ndarray) -> None:
        nonlocal ok
        equal = same_bits(stored, expected)
        ok &= equal
        print(f"{where:<30} {name:<8} {'same bits as one call' if equal else 'DIFFERENT'}")

    with tempfile.TemporaryDirectory() as tmp:
        store = Path(tmp)
        # Generated block by block from fixed seeds, so no worker is ever sent a whole volume.
        rng = da.random.default_rng(0)
        da.to_zarr(rng.standard_normal(shape, dtype=np.float32, chunks=chunk), str(store / "volume.zarr"))
        lower = {c: rng.standard_normal(shape, dtype=np.float32, chunks=chunk)
                 for c in ("hzz", "hyz", "hyy", "hxz", "hxy", "hxx")}
        mirror = {"hzy": "hyz", "hzx": "hxz", "hyx": "hxy"}
        for c in COMPONENTS:
            da.to_zarr(lower[mirror.get(c, c)], str(store / "field.zarr"), component=c)

        volume = da.from_zarr(str(store / "volume.zarr")).compute()
        field = [da.from_zarr(str(store / "field.zarr"), component=c).compute() for c in COMPONENTS]
        expected = {name: whole(name, volume, element) for name in ("average", "variance")}
        expected["hessian"] = eigen_blocks(*field)

        def run_all(where: str) -> None:
            for name in ("average", "variance"):
                filter_zarr(name, store / "volume.zarr", store / f"{name}.zarr", element)
                report(where, name, da.from_zarr(str(store / f"{name}.zarr")).compute(),
                       expected[name])
            hessian_zarr(store / "field.zarr", store / "eigen.zarr")
            stored = np.stack([da.from_zarr(str(store / "eigen.zarr"), component=r).compute()
                               for r in RESULTS])
            report(where, "hessian", stored, expected["hessian"])

        run_all("threads (default scheduler)")

        from dask.distributed import Client, LocalCluster

        with LocalCluster(n_workers=args.workers, threads_per_worker=1, processes=True,
                          dashboard_address=None) as cluster, Client(cluster):
            for name in ("average", "variance", "eigen"):  # start from empty stores
                (store / f"{name}.zarr").rename(store / f"{name}-threads.zarr")
            run_all(f"LocalCluster, {args.workers} processes")

    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
