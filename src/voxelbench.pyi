"""Bit-reproducible moving average, moving variance and Hessian eigen-analysis of 3-D float32 volumes."""

import numpy as np
from numpy.typing import ArrayLike, NDArray

# Inputs are cast to float32 and read as if C-ordered. Outputs receive the results in place, so
# they must be C-contiguous, aligned, writable float32 arrays in native byte order; anything else
# raises and writes nothing.

def average(image: ArrayLike, output: NDArray[np.float32], element: ArrayLike, /) -> None:
    """average c++ function moving filters

    Moving weighted average of the 3-D `image` under the 3-D structuring element `element` (odd
    extents), written into `output` (the image's shape) at the interior voxels only, those whose
    whole window lies inside the image: sum(w*v) / sum(w). Other voxels keep their contents.
    """

def variance(image: ArrayLike, output: NDArray[np.float32], element: ArrayLike, /) -> None:
    """variance c++ function moving filters

    Moving weighted variance of the 3-D `image` under the 3-D structuring element `element` (odd
    extents), written into `output` (the image's shape) at the interior voxels only:
    (sum((w*v)**2) - sum(w*v)**2 / W) / W with W = sum(w). Other voxels keep their contents.
    """

def hessian(
    hzz: ArrayLike,
    hzy: ArrayLike,
    hzx: ArrayLike,
    hyz: ArrayLike,
    hyy: ArrayLike,
    hyx: ArrayLike,
    hxz: ArrayLike,
    hxy: ArrayLike,
    hxx: ArrayLike,
    valA: NDArray[np.float32],
    valB: NDArray[np.float32],
    valC: NDArray[np.float32],
    valAz: NDArray[np.float32],
    valAy: NDArray[np.float32],
    valAx: NDArray[np.float32],
    valBz: NDArray[np.float32],
    valBy: NDArray[np.float32],
    valBx: NDArray[np.float32],
    valCz: NDArray[np.float32],
    valCy: NDArray[np.float32],
    valCx: NDArray[np.float32],
    /,
) -> None:
    """hessian c++ function not moving filters

    Eigen-decomposition of the symmetric 3x3 matrix at every voxel; only the lower triangle
    (hzz, hyz, hyy, hxz, hxy, hxx) is read. Writes the eigenvalues, largest first, into valA,
    valB and valC, and the (z, y, x) components of their unit eigenvectors into valAz to valCx.
    All 21 arrays have the shape of hzz.
    """
