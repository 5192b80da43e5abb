"""Hypothesis strategies for voxelbench calls, and a model of what each call must do."""

import tempfile
import warnings

import numpy as np
from hypothesis import strategies as st

from conftest import moving_reference

COUNTS = {"average": 3, "variance": 3, "hessian": 21}
OUTPUTS = {"average": [1], "variance": [1], "hessian": list(range(9, 21))}
DTYPES = ["<f4", ">f4", "<f8", "<f2", "i1", "i2", "i4", "i8", "u1", "u2", "u4", "u8", "?"]
DTYPES += ["c8", "c16", "O"]
HUGE = 2**31  # bytes; a copy this large may fail with MemoryError, which is then allowed
MEMMAP_DIR = tempfile.TemporaryDirectory(prefix="voxelbench-props-")


def values(seed, shape, dtype):
    with np.errstate(all="ignore"):
        return np.asarray(_values(seed, shape, dtype))


def _values(seed, shape, dtype):
    rng = np.random.default_rng(seed)
    v = np.asarray(rng.standard_normal(shape) * 10)
    if v.size and rng.random() < 0.3:
        v.flat[rng.integers(0, v.size, 2)] = [np.nan, np.inf]
    if dtype.kind in "iu":
        return np.asarray(rng.integers(0 if dtype.kind == "u" else -100, 100, shape), dtype)
    if dtype.kind == "b":
        return np.asarray(v > 0)
    if dtype.kind == "c":
        return (v + 1j * v).astype(dtype)
    return v.astype(dtype)


def layout(kind, a):
    """An array like `a` (shape, dtype, values) in another memory layout or type."""
    if kind == "fortran":
        return np.asfortranarray(a)
    if kind == "reversed" and a.ndim:
        return a[(slice(None, None, -1),) * a.ndim]
    if kind == "sliced":
        big = np.repeat(a, 2, axis=-1) if a.ndim else a
        return big[..., ::2] if a.ndim else big
    if kind == "transposed":
        return np.ascontiguousarray(a.T).T
    if kind == "misaligned" and a.dtype.itemsize > 1 and a.dtype != object:
        raw = bytearray(a.nbytes + 1)
        b = np.frombuffer(raw, a.dtype, a.size, offset=1).reshape(a.shape)
        b[...] = a
        return b
    if kind == "read-only":
        a = a.copy()
        a.flags.writeable = False
        return a
    if kind == "memmap" and a.size and a.dtype != object:
        m = np.memmap(tempfile.mktemp(dir=MEMMAP_DIR.name), a.dtype, "w+", shape=a.shape)
        m[...] = a
        return m
    if kind == "list" and a.size <= 300:
        return a.tolist()
    return a


def shapes(ndim_max=5, extent_max=12):
    return st.lists(st.integers(0, extent_max), min_size=0, max_size=ndim_max).map(tuple)


@st.composite
def argument(draw, shape, output, wild):
    """One positional argument of `shape`. A tame output is what a caller means to pass
    (float32, C order); a tame input is an array of any dtype and layout; a wild argument may
    be anything at all."""
    if output and not wild:
        return np.full(shape, draw(st.sampled_from([0.0, -1.0, np.nan])), np.float32)
    kind = draw(st.sampled_from(["array"] * 3 + ["other shape", "huge", "object"])) if wild else "array"
    if kind == "object":
        return draw(st.sampled_from([None, 1.5, np.float32(2), "text", b"12", object(), [[1, 2], [3]]]))
    if kind == "huge":
        return draw(
            st.sampled_from(
                [
                    np.broadcast_to(np.float32(1), (2**20, 2**20, 2**20)),
                    np.zeros((0, 10**8, 10**8), np.float32),
                    np.zeros((10**8, 0, 10**8), np.float32),
                ]
            )
        )
    if kind == "other shape":
        shape = draw(shapes())
    dtype = np.dtype(draw(st.one_of(st.just("<f4"), st.sampled_from(DTYPES))))
    a = values(draw(st.integers(0, 2**32 - 1)), shape, dtype)
    kinds = ["C", "fortran", "reversed", "sliced", "transposed", "misaligned", "read-only"]
    return layout(draw(st.sampled_from(kinds + ["memmap", "list", "C", "C"])), a)


@st.composite
def calls(draw, name):
    """(args, kwargs) for a call of `name`: a few wild arguments among tame ones, outputs that
    alias other arguments, sometimes a wrong count or a keyword."""
    count, outputs = COUNTS[name], OUTPUTS[name]
    wild = draw(st.sets(st.integers(0, count - 1), max_size=3))
    if name == "hessian":
        shape = draw(shapes(ndim_max=5, extent_max=6).filter(lambda s: len(s) >= 3))
        shapes_ = [shape] * count
    else:
        image = draw(shapes(3, 12).filter(lambda s: len(s) == 3))
        element = tuple(draw(st.sampled_from([1, 1, 3, 3, 5, 7, 2, 0])) for _ in range(3))
        shapes_ = [image, image, element]
    args = [draw(argument(shapes_[i], i in outputs, i in wild)) for i in range(count)]
    for i in outputs:
        if draw(st.integers(0, 9)) == 0:
            args[i] = args[draw(st.sampled_from(range(count)))]
    if draw(st.integers(0, 19)) == 0:
        del args[draw(st.integers(0, count - 1))]
    elif draw(st.integers(0, 19)) == 0:
        args.append(np.zeros(1, np.float32))
    kwargs = {"stElNumpy": args[-1]} if draw(st.integers(0, 29)) == 0 else {}
    return args, kwargs


def as_float32(a):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        return np.asarray(a, dtype=np.float32)


def native_float32(a):
    return isinstance(a, np.ndarray) and a.dtype == np.float32 and a.dtype.isnative


def writable_block(a):
    return a.flags.c_contiguous and a.flags.aligned and a.flags.writeable


def predict(name, args, kwargs):
    """The exceptions the call may raise, or the result each output must hold afterwards.

    Returns (errors, expected): `errors` is a tuple of exception types (empty if the call must
    succeed); `expected` maps the position of each output to its contents after the call.
    """
    huge = any(isinstance(a, np.ndarray) and a.nbytes > HUGE for a in args)
    memory = (MemoryError,) if huge else ()
    if len(args) != COUNTS[name] or kwargs:
        return (TypeError,), None
    try:
        converted = [as_float32(a) for a in args]
    except (TypeError, ValueError):
        return (TypeError,), None
    except MemoryError:
        return (MemoryError,), None
    outputs = OUTPUTS[name]
    if not all(native_float32(args[i]) for i in outputs):
        return (TypeError,) + memory, None
    shape = converted[0].shape
    if name == "hessian":
        valid = len(shape) >= 3 and all(c.shape == shape for c in converted)
    else:
        valid = all(c.ndim == 3 for c in converted) and converted[1].shape == shape
        valid = valid and all(e % 2 for e in converted[2].shape)
    if not (valid and all(writable_block(args[i]) for i in outputs)):
        return (ValueError,) + memory, None
    if huge:
        return memory, None
    converted = [c.copy() for c in converted]  # as the arguments were before the call
    if name == "hessian":
        results = [c.copy() for c in converted[9:]]
        import voxelbench

        voxelbench.hessian(*converted[:9], *results)
        # An array passed at several result positions keeps the last one stored.
        last = {id(args[i]): i for i in outputs}
        return (), {i: results[last[id(args[i])] - 9] for i in outputs}
    return (), {1: moving_reference(name, converted[0], converted[1], converted[2])}


def describe(args, kwargs):
    """A text that identifies a call's arguments, for reports of a crash."""
    parts = []
    for a in args:
        if isinstance(a, np.ndarray):
            flags = "".join(f for f, on in [("C", a.flags.c_contiguous), ("F", a.flags.f_contiguous), ("A", a.flags.aligned), ("W", a.flags.writeable)] if on)
            text = f"{type(a).__name__}(dtype={a.dtype.str}, shape={a.shape}, strides={a.strides}, flags={flags})"
            small = 0 < a.size <= 64  # (an empty array can still list 10**8 empty rows)
            parts.append(f"{text} = {a.tolist()!r}" if small else text)
        else:
            parts.append(repr(a)[:200])
    return "\n".join(parts + [f"kwargs: {sorted(kwargs)}"])
