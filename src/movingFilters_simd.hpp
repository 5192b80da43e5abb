// The vector form of the moving filters, written once and included by each vector backend after
// it has defined `Floats`, its vector type and operations (lanes, zero, set1, load, store with and
// without a lane mask, load_held, mul and add with pinned operands, sub, div, prefetch,
// flushes_subnormals, rounds_to_nearest; times, not_normal, any and select for quotient; shift
// where column_shifts), its block shapes and spread_weights. Everything here has internal
// linkage, so each backend's copy is compiled with that backend's instruction set only.
//
// Each lane is one output voxel and adds its own products one at a time in window order (element
// plane a, row b, column c, ascending), exactly like the scalar loop. Speed comes from sharing:
// a block of R output rows x N vectors shares every image load between the R rows (input row r
// serves output row j through weight row b = r - j, and walking r upward keeps every row's terms
// in order) and every weight, broadcast or spread over a vector, between the N vectors.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <type_traits>
#include <utility>
#include <vector>

#include "backends.hpp"

#define VOXELBENCH_INLINE inline __attribute__((always_inline))

namespace {
namespace moving {

using V = Floats::V;
using Mask = Floats::Mask;
constexpr size_t L = Floats::lanes;

// One call, with what its final divisions need: by the divider, or (Multiply) by the product
// with the reciprocal. A Cube other than 0 fixes the element's extents at Cube^3, so that every
// loop of a block unrolls. With Spread, the blocks load each weight as a whole vector, spread
// over its lanes beforehand, rather than broadcast it.
template <bool Multiply, size_t Cube, bool Spread>
struct Call : Window {
    static constexpr size_t cube = Cube;
    static constexpr size_t floats_per_weight = Spread ? L : 1;
    V total;               // the weight total W in every lane
    const float *weights;  // the element's weights, each over a vector of its own with Spread
    double inverse;        // 1 / W in double precision, or NaN where not exact (see quotient)
};

// s / W, correctly rounded. The divider is slow, and for float32 s and W the double product
// s * (1 / W) rounded to float32 is that same quotient wherever it is normal: there a float32
// quotient is never a tie and lies at least about 2^-49 (relative) from one, while the product
// errs by at most about 2^-52. Not where it is subnormal or 0 (a tie can be exact there, as
// 2^-150 between 0 and the smallest subnormal), nor for NaN: those lanes are divided again,
// unless s and the product are both 0 (0 / W for a finite, non-zero W; its sign is the
// product's). All of it holds under round-to-nearest without flushing only; otherwise inverse
// is NaN, so that every lane is divided.
template <bool Multiply, size_t Cube, bool Spread>
VOXELBENCH_INLINE V quotient(V s, const Call<Multiply, Cube, Spread> &w) {
    if constexpr (!Multiply) {
        return Floats::div(s, w.total);
    } else {
        const V q = Floats::times(s, w.inverse);
        const auto redo = Floats::not_normal(q, s);
        return Floats::any(redo) ? Floats::select(redo, Floats::div(s, w.total), q) : q;
    }
}

// The running sums of one block: R output rows x N vectors. With Ones every weight is 1, whose
// products are the image values themselves, so the multiply is left out (see filter).
template <bool Variance, bool Ones, int R, int N, bool Masked, class C>
struct Block {
    V sum[R][N], sum2[R][N];
    // Left unset: run() zeroes the sums it uses. Zeroed here, they went through memory (rep stos)
    // in some blocks, the tails among them.
    Block() {}

    // Image row r, column c, whose vectors are x, against weight rows r - Lo .. r - Hi of one
    // element plane, for output rows Lo..Hi.
    template <size_t Lo, size_t Hi>
    VOXELBENCH_INLINE void terms(const V *x, const float *weights, size_t r, size_t nx3,
                                 size_t c) {
        V sq[N];
        for (int v = 0; Variance && Ones && v < N; ++v) {
            sq[v] = Floats::mul(x[v], x[v]);  // the same square for every row j
        }
        for (size_t j = Lo; j <= Hi; ++j) {
            const size_t i = (r - j) * nx3 + c;
            // Held, a spread weight is loaded once for the N multiplies: GCC folded its load
            // into each of them.
            const V wv = C::floats_per_weight == L ? Floats::load_held(weights + i * L)
                                                   : Floats::set1(weights[i]);
            for (int v = 0; v < N; ++v) {
                const V prod = Ones ? x[v] : Floats::mul(x[v], wv);
                sum[j][v] = Floats::add(sum[j][v], prod);
                if (Variance) {
                    const V square = Ones ? sq[v] : Floats::mul(prod, prod);
                    sum2[j][v] = Floats::add(sum2[j][v], square);
                }
            }
        }
    }

    // Image row r, columns I in order, from its vectors at column 0 (u[0..N-1]) and the start
    // of the next one (u[N]), each column's shifted out of them.
    template <size_t Lo, size_t Hi, size_t... I>
    VOXELBENCH_INLINE void shifted(const V *u, const float *weights, size_t r,
                                   std::index_sequence<I...>) {
        const auto column = [&](auto c) __attribute__((always_inline)) {
            V x[N];
            for (int v = 0; v < N; ++v) {
                x[v] = Floats::template shift<decltype(c)::value>(u[v], u[v + 1]);
            }
            terms<Lo, Hi>(x, weights, r, sizeof...(I), c);
        };
        (column(std::integral_constant<size_t, I>{}), ...);
    }

    // Image row r (columns c in order) against weight rows r - Lo .. r - Hi of one element
    // plane, for output rows Lo..Hi.
    template <size_t Lo, size_t Hi>
    VOXELBENCH_INLINE void row(const float *in, const float *weights, size_t r, size_t nx3,
                               Mask mask) {
        // Hides where the row lies, so that each load addresses it as register plus constant.
        // Otherwise GCC hoisted every row's offsets out of the loops into registers of their
        // own and, short of registers, spilled them (AMD Zen 5: boxes of ones at 3^3 ran 1.3
        // times as fast without that). The weights' likewise, so that GCC does not keep a row's
        // broadcast weights in registers for the next image row, which spilled a sum (AVX2, 3^3).
        __asm__("" : "+r"(in), "+r"(weights));
        if constexpr (C::cube == 3 && !Masked && !Variance && Floats::column_shifts) {
            V u[N + 1];
            for (int v = 0; v < N; ++v) {
                u[v] = Floats::load_held(in + size_t(v) * L);
            }
            // Only the lanes that columns 1.. take: nothing past the row's last window is read.
            u[N] = Floats::load(in + N * L, Floats::first(C::cube - 1));
            return shifted<Lo, Hi>(u, weights, r, std::make_index_sequence<C::cube>{});
        }
        for (size_t c = 0; c < nx3; ++c) {
            V x[N];
            for (int v = 0; v < N; ++v) {
                const float *p = in + c + size_t(v) * L;
                if (Masked && v == N - 1) {
                    x[v] = Floats::load(p, mask);
                } else {
                    // Held in registers, the loads are fewer: GCC loaded them again for each
                    // output row (AMD Zen 4: variance at 7^3 ran 1.1 times as slow).
                    x[v] = Floats::load_held(p);
                }
            }
            terms<Lo, Hi>(x, weights, r, nx3, c);
        }
    }

    // One plane of the element: image rows r = 0 .. R + ny3 - 2 of the block in order, each
    // against the output rows j whose windows hold it (weight row r - j). The first R - 1 serve
    // rows 0..r, the middle ones all R rows, the last R - 1 rows r - ny3 + 1 .. R - 1. Needs
    // ny3 >= R - 1, which the block shapes keep.
    template <size_t... I>
    VOXELBENCH_INLINE void plane(const float *in, const float *weights, size_t nx1, size_t ny3,
                                 size_t nx3, Mask mask, std::index_sequence<I...>) {
        (row<0, I>(in + I * nx1, weights, I, nx3, mask), ...);
        for (size_t r = R - 1; r < ny3; ++r) {
            row<0, R - 1>(in + r * nx1, weights, r, nx3, mask);
        }
        (row<I + 1, R - 1>(in + (ny3 + I) * nx1, weights, ny3 + I, nx3, mask), ...);
    }

    // Output voxels (z, y + j, x + v L + lane) for j < R, v < N; corner is image voxel
    // (z - hz, y - hy, x), the window corner of the block's first voxel.
    VOXELBENCH_INLINE void run(const C &w, const float *corner, float *out, Mask mask) {
        each([&](int j, int v) __attribute__((always_inline)) {
            sum[j][v] = sum2[j][v] = Floats::zero();
        });
        const size_t nz3 = C::cube ? C::cube : w.nz3, ny3 = C::cube ? C::cube : w.ny3,
                     nx3 = C::cube ? C::cube : w.nx3;
        for (size_t a = 0; a < nz3; ++a) {
            plane(corner + a * w.ny1 * w.nx1, w.weights + a * ny3 * nx3 * C::floats_per_weight,
                  w.nx1, ny3, nx3, mask, std::make_index_sequence<R - 1>{});
        }
        each([&](int j, int v) __attribute__((always_inline)) {
            V res = quotient(sum[j][v], w);
            if (Variance) {
                const V s = quotient(Floats::mul(sum[j][v], sum[j][v]), w);
                res = quotient(Floats::sub(sum2[j][v], s), w);
            }
            float *p = out + size_t(j) * w.nx1 + size_t(v) * L;
            if (Masked && v == N - 1) {
                Floats::store(p, res, mask);
            } else {
                Floats::store(p, res);
            }
        });
    }

    // f(j, v) for every sum, unrolled here: GCC 12 left such loops rolled in the blocks that end
    // a row, and one sum indexed at run time kept all of the block's sums in memory, stored on
    // every pass of its column loops (AMD Zen 4: average at 11^3 ran 1.1 times as slow).
    template <class F, int... I>
    VOXELBENCH_INLINE static void each(F f, std::integer_sequence<int, I...>) {
        (f(I / N, I % N), ...);
    }
    template <class F>
    VOXELBENCH_INLINE static void each(F f) {
        each(f, std::make_integer_sequence<int, R * N>{});
    }
};

// Calls f(at) for at = 0, step, 2 step, ... over n >= step items, the last one shifted back to
// end exactly at n: it redoes a few items, with the same bits, instead of reaching past the end.
template <class F>
VOXELBENCH_INLINE void steps(size_t n, size_t step, F f) {
    for (size_t x = 0;; x += step) {
        const size_t at = std::min(x, n - step);
        f(at);
        if (at == n - step) {
            return;
        }
    }
}

// The last `rest` voxels of a row of n >= N vectors, rest < N vectors (maybe none): the fewest
// whole vectors that cover them, shifted back to end at the row's end.
template <bool Variance, bool Ones, int R, int K, class C>
VOXELBENCH_INLINE void tail(const C &w, const float *corner, float *out, size_t n,
                            size_t rest) {
    if constexpr (K > 0) {
        if (rest > (K - 1) * L) {
            Block<Variance, Ones, R, K, false, C>{}.run(w, corner + n - K * L, out + n - K * L,
                                                        Mask{});
        } else {
            tail<Variance, Ones, R, K - 1>(w, corner, out, n, rest);
        }
    }
}

// R output rows of n voxels: blocks of N vectors and the tail, or single vectors when the row is
// narrower, one masked vector when it is narrower than a vector.
template <bool Variance, bool Ones, int R, int N, class C>
VOXELBENCH_INLINE void band(const C &w, const float *corner, float *out, size_t n) {
    if (n >= N * L) {
        size_t x = 0;
        for (; x + N * L <= n; x += N * L) {
            Block<Variance, Ones, R, N, false, C>{}.run(w, corner + x, out + x, Mask{});
        }
        tail<Variance, Ones, R, N>(w, corner, out, n, n - x);
    } else if (n >= L) {
        steps(n, L, [&](size_t x) {
            Block<Variance, Ones, R, 1, false, C>{}.run(w, corner + x, out + x, Mask{});
        });
    } else {
        Block<Variance, Ones, R, 1, true, C>{}.run(w, corner, out, Floats::first(n));
    }
}

// Output rows hy + top .. hy + top + count - 1 of every plane, in bands of R rows, the last one
// shifted back to end at the last row. With R > 2 only the whole bands, and the rows left in
// bands of two, shifted back likewise when one is left: a band of R shifted back would compute
// up to R - 2 more rows twice (at 11^3, 4 of a 48-row image's 38 with R = 6). Needs
// top + count >= min(R, 2).
template <bool Variance, bool Ones, int R, int N, class C>
void rows(const C &w, size_t top, size_t count) {
    constexpr int Rest = R < 2 ? R : 2;
    const size_t hz = w.nz3 / 2, hy = w.ny3 / 2, hx = w.nx3 / 2;
    const size_t plane = w.ny1 * w.nx1, n = w.nx1 - 2 * hx;
    const size_t end = top + count, whole = R > Rest ? top + count / R * R : top;
    const size_t rest_top = end - std::max<size_t>(end - whole, Rest);  // of the bands of Rest
    for (size_t z = hz; z < w.nz1 - hz; ++z) {
        // Output voxel (z, hy + y, hx) has its window corner at image voxel (z - hz, y, 0).
        const float *corner = w.imIn + (z - hz) * plane;
        float *out = w.imOu + z * plane + hy * w.nx1 + hx;
        const auto at = [&](size_t y, auto rows) __attribute__((always_inline)) {
            constexpr int Rows = decltype(rows)::value;
            // The rows the next plane will need, into L2.
            if (z + hz + 1 < w.nz1) {
                const float *next = corner + w.nz3 * plane + (y + w.ny3 - 1) * w.nx1;
                for (size_t i = 0; i < Rows * w.nx1; i += 64 / sizeof(float)) {  // cache lines
                    Floats::prefetch(next + i);
                }
            }
            band<Variance, Ones, Rows, N>(w, corner + y * w.nx1, out + y * w.nx1, n);
        };
        if constexpr (R > Rest) {
            for (size_t y = top; y < whole; y += R) {
                at(y, std::integral_constant<int, R>{});
            }
        }
        if (whole < end) {
            steps(end - rest_top, Rest,
                  [&](size_t y) { at(rest_top + y, std::integral_constant<int, Rest>{}); });
        }
    }
}

template <bool Variance, bool Ones, int R, int N, class C>
void filter(const C &w) {
    if (w.nz1 < w.nz3 || w.ny1 < w.ny3 || w.nx1 < w.nx3) {
        return;  // no interior
    }
    const size_t m = w.ny1 - w.ny3 + 1;
    if (m < R) {
        return rows<Variance, Ones, 1, N>(w, 0, m);
    }
    // Tiles of output rows, each run through every plane before the next: the image rows that
    // the windows of one tile span in nz3 planes stay in L2 (half of its 2 MB) from one plane to
    // the next, however wide the image.
    const size_t budget = 1u << 20;
    const size_t span = std::max<size_t>(1, budget / (w.nz3 * w.nx1 * sizeof(float)));
    const size_t tile = std::max<size_t>(R, span > w.ny3 ? (span - w.ny3 + 1) / R * R : 0);
    for (size_t top = 0; top < m; top += tile) {
        rows<Variance, Ones, R, N>(w, top, std::min(tile, m - top));
    }
}

// Whether every weight is exactly 1, so that the multiply can be left out: x * 1 is x, but for
// a signalling NaN, which it quiets. Adding x itself then gives the same bits where the
// instruction set picks between two NaN operands by position alone (x86, not ARM), and unless
// the thread flushes subnormals (x86 FTZ or DAZ): then x * 1 is flushed where a plain add keeps x.
inline bool ones(const Window &w) {
    if (!Floats::unit_products_skippable || Floats::flushes_subnormals()) {
        return false;
    }
    const size_t k = w.nz3 * w.ny3 * w.nx3;
    return std::all_of(w.stEl, w.stEl + k, [](float x) { return x == 1.0f; });
}

// The block shape for this instruction set, kind and element height: a block has at most one
// row more than the element.
template <bool Variance, bool Ones, class C>
void filter(const C &w) {
    constexpr auto &s = Floats::shapes[Variance];
    static_assert(s[0][0] <= 2 && s[1][0] <= 8 && s[2][0] <= 6,
                  "a block taller than its element plus one row");
    if constexpr (C::cube != 0) {
        constexpr int k = C::cube == 5 ? 2 : 0;
        filter<Variance, Ones, s[k][0], s[k][1]>(w);
    } else if (w.ny3 <= 5) {
        filter<Variance, Ones, s[0][0], s[0][1]>(w);
    } else {
        filter<Variance, Ones, s[1][0], s[1][1]>(w);
    }
}

// average (or variance, Variance), ending with the divider or (Multiply) the reciprocal.
template <bool Variance, bool Multiply, size_t Cube, bool Spread>
void filter(const Window &w) {
    using C = Call<Multiply, Cube, Spread>;
    C call;
    static_cast<Window &>(call) = w;
    call.total = Floats::set1(w.stEl_sum);
    const bool exact = Floats::rounds_to_nearest() && !Floats::flushes_subnormals();
    call.inverse = exact ? 1.0 / static_cast<double>(w.stEl_sum) : std::nan("");
    const size_t k = w.nz3 * w.ny3 * w.nx3;
    std::vector<float> spread(Spread ? (k + 1) * L : 0);
    call.weights = w.stEl;
    if constexpr (Spread) {
        // Aligned, so that no weight's load spans two cache lines. Boxes of ones get the table
        // too: their blocks' weight loads are dead code, but would index it all the same.
        float *p = spread.data() +
                   (-reinterpret_cast<uintptr_t>(spread.data()) / sizeof(float)) % L;
        for (size_t i = 0; i < k; ++i) {
            Floats::store(p + i * L, Floats::set1(w.stEl[i]));
        }
        call.weights = p;
    }
    (ones(w) ? filter<Variance, true, C> : filter<Variance, false, C>)(call);
}

// The elements most calls use, 3^3 and 5^3, with their extents fixed at compile time: with AVX-512
// on AMD Zen 5, average with random weights ran 1.3 to 1.7 times as fast. Spread weights take
// L times the element's memory, so they are left to elements of at most 2^16 weights (4 MiB
// spread with AVX-512); a call with a larger one is long enough that broadcasts hardly matter.
// The ending with the reciprocal, which only the test module has, goes through the general
// blocks alone: its bits are the same there, and that module's AVX-512 file compiles in 48 s
// instead of 63 (GCC 12).
template <bool Variance, bool Multiply>
void filter(const Window &w) {
    constexpr bool spread = Floats::spread_weights;
    const bool cube = w.nz3 == w.ny3 && w.ny3 == w.nx3;
    if (cube && w.nx3 == 3) {
        filter<Variance, Multiply, Multiply ? 0 : 3, spread>(w);
    } else if (cube && w.nx3 == 5) {
        filter<Variance, Multiply, Multiply ? 0 : 5, spread>(w);
    } else if (w.nz3 * w.ny3 * w.nx3 <= 1u << 16) {
        filter<Variance, Multiply, 0, spread>(w);
    } else {
        filter<Variance, Multiply, 0, false>(w);
    }
}

}  // namespace moving
}  // namespace
