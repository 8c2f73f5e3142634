"""Argument generators and the call harness of the fuzz tests."""

import inspect

import numpy as np
from hypothesis import strategies as st

import halyard._halyard_rs as mod

ALLOCATION_FAILURE = "memory allocation failed"


def is_internal_failure(exc):
    return type(exc).__name__ == "InternalFailure" and not isinstance(exc, Exception)


class Hostile:
    """An object whose conversion hooks misbehave in one of several ways."""

    def __init__(self, mode, target):
        self.mode = mode
        self.target = target

    def _act(self, good):
        if self.mode == "raise":
            raise ValueError("hostile hook")
        if self.mode == "wrong":
            return "not a number"
        if self.mode == "callback":
            # Re-enter the object under test while it may be borrowed.
            repr(self.target)
            for name in ("is_empty", "preprocess", "clear", "update_scalar"):
                method = getattr(self.target, name, None)
                if callable(method):
                    try:
                        method() if name != "update_scalar" else method(1.0)
                    except Exception:
                        pass
            return good
        return good

    def __float__(self):
        return self._act(0.5)

    def __index__(self):
        return self._act(1)

    def __len__(self):
        return self._act(2)

    def __getitem__(self, i):
        if i >= 2:
            raise IndexError(i)
        return self._act(0.25)

    def __iter__(self):
        value = self._act(None)
        if value is None and self.mode != "callback":
            return iter([0.5, 0.25])
        return iter([0.5, self])


DTYPES = [np.float32, np.float64, np.int32, np.int64, np.uint8, np.bool_, np.complex64, object, ">f4", np.float16]


@st.composite
def arrays(draw):
    dtype = draw(st.sampled_from(DTYPES))
    kind = draw(st.sampled_from(["1d", "0d", "2d", "empty", "strided", "fortran", "readonly", "nan"]))
    n = draw(st.integers(0, 8))
    base = np.arange(max(n, 1) * 4, dtype=np.float64) / 3.0
    if kind == "0d":
        a = np.array(1.5).astype(dtype)
    elif kind == "2d":
        a = base[: 2 * max(n, 1)].reshape(2, -1).astype(dtype)
    elif kind == "empty":
        a = np.zeros(0).astype(dtype)
    elif kind == "strided":
        a = base[: 2 * n].astype(dtype)[::2]
    elif kind == "fortran":
        a = np.asfortranarray(base[:n].astype(dtype))
    elif kind == "readonly":
        a = base[:n].astype(dtype)
        a.flags.writeable = False
    elif kind == "nan":
        a = np.full(n, np.nan).astype(dtype) if dtype not in (np.int32, np.int64, np.uint8, np.bool_) else base[:n].astype(dtype)
    else:
        a = base[:n].astype(dtype)
    return a


def scalars():
    return st.one_of(
        st.integers(-(2**70), 2**70),
        st.sampled_from([0, 1, 2, 3, -1, 2**32, 2**64, 2**64 - 1, 2**63, -(2**63), 10**30]),
        st.floats(allow_nan=True, allow_infinity=True),
        st.sampled_from([float("nan"), float("inf"), float("-inf"), -0.0, 1e-45, 3.5e38]),
        st.text(max_size=12),
        st.sampled_from(["", "\ud800", "a\udfffb", "user", "ÉTÉ ΣΑΣ", "as we discussed", "x" * 300]),
        st.binary(max_size=8),
        st.none(),
        st.booleans(),
        st.just(np.bool_(True)),
    )


def values(pool, target):
    """Any argument: scalars, containers, arrays, objects of this module, hostile objects."""
    leaves = st.one_of(
        scalars(),
        arrays(),
        st.sampled_from(pool) if pool else st.none(),
        st.builds(Hostile, st.sampled_from(["raise", "wrong", "callback", "fine"]), st.just(target)),
        st.just(target),
        st.sampled_from([int, object(), [], (), {}, {"k": 1}, {1: 2}]),
    )
    return st.recursive(
        leaves,
        lambda inner: st.one_of(
            st.lists(inner, max_size=4),
            st.lists(inner, max_size=4).map(tuple),
            st.dictionaries(st.text(max_size=3), inner, max_size=3),
        ),
        max_leaves=6,
    )


def parameters(fn):
    try:
        return [p.name for p in inspect.signature(fn).parameters.values()]
    except (TypeError, ValueError):
        return []


def public_callables(obj):
    """(name, kind) of the methods, static methods and properties of a class."""
    out = []
    for name, member in vars(obj).items():
        if name.startswith("_"):
            continue
        if isinstance(member, staticmethod) or type(member).__name__ == "builtin_function_or_method":
            out.append((name, "static"))
        elif type(member).__name__ == "method_descriptor":
            out.append((name, "method"))
        elif type(member).__name__ == "getset_descriptor":
            out.append((name, "property"))
    return out


def module_classes():
    return {name: obj for name, obj in vars(mod).items() if isinstance(obj, type) and not name.startswith("_")}


def module_functions():
    return {
        name: obj
        for name, obj in vars(mod).items()
        if callable(obj) and not isinstance(obj, type) and not name.startswith("_")
    }
