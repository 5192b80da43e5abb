"""A fixed corpus of inputs, made from seeds with only exactly rounded arithmetic so that they
have the same bits on every machine, whose results must have the same bits on every machine too:
moving filters over random, odd-shaped and all-ones elements and images with infinities,
subnormals, signed zeros and NaNs; hessian over the test suite's matrix families
(tests/matrices.py), as float32 results and as raw doubles.

    python tests/corpus.py check tests/corpus.sha256   # this machine's against the hashes
    python tests/corpus.py hashes tests/corpus.sha256  # writes them from this machine
    python tests/corpus.py write RESULTS.npz     # this machine's inputs and results
    python tests/corpus.py compare RESULTS.npz   # this machine's against those of another
    python tests/corpus.py compare RESULTS.npz --payloads  # against another build, same machine

tests/corpus.sha256 holds a line per call: the SHA-256 of its results, the SHA-256 of its inputs
and its name. Each covers the arrays' dtypes, shapes and bytes; in the results every NaN counts as
the quiet NaN 0x7fc00000 (0x7ff8000000000000 in double), as NaN payloads and signs may differ
between architectures. check names each call whose inputs or results differ.

With the test-only module, every command first checks that every backend gives the scalar
loop's bits on the whole corpus, NaN payloads included. Without it (a plain pip install), check
computes through the public module voxelbench and skips the hessian_doubles calls, which only
the test-only module has; the other commands need it. compare checks that the inputs have the
stored bits, that every finite or infinite result has the stored bits and that NaN stands at the
same places. With --payloads, for results of another build on the same architecture (another
compiler), the filters' NaN payloads must be the same too; hessian's NaN may still differ in sign,
as Eigen's scalar code leaves to the compiler which NaN operand an operation passes on. check and
compare exit 1 on any difference.
"""

import hashlib
import platform
import sys

import numpy as np
import voxelbench
from conftest import SPECIALS
from matrices import FAMILIES, RARE, normal, uniform

try:
    import _voxelbench_testing as testing
except ImportError:  # a plain install: check goes through the public module
    testing = None
MODULE = testing or voxelbench

SEED = 20261208
IMAGE = (40, 41, 43)


def images(rng):
    normal4 = (normal(rng, IMAGE) * 4).astype(np.float32)
    specials = normal4.copy()
    where = rng.random(IMAGE) < 0.02
    specials[where] = rng.choice(SPECIALS, where.sum())
    return {
        "normal": normal4,
        "specials": specials,
        "subnormal-sums": rng.choice(np.float32([0.0, -0.0, 1e-45, -1e-45, 1e-38, 1e-8]), IMAGE),
        "huge": uniform(rng, -3e19, 3e19, IMAGE).astype(np.float32),  # squares overflow
    }


def elements(rng):
    zero_total = rng.integers(-3, 4, (3, 3, 3)).astype(np.float32)
    zero_total[1, 1, 1] -= zero_total.sum()  # integers: the float32 total is exactly 0
    shapes = [(3, 3, 3), (5, 5, 5), (7, 7, 7), (1, 1, 9), (3, 5, 7), (5, 3, 1), (9, 1, 3)]
    return {
        **{"normal-" + "x".join(map(str, s)): normal(rng, s).astype(np.float32) for s in shapes},
        "positive-5x5x5": rng.random((5, 5, 5)).astype(np.float32),
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
        getattr(MODULE, function)(im, out, w)
        return out
    if function == "hessian":
        (m,) = args
        out = np.full((12, 1, 1, len(m)), -7, np.float32)
        MODULE.hessian(*np.ascontiguousarray(m.T).reshape(9, 1, 1, -1), *out)
        return out.reshape(12, -1)
    return testing.hessian_doubles(*args)


def uint(a):
    return a.view(f"u{a.itemsize}")


def same_bits(a, b):
    return a.shape == b.shape and a.dtype == b.dtype and np.array_equal(uint(a), uint(b))


def digest(arrays, nan=False):
    """SHA-256 of the arrays' dtypes, shapes and bytes; with nan, every NaN as the quiet NaN."""
    h = hashlib.sha256()
    for a in arrays:
        bits = uint(a).copy()
        if nan:
            bits[np.isnan(a)] = {4: 0x7FC00000, 8: 0x7FF8000000000000}[a.itemsize]
        h.update(f"{a.dtype.str} {a.shape}\n".encode() + bits.tobytes())
    return h.hexdigest()


def compute(calls):
    """name -> scalar results, after checking every backend against the scalar loop; the public
    module's results without the test-only module."""
    if testing is None:
        results = {name: run(function, args) for name, (function, args) in calls.items()}
        print(f"corpus on {platform.machine()}: {len(results)} calls through the public module "
              f"voxelbench ({voxelbench.__file__}), which picks its own backend")
        return results
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
    changed = [name for name, (_, args) in calls.items()
               if not all(same_bits(a, stored[f"in|{name}|{i}"]) for i, a in enumerate(args))]
    for name in changed:
        print(f"{name}: the inputs differ from the stored ones")
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
          f"one result only; {len(changed)} calls have other inputs")
    return 1 if differ or nan_moved or changed else 0


def hashes(path):
    calls = inputs()
    results = compute(calls)
    with open(path, "w") as f:
        f.write("# SHA-256 of the results (every NaN as 0x7fc00000, 0x7ff8000000000000 in double), "
                "SHA-256 of the inputs, call\n")
        f.write(f"# python tests/corpus.py hashes on {platform.machine()}, {testing.compiler}, "
                f"NumPy {np.__version__}\n")
        for name, (_, args) in calls.items():
            f.write(f"{digest([results[name]], nan=True)}  {digest(args)}  {name}\n")


def check(path):
    """Computes the corpus here and compares its hashes with those in path."""
    calls = inputs()
    with open(path) as f:
        stored = {name: (out, into) for out, into, name in
                  (line.split() for line in f if line.strip() and not line.startswith("#"))}
    skipped = [name for name, (function, _) in calls.items()
               if function == "hessian_doubles" and testing is None]
    for name in skipped:
        del calls[name]
    differ = [f"{name}: not in this corpus" for name in stored.keys() - calls.keys() - set(skipped)]
    results = compute(calls)
    for name, (_, args) in calls.items():
        if name not in stored:
            differ.append(f"{name}: not in {path}")
            continue
        out, into = stored[name]
        bad = [what for what, same in (("inputs", digest(args) == into),
                                       ("results", digest([results[name]], nan=True) == out))
               if not same]
        if bad:
            differ.append(f"{name}: {' and '.join(bad)} differ")
    for line in differ:
        print(line)
    module = f"{testing.__name__} ({testing.compiler})" if testing else "voxelbench"
    print(f"{module} on {platform.machine()}: {len(calls)} calls checked against {path}, "
          f"{len(differ)} differ" + (f"; {len(skipped)} hessian_doubles calls skipped, which only "
                                      "the test-only module has" if skipped else ""))
    return 1 if differ else 0


if __name__ == "__main__":
    args = sys.argv[1:]
    payloads = args[-1:] == ["--payloads"]
    if payloads:
        args.pop()
    commands = {"check": check, "hashes": hashes, "write": write, "compare": compare}
    if len(args) != 2 or args[0] not in commands or payloads and args[0] != "compare":
        sys.exit(__doc__)
    if testing is None and args[0] != "check":
        sys.exit(f"{args[0]} needs the test-only module _voxelbench_testing")
    sys.exit(compare(args[1], payloads) if payloads else commands[args[0]](args[1]))
