// AVX2 backend of the moving filters; the only file built with -mavx2.
#include <immintrin.h>

namespace {
struct Vec {
    using V = __m256;
    using Mask = __m256i;
    static constexpr size_t lanes = 8;
    static V zero() { return _mm256_setzero_ps(); }
    static V set1(float x) { return _mm256_set1_ps(x); }
    static V load(const float *p) { return _mm256_loadu_ps(p); }
    // Masked-off lanes are neither read nor written, so they cannot fault past an array.
    static V load(const float *p, Mask m) { return _mm256_maskload_ps(p, m); }
    static void store(float *p, V v) { _mm256_storeu_ps(p, v); }
    static void store(float *p, V v, Mask m) { _mm256_maskstore_ps(p, m, v); }
    static Mask first(size_t n) {
        const int k = static_cast<int>(n);
        return _mm256_setr_epi32(-(k > 0), -(k > 1), -(k > 2), -(k > 3), -(k > 4), -(k > 5),
                                 -(k > 6), 0);
    }
    static V add(V a, V b) { return _mm256_add_ps(a, b); }
    static V sub(V a, V b) { return _mm256_sub_ps(a, b); }
    static V mul(V a, V b) { return _mm256_mul_ps(a, b); }
    static V div(V a, V b) { return _mm256_div_ps(a, b); }
};
}  // namespace

#include "movingFilters_simd.hpp"

namespace avx2 {
void average(const Window &w) { filter<false>(w); }
void variance(const Window &w) { filter<true>(w); }
}  // namespace avx2
