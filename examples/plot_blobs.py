"""
Blob detection from Hessian eigenvalues
=======================================

A bright ball curves down in every direction, so at its centre all three eigenvalues of the
Hessian are negative; along a tube's axis the largest one is near zero. Searching the
eigenvalues of :func:`voxelbench.hessian` over space and scale therefore finds balls, and their
sizes, while passing over tubes.
"""

import matplotlib.pyplot as plt
import numpy as np
import scipy.ndimage as ndi

from figure import eigenvalues, gaussian_smooth  # the Hessian step of the filters figure

N = 96  # volume edge, voxels
NOISE = 0.3  # the objects have intensity 1
BALLS = [  # z, y, x, radius
    (30, 28, 30, 3), (62, 34, 62, 3),
    (44, 56, 28, 5), (30, 50, 64, 5),
    (58, 62, 50, 8), (36, 28, 52, 8),
]
TUBE = (60, 78, 3)  # z, y, radius of a tube along x
RADII = np.geomspace(2, 10, 8)  # ball radii searched for
SIGMAS = RADII / np.sqrt(3)  # the scale at which a ball of that radius responds most

# %%
# The volume: six balls of radii 3, 5 and 8, and a tube of radius 3, in Gaussian noise.

z, y, x = np.mgrid[:N, :N, :N]
truth = (z - TUBE[0]) ** 2 + (y - TUBE[1]) ** 2 < TUBE[2] ** 2
for bz, by, bx, r in BALLS:
    truth |= (z - bz) ** 2 + (y - by) ** 2 + (x - bx) ** 2 < r**2
rng = np.random.default_rng(0)
volume = truth.astype(np.float32) + rng.normal(0, NOISE, truth.shape).astype(np.float32)

# %%
# Blobness at each scale
# ----------------------
# Blobness is ``-valA``, the weakest of the three downward curvatures, where all three are
# negative (``valA < 0``, ``valA`` being the largest eigenvalue), else 0; times sigma^2 so that
# balls of every size score alike. On a tube ``valA``, the curvature along its axis, is only
# noise about zero, so tubes score low, where the trace (Laplacian) would count their two
# strong curvatures. The helpers leave NaN where a scale's Gaussian does not fit; NaN fails
# ``valA < 0``, so those voxels score 0.

blobness = np.empty((len(SIGMAS),) + volume.shape, np.float32)
for i, sigma in enumerate(SIGMAS):
    val_a = eigenvalues(*gaussian_smooth(volume, sigma))[0]
    blobness[i] = np.where(val_a < 0, -(sigma**2) * val_a, 0)

# %%
# Detection
# ---------
# A blob is a local maximum over space and neighbouring scales, above half the strongest
# response; its radius is sqrt(3) sigma, known to the step of the scales searched.

threshold = blobness.max() / 2
peaks = blobness == ndi.maximum_filter(blobness, size=(3, 5, 5, 5))
peaks &= blobness > threshold
found = [(zz, yy, xx, RADII[s]) for s, zz, yy, xx in np.argwhere(peaks)]

print(f"volume {volume.shape}, noise sigma {NOISE}; radii searched: "
      + ", ".join(f"{r:.1f}" for r in RADII))
print(f"{len(found)} blobs found, {len(BALLS)} balls placed")
print("  placed (z, y, x)   r    nearest found    r    offset")
for bz, by, bx, r in BALLS:
    offsets = [np.hypot(np.hypot(f[0] - bz, f[1] - by), f[2] - bx) for f in found]
    j = int(np.argmin(offsets))
    fz, fy, fx, fr = found[j]
    print(f"  ({bz:2d}, {by:2d}, {bx:2d})      {r:2d}   ({fz:2d}, {fy:2d}, {fx:2d})   "
          f"{fr:5.1f}   {offsets[j]:4.1f}")
away = np.ones(volume.shape, bool)  # farther than twice its radius from every ball
for bz, by, bx, r in BALLS:
    away &= (z - bz) ** 2 + (y - by) ** 2 + (x - bx) ** 2 > (2 * r) ** 2
print(f"strongest response away from the balls (tube included) {blobness[:, away].max():.3f}, "
      f"threshold {threshold:.3f}")

# %%
# Maximum-intensity projections along z, with the placed balls (dashed) and the blobs found
# (solid). The tube runs across the bottom.

fig, axes = plt.subplots(1, 2, figsize=(9, 4.6))
axes[0].imshow(volume.max(axis=0), cmap="gray")
axes[0].set_title("input, MIP along z", fontsize=10)
axes[1].imshow(blobness.max(axis=(0, 1)), cmap="magma")
axes[1].set_title("blobness, max over scales and z", fontsize=10)
for ax in axes:
    for _, by, bx, r in BALLS:
        ax.add_patch(plt.Circle((bx, by), r, fill=False, color="cyan", ls="--"))
    for _, fy, fx, fr in found:
        ax.add_patch(plt.Circle((fx, fy), fr, fill=False, color="lime"))
    ax.set_xticks([])
    ax.set_yticks([])
fig.tight_layout()
plt.show()
