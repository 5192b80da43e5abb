// average and variance: the Python-facing functions and the scalar kernels.
#include "backends.hpp"
#include "voxelbench.hpp"

namespace scalar {

// When both operands of an add or multiply are NaN, x86 keeps the first one's payload and ARM
// the first signalling one, else the first; and the compiler may swap the operands of either (it
// did, in the loop it vectorised). So they are pinned here, image value times weight and running
// sum plus product, as every vector backend pins them too.
static inline float mul(float x, float w) {
#if defined(VOXELBENCH_X86)
    __asm__("mulss %1, %0" : "+x"(x) : VOXELBENCH_REG_OR_MEM("x")(w));
    return x;
#elif defined(VOXELBENCH_ARM64)
    float r;
    __asm__("fmul %s0, %s1, %s2" : "=w"(r) : "w"(x), "w"(w));
    return r;
#else
    return x * w;
#endif
}
static inline float add(float sum, float p) {
#if defined(VOXELBENCH_X86)
    __asm__("addss %1, %0" : "+x"(sum) : VOXELBENCH_REG_OR_MEM("x")(p));
    return sum;
#elif defined(VOXELBENCH_ARM64)
    float r;
    __asm__("fadd %s0, %s1, %s2" : "=w"(r) : "w"(sum), "w"(p));
    return r;
#else
    return sum + p;
#endif
}

// Each window term is a single-precision product rounded on its own and added to one
// accumulator in window order (z, then y, then x offsets, ascending); the build forbids
// contracting the multiply and add, so every result is reproducible bit for bit.
template <bool Variance>
static void filter(const Window &w) {
    const size_t hz = w.nz3 / 2, hy = w.ny3 / 2, hx = w.nx3 / 2;
    // No interior along an axis no longer than the element; tested before n - h is formed.
    if (w.nz1 <= 2 * hz || w.ny1 <= 2 * hy || w.nx1 <= 2 * hx) {
        return;
    }
    const size_t plane = w.ny1 * w.nx1;
    for (size_t z = hz; z < w.nz1 - hz; ++z) {
        for (size_t y = hy; y < w.ny1 - hy; ++y) {
            for (size_t x = hx; x < w.nx1 - hx; ++x) {
                const float *corner = w.imIn + (z - hz) * plane + (y - hy) * w.nx1 + (x - hx);
                const float *weight = w.stEl;
                float im_sum = 0, im_sum2 = 0;
                for (size_t a = 0; a < w.nz3; ++a) {
                    for (size_t b = 0; b < w.ny3; ++b) {
                        const float *row = corner + a * plane + b * w.nx1;
                        for (size_t c = 0; c < w.nx3; ++c) {
                            const float p = mul(row[c], *weight++);
                            im_sum = add(im_sum, p);
                            if (Variance) {
                                im_sum2 = add(im_sum2, mul(p, p));
                            }
                        }
                    }
                }
                float result = im_sum / w.stEl_sum;
                if (Variance) {
                    float s = im_sum * im_sum;
                    s = s / w.stEl_sum;
                    result = (im_sum2 - s) / w.stEl_sum;
                }
                w.imOu[z * plane + y * w.nx1 + x] = result;
            }
        }
    }
}

void average(const Window &w) { filter<false>(w); }
void variance(const Window &w) { filter<true>(w); }

}  // namespace scalar

namespace {

size_t count(const Volume &v) { return v.nz * v.ny * v.nx; }

// An input that shares memory with the output is read from a copy taken before the call, so
// that every window sees the input as it was, as with separate arrays.
const float *unaliased(const Volume &in, const Volume &out, std::vector<float> &copy) {
    if (overlap(in.ptr, count(in), out.ptr, count(out))) {
        copy.assign(in.ptr, in.ptr + count(in));
        return copy.data();
    }
    return in.ptr;
}

void movingFilter(const char *function, bool variance, Array imInNumpy, Output imOuNumpy,
                  Array stElNumpy) {
    std::vector<Argument> args{
        {std::move(imInNumpy), "image"},
        {std::move(imOuNumpy), "output"},
        {std::move(stElNumpy), "element"},
    };
    const Buffers bufs(function, args);
    for (size_t i = 0; i < 3; ++i) {
        bufs.require_ndim(i, 3);
    }
    bufs.require_same_shape(1, 0);
    const Volume imIn = bufs.view(0), imOu = bufs.view(1), stEl = bufs.view(2);
    // An even (or zero) extent would make the window need weights the element does not hold.
    bufs.require(stEl.nz % 2 && stEl.ny % 2 && stEl.nx % 2, 2,
                 "must have odd extents, got (" + std::to_string(stEl.nz) + ", " +
                     std::to_string(stEl.ny) + ", " + std::to_string(stEl.nx) + ")");

    std::vector<float> imInCopy, stElCopy;
    Window w{unaliased(imIn, imOu, imInCopy), imOu.ptr, unaliased(stEl, imOu, stElCopy),
             imIn.nz, imIn.ny, imIn.nx, stEl.nz, stEl.ny, stEl.nx, 0.0f};
    for (size_t i = 0; i < count(stEl); ++i) {
        w.stEl_sum += w.stEl[i];
    }
    (variance ? backend().variance : backend().average)(w);
}

}  // namespace

void average(Array imInNumpy, Output imOuNumpy, Array stElNumpy) {
    movingFilter("average", false, std::move(imInNumpy), std::move(imOuNumpy),
                 std::move(stElNumpy));
}

void variance(Array imInNumpy, Output imOuNumpy, Array stElNumpy) {
    movingFilter("variance", true, std::move(imInNumpy), std::move(imOuNumpy),
                 std::move(stElNumpy));
}
