// The AVX2 backend: this instruction set's vector types and every kernel's vector algorithm
// compiled for them. The only file built with -mavx2; it must not include Eigen.
#include <immintrin.h>

#include "x86.hpp"

#include <cfloat>
#include <cstddef>

namespace {
struct Floats : X86Floats {
    using V = __m256;
    using Mask = __m256i;
    static constexpr size_t lanes = 8;
    // Block shapes of the moving filters, (output rows, vectors) for [average, variance]
    // [elements of at most 5 rows, taller ones, 5^3]. The variance keeps two sums per voxel.
    static constexpr int shapes[2][3][2] = {{{2, 4}, {3, 3}, {2, 4}}, {{2, 2}, {2, 2}, {2, 2}}};
    static V zero() { return _mm256_setzero_ps(); }
    static V set1(float x) { return _mm256_set1_ps(x); }
    static V load(const float *p) { return _mm256_loadu_ps(p); }
    static V load_held(const float *p) { return held<V>(p); }
    // Masked-off lanes are neither read nor written, so they cannot fault past an array.
    static V load(const float *p, Mask m) { return _mm256_maskload_ps(p, m); }
    static void store(float *p, V v) { _mm256_storeu_ps(p, v); }
    static void store(float *p, V v, Mask m) { _mm256_maskstore_ps(p, m, v); }
    static Mask first(size_t n) {
        const int k = static_cast<int>(n);
        return _mm256_setr_epi32(-(k > 0), -(k > 1), -(k > 2), -(k > 3), -(k > 4), -(k > 5),
                                 -(k > 6), 0);
    }
    static V sub(V a, V b) { return _mm256_sub_ps(a, b); }
    static V div(V a, V b) { return _mm256_div_ps(a, b); }
    // The final divisions as products with the reciprocal in double (see quotient): not here,
    // as they were slower than the divider on AMD Zen 5 (benchmarks/bench.py, +reciprocal).
    static constexpr bool multiply_to_divide = false;
    static V times(V s, double r) {
        const __m256d rv = _mm256_set1_pd(r);
        const __m256d lo = _mm256_cvtps_pd(_mm256_castps256_ps128(s));
        const __m256d hi = _mm256_cvtps_pd(_mm256_extractf128_ps(s, 1));
        return _mm256_insertf128_ps(_mm256_castps128_ps256(_mm256_cvtpd_ps(_mm256_mul_pd(lo, rv))),
                                    _mm256_cvtpd_ps(_mm256_mul_pd(hi, rv)), 1);
    }
    // Lanes (all ones) where q is not above FLT_MIN in magnitude (NaN included), but for
    // q = s = 0.
    static V not_normal(V q, V s) {
        const V magnitude = _mm256_andnot_ps(set1(-0.0f), q);
        const V zeros = _mm256_and_ps(_mm256_cmp_ps(q, zero(), _CMP_EQ_OQ),
                                      _mm256_cmp_ps(s, zero(), _CMP_EQ_OQ));
        return _mm256_andnot_ps(zeros, _mm256_cmp_ps(magnitude, set1(FLT_MIN), _CMP_NGT_UQ));
    }
    static bool any(V m) { return _mm256_movemask_ps(m) != 0; }
    static V select(V m, V a, V b) { return _mm256_blendv_ps(b, a, m); }
};

// Lane masks are vectors of all-ones or all-zeros lanes, as the compares leave them.
struct Doubles {
    using V = __m256d;
    using M = __m256d;
    static constexpr size_t lanes = 4;
    static constexpr int blocks = 3;  // vectors in lockstep
    static V set1(double x) { return _mm256_set1_pd(x); }
    static V load(const float *p) { return _mm256_cvtps_pd(_mm_loadu_ps(p)); }
    static V load(const double *p) { return _mm256_loadu_pd(p); }
    // Rounds to nearest, like a scalar conversion under the default MXCSR.
    static void store(float *p, V v) { _mm_storeu_ps(p, _mm256_cvtpd_ps(v)); }
    static void store(double *p, V v) { _mm256_storeu_pd(p, v); }
    static V add(V a, V b) { return _mm256_add_pd(a, b); }
    static V sub(V a, V b) { return _mm256_sub_pd(a, b); }
    static V mul(V a, V b) { return _mm256_mul_pd(a, b); }
    static V div(V a, V b) { return _mm256_div_pd(a, b); }
    static V sqrt(V a) { return _mm256_sqrt_pd(a); }
    static V abs(V a) { return _mm256_andnot_pd(_mm256_set1_pd(-0.0), a); }
    static V neg(V a) { return _mm256_xor_pd(a, _mm256_set1_pd(-0.0)); }
    static V select(M m, V a, V b) { return _mm256_blendv_pd(b, a, m); }
    // Ordered compares, false on NaN, as C++'s < <= ==; != is true on NaN.
    static M lt(V a, V b) { return _mm256_cmp_pd(a, b, _CMP_LT_OQ); }
    static M le(V a, V b) { return _mm256_cmp_pd(a, b, _CMP_LE_OQ); }
    static M eq(V a, V b) { return _mm256_cmp_pd(a, b, _CMP_EQ_OQ); }
    static M ne(V a, V b) { return _mm256_cmp_pd(a, b, _CMP_NEQ_UQ); }
    static M and_(M a, M b) { return _mm256_and_pd(a, b); }
    static M or_(M a, M b) { return _mm256_or_pd(a, b); }
    static M not_(M a) { return _mm256_xor_pd(a, _mm256_castsi256_pd(_mm256_set1_epi64x(-1))); }
    static unsigned bits(M a) { return static_cast<unsigned>(_mm256_movemask_pd(a)); }
};
}  // namespace

#include "hessian_simd.hpp"
#include "movingFilters_simd.hpp"

namespace avx2 {
void average(const Window &w) { moving::filter<false, Floats::multiply_to_divide>(w); }
void variance(const Window &w) { moving::filter<true, Floats::multiply_to_divide>(w); }
#ifdef VOXELBENCH_TESTING
void average_by_reciprocal(const Window &w) { moving::filter<false, true>(w); }
void variance_by_reciprocal(const Window &w) { moving::filter<true, true>(w); }
#endif
Fallbacks hessian(const Field<float> &f) { return hess::field(f); }
Fallbacks hessian(const Field<double> &f) { return hess::field(f); }
}  // namespace avx2
