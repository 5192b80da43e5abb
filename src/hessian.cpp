// hessian: per-voxel eigen-decomposition of a field of symmetric 3x3 matrices. The Python-facing
// function, and Eigen's solver as the scalar backend and the vector backends' fallback.
// Built for the baseline instruction set only: an AVX or FMA build of Eigen's solver rounds
// differently, and the results must not depend on the machine.
#include <Eigen/Eigenvalues>
#include <atomic>
#include <utility>

#include "backends.hpp"
#include "voxelbench.hpp"

void eigen_solve(const double m[9], double out[12]) {
    Eigen::SelfAdjointEigenSolver<Eigen::Matrix3d> eigenSolver;  // fixed size: no allocation
    Eigen::Matrix3d inertiaE;
    inertiaE << m[0], m[1], m[2], m[3], m[4], m[5], m[6], m[7], m[8];
    // The iterative solver (not computeDirect); it reads the lower triangle only.
    eigenSolver.compute(inertiaE);
    const Eigen::Vector3d &val = eigenSolver.eigenvalues();  // ascending
    const Eigen::Matrix3d &vec = eigenSolver.eigenvectors();
    const double results[12] = {val(2),    val(1),    val(0),    vec(0, 2), vec(1, 2), vec(2, 2),
                                vec(0, 1), vec(1, 1), vec(2, 1), vec(0, 0), vec(1, 0), vec(2, 0)};
    std::copy(results, results + 12, out);
}

namespace scalar {
template <class T>
static Fallbacks solve_all(const Field<T> &f) {
    for (size_t n = 0; n < f.n; ++n) {
        // All nine loads come before any store, so a result array may also be an input.
        double m[9], r[12];
        for (int j = 0; j < 9; ++j) {
            m[j] = f.in[j][n];
        }
        eigen_solve(m, r);
        for (int k = 0; k < 12; ++k) {
            f.out[k][n] = static_cast<T>(r[k]);
        }
    }
    return {0, 0};
}
Fallbacks hessian(const Field<float> &f) { return solve_all(f); }
Fallbacks hessian(const Field<double> &f) { return solve_all(f); }
}  // namespace scalar

namespace {
// Eigen's own bound is 90 QR steps; the rare matrix that needs more than a few dozen is left
// to Eigen, so that a vector of lanes does not wait on it.
int iterations = 32;
std::atomic<size_t> nonfinite_total{0}, slow_total{0};

void count(const Fallbacks &f) {
    nonfinite_total += f.nonfinite;
    slow_total += f.slow;
}
}  // namespace

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
    Field<float> f{{}, {}, bufs[0].size ? field.nz * field.ny * field.nx : 0, iterations};
    for (size_t i = 0; i < 9; ++i) {
        f.in[i] = static_cast<const float *>(bufs[i].ptr);
    }
    for (size_t k = 0; k < 12; ++k) {
        f.out[k] = static_cast<float *>(bufs[9 + k].ptr);
    }
    // A result array may be a component array too, or another result array (the later store
    // wins): every backend gives those the scalar loop's results. Any other overlap with a
    // result, such as a shifted view, would show which voxels a backend loads before it
    // stores, so such a call takes the scalar loop on every machine.
    bool scalarOnly = false;
    for (size_t k = 0; k < 12; ++k) {
        for (size_t i = 0; i < 9 + k; ++i) {
            const float *other = i < 9 ? f.in[i] : f.out[i - 9];
            scalarOnly |= other != f.out[k] && overlap(other, f.n, f.out[k], f.n);
        }
    }
    count(scalarOnly ? scalar::hessian(f) : backend().hessian(f));
}

#ifdef VOXELBENCH_TESTING
int hessian_iterations(int n) {
    if (n < 0 || n > 90) {
        throw py::value_error("hessian_iterations(): n must be in [0, 90]");
    }
    return std::exchange(iterations, n);
}

py::tuple hessian_fallbacks() { return py::make_tuple(nonfinite_total.load(), slow_total.load()); }

py::array_t<double> hessian_doubles(py::array_t<double, py::array::c_style | py::array::forcecast> m) {
    if (m.ndim() != 2 || m.shape(1) != 9) {
        throw py::value_error("hessian_doubles(): m must have shape (n, 9)");
    }
    const size_t n = static_cast<size_t>(m.shape(0));
    std::vector<double> in(9 * n);
    for (size_t i = 0; i < n; ++i) {
        for (size_t j = 0; j < 9; ++j) {
            in[j * n + i] = m.data()[i * 9 + j];
        }
    }
    py::array_t<double> out({static_cast<py::ssize_t>(12), static_cast<py::ssize_t>(n)});
    Field<double> f{{}, {}, n, iterations};
    for (size_t j = 0; j < 9; ++j) {
        f.in[j] = in.data() + j * n;
    }
    for (size_t k = 0; k < 12; ++k) {
        f.out[k] = out.mutable_data() + k * n;
    }
    count(backend().hessian_doubles(f));
    return out;
}
#endif
