"""The examples say true things: the quickstart's printed claims hold and the figure's captions
describe what its maps show."""

import importlib.util
import re
import subprocess
import sys
from pathlib import Path
from types import ModuleType
from typing import Dict, List

import numpy as np
import pytest

EXAMPLES = Path(__file__).parents[1] / "examples"


def run(script: str, *args: str) -> "subprocess.CompletedProcess[str]":
    """Run an example as a user would, with this interpreter."""
    return subprocess.run(
        [sys.executable, str(EXAMPLES / script), *args],
        capture_output=True, text=True, timeout=300, check=False,
    )


@pytest.fixture(scope="module")
def quickstart() -> str:
    """What the quickstart prints."""
    done = run("quickstart.py")
    assert done.returncode == 0, done.stderr
    return done.stdout


def numbers(line: str) -> List[float]:
    """The decimal numbers in a line, in order (integers such as shapes are skipped)."""
    return [float(v) for v in re.findall(r"[-+]?\d+\.\d+(?:e[-+]?\d+)?", line)]


def line_with(text: str, output: str) -> str:
    """The one line of output containing text."""
    matches = [line for line in output.splitlines() if text in line]
    assert len(matches) == 1, f"expected one line with {text!r} in:\n{output}"
    return matches[0]


def parsed(output: str) -> Dict[str, List[float]]:
    """The quickstart's numbers by what they describe."""
    return {
        key: numbers(line_with(text, output))
        for key, text in {
            "noise": "noise sigma",
            "mean": "local mean, averaged over the ball's core",
            "variance": "mean local variance in the background",
            "centre": "eigenvalues at the ball's centre",
            "tube": "eigenvalues on the tube's axis",
            "background": "median |eigenvalue| in the background",
        }.items()
    }


def test_moving_filters_match_the_volume(quickstart: str) -> None:
    p = parsed(quickstart)
    (noise,) = p["noise"]
    inside, outside = p["mean"]
    assert abs(inside - 1) < 0.05 and abs(outside) < 0.01  # ball of intensity 1 on 0
    # A population variance of 27 independent samples averages noise**2 * (1 - 1/27).
    assert p["variance"][0] == pytest.approx(noise**2 * (1 - 1 / 27), rel=0.02)


def test_hessian_tells_the_ball_from_the_tube_and_the_noise(quickstart: str) -> None:
    p = parsed(quickstart)
    centre, tube = np.array(p["centre"]), np.array(p["tube"])
    assert (centre < 0).all()
    assert np.ptp(centre) < 0.1 * np.abs(centre).min()  # a ball curves alike in every direction
    assert (tube[1:] < 0).all() and abs(tube[0]) < 0.1 * abs(tube[1])  # flat along the tube
    assert np.abs(centre).min() > 50 * p["background"][0]


def test_blob_like_voxels_are_the_ball(quickstart: str) -> None:
    rule = r"blob-like voxels \(all eigenvalues < (\S+),.*\): (\d+)$"
    counted = re.search(rule, quickstart, re.M)
    assert counted, quickstart
    threshold, count = float(counted[1]), int(counted[2])
    assert threshold < 0 and count > 1000
    share = re.search(r"([\d.]+)% of them inside the ball; they cover ([\d.]+)% of its core",
                      quickstart)
    assert share, quickstart
    assert float(share[1]) >= 99 and float(share[2]) >= 95


@pytest.fixture(scope="module")
def figure() -> ModuleType:
    """examples/figure.py as a module, under a name that shadows nothing."""
    sys.path.insert(0, str(EXAMPLES))  # figure.py imports quickstart from beside it
    found = importlib.util.spec_from_file_location("figure_example", EXAMPLES / "figure.py")
    assert found and found.loader
    module = importlib.util.module_from_spec(found)
    found.loader.exec_module(module)
    return module


def test_figure_maps_show_what_the_captions_say(figure: ModuleType) -> None:
    im = figure.phantom()
    smooth, h = figure.gaussian_smooth(im, figure.SIGMA)
    val_a, val_b, _ = figure.eigenvalues(smooth, h)
    mid = im.shape[0] // 2
    for text, x, y in figure.labels():
        a, b = val_a[mid, round(y), round(x)], val_b[mid, round(y), round(x)]
        assert b < 0, (text, x, y)  # valB: blue on tubes and blobs
        if text == "blob":
            assert a < 0.75 * b  # all three curvatures alike, as valA >= valB
        else:
            assert abs(a) < 0.1 * abs(b)
    # valA clearly negative only near the blobs.
    n = im.shape[0]
    z, y, x = np.mgrid[:n, :n, :n] / n
    radii = [np.sqrt((z - 0.5) ** 2 + (y - cy) ** 2 + (x - cx) ** 2) / r
             for cy, cx, r in figure.BLOBS]
    near = np.min(radii, axis=0) < 2  # within two blob radii
    weakest = max(val_a[mid, round(cy * n), round(cx * n)] for cy, cx, _ in figure.BLOBS)
    assert not (val_a[~near] < weakest / 3).any()
    assert np.isnan(val_a[:h]).all() and not np.isnan(val_a[h:-h, h:-h, h:-h]).any()


def test_figure_writes_a_png(tmp_path: Path) -> None:
    pytest.importorskip("matplotlib")
    path = tmp_path / "out" / "filters.png"
    done = run("figure.py", str(path))
    assert done.returncode == 0, done.stderr
    assert path.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"

