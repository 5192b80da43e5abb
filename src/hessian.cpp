// hessian: per-voxel eigen-decomposition of a field of symmetric 3x3 matrices.
// Built for the baseline instruction set only: an AVX or FMA build of Eigen's solver rounds
// differently, and the results must not depend on the machine.
#include <Eigen/Eigenvalues>

#include "voxelbench.hpp"

void hessian(Array hzzNumpy, Array hzyNumpy, Array hzxNumpy, Array hyzNumpy, Array hyyNumpy,
             Array hyxNumpy, Array hxzNumpy, Array hxyNumpy, Array hxxNumpy, Output valANumpy,
             Output valBNumpy, Output valCNumpy, Output valAzNumpy, Output valAyNumpy,
             Output valAxNumpy, Output valBzNumpy, Output valByNumpy, Output valBxNumpy,
             Output valCzNumpy, Output valCyNumpy, Output valCxNumpy) {
    std::vector<Argument> args{
        {std::move(hzzNumpy), "hzz"},     {std::move(hzyNumpy), "hzy"},
        {std::move(hzxNumpy), "hzx"},     {std::move(hyzNumpy), "hyz"},
        {std::move(hyyNumpy), "hyy"},     {std::move(hyxNumpy), "hyx"},
        {std::move(hxzNumpy), "hxz"},     {std::move(hxyNumpy), "hxy"},
        {std::move(hxxNumpy), "hxx"},     {std::move(valANumpy), "valA"},
        {std::move(valBNumpy), "valB"},   {std::move(valCNumpy), "valC"},
        {std::move(valAzNumpy), "valAz"}, {std::move(valAyNumpy), "valAy"},
        {std::move(valAxNumpy), "valAx"}, {std::move(valBzNumpy), "valBz"},
        {std::move(valByNumpy), "valBy"}, {std::move(valBxNumpy), "valBx"},
        {std::move(valCzNumpy), "valCz"}, {std::move(valCyNumpy), "valCy"},
        {std::move(valCxNumpy), "valCx"},
    };
    const Buffers bufs("hessian", args);
    // Only the first three extents of hzz count; the other arrays must match it entirely.
    bufs.require_ndim(0, 3, true);
    for (size_t i = 1; i < args.size(); ++i) {
        bufs.require_same_shape(i, 0);
    }
    // Only the first three extents count, but a field that holds no element at all (a zero
    // extent beyond the third) has no voxel to visit.
    const Volume field = bufs.view(0);
    const size_t nPoints = bufs[0].size ? field.nz * field.ny * field.nx : 0;

    auto ptr = [&](size_t i) { return static_cast<float *>(bufs[i].ptr); };
    const float *hzz = ptr(0), *hzy = ptr(1), *hzx = ptr(2), *hyz = ptr(3), *hyy = ptr(4),
                *hyx = ptr(5), *hxz = ptr(6), *hxy = ptr(7), *hxx = ptr(8);
    float *valA = ptr(9), *valB = ptr(10), *valC = ptr(11), *valAz = ptr(12), *valAy = ptr(13),
          *valAx = ptr(14), *valBz = ptr(15), *valBy = ptr(16), *valBx = ptr(17),
          *valCz = ptr(18), *valCy = ptr(19), *valCx = ptr(20);

    // One solver on the stack for all voxels: compute() rewrites all of its state, so each
    // voxel's result is that of a freshly constructed solver, without reconstructing it.
    Eigen::Matrix3d inertiaE;
    Eigen::SelfAdjointEigenSolver<Eigen::Matrix3d> eigenSolver;
    for (size_t n = 0; n < nPoints; ++n) {
        // All nine loads come before any store, so a result array may also be an input.
        inertiaE << hzz[n], hzy[n], hzx[n], hyz[n], hyy[n], hyx[n], hxz[n], hxy[n], hxx[n];
        // The iterative solver (not computeDirect); it reads the lower triangle only.
        eigenSolver.compute(inertiaE);
        const Eigen::Vector3d &val = eigenSolver.eigenvalues();  // ascending
        const Eigen::Matrix3d &vec = eigenSolver.eigenvectors();
        valA[n] = static_cast<float>(val(2));
        valB[n] = static_cast<float>(val(1));
        valC[n] = static_cast<float>(val(0));
        valAz[n] = static_cast<float>(vec(0, 2));
        valAy[n] = static_cast<float>(vec(1, 2));
        valAx[n] = static_cast<float>(vec(2, 2));
        valBz[n] = static_cast<float>(vec(0, 1));
        valBy[n] = static_cast<float>(vec(1, 1));
        valBx[n] = static_cast<float>(vec(2, 1));
        valCz[n] = static_cast<float>(vec(0, 0));
        valCy[n] = static_cast<float>(vec(1, 0));
        valCx[n] = static_cast<float>(vec(2, 0));
    }
}
