// The NEON backend (AArch64, where NEON is always there): this instruction set's vector types and
// every kernel's vector algorithm compiled for them. It must not include Eigen.
#include <arm_neon.h>

#include <cfloat>
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace {
struct Floats {
    using V = float32x4_t;
    using Mask = size_t;  // the count of leading lanes in use: NEON has no masked load or store
    static constexpr size_t lanes = 4;
    // Block shapes of the moving filters, (output rows, vectors) for [average, variance]
    // [elements of at most 5 rows, taller ones, 5^3]: 32 registers, as on AVX-512, so the
    // shapes it had before its short variance blocks grew to 2 x 5 on AMD Zen 5, and before its
    // average took 4 x 5 at 5^3. Not timed: no ARM machine was at hand.
    static constexpr int shapes[2][3][2] = {{{2, 6}, {6, 4}, {2, 6}}, {{2, 4}, {4, 2}, {2, 4}}};
    static V zero() { return vdupq_n_f32(0.0f); }
    static V set1(float x) { return vdupq_n_f32(x); }
    static V load(const float *p) { return vld1q_f32(p); }
    // On x86 a load that the compiler may not repeat for each use; not timed on ARM, so plain.
    static V load_held(const float *p) { return vld1q_f32(p); }
    static void store(float *p, V v) { vst1q_f32(p, v); }
    // Only the first n lanes are read or written, through a copy, so nothing past an array is
    // touched; the others hold 0.
    static V load(const float *p, Mask n) {
        float lane[lanes] = {};
        std::memcpy(lane, p, n * sizeof(float));
        return vld1q_f32(lane);
    }
    static void store(float *p, V v, Mask n) {
        float lane[lanes];
        vst1q_f32(lane, v);
        std::memcpy(p, lane, n * sizeof(float));
    }
    static Mask first(size_t n) { return n; }
    // Of two NaN operands ARM keeps a signalling one first: a NaN sum plus a signalling image
    // value would keep the image value, where the sum plus its quieted product x * 1 keeps the
    // sum. So boxes of ones are multiplied too.
    static constexpr bool unit_products_skippable = false;
    static constexpr bool column_shifts = false;  // untimed on ARM
    static constexpr bool spread_weights = false;
    template <size_t c>
    static V shift(V a, V b);  // never called, as column_shifts is false
    // The multiply and add of a window term with their operands pinned as in the scalar loop,
    // image value times weight and running sum plus product: of two NaN operands ARM keeps the
    // first signalling one, else the first, and the compiler would feel free to swap them.
    __attribute__((always_inline)) static V mul(V x, V w) {
        V r;
        __asm__("fmul %0.4s, %1.4s, %2.4s" : "=w"(r) : "w"(x), "w"(w));
        return r;
    }
    __attribute__((always_inline)) static V add(V sum, V p) {
        V r;
        __asm__("fadd %0.4s, %1.4s, %2.4s" : "=w"(r) : "w"(sum), "w"(p));
        return r;
    }
    static V sub(V a, V b) { return vsubq_f32(a, b); }
    static V div(V a, V b) { return vdivq_f32(a, b); }
    // The final divisions as products with the reciprocal in double (see quotient): not until
    // they are timed on an ARM machine; their bits are tested under emulation (+reciprocal).
    static constexpr bool multiply_to_divide = false;
    static V times(V s, double r) {
        const float64x2_t rv = vdupq_n_f64(r);
        const float32x2_t lo = vcvt_f32_f64(vmulq_f64(vcvt_f64_f32(vget_low_f32(s)), rv));
        return vcvt_high_f32_f64(lo, vmulq_f64(vcvt_high_f64_f32(s), rv));
    }
    // Lanes (all ones) where q is not above FLT_MIN in magnitude (NaN included), but for
    // q = s = 0.
    static uint32x4_t not_normal(V q, V s) {
        const uint32x4_t zeros = vandq_u32(vceqzq_f32(q), vceqzq_f32(s));
        return vmvnq_u32(vorrq_u32(vcagtq_f32(q, set1(FLT_MIN)), zeros));
    }
    static bool any(uint32x4_t m) { return vmaxvq_u32(m) != 0; }
    static V select(uint32x4_t m, V a, V b) { return vbslq_f32(m, a, b); }
    // Into L2 (prfm pldl2keep).
    static void prefetch(const float *p) { __builtin_prefetch(p, 0, 2); }
    // FPCR.FZ flushes subnormal inputs and results to 0; FIZ (bit 0, where the CPU has it)
    // flushes inputs.
    static uint64_t fpcr() {
        uint64_t r;
        __asm__ volatile("mrs %0, fpcr" : "=r"(r));
        return r;
    }
    static bool flushes_subnormals() { return fpcr() & ((uint64_t{1} << 24) | 1); }
    // Whether FPCR.RMode (bits 22-23) is round to nearest.
    static bool rounds_to_nearest() { return (fpcr() & (uint64_t{3} << 22)) == 0; }
};

// Lane masks are vectors of all-ones or all-zeros lanes, as the compares leave them.
struct Doubles {
    using V = float64x2_t;
    using M = uint64x2_t;
    static constexpr size_t lanes = 2;
    static constexpr int blocks = 3;  // vectors in lockstep, as on x86; not timed on ARM
    static V set1(double x) { return vdupq_n_f64(x); }
    static V load(const float *p) { return vcvt_f64_f32(vld1_f32(p)); }
    static V load(const double *p) { return vld1q_f64(p); }
    // Rounds to nearest, like a scalar conversion under the default FPCR.
    static void store(float *p, V v) { vst1_f32(p, vcvt_f32_f64(v)); }
    static void store(double *p, V v) { vst1q_f64(p, v); }
    static V add(V a, V b) { return vaddq_f64(a, b); }
    static V sub(V a, V b) { return vsubq_f64(a, b); }
    static V mul(V a, V b) { return vmulq_f64(a, b); }
    static V div(V a, V b) { return vdivq_f64(a, b); }
    static V sqrt(V a) { return vsqrtq_f64(a); }
    static V abs(V a) { return vabsq_f64(a); }
    static V neg(V a) { return vnegq_f64(a); }  // a sign flip, as scalar negation is
    static V select(M m, V a, V b) { return vbslq_f64(m, a, b); }
    // Ordered compares, false on NaN, as C++'s < <= ==; != is true on NaN.
    static M lt(V a, V b) { return vcltq_f64(a, b); }
    static M le(V a, V b) { return vcleq_f64(a, b); }
    static M eq(V a, V b) { return vceqq_f64(a, b); }
    static M ne(V a, V b) { return not_(eq(a, b)); }
    static M and_(M a, M b) { return vandq_u64(a, b); }
    static M or_(M a, M b) { return vorrq_u64(a, b); }
    static M not_(M a) { return veorq_u64(a, vdupq_n_u64(~uint64_t{0})); }
    static unsigned bits(M a) {
        return static_cast<unsigned>((vgetq_lane_u64(a, 0) & 1) | (vgetq_lane_u64(a, 1) & 2));
    }
};
}  // namespace

#include "hessian_simd.hpp"
#include "movingFilters_simd.hpp"

namespace neon {
void average(const Window &w) { moving::filter<false, Floats::multiply_to_divide>(w); }
void variance(const Window &w) { moving::filter<true, Floats::multiply_to_divide>(w); }
#ifdef VOXELBENCH_TESTING
void average_by_reciprocal(const Window &w) { moving::filter<false, true>(w); }
void variance_by_reciprocal(const Window &w) { moving::filter<true, true>(w); }
#endif
Fallbacks hessian(const Field<float> &f) { return hess::field(f); }
Fallbacks hessian(const Field<double> &f) { return hess::field(f); }
}  // namespace neon
