"""
Local statistics: noise level and adaptive thresholding
=======================================================

A synthetic fluorescence volume holds nuclei of different brightness on an unevenly lit
background with Gaussian noise. Moving averages and variances from voxelbench give the noise
level and a threshold that follows the background, scored against the known nuclei. The last
part shows, on the same volume with a camera offset, how float32 sums make a small variance on
a large mean come out negative, and how to avoid it.
"""

import time

import matplotlib.pyplot as plt
import numpy as np
from scipy import ndimage

import voxelbench

N = 96  # volume edge, voxels (axes z, y, x)
SIGMA = 0.1  # standard deviation of the added noise
rng = np.random.default_rng(4)

# %%
# A synthetic cell volume
# -----------------------
# Nuclei are randomly oriented ellipsoids, kept apart from each other, each with its own
# brightness above the background. The background rises from one side to the other and has a
# broad bright patch, as with uneven illumination, so that some nuclei are dimmer than the
# background elsewhere: no single threshold can separate them all.


def ellipsoid(shape: tuple[int, int, int], centre: np.ndarray, axes: np.ndarray,
              rotation: np.ndarray) -> np.ndarray:
    """Boolean mask of an ellipsoid with semi-axes `axes` along the columns of `rotation`."""
    grid = np.indices(shape, dtype=np.float32).reshape(3, -1).T - centre
    inside = (((grid @ rotation) / axes) ** 2).sum(axis=1) <= 1
    return inside.reshape(shape)


def cell_volume(n: int) -> tuple[np.ndarray, np.ndarray]:
    """Noise-free volume and the mask of its nuclei."""
    z, y, x = np.indices((n, n, n), dtype=np.float32) / (n - 1)
    background = 0.1 + 0.5 * x + 0.4 * np.exp(-((z - 0.5) ** 2 + (y - 0.3) ** 2) / 0.08)
    truth = np.zeros((n, n, n), bool)
    image = background.astype(np.float32)
    centres: list[np.ndarray] = []
    while len(centres) < 16:
        centre = rng.uniform(10, n - 10, 3)
        # Semi-axes of 5 to 9 voxels; centres 20 apart leave a gap between neighbours.
        if all(np.linalg.norm(centre - c) > 20 for c in centres):
            centres.append(centre)
            rotation = np.linalg.qr(rng.standard_normal((3, 3)))[0]
            nucleus = ellipsoid(image.shape, centre, rng.uniform(5, 9, 3), rotation)
            image[nucleus] += rng.uniform(0.3, 1.0)
            truth |= nucleus
    return image, truth


clean, truth = cell_volume(N)
image = (clean + rng.normal(0, SIGMA, clean.shape)).astype(np.float32)
print(f"volume {image.shape}, {truth.mean():.1%} of it nuclei, noise sigma {SIGMA}")

# %%
# Local mean and variance
# -----------------------
# ``average`` and ``variance`` write only the voxels whose whole window fits in the volume. To
# get a value at every voxel, pad the volume by the element's half-extents first (here by
# reflection) and crop the result back.


def local(name: str, volume: np.ndarray, element: np.ndarray) -> np.ndarray:
    """voxelbench's `name` ("average" or "variance") at every voxel of `volume`."""
    half = [(e // 2, e // 2) for e in element.shape]
    padded = np.pad(volume, half, mode="reflect")
    out = np.empty_like(padded)
    getattr(voxelbench, name)(padded, out, element)
    # Only the padding's voxels are left unwritten, and they are cropped away.
    return out[tuple(slice(a, a + n) for (a, _), n in zip(half, volume.shape))]


box = np.ones((5, 5, 5), np.float32)
start = time.perf_counter()
mean = local("average", image, box)
var = local("variance", image, box)
print(f"local mean and variance, 5x5x5 box: {time.perf_counter() - start:.3f} s")

# %%
# Noise level
# -----------
# Inside a nucleus or in the smooth background, a 5x5x5 window sees only noise, and its
# variance estimates the noise variance; only windows across an edge see more. The median over
# the whole volume therefore needs no mask. With weights of 0 and 1, ``variance`` is the
# population variance of the window's ``n`` voxels, whose expected value is ``(n - 1) / n``
# times the noise variance. The estimate comes out a little high: the background's slope adds
# to every window's variance.

n = int(box.sum())
sigma_all = np.sqrt(np.median(var) * n / (n - 1))
sigma_bg = np.sqrt(np.median(var[~truth]) * n / (n - 1))
print(f"noise sigma from the median local variance: {sigma_all:.4f} over the whole volume, "
      f"{sigma_bg:.4f} over the background (true {SIGMA})")

# %%
# Adaptive threshold
# ------------------
# A voxel belongs to a nucleus when its 5x5x5 mean (which averages most of the noise away)
# exceeds the mean of a 25x25x25 window around it by ``K`` standard deviations of that window.
# The large window is wider than any nucleus, so its mean follows the background; where it
# holds part of a nucleus, its standard deviation grows and so does the threshold. For
# comparison, the best single threshold for the whole volume, chosen with the truth in hand.

K = 1.0
big = np.ones((25, 25, 25), np.float32)
start = time.perf_counter()
big_mean = local("average", image, big)
# The mean (0.1 to 2) is not large against the spread (0.1 or more), so float32 sums hold
# the variance well; the last part shows when they do not.
big_std = np.sqrt(local("variance", image, big))
print(f"local mean and variance, 25x25x25 box: {time.perf_counter() - start:.3f} s")
mask = mean > big_mean + K * big_std


def dice(a: np.ndarray, b: np.ndarray) -> float:
    """Dice coefficient 2|a & b| / (|a| + |b|) of two masks."""
    return 2 * (a & b).sum() / (a.sum() + b.sum())


# The best global threshold on the same 5x5x5 means, over every 1/200 of their range.
levels = np.linspace(mean.min(), mean.max(), 201)[1:-1]
scores = [dice(mean > t, truth) for t in levels]
best = int(np.argmax(scores))
print(f"Dice against the true nuclei: adaptive {dice(mask, truth):.3f}; "
      f"best global threshold ({levels[best]:.3f}) {scores[best]:.3f}")

# %%
# Negative variances on a large mean
# ----------------------------------
# A camera or CT scanner adds an offset, here 1000, to the same volume. ``variance`` forms
# ``(sum(v**2) - sum(v)**2 / n) / n`` in float32, whose 24-bit significands hold
# ``sum(v**2)``, about 1.25e8 for 125 voxels of 1000, only in steps of 8, while the true
# difference is 125 times the noise variance, near 1: what remains is rounding, of either sign.
# Clamping the negative values to zero hides the problem without solving it: the positive
# values beside them are as wrong.
#
# The remedy is to subtract a constant close to the mean before ``variance``. For weights of
# 0 and 1 the result is then the same population variance, since a shift moves every voxel of
# a window and its mean alike; only the rounding changes. (For other weights the weight
# multiplies the voxel before squaring, so a shift changes the result itself; take
# ``average(v*v) - average(v)**2`` there.) The median of the volume is close enough, and the
# subtraction itself is exact here: float32 values within a factor of two of each other
# subtract without rounding.

OFFSET = 1000
scan = image + np.float32(OFFSET)
raw = local("variance", scan, box)
shift = np.median(scan)
fixed = local("variance", scan - shift, box)
clamped = np.maximum(raw, 0)


def reference(volume: np.ndarray) -> np.ndarray:
    """The same windows' population variances, in float64."""
    v = volume.astype(np.float64)
    v -= v.mean()  # centred, so that float64's digits go to the spread
    # numpy's "reflect" padding is scipy's "mirror".
    return (ndimage.uniform_filter(v * v, box.shape, mode="mirror")
            - ndimage.uniform_filter(v, box.shape, mode="mirror") ** 2)


print(f"local variance, 5x5x5 box, of the volume on an offset of {OFFSET}:")
print(f"{'':<30} {'below zero':>15} {'zero':>7} {'noise sigma':>12} {'median error':>13}")
for label, v, volume in [("as is", raw, scan), ("clamped at 0", clamped, scan),
                         (f"minus its median, {shift:.2f}", fixed, scan),
                         ("(without the offset)", var, image)]:
    sigma = np.sqrt(max(np.median(v), 0) * n / (n - 1))
    exact = reference(volume)
    error = np.median(np.abs(v - exact) / exact)
    print(f"{label:<30} {(v < 0).sum():8d} {(v < 0).mean():6.1%} {(v == 0).mean():7.1%} "
          f"{sigma:12.4f} {error:13.1e}")
print(f"true noise sigma {SIGMA}; offset variances as is range over "
      f"{raw.min():.2f} to {raw.max():.2f}, in steps of {np.diff(np.unique(raw)).min():.3f}")

# %%
# On the offset volume as is, nearly half the variances are negative and the rest are as
# wrong; their median, and with it the noise estimate, is zero. Clamped, none is negative, but
# about half are zero, none of them in a flat window. After the median is subtracted, every
# variance is right to float32's rounding, and closer than on the volume without the offset,
# whose nuclei stand well above zero: the shift helps wherever the mean is large against the
# spread.

# %%
# The figure
# ----------
# The slice through most nuclei; the local mean and standard deviation (bright at the edges of
# nuclei, flat at the noise level elsewhere); the adaptive mask, with the true outlines; and the
# variances of the offset volume before and after subtracting the median, negative ones in red.

z = int(truth.sum(axis=(1, 2)).argmax())
panels = [
    (f"volume, slice z = {z}", image[z], "gray", None),
    ("local mean, 5x5x5", mean[z], "gray", None),
    ("local std, 5x5x5", np.sqrt(np.maximum(var[z], 0)), "magma", None),
    (f"adaptive mask (Dice {dice(mask, truth):.2f})", mask[z], "gray", None),
    (f"variance, offset {OFFSET}", raw[z], "RdBu", 4 * SIGMA**2),
    ("variance, median subtracted", fixed[z], "RdBu", 4 * SIGMA**2),
]
fig, axes = plt.subplots(2, 3, figsize=(10, 7), layout="constrained")
for ax, (title, data, cmap, limit) in zip(axes.flat, panels):
    # The variances share a scale centred on 0, so that negative values show red.
    shown = ax.imshow(data, cmap=cmap, vmin=-limit if limit else None, vmax=limit)
    ax.set_title(title, fontsize=10)
    ax.set_axis_off()
fig.colorbar(shown, ax=axes[1, 1:], shrink=0.8, label="variance")
axes[1, 0].contour(truth[z], levels=[0.5], colors="tab:orange", linewidths=0.8)
