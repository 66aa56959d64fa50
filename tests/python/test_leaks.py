"""Ten thousand calls of every entry point, the failing ones included, in a
loop: the process's memory stays flat and no argument gains a reference."""

import ctypes
import gc
import os
import sys

import numpy as np
import pytest

from quor import _quor
from conftest import (SANITIZED, chain_dump, classification_data, construct, interval, leaf,
                      make_dump, regression_data)
from fuzz_support import PANIC

R, C, O = _quor.RawRegressor, _quor.RawClassifier, _quor.RawObjectiveClassifier
CALLS = 10_000 if not SANITIZED else 2_000


class MallInfo2(ctypes.Structure):
    _fields_ = [(name, ctypes.c_size_t) for name in (
        "arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks", "fsmblks", "uordblks",
        "fordblks", "keepcost")]


LIBC = ctypes.CDLL(None)
LIBC.mallinfo2.restype = MallInfo2


def heap_in_use():
    """Bytes malloc has handed out and not had back (C++ and NumPy memory)."""
    info = LIBC.mallinfo2()
    return info.uordblks + info.hblkhd


def rss():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def measures():
    """Python objects, malloc'd bytes and resident bytes, after a collection."""
    gc.collect()
    return np.array([sys.getallocatedblocks(), heap_in_use(), rss()])


def operations():
    """(call, exception it must raise or None), and the objects they take."""
    x, y = regression_data(1, n=40)
    xc, yc = classification_data(2, n=40)
    narrow = np.ascontiguousarray(x[:, :1])
    reg = construct(R, max_depth=3)
    reg.fit(x, y)
    clf = construct(C, max_depth=3, categorical=[2], mode="fast")
    clf.fit(xc, yc)
    obj = construct(O, max_depth=3, parallel=True, n_threads=3, parallel_min_samples=0)
    obj.fit(xc, yc)
    fresh = construct(R)
    stump = R.from_tree(make_dump([interval(2, 1, 2, upper=0.0), leaf(1.0), leaf(2.0)], False), [])
    huge = C.from_tree(clf.export_tree(), 2**40, [])
    dump_r, dump_c = reg.export_tree(), clf.export_tree()
    big = 10**30
    categorical = [2, 0]
    cyclic = {**dump_r, "children_right": [0] * dump_r["node_count"]}
    out_of_range = {**dump_r, "children_left": [-1] * dump_r["node_count"]}
    overflow = {**dump_r, "n_samples": [big] * dump_r["node_count"]}
    wrong_type = {**dump_c, "proba": [[0.5, "half"]] * dump_c["node_count"]}
    missing = {k: v for k, v in dump_c.items() if k != "predicted_class"}
    deep = chain_dump(R, 200)
    infinite = np.where(np.arange(x.size).reshape(x.shape) == 7, np.inf, x)
    ops = [
        (lambda: reg.fit(x, y), None),
        (lambda: clf.fit(xc, yc), None),
        (lambda: obj.fit(xc, yc), None),
        (lambda: reg.predict(x), None),
        (lambda: clf.predict_proba(xc), None),
        (lambda: obj.predict(xc), None),
        (lambda: clf.predict_proba_finite(xc, 2), None),
        (lambda: reg.predict_finite(infinite, 1), None),  # None: refused
        (reg.export_tree, None),
        (clf.export_tree, None),
        (lambda: R.from_tree(dump_r, categorical), None),
        (lambda: C.from_tree(dump_c, 2, categorical), None),
        (lambda: O.from_tree(dump_c, 3, categorical).predict_proba(xc), None),
        (lambda: R.from_tree(deep, categorical).export_tree(), None),
        (lambda: construct(C, categorical=categorical).depth(), None),
        # Failing calls.
        (lambda: reg.fit(x.astype(np.float32), y), TypeError),
        (lambda: clf.fit(xc, y), TypeError),
        (lambda: reg.fit(x, y[:-1]), ValueError),
        (lambda: reg.fit(x[:, :0], y), ValueError),
        (lambda: construct(R, mode="fast", criterion="mae").fit(x, y), ValueError),
        (lambda: construct(R, mode="fast", n_bins=70000).fit(x, y), ValueError),
        (lambda: stump.predict(narrow), PANIC),
        (lambda: huge.predict_proba(xc), MemoryError),
        (lambda: fresh.predict(x), ValueError),
        (lambda: reg.predict_finite(x, -1), OverflowError),
        (fresh.export_tree, ValueError),
        (lambda: R.from_tree(cyclic, categorical), ValueError),
        (lambda: R.from_tree(out_of_range, categorical), PANIC),
        (lambda: R.from_tree(overflow, categorical), OverflowError),
        (lambda: C.from_tree(wrong_type, 2, categorical), TypeError),
        (lambda: C.from_tree(missing, 2, categorical), ValueError),
        (lambda: C.from_tree(dump_c, -1, categorical), OverflowError),
        (lambda: construct(O, average="most", categorical=categorical), ValueError),
        (lambda: construct(R, categorical=[0, big]), OverflowError),
        (lambda: construct(R, cv_shuffle=1), TypeError),
    ]
    held = [x, y, xc, yc, narrow, infinite, dump_r, dump_c, big, categorical, cyclic, out_of_range,
            overflow, wrong_type, missing, deep, reg, clf, obj, fresh, stump, huge, R, C, O,
            *dump_r.values(), *dump_c.values(), *wrong_type["proba"]]
    return ops, held


def run(ops, calls):
    for i in range(calls):
        call, error = ops[i % len(ops)]
        if error is None:
            call()
            continue
        try:
            call()
        except error:
            pass
        else:
            raise AssertionError(f"operation {i % len(ops)} did not raise {error.__name__}")


def growth_over(ops, calls):
    before = measures()
    run(ops, calls)
    return measures() - before


def stop_background_pools():
    """Earlier tests leave joblib's reusable process pool running (its workers
    stay for minutes); its manager and feeder threads allocate Python objects
    on their own schedule, a worker's timeout for one, and would be counted
    here as the core's."""
    reusable = sys.modules.get("joblib.externals.loky.reusable_executor")
    executor = getattr(reusable, "_executor", None)
    if executor is not None:
        executor.shutdown(wait=True)


def test_repeated_calls_keep_memory_and_references_flat():
    stop_background_pools()
    ops, held = operations()
    measures()
    run(ops, 5000)  # warm-up: caches and free lists fill up to their size
    measures()  # collects the cycles the failing calls' tracebacks left
    refs = [sys.getrefcount(obj) for obj in held]
    # Three rounds, each measure's smallest growth kept: a leak grows every
    # round, while the test runner's own threads (a parallel run's messaging
    # to its controller) allocate now and then and may land in one round.
    growths = [growth_over(ops, CALLS) for _ in range(3)]
    growth = np.min(growths, axis=0)
    assert [sys.getrefcount(obj) for obj in held] == refs
    if SANITIZED:
        return  # ASan owns the heap: its quarantine grows and mallinfo knows nothing
    # One leaked object or buffer per call of any one operation (~300 calls)
    # would exceed these; the noise of a clean run is a few dozen blocks.
    assert growth[0] < 150, ("Python objects", growths)
    assert growth[1] < 64 * 1024, ("malloc'd bytes", growths)
    assert growth[2] < 1024 * 1024, ("resident bytes", growths)


@pytest.mark.skipif(SANITIZED, reason="ASan's allocator is not measured")
def test_the_measures_see_one_small_leak_per_call():
    kept = []
    before = measures()
    for _ in range(300):
        kept.append([])  # one object
    assert (measures() - before)[0] >= 300
    before = measures()
    for _ in range(300):
        kept.append(np.empty(32))  # one 256-byte buffer
    assert (measures() - before)[1] >= 300 * 256
