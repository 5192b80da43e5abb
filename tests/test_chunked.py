"""Chunked processing with dask through Zarr (examples/chunked.py) gives one call's bits."""

import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest

da = pytest.importorskip("dask.array")
pytest.importorskip("zarr")

from conftest import assert_bits_equal  # noqa: E402
from test_pages import DOCS, blocks, untimed  # noqa: E402

EXAMPLE = Path(__file__).parents[1] / "examples" / "chunked.py"
sys.path.insert(0, str(EXAMPLE.parent))
import chunked as example  # noqa: E402


@pytest.fixture
def volume(rng):
    v = rng.normal(size=(37, 30, 41)).astype(np.float32)
    v[18, 14, 20], v[5, 29, 0], v[30, 3, 9] = np.nan, np.inf, -np.inf  # spread across chunks
    return v


@pytest.mark.parametrize("name", ["average", "variance"])
@pytest.mark.parametrize("eshape", [(1, 1, 1), (3, 3, 3), (5, 3, 7), (1, 1, 9)], ids=str)
@pytest.mark.parametrize("chunks", [16, ((7, 20, 10), (30,), (9, 9, 23))], ids=["even", "uneven"])
def test_chunks_match_one_call(name, eshape, chunks, volume, rng):
    element = rng.random(eshape, np.float32) - np.float32(0.2)
    result = example.chunked(name, da.from_array(volume, chunks=chunks), element).compute()
    assert_bits_equal(result, example.whole(name, volume, element))


# Chunks of 1, of 2 and of the element's half-extents (2, 1, 3), and a ragged last chunk of 1
# along every axis: thinner than the overlap, which dask's map_overlap then merges.
THIN = [1, 2, (2, 1, 3), ((10, 1), (8, 1), (15, 1))]


@pytest.mark.parametrize("name", ["average", "variance"])
@pytest.mark.parametrize("chunks", THIN, ids=["ones", "twos", "half-extents", "ragged"])
def test_chunks_thinner_than_the_overlap_match_one_call(name, chunks, rng):
    volume = rng.normal(size=(11, 9, 16)).astype(np.float32)
    volume[5, 4, 8], volume[10, 0, 15] = np.nan, np.inf  # mid-volume, and in the ragged last chunks
    element = rng.random((5, 3, 7), np.float32)
    result = example.chunked(name, da.from_array(volume, chunks=chunks), element).compute()
    assert_bits_equal(result, example.whole(name, volume, element))


def test_zarr_stores_receive_one_calls_results(tmp_path, volume, rng):
    da.to_zarr(da.from_array(volume, chunks=(16, 12, 20)), str(tmp_path / "in.zarr"))
    element = rng.random((3, 5, 3), np.float32)
    example.filter_zarr("variance", tmp_path / "in.zarr", tmp_path / "out.zarr", element)
    assert_bits_equal(da.from_zarr(str(tmp_path / "out.zarr")).compute(),
                      example.whole("variance", volume, element))

    field = rng.normal(size=(9,) + volume.shape).astype(np.float32)
    field[4, 1, 2, 3], field[0, 30, 3, 9] = np.nan, np.inf
    for component, values in zip(example.COMPONENTS, field):
        da.to_zarr(da.from_array(values, chunks=(16, 12, 20)), str(tmp_path / "field.zarr"),
                   component=component)
    example.hessian_zarr(tmp_path / "field.zarr", tmp_path / "eigen.zarr")
    stored = [da.from_zarr(str(tmp_path / "eigen.zarr"), component=r).compute()
              for r in example.RESULTS]
    assert_bits_equal(np.stack(stored), example.eigen_blocks(*field))


def test_example_on_a_cluster_of_worker_processes():
    pytest.importorskip("dask.distributed")
    run = subprocess.run([sys.executable, str(EXAMPLE), "--size", "48", "--chunk", "16"],
                         capture_output=True, text=True, timeout=300)
    assert run.returncode == 0, run.stdout + run.stderr
    lines = run.stdout.splitlines()[1:]
    assert len(lines) == 6 and all(line.endswith("same bits as one call") for line in lines)
    assert sum("LocalCluster, 2 processes" in line for line in lines) == 3
    quoted = next(t for t in blocks("text", DOCS / "guide" / "dask-zarr.md")
                  if t.startswith("volume (160, 160, 160)"))
    assert [untimed(l) for l in lines] == [untimed(l) for l in quoted.splitlines()[1:]]
