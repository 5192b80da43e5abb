"""The README's and the site's pages: their examples run and print what the pages say they print,
their scripts and links exist, and the API page gives the functions' own docstrings."""

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
DOCS = ROOT / "docs"
README = ROOT / "README.md"
PAGES = [README] + sorted(p for p in DOCS.rglob("*.md") if "auto_examples" not in p.parts)
BLOCK = re.compile(r"^```(\w+)\n(.*?)^```$", re.S | re.M)
LINK = re.compile(r"\]\(([^)\s]+)\)")


# Times in a quoted output ("0.74 s") vary from run to run; the rest must match.
untimed = partial(re.sub, r"\d+\.\d+ s\b", "T s")


def name(page):
    return str(page.relative_to(ROOT))


def blocks(language, page=README):
    return [m.group(2) for m in BLOCK.finditer(page.read_text()) if m.group(1) == language]


@pytest.mark.parametrize("page", [p for p in PAGES if blocks("pycon", p)], ids=name)
def test_interactive_examples(page):
    """Every ```pycon block of a page is run as a doctest, in order, sharing one namespace."""
    parser = doctest.DocTestParser()
    runner = doctest.DocTestRunner(optionflags=doctest.NORMALIZE_WHITESPACE)
    namespace = {}
    report = []
    for i, text in enumerate(blocks("pycon", page)):
        test = parser.get_doctest(text, namespace, f"{name(page)} pycon block {i + 1}", str(page), 0)
        runner.run(test, out=report.append, clear_globs=False)
        namespace = test.globs  # a DocTest runs in a copy of the namespace it is given
    assert runner.failures == 0, "".join(report)


def recipe():
    (text,) = [b for b in blocks("python", DOCS / "guide" / "dask-zarr.md") if "def filter_zarr" in b]
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


@pytest.mark.parametrize("script", sorted(set(re.findall(
    r"(?<![\w/])(?:examples|benchmarks|tests|tools)/[\w-]+(?:\.\w+)?(?![\w*])", "".join(p.read_text() for p in PAGES)))))
def test_files_the_pages_name_exist(script):
    assert (ROOT / script).exists()


@pytest.mark.parametrize("page", PAGES, ids=name)
def test_relative_links_reach_files(page):
    """Links between pages read on a forge as well as on the site, so each names a real file."""
    for target in LINK.findall(page.read_text()):
        if "://" not in target and not target.startswith("#"):
            assert (page.parent / target.split("#")[0]).exists(), f"{name(page)}: {target}"


def test_api_page_gives_each_docstring():
    """The API page quotes the stubs' docstrings, whose first lines are the module's own."""
    import voxelbench

    stubs = ast.parse((ROOT / "src" / "voxelbench.pyi").read_text())
    functions = [node for node in stubs.body if isinstance(node, ast.FunctionDef)]
    api = (DOCS / "api.md").read_text().replace("\\*", "*")  # escaped from Markdown's emphasis
    assert [f.name for f in functions] == ["average", "variance", "hessian"]
    for function in functions:
        doc = ast.get_docstring(function)
        assert f"{{py:function}} {function.name}(" in api and doc in api
        assert getattr(voxelbench, function.name).__doc__.rstrip().endswith(doc.splitlines()[0])


def test_quickstart_prints_what_the_pages_show():
    """The quoted output, timings aside, is what the example prints."""
    run = subprocess.run([sys.executable, str(ROOT / "examples" / "quickstart.py")],
                         capture_output=True, text=True, timeout=300, check=True)
    quoted = next(t for t in blocks("text", DOCS / "getting-started.md") if t.startswith("volume ("))
    assert untimed(run.stdout) == untimed(quoted)
