"""The README's examples run and print what the README says they print."""

import ast
import doctest
import re
import subprocess
import sys
from functools import partial
from pathlib import Path

import numpy as np
import pytest
from conftest import assert_bits_equal

COMPONENTS = ("hzz", "hzy", "hzx", "hyz", "hyy", "hyx", "hxz", "hxy", "hxx")
RESULTS = ("valA", "valB", "valC", "valAz", "valAy", "valAx",
           "valBz", "valBy", "valBx", "valCz", "valCy", "valCx")

ROOT = Path(__file__).parents[1]
README = ROOT / "README.md"
BLOCK = re.compile(r"^```(\w+)\n(.*?)^```$", re.S | re.M)


# Times in a quoted output ("0.74 s") vary from run to run; the rest must match.
untimed = partial(re.sub, r"\d+\.\d+ s\b", "T s")


def blocks(language):
    return [m.group(2) for m in BLOCK.finditer(README.read_text()) if m.group(1) == language]


def test_interactive_examples_print_what_the_readme_shows():
    """Every ```pycon block is run as a doctest, in order, sharing one namespace."""
    parser = doctest.DocTestParser()
    runner = doctest.DocTestRunner(optionflags=doctest.NORMALIZE_WHITESPACE)
    namespace = {}
    report = []
    examples = blocks("pycon")
    assert examples
    for i, text in enumerate(examples):
        test = parser.get_doctest(text, namespace, f"README pycon block {i + 1}", str(README), 0)
        runner.run(test, out=report.append, clear_globs=False)
        namespace = test.globs  # a DocTest runs in a copy of the namespace it is given
    assert runner.failures == 0, "".join(report)


def recipe():
    (text,) = [b for b in blocks("python") if "def filter_zarr" in b]
    return text


def test_recipe_functions_are_the_tested_example():
    """The recipe's definitions are those of examples/chunked.py, whose tests go further."""
    example = (ROOT / "examples" / "chunked.py").read_text()
    tree = ast.parse(recipe())
    for node in tree.body:
        if isinstance(node, (ast.FunctionDef, ast.Assign)):
            assert ast.get_source_segment(recipe(), node) in example


def test_zarr_recipe_as_printed_on_worker_processes(tmp_path, rng):
    """The recipe, run as a script, leaves one call's results on disk."""
    da = pytest.importorskip("dask.array")
    pytest.importorskip("zarr")
    pytest.importorskip("dask.distributed")
    import voxelbench

    scan = rng.normal(size=(40, 36, 44)).astype(np.float32)
    field = rng.normal(size=(9,) + scan.shape).astype(np.float32)
    da.to_zarr(da.from_array(scan, chunks=16), str(tmp_path / "scan.zarr"))
    for name, values in zip(COMPONENTS, field):
        da.to_zarr(da.from_array(values, chunks=16), str(tmp_path / "field.zarr"), component=name)
    (tmp_path / "recipe.py").write_text(recipe())
    run = subprocess.run([sys.executable, "recipe.py"], cwd=tmp_path, capture_output=True,
                         text=True, timeout=300)
    assert run.returncode == 0, run.stderr

    expected = np.full(scan.shape, np.nan, np.float32)
    voxelbench.average(scan, expected, np.ones((3, 5, 5), np.float32))
    assert_bits_equal(da.from_zarr(str(tmp_path / "smooth.zarr")).compute(), expected)
    results = np.empty((12,) + scan.shape, np.float32)
    voxelbench.hessian(*field, *results)
    for name, values in zip(RESULTS, results):
        assert_bits_equal(da.from_zarr(str(tmp_path / "eigen.zarr"), component=name).compute(),
                          values)


@pytest.mark.parametrize("script", sorted(set(re.findall(r"(?:examples|benchmarks)/\w+\.py",
                                                          README.read_text()))))
def test_scripts_the_readme_names_exist(script):
    assert (ROOT / script).is_file()


def test_quickstart_prints_what_the_readme_shows():
    """The quoted output, timings aside, is what the example prints."""
    run = subprocess.run([sys.executable, str(ROOT / "examples" / "quickstart.py")],
                         capture_output=True, text=True, timeout=300, check=True)
    quoted = next(t for t in blocks("text") if t.startswith("volume ("))
    assert untimed(run.stdout) == untimed(quoted)
