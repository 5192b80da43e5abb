// The vector form of hessian, written once and included by each vector backend after it has
// defined `Doubles`: its double vector type V, lane mask type M, and operations on them.
//
// Each lane holds one matrix and performs exactly the operations of Eigen 3.4's iterative
// SelfAdjointEigenSolver<Matrix3d>::compute, in Eigen's order: every one is a single IEEE
// double operation (add, subtract, multiply, divide, square root, compare, absolute value), so
// each lane ends with Eigen's bits. Eigen's branches become lane masks: both sides are
// computed and select() keeps the one Eigen would have taken. Nothing may be contracted into a
// multiply-add; the build forbids it. Lanes with a NaN or infinity in the lower triangle, and
// lanes that need more QR steps than the caller allows, are redone by Eigen itself.
#pragma once

#include <algorithm>
#include <cfloat>
#include <cstdint>

#include "backends.hpp"

namespace {
namespace hess {

#define HESS_INLINE inline __attribute__((always_inline))

// Several independent vectors run in lockstep: the solver is a chain of divisions and square
// roots, and interleaving the chains of several vectors hides much of their latency.
constexpr int Blocks = Doubles::blocks;
constexpr size_t Width = Blocks * Doubles::lanes;
static_assert(Width <= 64, "a lane mask must fit in 64 bits");

struct D {
    Doubles::V v[Blocks];
};
struct Mask {
    Doubles::M m[Blocks];
};

#define HESS_LANEWISE(Result, field, expr)  \
    Result r;                               \
    for (int i = 0; i < Blocks; ++i) {      \
        r.field[i] = expr;                  \
    }                                       \
    return r;

HESS_INLINE D splat(double x) { HESS_LANEWISE(D, v, Doubles::set1(x)) }
HESS_INLINE D operator+(D a, D b) { HESS_LANEWISE(D, v, Doubles::add(a.v[i], b.v[i])) }
HESS_INLINE D operator-(D a, D b) { HESS_LANEWISE(D, v, Doubles::sub(a.v[i], b.v[i])) }
HESS_INLINE D operator*(D a, D b) { HESS_LANEWISE(D, v, Doubles::mul(a.v[i], b.v[i])) }
HESS_INLINE D operator/(D a, D b) { HESS_LANEWISE(D, v, Doubles::div(a.v[i], b.v[i])) }
HESS_INLINE D operator-(D a) { HESS_LANEWISE(D, v, Doubles::neg(a.v[i])) }
HESS_INLINE D sqrt(D a) { HESS_LANEWISE(D, v, Doubles::sqrt(a.v[i])) }
// Division and square root hold the divider for many cycles, and late in the iteration most
// vectors of a lockstep group have no lane left that needs them: those keep their argument.
HESS_INLINE D div(D a, D b, Mask lanes) {
    HESS_LANEWISE(D, v, Doubles::bits(lanes.m[i]) ? Doubles::div(a.v[i], b.v[i]) : a.v[i])
}
HESS_INLINE D sqrt(D a, Mask lanes) {
    HESS_LANEWISE(D, v, Doubles::bits(lanes.m[i]) ? Doubles::sqrt(a.v[i]) : a.v[i])
}
HESS_INLINE D abs(D a) { HESS_LANEWISE(D, v, Doubles::abs(a.v[i])) }
HESS_INLINE D select(Mask m, D a, D b) { HESS_LANEWISE(D, v, Doubles::select(m.m[i], a.v[i], b.v[i])) }
HESS_INLINE Mask operator<(D a, D b) { HESS_LANEWISE(Mask, m, Doubles::lt(a.v[i], b.v[i])) }
HESS_INLINE Mask operator<=(D a, D b) { HESS_LANEWISE(Mask, m, Doubles::le(a.v[i], b.v[i])) }
HESS_INLINE Mask operator==(D a, D b) { HESS_LANEWISE(Mask, m, Doubles::eq(a.v[i], b.v[i])) }
HESS_INLINE Mask operator!=(D a, D b) { HESS_LANEWISE(Mask, m, Doubles::ne(a.v[i], b.v[i])) }
HESS_INLINE Mask operator>(D a, D b) { return b < a; }
HESS_INLINE Mask operator&(Mask a, Mask b) { HESS_LANEWISE(Mask, m, Doubles::and_(a.m[i], b.m[i])) }
HESS_INLINE Mask operator|(Mask a, Mask b) { HESS_LANEWISE(Mask, m, Doubles::or_(a.m[i], b.m[i])) }
HESS_INLINE Mask operator~(Mask a) { HESS_LANEWISE(Mask, m, Doubles::not_(a.m[i])) }
#undef HESS_LANEWISE

// Lane i of the lockstep vectors is bit i.
HESS_INLINE uint64_t bits(Mask a) {
    uint64_t r = 0;
    for (int i = 0; i < Blocks; ++i) {
        r |= uint64_t{Doubles::bits(a.m[i])} << (size_t(i) * Doubles::lanes);
    }
    return r;
}
HESS_INLINE bool any(Mask a) { return bits(a) != 0; }

template <class T>
HESS_INLINE D load(const T *p) {
    D r;
    for (int i = 0; i < Blocks; ++i) {
        r.v[i] = Doubles::load(p + size_t(i) * Doubles::lanes);
    }
    return r;
}
template <class T>
HESS_INLINE void store(T *p, D a) {
    for (int i = 0; i < Blocks; ++i) {
        Doubles::store(p + size_t(i) * Doubles::lanes, a.v[i]);
    }
}

// numext::maxi
HESS_INLINE D max(D a, D b) { return select(a < b, b, a); }

HESS_INLINE void swap(D &a, D &b, Mask m) {
    const D t = a;
    a = select(m, b, a);
    b = select(m, t, b);
}

// JacobiRotation::makeGivens(p, q) for q != 0 (a QR step never rotates a zero bulge). Its
// branches |p| > |q| and |p| <= |q| share one division: 1/u gives c in the first, -1/u gives s
// in the second, and the other is -t times it.
HESS_INLINE void givens(D p, D q, D &c, D &s, Mask lanes) {
    const Mask pBig = abs(p) > abs(q);
    const D t = div(select(pBig, q, p), select(pBig, p, q), lanes);
    const D u = sqrt(splat(1) + t * t, lanes);
    const D r = div(select(pBig, splat(1), splat(-1)), select(select(pBig, p, q) < splat(0), -u, u), lanes);
    const D other = -t * r;
    const Mask pZero = p == splat(0);
    c = select(pZero, splat(0), select(pBig, r, other));
    s = select(pZero, select(q < splat(0), splat(1), splat(-1)), select(pBig, other, r));
}

// Q = Q G on columns j and j+1, as applyOnTheRight(j, j+1, rot) does: with rot transposed,
// x = c x + (-s) y and y = -(-s) x + c y. It returns at once for c == 1 and s == 0, which keeps
// a -0 in Q that the arithmetic would turn into +0.
HESS_INLINE void rotate_columns(D q[3][3], int j, D c, D s, Mask lanes) {
    const Mask identity = (c == splat(1)) & (s == splat(0));
    const Mask m = lanes & ~identity;
    for (int row = 0; row < 3; ++row) {
        const D x = q[row][j], y = q[row][j + 1];
        q[row][j] = select(m, c * x + -s * y, x);
        q[row][j + 1] = select(m, s * x + c * y, y);
    }
}

// T = G' T G on rows and columns k, k+1 of the tridiagonal matrix: dk, dk1 its diagonal
// entries, ek the subdiagonal entry between them.
HESS_INLINE void rotate_tridiagonal(D &dk, D &dk1, D &ek, D c, D s, Mask m) {
    const D sdk = s * dk + c * ek;
    const D dkp1 = s * ek + c * dk1;
    const D ndk = c * (c * dk - s * ek) - s * (c * ek - s * dk1);
    dk1 = select(m, s * sdk + c * dkp1, dk1);
    ek = select(m, c * sdk - s * dkp1, ek);
    dk = select(m, ndk, dk);
}

// A subdiagonal entry that is negligible against its diagonal neighbours becomes an exact 0.
HESS_INLINE void deflate(D &e, D da, D db, Mask m) {
    const D scaled = splat(1 / DBL_EPSILON) * e;
    const Mask negligible = (abs(e) < splat(DBL_MIN)) | (scaled * scaled <= abs(da) + abs(db));
    e = select(m & negligible, splat(0), e);
}

// The Wilkinson shift of the trailing 2x2 block [da e; e db], td = (da - db) / 2. Eigen's own
// hypot, not std::hypot.
HESS_INLINE D shift(D td, D e, D db, Mask lanes) {
    const D e2 = e * e;
    const D a = abs(td), b = abs(e);
    const Mask bBig = a < b;
    const D big = select(bBig, b, a), qp = div(select(bBig, a, b), big, lanes);
    const D h = big * sqrt(splat(1) + qp * qp, lanes);
    const D den = td + select(td > splat(0), h, -h);
    D mu = db - div(e2, den, lanes);
    const Mask underflow = lanes & (e2 == splat(0)) & (e != splat(0));
    if (any(underflow)) {  // e*e underflowed to 0: divide in two steps
        mu = select(underflow, db - e / (den / e), mu);
    }
    mu = select(e == splat(0), db, mu);
    return select(td == splat(0), db - abs(e), mu);
}

// Eigen's solver on every lane of a: row-major components, of which the lower triangle is
// read. Leaves the eigenvalues in val (ascending) and the eigenvectors in the columns of q;
// nonfinite and slow get the lanes that Eigen has to compute instead.
HESS_INLINE void solve(const D a[9], int iterations, D val[3], D q[3][3], Mask &nonfinite,
                       Mask &slow) {
    // Eigen's m(r, c) for r >= c.
    const D a00 = a[0], a10 = a[3], a11 = a[4], a20 = a[6], a21 = a[7], a22 = a[8];
    const Mask finite = (abs(a00) <= splat(DBL_MAX)) & (abs(a10) <= splat(DBL_MAX)) &
                        (abs(a11) <= splat(DBL_MAX)) & (abs(a20) <= splat(DBL_MAX)) &
                        (abs(a21) <= splat(DBL_MAX)) & (abs(a22) <= splat(DBL_MAX));
    nonfinite = ~finite;

    // Scale into [-1, 1] by the largest absolute entry (1 for a zero matrix), with true
    // divisions. Eigen reduces in another order; for finite entries the maximum is the same.
    D scale = max(max(max(abs(a00), abs(a10)), max(abs(a11), abs(a20))), max(abs(a21), abs(a22)));
    scale = select(scale == splat(0), splat(1), scale);
    const D m00 = a00 / scale, m10 = a10 / scale, m11 = a11 / scale, m20 = a20 / scale,
            m21 = a21 / scale, m22 = a22 / scale;

    // Tridiagonalisation, Eigen's 3x3 specialisation: a Householder reflection unless m(2, 0)
    // is already negligible.
    const Mask reflect = ~(m20 * m20 <= splat(DBL_MIN));
    const D beta = sqrt(m10 * m10 + m20 * m20);
    const D invBeta = splat(1) / beta;
    const D m01 = m10 * invBeta, m02 = m20 * invBeta;
    const D qq = splat(2) * m01 * m21 + m02 * (m22 - m11);
    D d0 = m00, d1 = select(reflect, m11 + m02 * qq, m11), d2 = select(reflect, m22 - m02 * qq, m22);
    D e0 = select(reflect, beta, m10), e1 = select(reflect, m21 - m01 * qq, m21);
    const D zero = splat(0), one = splat(1);
    q[0][0] = one, q[0][1] = zero, q[0][2] = zero;
    q[1][0] = zero, q[1][1] = select(reflect, m01, one), q[1][2] = select(reflect, m02, zero);
    q[2][0] = zero, q[2][1] = select(reflect, m02, zero), q[2][2] = select(reflect, -m01, one);

    // Implicit QR steps with Wilkinson shift on the unreduced block (start, end) at the end of
    // the matrix: (0, 2), (1, 2) or (0, 1). end2: end == 2, else end == 1; start1: start == 1.
    const Mask all = zero == zero, none = ~all;
    Mask live = finite, end2 = all, start1 = none;
    slow = none;
    for (int step = 0;; ++step) {
        deflate(e0, d0, d1, live & ~start1);
        deflate(e1, d1, d2, live & end2);
        const Mask zero0 = e0 == zero, zero1 = e1 == zero;
        live = live & ~((end2 & zero1 & zero0) | (~end2 & zero0));
        end2 = end2 & ~zero1;
        if (!any(live)) {
            break;
        }
        if (step == iterations) {
            slow = live;
            break;
        }
        start1 = end2 & zero0;

        const D dA = select(end2, d1, d0), dB = select(end2, d2, d1);
        const D mu = shift((dA - dB) * splat(0.5), select(end2, e1, e0), dB, live);
        D x = select(start1, d1, d0) - mu, z = select(start1, e1, e0), c, s;
        // k = 0, in blocks (0, 1) and (0, 2); the rotation there makes a bulge z below e1.
        const Mask k0 = live & ~start1 & (z != zero), bulge = k0 & end2;
        givens(x, z, c, s, k0);
        rotate_tridiagonal(d0, d1, e0, c, s, k0);
        rotate_columns(q, 0, c, s, k0);
        x = select(bulge, e0, x);
        z = select(bulge, -s * e1, z);
        e1 = select(bulge, c * e1, e1);
        // k = 1, in blocks (1, 2) and (0, 2), unless the bulge vanished. (Neither a vanished
        // bulge nor the identity rotation seems possible for a scaled finite matrix: each needs
        // a product or quotient of entries that survived deflation to underflow to 0. The
        // checks stay so that every lane follows Eigen's code.)
        const Mask k1 = live & end2 & (z != zero);
        if (any(k1)) {  // late in the iteration often no lane has a 3x3 block left
            givens(x, z, c, s, k1);
            rotate_tridiagonal(d1, d2, e1, c, s, k1);
            e0 = select(k1 & ~start1, c * e0 - s * z, e0);
            rotate_columns(q, 1, c, s, k1);
        }
    }

    // Ascending order by selection sort, swapping in the first strict minimum, with columns.
    const Mask min1 = d1 < d0, min2 = d2 < select(min1, d1, d0);
    const Mask swap01 = min1 & ~min2;
    swap(d0, d2, min2);
    swap(d0, d1, swap01);
    for (int row = 0; row < 3; ++row) {
        swap(q[row][0], q[row][2], min2);
        swap(q[row][0], q[row][1], swap01);
    }
    const Mask swap12 = d2 < d1;
    swap(d1, d2, swap12);
    for (int row = 0; row < 3; ++row) {
        swap(q[row][1], q[row][2], swap12);
    }
    // Eigenvalues back to the input's scale; eigenvectors are unit vectors either way.
    val[0] = d0 * scale, val[1] = d1 * scale, val[2] = d2 * scale;
}

// Every matrix of f, Width at a time; the last block is read from and written through
// zero-padded copies, so no lane touches memory past the arrays.
template <class T>
Fallbacks field(const Field<T> &f) {
    Fallbacks count{0, 0};
    for (size_t n = 0; n < f.n; n += Width) {
        const size_t lanes = std::min(Width, f.n - n);
        D a[9];
        T pad[9][Width];
        for (int j = 0; j < 9; ++j) {
            if (lanes == Width) {
                a[j] = load(f.in[j] + n);
            } else {
                std::fill(std::copy(f.in[j] + n, f.in[j] + n + lanes, pad[j]), pad[j] + Width, T(0));
                a[j] = load(pad[j]);
            }
        }
        D val[3], q[3][3];
        Mask nonfinite, slow;
        solve(a, f.iterations, val, q, nonfinite, slow);
        // Result order: valA, valB, valC, then A's, B's and C's (z, y, x) components.
        const D results[12] = {val[2],  val[1],  val[0],  q[0][2], q[1][2], q[2][2],
                               q[0][1], q[1][1], q[2][1], q[0][0], q[1][0], q[2][0]};
        const uint64_t valid = lanes < Width ? (uint64_t{1} << lanes) - 1 : ~uint64_t{0};
        const uint64_t redo = (bits(nonfinite) | bits(slow)) & valid;
        if (lanes == Width && !redo) {
            for (int k = 0; k < 12; ++k) {  // in result order: a later alias's store wins
                store(f.out[k] + n, results[k]);
            }
            continue;
        }
        count.nonfinite += static_cast<size_t>(__builtin_popcountll(bits(nonfinite) & valid));
        count.slow += static_cast<size_t>(__builtin_popcountll(bits(slow) & valid));
        double in[9][Width], out[12][Width];
        for (int j = 0; j < 9; ++j) {
            store(in[j], a[j]);
        }
        for (int k = 0; k < 12; ++k) {
            store(out[k], results[k]);
        }
        for (size_t i = 0; i < lanes; ++i) {
            if (redo >> i & 1) {
                double m[9], r[12];
                for (int j = 0; j < 9; ++j) {
                    m[j] = in[j][i];
                }
                eigen_solve(m, r);
                for (int k = 0; k < 12; ++k) {
                    out[k][i] = r[k];
                }
            }
        }
        for (int k = 0; k < 12; ++k) {
            for (size_t i = 0; i < lanes; ++i) {
                f.out[k][n + i] = static_cast<T>(out[k][i]);
            }
        }
    }
    return count;
}

#undef HESS_INLINE

}  // namespace hess
}  // namespace
