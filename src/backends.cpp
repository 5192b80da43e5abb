// The table of backends and the choice between them, made once per process from CPUID and
// XGETBV.
#include "backends.hpp"

#include <iterator>

#include "voxelbench.hpp"

#ifdef VOXELBENCH_X86  // set by CMakeLists.txt on x86-64 only
// cpuid(leaf, subleaf, r) puts EAX, EBX, ECX, EDX in r, or is false if the CPU has no such leaf;
// xcr0() tells which register states the operating system saves across context switches.
// clang-cl defines _MSC_VER and has MSVC's intrinsics, not GCC's <cpuid.h>.
#if defined(_MSC_VER)
#include <intrin.h>
namespace {
constexpr unsigned bit_OSXSAVE = 1u << 27, bit_AVX = 1u << 28;  // leaf 1, ECX
constexpr unsigned bit_AVX2 = 1u << 5, bit_AVX512F = 1u << 16;  // leaf 7, EBX

bool cpuid(unsigned leaf, unsigned subleaf, unsigned (&r)[4]) {
    int v[4];
    __cpuidex(v, 0, 0);
    if (static_cast<unsigned>(v[0]) < leaf) {
        return false;
    }
    __cpuidex(v, static_cast<int>(leaf), static_cast<int>(subleaf));
    for (int i = 0; i < 4; ++i) {
        r[i] = static_cast<unsigned>(v[i]);
    }
    return true;
}

unsigned long long xcr0() { return _xgetbv(0); }
}  // namespace
#else
#include <cpuid.h>
namespace {
bool cpuid(unsigned leaf, unsigned subleaf, unsigned (&r)[4]) {
    return __get_cpuid_count(leaf, subleaf, &r[0], &r[1], &r[2], &r[3]) != 0;
}

unsigned long long xcr0() {
    unsigned lo, hi;
    __asm__("xgetbv" : "=a"(lo), "=d"(hi) : "c"(0));
    return (static_cast<unsigned long long>(hi) << 32) | lo;
}
}  // namespace
#endif
#endif

namespace {

#ifdef VOXELBENCH_X86
// A vector backend is usable when CPUID reports the instructions and XGETBV shows that the
// operating system saves the registers they use (XMM|YMM, plus opmask and ZMM for AVX-512).
bool usable(unsigned leaf7_ebx_bit, unsigned long long xcr0_bits) {
    unsigned r[4];  // EAX, EBX, ECX, EDX
    if (!cpuid(1, 0, r) || !(r[2] & bit_OSXSAVE) || !(r[2] & bit_AVX)) {
        return false;
    }
    return (xcr0() & xcr0_bits) == xcr0_bits && cpuid(7, 0, r) && (r[1] & leaf7_ebx_bit);
}
bool has_avx512f() { return usable(bit_AVX512F, 0xe6); }
bool has_avx2() { return usable(bit_AVX2, 0x6); }
#endif
bool always() { return true; }

// In order of preference; every backend gives the same bits. x86-64 builds have the AVX
// ones, AArch64 builds NEON, which every AArch64 CPU has.
const Backend backends[] = {
#ifdef VOXELBENCH_X86
    {"avx512", has_avx512f, avx512::average, avx512::variance, avx512::hessian, avx512::hessian},
    {"avx2", has_avx2, avx2::average, avx2::variance, avx2::hessian, avx2::hessian},
#endif
#ifdef VOXELBENCH_ARM64  // set by CMakeLists.txt on AArch64 only
    {"neon", always, neon::average, neon::variance, neon::hessian, neon::hessian},
#endif
#ifdef VOXELBENCH_TESTING  // each vector backend again, dividing by the other means
#ifdef VOXELBENCH_X86
    {"avx512+reciprocal", has_avx512f, avx512::average_by_reciprocal,
     avx512::variance_by_reciprocal, avx512::hessian, avx512::hessian},
    {"avx2+reciprocal", has_avx2, avx2::average_by_reciprocal, avx2::variance_by_reciprocal,
     avx2::hessian, avx2::hessian},
#endif
#ifdef VOXELBENCH_ARM64
    {"neon+reciprocal", always, neon::average_by_reciprocal, neon::variance_by_reciprocal,
     neon::hessian, neon::hessian},
#endif
#endif
    {"scalar", always, scalar::average, scalar::variance, scalar::hessian, scalar::hessian},
};

const Backend *forced = nullptr;  // set only by the test-only module

}  // namespace

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
