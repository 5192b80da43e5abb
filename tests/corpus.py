"""A fixed corpus of inputs, made from seeds, whose results must have the same bits on every
machine: moving filters over random, odd-shaped and all-ones elements and images with
infinities, subnormals, signed zeros and NaNs; hessian over the test suite's matrix families,
as float32 results and as raw doubles.

    python tests/corpus.py write RESULTS.npz     # this machine's inputs and results
    python tests/corpus.py compare RESULTS.npz   # this machine's against those of another
    python tests/corpus.py compare RESULTS.npz --payloads  # against another build, same machine

Both first check that every backend of the test-only module gives the scalar loop's bits on the
whole corpus, NaN payloads included. compare then checks that every finite or infinite result
has the stored bits and that NaN stands at the same places; NaN payloads may differ between
architectures. With --payloads, for results of another build on the same architecture (another
compiler), the filters' NaN payloads must be the same too; hessian's NaN may still differ in sign,
as Eigen's scalar code leaves to the compiler which NaN operand an operation passes on. It exits 1
on any difference.
"""

import platform
import sys

import _voxelbench_testing as testing
import numpy as np
from conftest import SPECIALS
from matrices import FAMILIES, RARE

SEED = 20261208
IMAGE = (40, 41, 43)


def images(rng):
    normal = (rng.standard_normal(IMAGE) * 4).astype(np.float32)
    specials = normal.copy()
    where = rng.random(IMAGE) < 0.02
    specials[where] = rng.choice(SPECIALS, where.sum())
    return {
        "normal": normal,
        "specials": specials,
        "subnormal-sums": rng.choice(np.float32([0.0, -0.0, 1e-45, -1e-45, 1e-38, 1e-8]), IMAGE),
        "huge": rng.uniform(-3e19, 3e19, IMAGE).astype(np.float32),  # squares overflow
    }


def elements(rng):
    zero_total = rng.integers(-3, 4, (3, 3, 3)).astype(np.float32)
    zero_total[1, 1, 1] -= zero_total.sum()  # integers: the float32 total is exactly 0
    shapes = [(3, 3, 3), (5, 5, 5), (7, 7, 7), (1, 1, 9), (3, 5, 7), (5, 3, 1), (9, 1, 3)]
    return {
        **{"normal-" + "x".join(map(str, s)): rng.standard_normal(s).astype(np.float32)
           for s in shapes},
        "positive-5x5x5": rng.uniform(0, 1, (5, 5, 5)).astype(np.float32),
        "ones-3x3x3": np.ones((3, 3, 3), np.float32),
        "ones-5x5x5": np.ones((5, 5, 5), np.float32),
        "ones-1x3x7": np.ones((1, 3, 7), np.float32),
        "zero-total-3x3x3": zero_total,
    }


def inputs():
    """name -> (function, arguments): every call of the corpus."""
    rng = np.random.default_rng(SEED)
    calls = {}
    ims, els = images(rng), elements(rng)
    for kind in ("average", "variance"):
        for i, im in ims.items():
            for e, w in els.items():
                calls[f"{kind}/{i}/{e}"] = (kind, (im, w))
    for family, make in FAMILIES.items():
        m = make(rng, 20000)
        calls[f"hessian/{family}"] = ("hessian", (m.astype(np.float32),))
        calls[f"hessian_doubles/{family}"] = ("hessian_doubles", (m,))
    for case, m in RARE.items():
        calls[f"hessian_doubles/{case}"] = ("hessian_doubles", (m,))
    return calls


def run(function, args):
    if function in ("average", "variance"):
        im, w = args
        out = np.full(im.shape, -2, np.float32)
        getattr(testing, function)(im, out, w)
        return out
    if function == "hessian":
        (m,) = args
        out = np.full((12, 1, 1, len(m)), -7, np.float32)
        testing.hessian(*np.ascontiguousarray(m.T).reshape(9, 1, 1, -1), *out)
        return out.reshape(12, -1)
    return testing.hessian_doubles(*args)


def uint(a):
    return a.view(f"u{a.itemsize}")


def same_bits(a, b):
    return a.shape == b.shape and a.dtype == b.dtype and np.array_equal(uint(a), uint(b))


def compute(calls):
    """name -> scalar results, after checking every backend against the scalar loop."""
    backends = testing.supported_backends()
    results = {}
    for name, (function, args) in calls.items():
        testing.use_backend("scalar")
        results[name] = run(function, args)
        for b in backends[:-1]:  # the vector ones; scalar comes last
            testing.use_backend(b)
            if not same_bits(run(function, args), results[name]):
                sys.exit(f"{name}: backend {b} differs from the scalar loop")
    values = sum(r.size for r in results.values())
    print(f"corpus on {platform.machine()}: {len(results)} calls, {values} results; backends "
          f"{', '.join(backends)} give the same bits, NaN payloads included")
    return results


def write(path):
    calls = inputs()
    results = compute(calls)
    arrays = {f"out|{name}": r for name, r in results.items()}
    for name, (_, args) in calls.items():
        arrays.update({f"in|{name}|{i}": a for i, a in enumerate(args)})
    np.savez_compressed(path, **arrays)


def compare(path, payloads=False):
    """Computes the corpus here and compares it with the results stored in path."""
    calls = inputs()
    with np.load(path) as f:
        stored = {key: f[key] for key in f.files}
    if {f"out|{name}" for name in calls} != {k for k in stored if k.startswith("out|")}:
        sys.exit(f"the corpus in {path} has other calls than this one")
    # The generators give the same numbers everywhere, but families built with NumPy's linear
    # algebra, convolution or power may differ in their last bits: those calls take the stored
    # inputs, so that both machines compute the same matrices.
    restored = []
    for name, (function, args) in calls.items():
        theirs = tuple(stored[f"in|{name}|{i}"] for i in range(len(args)))
        if not all(map(same_bits, args, theirs)):
            restored.append(name)
            calls[name] = (function, theirs)
    if restored:
        print(f"{len(restored)} calls take the stored inputs, which this machine's NumPy makes "
              f"otherwise: {', '.join(restored)}")
    results = compute(calls)
    values = differ = nan_moved = 0
    for name, mine in results.items():
        theirs = stored[f"out|{name}"]
        nan_mine, nan_theirs = np.isnan(mine), np.isnan(theirs)
        bad = ~nan_mine & ~nan_theirs & (uint(mine) != uint(theirs))
        if payloads and not name.startswith("hessian"):
            bad = uint(mine) != uint(theirs)
        moved = nan_mine != nan_theirs
        values += mine.size
        differ += int(bad.sum())
        nan_moved += int(moved.sum())
        if bad.any() or moved.any():
            print(f"{name}: {bad.sum()} finite or infinite results differ, "
                  f"{moved.sum()} NaN in one result only")
    print(f"against {path}: {values} results compared, {differ} finite or infinite results "
          f"differ{' (or NaN payloads of the filters)' if payloads else ''}, {nan_moved} NaN in "
          "one result only")
    return 1 if differ or nan_moved else 0


if __name__ == "__main__":
    args = sys.argv[1:]
    payloads = args[-1:] == ["--payloads"]
    if payloads:
        args.pop()
    if len(args) != 2 or args[0] not in ("write", "compare") or payloads and args[0] == "write":
        sys.exit(__doc__)
    sys.exit(write(args[1]) if args[0] == "write" else compare(args[1], payloads))
