"""
Chunked filtering through Zarr, bit for bit
===========================================

A volume too large for memory lives in a chunked store such as Zarr, and is filtered chunk by
chunk with dask. This example runs the recipe of ``examples/chunked.py`` (``filter_zarr`` and
``hessian_zarr``) on a small volume in a temporary directory, reads the results back and
compares them with one call on the whole volume, bit for bit.
"""

import tempfile
import time
from functools import partial
from pathlib import Path

import dask.array as da
import matplotlib.pyplot as plt
import numpy as np

from chunked import COMPONENTS, RESULTS, eigen_blocks, filter_zarr, hessian_zarr, whole

SIZE = 64  # volume edge, voxels (axes z, y, x)
CHUNK = 24  # chunk edge of the stores: chunks of 24, 24 and 16 along each axis
rng = np.random.default_rng(0)

# %%
# A volume, an element and a Hessian field
# ----------------------------------------
# Gaussian blobs in noise. The element has random weights and a different extent along each
# axis, so that a mistake in any axis's overlap would show. ``hessian`` needs a field of
# symmetric matrices; second differences of the volume make one.

zyx = np.indices((SIZE,) * 3, dtype=np.float32)
volume = rng.normal(0, 0.1, zyx.shape[1:]).astype(np.float32)
for centre in rng.uniform(8, SIZE - 8, (6, 3)).astype(np.float32):
    volume += np.exp(-((zyx - centre[:, None, None, None]) ** 2).sum(axis=0) / 50)

element = rng.random((5, 3, 7), np.float32)
depth = tuple(extent // 2 for extent in element.shape)

gradient = np.gradient(volume)
second = {(i, j): np.gradient(gradient[i], axis=j).astype(np.float32)
          for i in range(3) for j in range(i + 1)}
# hzz, hzy, ..., hxx: each pair (i, j) and (j, i) is one array, so the field is symmetric.
field = [second[max(i, j), min(i, j)] for i in range(3) for j in range(3)]
print(f"volume {volume.shape} in chunks of {CHUNK}, element {element.shape}, "
      f"overlap (half-extents) {depth}")

# %%
# Through Zarr, on dask's threads
# -------------------------------
# The volume and the field go to Zarr stores in a temporary directory. ``filter_zarr`` reads
# each chunk with its overlap from the volume's store, filters it and writes the trimmed
# result to a new store; ``hessian_zarr`` decomposes the field chunk by chunk. Without a dask
# ``Client``, dask runs the tasks on its default threaded scheduler. The results are read back
# into memory before the directory is removed.

stored: dict[str, np.ndarray] = {}
with tempfile.TemporaryDirectory() as tmp:
    store = Path(tmp)
    da.to_zarr(da.from_array(volume, chunks=CHUNK), str(store / "volume.zarr"))
    for name, component in zip(COMPONENTS, field):
        da.to_zarr(da.from_array(component, chunks=CHUNK), str(store / "field.zarr"),
                   component=name)
    for name in ("average", "variance"):
        start = time.perf_counter()
        filter_zarr(name, str(store / "volume.zarr"), str(store / f"{name}.zarr"), element)
        print(f"{name:<8} through Zarr {time.perf_counter() - start:.2f} s")
        stored[name] = da.from_zarr(str(store / f"{name}.zarr")).compute()
    start = time.perf_counter()
    hessian_zarr(str(store / "field.zarr"), str(store / "eigen.zarr"))
    print(f"hessian  through Zarr {time.perf_counter() - start:.2f} s")
    stored["hessian"] = np.stack([da.from_zarr(str(store / "eigen.zarr"), component=r).compute()
                                  for r in RESULTS])
    chunks = da.from_zarr(str(store / "average.zarr")).chunks
print(f"results stored in chunks of {chunks[0]} along each axis")

# %%
# The same bits as one call
# -------------------------
# Each voxel of ``average`` and ``variance`` depends only on the voxels of its own window, summed
# in a fixed order. A chunk extended by the element's half-extents on every side holds the whole
# window of each of its own voxels, so its call computes them exactly as a call on the whole
# volume does; the overlap is then trimmed. With ``boundary="none"`` dask pads nothing at the
# volume's faces, so the voxels there, where no window fits, stay unwritten (NaN) in both.
# ``hessian`` works voxel by voxel and needs no overlap. The comparison is of the raw 32-bit
# patterns, NaNs included.


def same_bits(a: np.ndarray, b: np.ndarray) -> bool:
    """Whether two float32 arrays hold the same 32-bit patterns, NaN payloads included."""
    return a.shape == b.shape and np.array_equal(a.view(np.uint32), b.view(np.uint32))


expected = {name: whole(name, volume, element) for name in ("average", "variance")}
expected["hessian"] = eigen_blocks(*field)
for name, result in stored.items():
    # The site's build stops here if the recipe ever loses a bit.
    assert same_bits(result, expected[name]), f"{name}: the chunked result differs from one call"
    print(f"{name:<8} same bits as one call: {result.size} values, of which NaN (unwritten) "
          f"{np.isnan(result).sum()} read back, {np.isnan(expected[name]).sum()} in the call")

# %%
# Without the overlap
# -------------------
# Filtering each chunk on its own, without the overlap, leaves unwritten seams along the chunk
# boundaries, where windows would reach into the neighbouring chunk.

alone = da.map_blocks(partial(whole, "average", element=element),
                      da.from_array(volume, chunks=CHUNK), dtype=np.float32).compute()
differ = ~((alone.view(np.uint32) == expected["average"].view(np.uint32)))
seams = np.isnan(alone[differ]).all()
print(f"average without overlap: {differ.sum()} voxels differ from one call, "
      f"{'all' if seams else 'not all'} of them left unwritten")

# %%
# The figure
# ----------
# A slice across the volume, with the chunk boundaries (lines) and the overlap that each chunk
# reads from its neighbours (shaded: the element's half-extents on either side, 1 voxel along
# y and 3 along x); the average read back from Zarr, whose unwritten border is grey; and the
# average filtered chunk by chunk without the overlap.

z = SIZE // 2
edges = np.arange(CHUNK, SIZE, CHUNK) - 0.5  # between voxels CHUNK - 1 and CHUNK, ...
fig, axes = plt.subplots(1, 3, figsize=(11, 4), layout="constrained")
cmap = plt.get_cmap("viridis").with_extremes(bad="0.6")
titles = (f"volume, slice z = {z}", "average, from Zarr", "average, chunks without overlap")
for ax, title, data in zip(axes, titles, (volume[z], stored["average"][z], alone[z])):
    ax.imshow(data, cmap=cmap)
    ax.set_title(title, fontsize=10)
    ax.set_xlabel("x")
    ax.set_ylabel("y")
    for edge in edges:
        ax.axhline(edge, color="white", linewidth=0.8)
        ax.axvline(edge, color="white", linewidth=0.8)
for edge in edges:
    axes[0].axhspan(edge - depth[1], edge + depth[1], color="white", alpha=0.35)
    axes[0].axvspan(edge - depth[2], edge + depth[2], color="white", alpha=0.35)
