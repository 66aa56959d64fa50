"""A call that fails changes nothing: after every kind of failure (bad input,
refused settings, internal error, memory exhaustion) the estimator predicts
and exports exactly what it did before, and the next call works."""

import os
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest

from quor import _quor
from conftest import (CLASSIFIERS, NAN, SANITIZED, assert_tree_equal, classification_data,
                      construct, regression_data)
from fuzz_support import PANIC, rebuild

R, C, O = _quor.RawRegressor, _quor.RawClassifier, _quor.RawObjectiveClassifier
PROBE = np.array([[-1.0, 0.0, 2.0], [0.5, NAN, 1.0], [3.0, -2.0, 0.0], [0.0, 1.0, 7.0]])


def data(cls):
    return regression_data(3) if cls is R else classification_data(3)


def fitted(cls, **settings):
    est = construct(cls, max_depth=3, categorical=[2], **settings)
    est.fit(*data(cls))
    assert est.n_leaves() > 1
    return est


def state(est, proba=True):
    """Everything a caller can observe, unfitted estimators included."""
    out = {"depth": est.depth(), "n_leaves": est.n_leaves()}
    try:
        out["dump"] = est.export_tree()
        out["predict"] = est.predict(PROBE).tobytes()
        if proba and isinstance(est, tuple(CLASSIFIERS)):
            out["proba"] = est.predict_proba(PROBE).tobytes()
    except ValueError as e:
        out["unfitted"] = str(e)
    return out


def assert_same_state(a, b):
    assert a.keys() == b.keys()
    for key in a:
        if key == "dump":
            assert_tree_equal(a[key], b[key])
        else:
            assert a[key] == b[key], key


def y_of_wrong_dtype(est, x, y):
    est.fit(x, y.astype(np.float32 if y.dtype == np.int64 else np.int64))


FIT_FAILURES = {
    # name: (call on est given its own training data, exception)
    "x of the wrong dtype": (lambda est, x, y: est.fit(x.astype(np.float32), y), TypeError),
    "x of one dimension": (lambda est, x, y: est.fit(x[:, 0], y), TypeError),
    "y of the wrong dtype": (y_of_wrong_dtype, TypeError),
    "y of two dimensions": (lambda est, x, y: est.fit(x, y[:, None]), TypeError),
    "no feature columns": (lambda est, x, y: est.fit(x[:, :0], y), ValueError),
    "no samples": (lambda est, x, y: est.fit(x[:0], y[:0]), ValueError),
    "targets of another length": (lambda est, x, y: est.fit(x, y[1:]), ValueError),
    "missing arguments": (lambda est, x, y: est.fit(x), TypeError),
    "predict with too few columns": (lambda est, x, y: est.predict(x[:, :0]), PANIC),
    "predict a list": (lambda est, x, y: est.predict(x.tolist()), TypeError),
}


@pytest.mark.parametrize("failure", FIT_FAILURES)
@pytest.mark.parametrize("cls", [R, C, O], ids=lambda c: c.__name__)
def test_failed_calls_change_nothing(cls, failure):
    call, error = FIT_FAILURES[failure]
    est = fitted(cls)
    before = state(est)
    x, y = data(cls)
    with pytest.raises(error):
        call(est, x, y)
    assert_same_state(state(est), before)
    # Not left borrowed or half-fitted: a refit gives the same tree again.
    est.fit(x, y)
    assert_same_state(state(est), before)


def test_fast_mode_encoding_refusal_keeps_the_last_tree(cls):
    # Columns 0 and 1 categorical; the continuous column 2 has more bins than
    # fast mode can code as soon as it holds a finite value.
    est = construct(cls, mode="fast", n_bins=70000, categorical=[0, 1])
    x, y = data(cls)
    x = np.column_stack([np.round(np.abs(x[:, :2])), np.full(len(x), NAN)])
    est.fit(x, y)
    before = state(est)
    x[0, 2] = 1.0
    with pytest.raises(ValueError, match="continuous bins exceed fast-mode limit"):
        est.fit(x, y)
    assert_same_state(state(est), before)


def test_refused_criterion_leaves_the_estimator_unfitted():
    est = construct(R, mode="fast", criterion="mae")
    before = state(est)
    with pytest.raises(ValueError, match="not supported in SplitMode::Fast"):
        est.fit(*data(R))
    assert_same_state(state(est), before)
    assert "unfitted" in before


@pytest.mark.parametrize("n_classes", [2**61, 2**64 - 1])
def test_out_of_memory_for_classes_keeps_the_last_tree(classifier_cls, n_classes):
    # A rebuilt estimator with an impossible class count: growing needs a
    # count per class and fails with MemoryError before anything changes.
    est = rebuild(classifier_cls, fitted(classifier_cls).export_tree(), n_classes)
    before = state(est, proba=False)
    with pytest.raises(MemoryError):
        est.fit(*data(classifier_cls))
    with pytest.raises(MemoryError):
        est.predict_proba(PROBE)
    assert_same_state(state(est, proba=False), before)


@pytest.mark.parametrize("n_bins", [2**40, 2**64 - 1])
def test_out_of_memory_for_bins_keeps_the_last_tree(cls, n_bins):
    # Fitted while the continuous column has no finite value (so no edges);
    # a refit needs more candidates than can be numbered: MemoryError.
    est = construct(cls, n_bins=n_bins, categorical=[0, 1])
    x, y = data(cls)
    x = np.column_stack([np.round(np.abs(x[:, :2])), np.full(len(x), NAN)])
    est.fit(x, y)
    before = state(est)
    x[:, 2] = np.arange(len(x))
    with pytest.raises(MemoryError):
        est.fit(x, y)
    assert_same_state(state(est), before)


SPAWN_FAILURE = """
import os, resource, sys
import numpy as np
from quor import _quor
sys.path.insert(0, {tests!r})
from conftest import assert_tree_equal, classification_data, construct
from fuzz_support import PANIC
x, y = classification_data(0, n=300)
est = construct(_quor.RawClassifier, parallel=True, n_threads=4, parallel_min_samples=0)
est.fit(x[:, :1], y)
dump, pred = est.export_tree(), est.predict(x).tobytes()
with open("/proc/self/statm") as f:
    in_use = int(f.read().split()[0]) * os.sysconf("SC_PAGE_SIZE")
# Less address space than one more 2 MiB worker stack.
resource.setrlimit(resource.RLIMIT_AS, (in_use + (1 << 20), resource.RLIM_INFINITY))
try:
    est.fit(x, y)
except PANIC as e:
    print(e)
resource.setrlimit(resource.RLIMIT_AS, (resource.RLIM_INFINITY, resource.RLIM_INFINITY))
assert_tree_equal(est.export_tree(), dump)
assert est.predict(x).tobytes() == pred
est.fit(x, y)
print("depth", est.depth())
"""


@pytest.mark.skipif(SANITIZED, reason="ASan reserves terabytes of address space")
def test_failing_thread_spawn_is_a_panic_and_keeps_the_last_tree():
    tests = str(Path(__file__).resolve().parent)
    # The C library keeps the stacks of ended threads for new ones; without
    # that cache each new worker needs fresh address space.
    env = {**os.environ, "PYTHONPATH": os.pathsep.join(sys.path),
           "GLIBC_TUNABLES": "glibc.pthread.stack_cache_size=0"}
    result = subprocess.run(
        [sys.executable, "-c", SPAWN_FAILURE.format(tests=tests)], capture_output=True,
        text=True, timeout=120, env=env)
    assert result.returncode == 0, result.stderr
    lines = result.stdout.splitlines()
    assert lines[0].startswith("failed to spawn thread: ")
    assert lines[1].startswith("depth ") and lines[1] != "depth 0"


HUGE_BIN_COUNT = """
import os, resource, sys
from quor import _quor
sys.path.insert(0, {tests!r})
from conftest import construct, regression_data
with open("/proc/self/statm") as f:
    in_use = int(f.read().split()[0]) * os.sysconf("SC_PAGE_SIZE")
resource.setrlimit(resource.RLIMIT_AS, (in_use + (512 << 20), resource.RLIM_INFINITY))
est = construct(_quor.RawRegressor, n_bins=10**8, max_depth=2)
est.fit(*regression_data(0))
print(est.n_leaves())
"""


@pytest.mark.skipif(SANITIZED, reason="ASan reserves terabytes of address space")
def test_a_huge_bin_count_costs_memory_of_the_samples_not_of_the_bins():
    # 60 samples have at most 60 distinct edges, however many bins are asked
    # for: the fit must stay within a small address-space limit.
    tests = str(Path(__file__).resolve().parent)
    result = subprocess.run(
        [sys.executable, "-c", HUGE_BIN_COUNT.format(tests=tests)], capture_output=True,
        text=True, timeout=60, env={**os.environ, "PYTHONPATH": os.pathsep.join(sys.path)})
    assert result.returncode == 0, result.stderr.splitlines()[-1]
