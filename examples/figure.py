"""Draw what the three filters do to a synthetic scan and write it to a PNG.

    python examples/figure.py docs/filters.png   (needs matplotlib: pip install '.[plot]')
"""

import argparse
from pathlib import Path
from typing import List, Tuple

import numpy as np

import quickstart  # beside this file
import voxelbench

N = 96  # volume edge, voxels
NOISE = 0.15
SIGMA = 2.0  # Gaussian smoothing before the Hessian, in voxels
# Both tubes and all blobs are centred on the plane z = 0.5, so the mid-slice cuts through all
# of them: tubes show as lines, blobs as discs. Lengths are fractions of the volume's edge.
TUBE_RADII = (0.03, 0.04)
ARC = 0.4  # the second tube bends round the corner y = 1, x = 0 at this distance
BLOBS = [(0.45, 0.45, 0.06), (0.7, 0.75, 0.05), (0.4, 0.15, 0.04)]  # (y, x, radius)


def phantom(n: int = N, seed: int = 0) -> np.ndarray:
    """Two bent tubes and three round blobs (Gaussian profiles, peak 1) in Gaussian noise."""
    rng = np.random.default_rng(seed)
    z, y, x = np.mgrid[:n, :n, :n].astype(np.float32) / n
    wavy = (y - 0.15 - 0.04 * np.sin(6 * x)) ** 2 + (z - 0.5) ** 2
    arc = (np.sqrt((y - 1) ** 2 + x**2) - ARC) ** 2 + (z - 0.5) ** 2
    vol = np.zeros((n, n, n), np.float32)
    for d2, r in zip((wavy, arc), TUBE_RADII):
        vol += np.exp(-d2 / (2 * r**2))
    for cy, cx, r in BLOBS:
        vol += np.exp(-((z - 0.5) ** 2 + (y - cy) ** 2 + (x - cx) ** 2) / (2 * r**2))
    return vol + rng.normal(0, NOISE, vol.shape).astype(np.float32)


def gaussian_smooth(im: np.ndarray, sigma: float) -> Tuple[np.ndarray, int]:
    """The quickstart's Gaussian blur, at full size: NaN outside the interior [h:-h] it writes."""
    inner, h = quickstart.gaussian_smooth(im, sigma)
    full = np.full_like(im, np.nan)
    full[h:-h, h:-h, h:-h] = inner
    return full, h


def eigenvalues(smooth: np.ndarray, h: int) -> List[np.ndarray]:
    """valA >= valB >= valC of the Hessian of the valid interior, NaN on the border."""
    inner = np.ascontiguousarray(smooth[h:-h, h:-h, h:-h])
    grads = np.gradient(inner)
    field = [np.ascontiguousarray(d2, np.float32) for d in grads for d2 in np.gradient(d)]
    results = [np.zeros_like(inner) for _ in range(12)]
    voxelbench.hessian(*field, *results)
    full = []
    for val in results[:3]:
        padded = np.full_like(smooth, np.nan)
        padded[h:-h, h:-h, h:-h] = val
        full.append(padded)
    return full


def labels(n: int = N) -> List[Tuple[str, float, float]]:
    """(text, x, y) in voxels: a point on each tube's axis and each blob's centre."""
    t = 0.6  # part-way along the wavy tube
    points = [("tube", t * n, (0.15 + 0.04 * np.sin(6 * t)) * n)]
    points.append(("tube", ARC * np.sqrt(0.5) * n, (1 - ARC * np.sqrt(0.5)) * n))
    points += [("blob", cx * n, cy * n) for cy, cx, _ in BLOBS]
    return points


def main() -> None:
    """Parse the output path, compute the filters on the phantom and draw six mid-slices."""
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("png", type=Path, help="where to write the figure")
    path = parser.parse_args().png

    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    im = phantom()
    element = np.ones((5, 5, 5), np.float32)
    mean, var = np.zeros_like(im), np.zeros_like(im)
    voxelbench.average(im, mean, element)
    voxelbench.variance(im, var, element)
    smooth, h = gaussian_smooth(im, SIGMA)
    val_a, val_b, _ = eigenvalues(smooth, h)

    c = im.shape[0] // 2
    panels = [
        ("input: 2 tubes, 3 blobs, noise", im, "gray", True),
        ("average, 5x5x5 ones", mean, "gray", False),
        ("variance, 5x5x5 ones: high on edges", var, "magma", False),
        (f"Gaussian blur, sigma {SIGMA:g} (3 passes)", smooth, "gray", False),
        ("middle eigenvalue valB:\nblue on tubes and blobs", val_b, "RdBu_r", True),
        ("largest eigenvalue valA:\nblue on blobs only", val_a, "RdBu_r", True),
    ]
    fig, axes = plt.subplots(2, 3, figsize=(9, 6.7))
    for ax, (title, vol, cmap, mark) in zip(axes.flat, panels):
        img = vol[c]
        cm = plt.get_cmap(cmap).with_extremes(bad="0.8")  # grey: voxels the filters left unwritten
        if cmap == "RdBu_r":
            lim = np.nanpercentile(np.abs(img), 99.5)
            shown = ax.imshow(img, cmap=cm, vmin=-lim, vmax=lim)
        else:
            shown = ax.imshow(img, cmap=cm)
        if mark:
            for text, x, y in labels():
                ax.annotate(
                    text, (x, y), xytext=(x + 7, y + 12), fontsize=9, ha="center",
                    bbox={"boxstyle": "round,pad=0.15", "fc": "white", "ec": "none", "alpha": 0.85},
                    arrowprops={"arrowstyle": "->", "color": "black", "shrinkA": 0, "shrinkB": 2},
                )
        ax.set_title(title, fontsize=10)
        ax.set_xticks([])
        ax.set_yticks([])
        fig.colorbar(shown, ax=ax, fraction=0.046, pad=0.03)
    fig.suptitle(
        f"voxelbench on a {N}^3 phantom, mid-slice z = {c}. Average and variance leave a 2-voxel "
        f"border at 0;\nthe Hessian is taken from the blurred volume (grey: its {h}-voxel border, "
        "not written)",
        fontsize=10,
    )
    fig.tight_layout()
    path.parent.mkdir(parents=True, exist_ok=True)
    fig.savefig(path, dpi=100)
    print(f"wrote {path}")


if __name__ == "__main__":
    main()
