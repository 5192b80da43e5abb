"""Run the three voxelbench functions on a synthetic volume and report what they computed.

A bright ball and a tube sit in Gaussian noise. The moving average and variance run on the raw
volume; the Hessian is taken from a Gaussian-smoothed copy, because second differences of the
raw (or box-averaged) noise would swamp the shapes.
"""

import time
from typing import Any, Callable, Tuple

import numpy as np

import voxelbench

N = 128  # volume edge, voxels
NOISE = 0.2  # standard deviation of the added noise; the objects have intensity 1
BALL_CENTRE = (64, 48, 64)  # z, y, x
BALL_RADIUS = 12
TUBE_ZY = (64, 88)  # the tube runs along x through this (z, y)
TUBE_RADIUS = 5
SIGMA = 6  # Gaussian smoothing for the Hessian, half the ball's radius


def timed(label: str, fn: Callable[..., Any], *args: Any) -> None:
    """Call fn(*args) and print how long it took."""
    start = time.perf_counter()
    fn(*args)
    print(f"{label:<38} {time.perf_counter() - start:8.3f} s")


def distances(n: int) -> Tuple[np.ndarray, np.ndarray]:
    """Distance of every voxel from the ball's centre and from the tube's axis."""
    z, y, x = np.mgrid[:n, :n, :n].astype(np.float32)
    bz, by, bx = BALL_CENTRE
    ball = np.sqrt((z - bz) ** 2 + (y - by) ** 2 + (x - bx) ** 2)
    tube = np.sqrt((z - TUBE_ZY[0]) ** 2 + (y - TUBE_ZY[1]) ** 2)
    return ball, tube


def gaussian_smooth(im: np.ndarray, sigma: float) -> Tuple[np.ndarray, int]:
    """Separable Gaussian blur as three one-axis voxelbench.average passes.

    Each pass writes only voxels whose window fits in the volume, so the result is valid on
    the interior [h:-h] along every axis; it is returned cropped to that, with h.
    """
    h = int(np.ceil(3 * sigma))
    taps = np.arange(-h, h + 1, dtype=np.float32)
    weights = np.exp(-0.5 * (taps / sigma) ** 2).astype(np.float32)
    src = im
    for axis in range(3):
        shape = [1, 1, 1]
        shape[axis] = weights.size
        dst = np.zeros_like(im)
        voxelbench.average(src, dst, weights.reshape(shape))
        src = dst
    return np.ascontiguousarray(src[h:-h, h:-h, h:-h]), h


def main() -> None:
    """Build the volume, run the filters and print what they found."""
    n = N
    rng = np.random.default_rng(0)
    ball_r, tube_r = distances(n)
    im = ((ball_r < BALL_RADIUS) | (tube_r < TUBE_RADIUS)).astype(np.float32)
    im += rng.normal(0, NOISE, im.shape).astype(np.float32)
    print(
        f"volume {im.shape}: ball (radius {BALL_RADIUS}), tube along x (radius {TUBE_RADIUS}), "
        f"intensity 1, noise sigma {NOISE}"
    )
    print(f"background below: voxels more than {3 * SIGMA} from both objects' surfaces")

    element = np.ones((3, 3, 3), np.float32)
    mean = np.zeros_like(im)
    var = np.zeros_like(im)
    timed("average (3x3x3 ones)", voxelbench.average, im, mean, element)
    timed("variance (3x3x3 ones)", voxelbench.variance, im, var, element)
    core = ball_r < BALL_RADIUS / 2
    # So far out, both the 3x3x3 windows and the Gaussian (3 sigma wide) see only noise.
    background = (ball_r > BALL_RADIUS + 3 * SIGMA) & (tube_r > TUBE_RADIUS + 3 * SIGMA)
    background[[0, -1], :, :] = background[:, [0, -1], :] = background[:, :, [0, -1]] = False
    print(
        f"  local mean, averaged over the ball's core {mean[core].mean():.3f}, "
        f"over the background {mean[background].mean():.3f}"
    )
    # variance divides by the weight total, so pure noise gives NOISE**2 * (27 - 1) / 27.
    expected = NOISE**2 * 26 / 27
    print(
        f"  mean local variance in the background {var[background].mean():.5f} "
        f"(noise variance {NOISE**2:.2f} x 26/27 = {expected:.5f})"
    )

    start = time.perf_counter()
    smooth, h = gaussian_smooth(im, SIGMA)
    label = f"gaussian smoothing (sigma {SIGMA}, 3 passes)"
    print(f"{label:<38} {time.perf_counter() - start:8.3f} s   valid interior {smooth.shape[0]}^3")

    # The Hessian of the smoothed volume, one symmetric 3x3 matrix per voxel.
    grads = np.gradient(smooth)
    field = [np.ascontiguousarray(g2, np.float32) for g in grads for g2 in np.gradient(g)]
    results = [np.zeros_like(smooth) for _ in range(12)]
    timed("hessian (eigen-decomposition)", voxelbench.hessian, *field, *results)
    val = np.stack(results[:3])  # valA >= valB >= valC
    inner = (slice(h, -h),) * 3
    ball_r, tube_r, core, background = ball_r[inner], tube_r[inner], core[inner], background[inner]

    def at(z: int, y: int, x: int) -> np.ndarray:
        """valA, valB, valC at a voxel given in the full volume's coordinates."""
        return val[:, z - h, y - h, x - h]

    def show(values: np.ndarray) -> str:
        """Eigenvalues in fixed format, largest first."""
        return "  ".join(f"{v:+.5f}" for v in values)

    centre = at(*BALL_CENTRE)
    print(f"  eigenvalues at the ball's centre:  {show(centre)}")
    print(f"  eigenvalues on the tube's axis:    {show(at(TUBE_ZY[0], TUBE_ZY[1], n // 2))}")
    typical = np.median(np.abs(val[:, background]))
    ratio = np.abs(centre).min() / typical
    print(f"  median |eigenvalue| in the background: {typical:.6f}, 1/{ratio:.0f} of the centre's")

    threshold = centre[0] / 4
    blob = (val < threshold).all(axis=0)
    inside = (blob & (ball_r < BALL_RADIUS)).sum() / blob.sum()
    covered = (blob & core).sum() / core.sum()
    rule = f"all eigenvalues < {threshold:+.5f}, 1/4 of the centre's largest"
    print(f"  blob-like voxels ({rule}): {blob.sum()}")
    print(
        f"    {100 * inside:.1f}% of them inside the ball; "
        f"they cover {100 * covered:.1f}% of its core (r < {BALL_RADIUS // 2})"
    )


if __name__ == "__main__":
    main()
