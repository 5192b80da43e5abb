// What this core allows the AVX2 blocks of the moving filters, whatever their compiler: 256-bit
// loads per (multiply, add) pair of the limit, within a cache line and across two, and the 3 x 3
// block's column loop (3 image loads, 3 broadcasts, 9 multiplies and 9 adds a pass, 7 passes a
// row as at 7^3), on data in L1 and walked over a volume as the blocks of 7^3 walk it. The loops
// are written in assembly, so that they are the same from any compiler. x86-64 with AVX2 only.
//
//     g++ -O2 -mavx2 benchmarks/ports.cpp -o /tmp/ports && /tmp/ports
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <utility>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
using F8 = float __attribute__((vector_size(32)));

// Best of runs, each timed as a whole: noise only adds time.
template <class F>
double per_second(double count, F f) {
    double best = 0;
    for (int run = 0; run < 7; ++run) {
        const auto start = Clock::now();
        f();
        const std::chrono::duration<double> t = Clock::now() - start;
        best = std::max(best, count / t.count());
    }
    return best;
}

// Vector (multiply, add) pairs per second: 8 independent sums, as benchmarks/peak.cpp's loop,
// from normal numbers only (some cores slow down on subnormal ones).
double vector_pairs() {
    constexpr long passes = 50'000'000;
    const F8 x = F8{} + 1.0f, w = F8{} + 1e-9f;
    return per_second(passes * 8.0, [&] {
        long n = passes;
        __asm__ volatile(
        "vxorps %%ymm0, %%ymm0, %%ymm0\n\tvmovaps %%ymm0, %%ymm1\n\tvmovaps %%ymm0, %%ymm2\n\t"
        "vmovaps %%ymm0, %%ymm3\n\tvmovaps %%ymm0, %%ymm4\n\tvmovaps %%ymm0, %%ymm5\n\t"
        "vmovaps %%ymm0, %%ymm6\n\tvmovaps %%ymm0, %%ymm7\n"
        "1:\n\t"
        "vmulps %2, %1, %%ymm10\n\tvaddps %%ymm10, %%ymm0, %%ymm0\n\t"
        "vmulps %2, %1, %%ymm11\n\tvaddps %%ymm11, %%ymm1, %%ymm1\n\t"
        "vmulps %2, %1, %%ymm12\n\tvaddps %%ymm12, %%ymm2, %%ymm2\n\t"
        "vmulps %2, %1, %%ymm13\n\tvaddps %%ymm13, %%ymm3, %%ymm3\n\t"
        "vmulps %2, %1, %%ymm14\n\tvaddps %%ymm14, %%ymm4, %%ymm4\n\t"
        "vmulps %2, %1, %%ymm15\n\tvaddps %%ymm15, %%ymm5, %%ymm5\n\t"
        "vmulps %2, %1, %%ymm10\n\tvaddps %%ymm10, %%ymm6, %%ymm6\n\t"
        "vmulps %2, %1, %%ymm11\n\tvaddps %%ymm11, %%ymm7, %%ymm7\n\t"
        "dec %0\n\tjnz 1b"
        : "+r"(n)
        : "x"(x), "x"(w)
        : "xmm0", "xmm1", "xmm2", "xmm3", "xmm4", "xmm5", "xmm6", "xmm7", "xmm10", "xmm11",
          "xmm12", "xmm13", "xmm14", "xmm15");
    });
}

// Six 256-bit loads a pass, 64 bytes apart, from p + offset bytes.
double loads(const float *p, long offset) {
    constexpr long passes = 50'000'000;
    return per_second(passes * 6.0, [&] {
        const char *q = reinterpret_cast<const char *>(p) + offset;
        for (long i = 0; i < passes; ++i) {
            __asm__ volatile(
                "vmovups (%0), %%ymm0\n\tvmovups 64(%0), %%ymm1\n\tvmovups 128(%0), %%ymm2\n\t"
                "vmovups 192(%0), %%ymm3\n\tvmovups 256(%0), %%ymm4\n\tvmovups 320(%0), %%ymm5"
                :
                : "r"(q)
                : "xmm0", "xmm1", "xmm2", "xmm3", "xmm4", "xmm5");
        }
    });
}

// One image row of a 3 x 3 block: n passes, each one column further (image vectors at p, p + 8,
// p + 16; weights of output rows 0..2 at w, w + 7, w + 14), into the 9 sums kept in registers.
inline void row(const float *p, const float *w, long n) {
    __asm__ volatile(
        "1:\n\t"
        "vmovups (%0), %%ymm12\n\tvmovups 32(%0), %%ymm4\n\tvmovups 64(%0), %%ymm2\n\t"
        "add $4, %0\n\t"
        "vbroadcastss (%1), %%ymm13\n\t"
        "vmulps %%ymm13, %%ymm12, %%ymm14\n\tvaddps %%ymm14, %%ymm10, %%ymm10\n\t"
        "vmulps %%ymm13, %%ymm4, %%ymm14\n\tvaddps %%ymm14, %%ymm9, %%ymm9\n\t"
        "vmulps %%ymm13, %%ymm2, %%ymm14\n\tvaddps %%ymm14, %%ymm1, %%ymm1\n\t"
        "vbroadcastss 28(%1), %%ymm13\n\t"
        "vmulps %%ymm13, %%ymm12, %%ymm14\n\tvaddps %%ymm14, %%ymm8, %%ymm8\n\t"
        "vmulps %%ymm13, %%ymm4, %%ymm14\n\tvaddps %%ymm14, %%ymm7, %%ymm7\n\t"
        "vmulps %%ymm13, %%ymm2, %%ymm14\n\tvaddps %%ymm14, %%ymm0, %%ymm0\n\t"
        "vbroadcastss 56(%1), %%ymm13\n\t"
        "add $4, %1\n\t"
        "vmulps %%ymm13, %%ymm12, %%ymm12\n\tvaddps %%ymm12, %%ymm6, %%ymm6\n\t"
        "vmulps %%ymm13, %%ymm4, %%ymm4\n\tvaddps %%ymm4, %%ymm5, %%ymm5\n\t"
        "vmulps %%ymm13, %%ymm2, %%ymm2\n\tvaddps %%ymm2, %%ymm3, %%ymm3\n\t"
        "dec %2\n\tjnz 1b"
        : "+r"(p), "+r"(w), "+r"(n)
        :
        : "xmm0", "xmm1", "xmm2", "xmm3", "xmm4", "xmm5", "xmm6", "xmm7", "xmm8", "xmm9",
          "xmm10", "xmm12", "xmm13", "xmm14", "memory");
}

// The column loop's vector pairs per second over a 14 x 48 x 160 volume, walked as the 3 x 3
// blocks of a 7^3 element walk it (every image row treated as a middle one): planes z, bands of
// 3 rows, blocks of 24 columns, and in each block 7 element planes of 9 image rows. With in_l1,
// every row is one of the first plane's first 9 at column 0 instead. The rows' addresses are
// listed beforehand, so that the timed loop around the column loop is the same for both.
double column_loop(bool in_l1) {
    constexpr long nz = 14, ny = 48, nx = 160, k = 7;
    static std::vector<float> image(nz * ny * nx + 64, 0.5f), weights(k * k * k + 64, 1e-9f);
    std::vector<std::pair<const float *, const float *>> rows;
    for (long z = 0; z + k <= nz; ++z) {
        for (long y = 0; y + k + 2 <= ny; y += 3) {
            for (long x = 0; x + 24 + k - 1 <= nx; x += 24) {
                for (long a = 0; a < k; ++a) {
                    for (long r = 0; r < k + 2; ++r) {
                        const long at = in_l1 ? r * nx : ((z + a) * ny + y + r) * nx + x;
                        rows.emplace_back(image.data() + at, weights.data() + (a * k + r % k) * k);
                    }
                }
            }
        }
    }
    return per_second(static_cast<double>(rows.size()) * k * 9, [&] {
        for (const auto &[p, w] : rows) {
            row(p, w, k);
        }
    });
}

}  // namespace

int main() {
    if (!__builtin_cpu_supports("avx2")) {
        std::printf("no AVX2\n");
        return 0;
    }
    alignas(64) static float buffer[1024];
    const double pairs = vector_pairs();
    std::printf("limit: %.1f G pairs/s (AVX2, 8 lanes)\n", pairs * 8 / 1e9);
    std::printf("256-bit loads per vector pair of the limit: within a cache line %.2f, across "
                "two %.2f\n",
                loads(buffer, 0) / pairs, loads(buffer, 48) / pairs);
    std::printf("3 x 3 column loop, 7 passes a row, share of the limit: data in L1 %.0f%%, walked "
                "over a 14x48x160 volume %.0f%%\n",
                100 * column_loop(true) / pairs, 100 * column_loop(false) / pairs);
}
