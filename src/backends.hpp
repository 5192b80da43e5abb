// What every backend sees: each kernel's arguments as plain pointers and extents, and the one
// table of backends that all kernels are dispatched through. Included by the vector backends
// too, so it holds declarations only: an inline function defined here would be compiled with
// their instruction-set flags as well.
#pragma once

#include <cstddef>

// The constraint of an inline-asm operand that may be a register or memory, spelled per
// compiler: GCC folds a weight it keeps on the stack into the instruction, but clang always
// takes the memory alternative when it is offered, and stored every product and sum to the stack
// only to read it back (2 to 5 times as slow). So clang gets the register alternative alone.
#if defined(__clang__)
#define VOXELBENCH_REG_OR_MEM(reg) reg
#else
#define VOXELBENCH_REG_OR_MEM(reg) reg "m"
#endif

// One call of average or variance, already checked: image, output and element are C-ordered,
// the output has the image's extents and overlaps neither input, every element extent is odd.
struct Window {
    const float *imIn;
    float *imOu;
    const float *stEl;
    size_t nz1, ny1, nx1;  // image
    size_t nz3, ny3, nx3;  // structuring element
    float stEl_sum;        // the weights added in window order
};

// One call of hessian over n matrices: component r*3+c of matrix i is in[r*3+c][i], its
// results go to out[0..11][i] (valA, valB, valC, valAz, ..., valCx). Only the lower triangle is
// read. Float for the module; double for the test-only module, which compares raw results.
template <class T>
struct Field {
    const T *in[9];
    T *out[12];
    size_t n;
    int iterations;  // QR steps a vector lane may take before Eigen redoes it; at most 90
};

// Matrices a vector backend handed to Eigen: those with a NaN or infinity in the lower
// triangle, and those that needed more QR steps than the bound.
struct Fallbacks {
    size_t nonfinite, slow;
};

// One matrix with Eigen's SelfAdjointEigenSolver<Matrix3d>: the reference and the fallback of
// every backend. m is row-major, out in result order.
void eigen_solve(const double m[9], double out[12]);

// Each backend writes the same bits. For the moving filters a vector lane is one output voxel
// adding its own window terms in window order, as the scalar loop does; for hessian a lane is
// one matrix going through exactly Eigen's operations. The vector backends' *_by_reciprocal
// filters end with the product by the reciprocal whether or not that backend prefers it to its
// divider; only the test-only module has them.
#define VOXELBENCH_KERNELS                          \
    void average(const Window &w);                  \
    void variance(const Window &w);                 \
    void average_by_reciprocal(const Window &w);    \
    void variance_by_reciprocal(const Window &w);   \
    Fallbacks hessian(const Field<float> &f);       \
    Fallbacks hessian(const Field<double> &f);
namespace scalar {
VOXELBENCH_KERNELS
}
namespace avx2 {
VOXELBENCH_KERNELS
}
namespace avx512 {
VOXELBENCH_KERNELS
}
namespace neon {
VOXELBENCH_KERNELS
}
#undef VOXELBENCH_KERNELS

struct Backend {
    const char *name;
    bool (*supported)();
    void (*average)(const Window &);
    void (*variance)(const Window &);
    Fallbacks (*hessian)(const Field<float> &);
    Fallbacks (*hessian_doubles)(const Field<double> &);
};

// The best backend this machine supports, chosen once per process (or the one the test-only
// module forced).
const Backend &backend();
