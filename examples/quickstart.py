"""Run the three voxelbench functions on a synthetic volume and report what they computed."""

import time

import numpy as np

import voxelbench


def timed(label, fn, *args):
    start = time.perf_counter()
    fn(*args)
    print(f"{label:<38} {time.perf_counter() - start:8.3f} s")


def main(n: int = 128) -> None:
    rng = np.random.default_rng(0)
    # A bright ball on a noisy background.
    z, y, x = np.mgrid[:n, :n, :n].astype(np.float32) / n - 0.5
    im = (np.sqrt(x**2 + y**2 + z**2) < 0.25).astype(np.float32)
    im += rng.normal(0, 0.1, im.shape).astype(np.float32)
    element = np.ones((3, 3, 3), np.float32)
    print(f"volume {im.shape}, structuring element {element.shape}")

    mean = np.zeros_like(im)
    var = np.zeros_like(im)
    timed("average (3x3x3 ones)", voxelbench.average, im, mean, element)
    timed("variance (3x3x3 ones)", voxelbench.variance, im, var, element)
    inside, outside = mean[n // 2, n // 2, n // 2], mean[4, 4, 4]
    print(f"  local mean inside the ball {inside:.4f}, outside {outside:.4f}")
    background = var[2:20, 2:20, 2:20].mean()
    print(f"  mean local variance of the background {background:.5f} (noise variance 0.01)")

    # The Hessian of the smoothed volume, one symmetric 3x3 matrix per voxel.
    grads = np.gradient(mean)
    field = [np.ascontiguousarray(g2, np.float32) for g in grads for g2 in np.gradient(g)]
    results = [np.zeros_like(im) for _ in range(12)]
    timed("hessian (eigen-decomposition)", voxelbench.hessian, *field, *results)
    valA, valB, valC = results[:3]
    c = n // 2
    values = ", ".join(f"{v[c, c, c]:.5f}" for v in (valA, valB, valC))
    print(f"  eigenvalues at the ball's centre, largest first: {values}")
    print(f"  voxels with all eigenvalues negative (blob-like): {(valA < 0).sum()}")


if __name__ == "__main__":
    main()
