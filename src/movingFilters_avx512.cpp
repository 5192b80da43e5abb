// AVX-512F backend of the moving filters; the only file built with -mavx512f.
#include <immintrin.h>

namespace {
struct Vec {
    using V = __m512;
    using Mask = __mmask16;
    static constexpr size_t lanes = 16;
    static V zero() { return _mm512_setzero_ps(); }
    static V set1(float x) { return _mm512_set1_ps(x); }
    static V load(const float *p) { return _mm512_loadu_ps(p); }
    // Masked-off lanes are neither read nor written, so they cannot fault past an array.
    static V load(const float *p, Mask m) { return _mm512_maskz_loadu_ps(m, p); }
    static void store(float *p, V v) { _mm512_storeu_ps(p, v); }
    static void store(float *p, V v, Mask m) { _mm512_mask_storeu_ps(p, m, v); }
    static Mask first(size_t n) { return static_cast<Mask>((1u << n) - 1); }
    static V add(V a, V b) { return _mm512_add_ps(a, b); }
    static V sub(V a, V b) { return _mm512_sub_ps(a, b); }
    static V mul(V a, V b) { return _mm512_mul_ps(a, b); }
    static V div(V a, V b) { return _mm512_div_ps(a, b); }
};
}  // namespace

#include "movingFilters_simd.hpp"

namespace avx512 {
void average(const Window &w) { filter<false>(w); }
void variance(const Window &w) { filter<true>(w); }
}  // namespace avx512
