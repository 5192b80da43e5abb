// The most (multiply, add) pairs per second one core does with separate, rounded operations, as
// every window term of average needs: independent sums in registers, nothing from memory.
//
//     g++ -O2 -ffp-contract=off benchmarks/peak.cpp -o /tmp/peak && /tmp/peak
#include <chrono>
#include <cstdio>

namespace {

constexpr long kSteps = 100'000'000;

// Vector-extension types, so that one body serves both instruction sets once inlined.
// Sums: enough independent sums to cover the add latency, few enough that they, their image
// values and the weight all stay in registers.
template <class V, int Sums>
__attribute__((always_inline)) inline double pairs_per_second() {
    constexpr int lanes = sizeof(V) / sizeof(float);
    V sum[Sums], x[Sums];
    for (int k = 0; k < Sums; ++k) {
        sum[k] = V{} + 0.0f;
        x[k] = V{} + (1.0f + static_cast<float>(k) * 1e-3f);
    }
    V w = V{} + 1e-9f;
    const auto start = std::chrono::steady_clock::now();
    for (long i = 0; i < kSteps; ++i) {
#pragma GCC unroll 16  // each sum in a register of its own
        for (int k = 0; k < Sums; ++k) {
            sum[k] = sum[k] + x[k] * w;
        }
        __asm__("" : "+v"(w));  // keeps the products inside the loop
    }
    for (int k = 0; k < Sums; ++k) {
        __asm__("" : : "v"(sum[k]));  // the sums are used
    }
    const std::chrono::duration<double> t = std::chrono::steady_clock::now() - start;
    return static_cast<double>(kSteps) * Sums * lanes / t.count();
}

using F16 = float __attribute__((vector_size(64)));
using F8 = float __attribute__((vector_size(32)));

__attribute__((target("avx512f"))) double avx512() { return pairs_per_second<F16, 12>(); }
__attribute__((target("avx2"))) double avx2() { return pairs_per_second<F8, 7>(); }

}  // namespace

int main() {
    for (int run = 0; run < 3; ++run) {
        if (__builtin_cpu_supports("avx512f")) {
            std::printf("avx512: %.1f G pairs/s   ", avx512() / 1e9);
        }
        if (__builtin_cpu_supports("avx2")) {
            std::printf("avx2: %.1f G pairs/s", avx2() / 1e9);
        }
        std::printf("\n");
    }
}
