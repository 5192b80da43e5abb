// What the two x86 vector backends' single-precision types share (for __m256 and __m512);
// each backend's Floats derives from it. Its copy in avx2.cpp and avx512.cpp is compiled with
// that file's instruction set only.
#pragma once

#include <immintrin.h>

#include <cstddef>

#include "backends.hpp"

namespace {

struct X86Floats {
    // Of two NaN operands x86 keeps the first, quieted: sum + x gives sum + x * 1's bits.
    static constexpr bool unit_products_skippable = true;
    // Whether average's 3^3 blocks shift each column's image vectors out of column 0's
    // across lanes instead of loading them again (see Block::row); AVX-512 turns it on and
    // defines shift, which is only declared here.
    static constexpr bool column_shifts = false;
    static constexpr bool spread_weights = false;  // broadcasts from memory are plain loads
    template <size_t c, class V>
    static V shift(V a, V b);
    // The multiply and add of a window term, with their operands pinned as in the scalar loop:
    // image value times weight, running sum plus product. When both operands are NaN the result
    // keeps the first one's payload, and the compiler would feel free to swap them. The image
    // value must come in a register, so that a load is not folded into every multiply and
    // re-read for each weight. {vex3} keeps the AVX2 operands where they are written: for a
    // shorter encoding, clang 22's assembler swaps the sources of an add or multiply whose
    // second one is among registers 8-15, and so changed which NaN a sum kept. AVX-512's
    // instructions on zmm registers have no shorter encoding.
    template <class V>
    __attribute__((always_inline)) static V mul(V x, V w) {
        V r;
        if constexpr (sizeof(V) == 32) {
            __asm__("%{vex3%} vmulps %2, %1, %0"
                    : "=v"(r)
                    : "v"(x), VOXELBENCH_REG_OR_MEM("v")(w));
        } else {
            __asm__("vmulps %2, %1, %0" : "=v"(r) : "v"(x), VOXELBENCH_REG_OR_MEM("v")(w));
        }
        return r;
    }
    template <class V>
    __attribute__((always_inline)) static V add(V sum, V p) {
        V r;
        if constexpr (sizeof(V) == 32) {
            __asm__("%{vex3%} vaddps %2, %1, %0"
                    : "=v"(r)
                    : "v"(sum), VOXELBENCH_REG_OR_MEM("v")(p));
        } else {
            __asm__("vaddps %2, %1, %0" : "=v"(r) : "v"(sum), VOXELBENCH_REG_OR_MEM("v")(p));
        }
        return r;
    }
    // A load whose register the compiler keeps for every use: after a plain load GCC may read
    // memory again for each use instead, as it did for every output row of a block, which
    // doubles the loads and, for vectors not aligned to a cache line, the lines they span.
    template <class V>
    __attribute__((always_inline)) static V held(const float *p) {
        V r;
        __asm__("vmovups %1, %0"
                : "=v"(r)
                : "m"(*reinterpret_cast<const float(*)[sizeof(V) / sizeof(float)]>(p)));
        return r;
    }
    // Into L2.
    __attribute__((always_inline)) static void prefetch(const float *p) {
        _mm_prefetch(reinterpret_cast<const char *>(p), _MM_HINT_T1);
    }
    // Whether the MXCSR flushes subnormal results (FTZ) or reads subnormal inputs as 0 (DAZ).
    static bool flushes_subnormals() { return _mm_getcsr() & 0x8040; }
    // Whether the MXCSR rounds to nearest (rounding control 00).
    static bool rounds_to_nearest() { return (_mm_getcsr() & 0x6000) == 0; }
};

}  // namespace
