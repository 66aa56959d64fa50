"""What the fuzz, leak and failed-call tests share: the fuzzing budget, the
exceptions a call may end in, and the input layouts NumPy can hand over."""

import os

import numpy as np
from hypothesis import HealthCheck, settings

from quor import _quor
from conftest import CLASSIFIERS, from_nodes, interval, leaf

# `make fuzz` raises the budget; the normal suite keeps it to a few seconds.
SCALE = max(1, int(os.environ.get("QUOR_FUZZ_SCALE", "1")))


def fuzz_settings(examples):
    return settings(max_examples=examples * SCALE, deadline=None, print_blob=True,
                    suppress_health_check=list(HealthCheck))


def _panic_type():
    est = from_nodes(_quor.RawRegressor, [interval(3, 1, 2), leaf(0.0), leaf(1.0)])
    try:
        est.predict(np.zeros((1, 1)))
    except BaseException as e:  # noqa: BLE001 - it is not an Exception by design
        return type(e)
    raise AssertionError("a split past the row's end must panic")


PANIC = _panic_type()
# Every failure of a call into the module is one of these.
ALLOWED = (TypeError, ValueError, OverflowError, MemoryError, PANIC)


def rebuild(cls, dump, n_classes=2, categorical=()):
    if cls in CLASSIFIERS:
        return cls.from_tree(dump, n_classes, categorical)
    return cls.from_tree(dump, categorical)


def layouts(a):
    """`a` (2-D) as NumPy can hand it over: C and Fortran order, strided,
    reversed (negative strides), unaligned and read-only; each holds a's values."""
    out = {"C": np.ascontiguousarray(a), "F": np.asfortranarray(a)}
    wide = np.zeros((a.shape[0] * 2, a.shape[1] * 3), dtype=a.dtype)
    wide[::2, ::3] = a
    out["strided"] = wide[::2, ::3]
    out["reversed"] = np.ascontiguousarray(a[::-1, ::-1])[::-1, ::-1]
    raw = np.zeros(a.size * a.itemsize + 1, dtype=np.uint8)
    unaligned = raw[1:].view(a.dtype).reshape(a.shape)
    unaligned[...] = a
    out["unaligned"] = unaligned
    frozen = a.copy()
    frozen.flags.writeable = False
    out["read-only"] = frozen
    return out
