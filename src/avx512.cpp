// The AVX-512F backend: this instruction set's vector types and every kernel's vector
// algorithm compiled for them. The only file built with -mavx512f; it must not include Eigen.
#include <immintrin.h>

#include "x86.hpp"

// GCC 12's intrinsics fill unused sources with _mm512_undefined_pd(), a deliberate
// self-initialisation that -Wmaybe-uninitialized reports wherever they are inlined, and at -O1
// (the sanitizers' build) -Wuninitialized. clang has no such warning, and would warn of the
// unknown name.
#if !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#pragma GCC diagnostic ignored "-Wuninitialized"
#endif

#include <cfloat>
#include <cstddef>
#include <cstdint>

namespace {
struct Floats : X86Floats {
    using V = __m512;
    using Mask = __mmask16;
    static constexpr size_t lanes = 16;
    // Block shapes of the moving filters, (output rows, vectors) for [average, variance]
    // [elements of at most 5 rows, taller ones, 5^3]. The variance keeps two sums per voxel; its
    // short blocks of 2 x 5 beat 2 x 4 for 3^3 and 5^3 on AMD Zen 5 (benchmarks/bench.py).
    // average's 6 x 4 at 5^3, without column shifts, reached 75-78% of the limit where 2 x 6
    // with them reached 64-67% (in cache, AMD Zen 4), and ran as fast with boxes of ones. 4 x 5
    // reached 80%, but GCC 12 ran short of registers in it and kept sums on the stack.
    static constexpr int shapes[2][3][2] = {{{2, 6}, {6, 4}, {6, 4}}, {{2, 5}, {4, 2}, {2, 5}}};
    // With AMD Zen 5, average's 3^3 blocks were limited by their loads, most of which span two
    // cache lines. One load per vector and a permute per further column made them 1.2 to 1.4
    // times as fast with random weights and 1.6 with ones. Not variance: its products keep the
    // permute's pipes busy, and it ran up to 1.2 times as slow.
    static constexpr bool column_shifts = true;
    // On AMD Zen 4 a broadcast from memory to 16 lanes takes a vector pipe besides its load:
    // loading each weight spread over a vector made 3^3 to 11^3 up to 1.2 times as fast.
    static constexpr bool spread_weights = true;
    // Lanes c..15 of a, then 0..c-1 of b: the vector c columns to the right of a's.
    template <size_t c>
    static V shift(V a, V b) {
        if constexpr (c == 0) {
            return a;
        } else {
            return _mm512_castsi512_ps(
                _mm512_alignr_epi32(_mm512_castps_si512(b), _mm512_castps_si512(a), c));
        }
    }
    static V zero() { return _mm512_setzero_ps(); }
    static V set1(float x) { return _mm512_set1_ps(x); }
    static V load(const float *p) { return _mm512_loadu_ps(p); }
    static V load_held(const float *p) { return held<V>(p); }
    // Masked-off lanes are neither read nor written, so they cannot fault past an array.
    static V load(const float *p, Mask m) { return _mm512_maskz_loadu_ps(m, p); }
    static void store(float *p, V v) { _mm512_storeu_ps(p, v); }
    static void store(float *p, V v, Mask m) { _mm512_mask_storeu_ps(p, m, v); }
    static Mask first(size_t n) { return static_cast<Mask>((1u << n) - 1); }
    static V sub(V a, V b) { return _mm512_sub_ps(a, b); }
    static V div(V a, V b) { return _mm512_div_ps(a, b); }
    // The final divisions as products with the reciprocal in double (see quotient): not here,
    // as they were slower than the divider on AMD Zen 5 (benchmarks/bench.py, +reciprocal).
    static constexpr bool multiply_to_divide = false;
    static V times(V s, double r) {
        const __m512d rv = _mm512_set1_pd(r);
        const __m512d lo = _mm512_cvtps_pd(_mm512_castps512_ps256(s));
        const __m512d hi = _mm512_cvtps_pd(
            _mm256_castpd_ps(_mm512_extractf64x4_pd(_mm512_castps_pd(s), 1)));
        const __m256 lo_q = _mm512_cvtpd_ps(_mm512_mul_pd(lo, rv));
        const __m256 hi_q = _mm512_cvtpd_ps(_mm512_mul_pd(hi, rv));
        return _mm512_castpd_ps(_mm512_insertf64x4(_mm512_castps_pd(_mm512_castps256_ps512(lo_q)),
                                                   _mm256_castps_pd(hi_q), 1));
    }
    // Lanes where q is not above FLT_MIN in magnitude (NaN included), but for q = s = 0.
    static Mask not_normal(V q, V s) {
        const Mask zeros = _mm512_cmp_ps_mask(q, zero(), _CMP_EQ_OQ) &
                           _mm512_cmp_ps_mask(s, zero(), _CMP_EQ_OQ);
        return _mm512_cmp_ps_mask(_mm512_abs_ps(q), set1(FLT_MIN), _CMP_NGT_UQ) & ~zeros;
    }
    static bool any(Mask m) { return m != 0; }
    static V select(Mask m, V a, V b) { return _mm512_mask_blend_ps(m, b, a); }
};

struct Doubles {
    using V = __m512d;
    using M = __mmask8;
    static constexpr size_t lanes = 8;
    static constexpr int blocks = 3;  // vectors in lockstep
    static V set1(double x) { return _mm512_set1_pd(x); }
    static V load(const float *p) { return _mm512_cvtps_pd(_mm256_loadu_ps(p)); }
    static V load(const double *p) { return _mm512_loadu_pd(p); }
    // Rounds to nearest, like a scalar conversion under the default MXCSR.
    static void store(float *p, V v) { _mm256_storeu_ps(p, _mm512_cvtpd_ps(v)); }
    static void store(double *p, V v) { _mm512_storeu_pd(p, v); }
    static V add(V a, V b) { return _mm512_add_pd(a, b); }
    static V sub(V a, V b) { return _mm512_sub_pd(a, b); }
    static V mul(V a, V b) { return _mm512_mul_pd(a, b); }
    static V div(V a, V b) { return _mm512_div_pd(a, b); }
    static V sqrt(V a) { return _mm512_sqrt_pd(a); }
    static V abs(V a) { return _mm512_abs_pd(a); }
    // A sign flip, as scalar negation is (0 - a would turn -0 into +0); xor_pd needs AVX-512DQ.
    static V neg(V a) {
        return _mm512_castsi512_pd(_mm512_xor_si512(_mm512_castpd_si512(a),
                                                    _mm512_set1_epi64(INT64_MIN)));
    }
    static V select(M m, V a, V b) { return _mm512_mask_blend_pd(m, b, a); }
    // Ordered compares, false on NaN, as C++'s < <= ==; != is true on NaN.
    static M lt(V a, V b) { return _mm512_cmp_pd_mask(a, b, _CMP_LT_OQ); }
    static M le(V a, V b) { return _mm512_cmp_pd_mask(a, b, _CMP_LE_OQ); }
    static M eq(V a, V b) { return _mm512_cmp_pd_mask(a, b, _CMP_EQ_OQ); }
    static M ne(V a, V b) { return _mm512_cmp_pd_mask(a, b, _CMP_NEQ_UQ); }
    static M and_(M a, M b) { return static_cast<M>(a & b); }
    static M or_(M a, M b) { return static_cast<M>(a | b); }
    static M not_(M a) { return static_cast<M>(~a); }
    static unsigned bits(M a) { return a; }
};
}  // namespace

#include "hessian_simd.hpp"
#include "movingFilters_simd.hpp"

namespace avx512 {
void average(const Window &w) { moving::filter<false, Floats::multiply_to_divide>(w); }
void variance(const Window &w) { moving::filter<true, Floats::multiply_to_divide>(w); }
#ifdef VOXELBENCH_TESTING
void average_by_reciprocal(const Window &w) { moving::filter<false, true>(w); }
void variance_by_reciprocal(const Window &w) { moving::filter<true, true>(w); }
#endif
Fallbacks hessian(const Field<float> &f) { return hess::field(f); }
Fallbacks hessian(const Field<double> &f) { return hess::field(f); }
}  // namespace avx512
