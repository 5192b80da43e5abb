// average and variance: the Python-facing functions, the scalar kernels and the choice of
// backend.
#include "movingFilters.hpp"

#include <cstdint>
#include <iterator>

#ifdef VOXELBENCH_X86  // set by CMakeLists.txt on x86-64 only
#include <cpuid.h>
#endif

#include "voxelbench.hpp"

namespace scalar {

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
                            const float p = row[c] * *weight++;
                            im_sum += p;
                            if (Variance) {
                                im_sum2 += p * p;
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

#ifdef VOXELBENCH_X86
// XCR0: which register states the operating system saves across context switches.
unsigned long long xcr0() {
    unsigned lo, hi;
    __asm__("xgetbv" : "=a"(lo), "=d"(hi) : "c"(0));
    return (static_cast<unsigned long long>(hi) << 32) | lo;
}

// A vector backend is usable when CPUID reports the instructions and XGETBV shows that the
// operating system saves the registers they use (XMM|YMM, plus opmask and ZMM for AVX-512).
bool usable(unsigned leaf7_ebx_bit, unsigned long long xcr0_bits) {
    unsigned a, b, c, d;
    if (!__get_cpuid(1, &a, &b, &c, &d) || !(c & bit_OSXSAVE) || !(c & bit_AVX)) {
        return false;
    }
    return (xcr0() & xcr0_bits) == xcr0_bits && __get_cpuid_count(7, 0, &a, &b, &c, &d) &&
           (b & leaf7_ebx_bit);
}
bool has_avx512f() { return usable(bit_AVX512F, 0xe6); }
bool has_avx2() { return usable(bit_AVX2, 0x6); }
#endif
bool always() { return true; }

struct Backend {
    const char *name;
    bool (*supported)();
    void (*average)(const Window &);
    void (*variance)(const Window &);
};

// In order of preference; every backend gives the same bits. Only x86-64 builds have the
// vector ones.
const Backend backends[] = {
#ifdef VOXELBENCH_X86
    {"avx512", has_avx512f, avx512::average, avx512::variance},
    {"avx2", has_avx2, avx2::average, avx2::variance},
#endif
    {"scalar", always, scalar::average, scalar::variance},
};

const Backend *forced = nullptr;  // set only by the test-only module

// Chosen once per process, on first use.
const Backend &backend() {
    static const Backend *const best = [] {
        for (const Backend &b : backends) {
            if (b.supported()) {
                return &b;
            }
        }
        return std::end(backends) - 1;
    }();
    return forced ? *forced : *best;
}

size_t count(const Volume &v) { return v.nz * v.ny * v.nx; }

// An input that shares memory with the output is read from a copy taken before the call, so
// that every window sees the input as it was, as with separate arrays.
const float *unaliased(const Volume &in, const Volume &out, std::vector<float> &copy) {
    const auto a = reinterpret_cast<std::uintptr_t>(in.ptr);
    const auto b = reinterpret_cast<std::uintptr_t>(out.ptr);
    if (count(in) && count(out) && a < b + count(out) * sizeof(float) &&
        b < a + count(in) * sizeof(float)) {
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

#ifdef VOXELBENCH_TESTING
std::vector<std::string> supported_backends() {
    std::vector<std::string> names;
    for (const Backend &b : backends) {
        if (b.supported()) {
            names.emplace_back(b.name);
        }
    }
    return names;
}

void use_backend(const std::string &name) {
    for (const Backend &b : backends) {
        if (name == b.name && b.supported()) {
            forced = &b;
            return;
        }
    }
    throw py::value_error("backend not supported here: " + name);
}
#endif

void average(Array imInNumpy, Output imOuNumpy, Array stElNumpy) {
    movingFilter("average", false, std::move(imInNumpy), std::move(imOuNumpy),
                 std::move(stElNumpy));
}

void variance(Array imInNumpy, Output imOuNumpy, Array stElNumpy) {
    movingFilter("variance", true, std::move(imInNumpy), std::move(imOuNumpy),
                 std::move(stElNumpy));
}
