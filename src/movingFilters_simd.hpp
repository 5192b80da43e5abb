// The vector form of the moving filters, written once and included by each vector backend after
// it has defined `Floats`, its vector type and operations (lanes, zero, set1, load, store with and
// without a lane mask, add, sub, mul, div). Everything here has internal linkage, so each
// backend's copy is compiled with that backend's instruction set only.
#pragma once

#include "backends.hpp"

namespace {
namespace moving {

using V = Floats::V;
constexpr size_t L = Floats::lanes;

// N vectors of consecutive output voxels along x, the last one masked when Masked is set.
// Each lane adds its products one at a time in window order, exactly like the scalar loop;
// blocking N vectors lets each broadcast weight serve N independent accumulators.
template <bool Variance, int N, bool Masked>
inline void block(const Window &w, const float *corner, float *out, Floats::Mask mask) {
    V sum[N], sum2[N];
    for (int v = 0; v < N; ++v) {
        sum[v] = sum2[v] = Floats::zero();
    }
    const size_t plane = w.ny1 * w.nx1;
    const float *weight = w.stEl;
    for (size_t a = 0; a < w.nz3; ++a) {
        for (size_t b = 0; b < w.ny3; ++b) {
            const float *row = corner + a * plane + b * w.nx1;
            for (size_t c = 0; c < w.nx3; ++c, ++weight) {
                const V wv = Floats::set1(*weight);
                for (int v = 0; v < N; ++v) {
                    const float *p = row + c + v * L;
                    const V prod = Floats::mul(Masked && v == N - 1 ? Floats::load(p, mask) : Floats::load(p), wv);
                    sum[v] = Floats::add(sum[v], prod);
                    if (Variance) {
                        sum2[v] = Floats::add(sum2[v], Floats::mul(prod, prod));
                    }
                }
            }
        }
    }
    const V total = Floats::set1(w.stEl_sum);
    for (int v = 0; v < N; ++v) {
        V r = Floats::div(sum[v], total);
        if (Variance) {
            r = Floats::div(Floats::sub(sum2[v], Floats::div(Floats::mul(sum[v], sum[v]), total)), total);
        }
        if (Masked && v == N - 1) {
            Floats::store(out + v * L, r, mask);
        } else {
            Floats::store(out + v * L, r);
        }
    }
}

template <bool Variance>
void filter(const Window &w) {
    const size_t hz = w.nz3 / 2, hy = w.ny3 / 2, hx = w.nx3 / 2;
    if (w.nz1 <= 2 * hz || w.ny1 <= 2 * hy || w.nx1 <= 2 * hx) {
        return;
    }
    constexpr size_t wide = 4 * L;
    const size_t plane = w.ny1 * w.nx1, n = w.nx1 - 2 * hx;
    for (size_t z = hz; z < w.nz1 - hz; ++z) {
        for (size_t y = hy; y < w.ny1 - hy; ++y) {
            // Output voxel (z, y, hx + x) has its window corner at image voxel (z-hz, y-hy, x).
            const float *corner = w.imIn + (z - hz) * plane + (y - hy) * w.nx1;
            float *out = w.imOu + z * plane + y * w.nx1 + hx;
            size_t x = 0;
            for (; x + wide <= n; x += wide) {
                block<Variance, 4, false>(w, corner + x, out + x, Floats::Mask{});
            }
            // The rest of the row in vectors, the last one masked: no lane reads past the row.
            const size_t rest = n - x, full = rest / L;
            if (rest % L) {
                const Floats::Mask mask = Floats::first(rest % L);
                switch (full) {
                    case 0: block<Variance, 1, true>(w, corner + x, out + x, mask); break;
                    case 1: block<Variance, 2, true>(w, corner + x, out + x, mask); break;
                    case 2: block<Variance, 3, true>(w, corner + x, out + x, mask); break;
                    default: block<Variance, 4, true>(w, corner + x, out + x, mask); break;
                }
            } else {
                switch (full) {
                    case 0: break;
                    case 1: block<Variance, 1, false>(w, corner + x, out + x, Floats::Mask{}); break;
                    case 2: block<Variance, 2, false>(w, corner + x, out + x, Floats::Mask{}); break;
                    default: block<Variance, 3, false>(w, corner + x, out + x, Floats::Mask{}); break;
                }
            }
        }
    }
}

}  // namespace moving
}  // namespace
