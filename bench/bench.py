#!/usr/bin/env python3
"""Fit time, memory and prediction time of quor against scikit-learn's and
XGBoost's trees.

Every engine is timed on the same arrays in the same process: quor through its
raw core classes (RawClassifier with "gini", RawRegressor with "mse"), and
scikit-learn's DecisionTree* and a one-tree XGBoost model through their whole
public ``fit``.  The entries of one data set are timed round-robin (one fit of
each per repeat) so that a change in machine load hits them alike; the best
run of each is kept.  The peak memory of a fast-mode fit is measured in a
fresh child process.  Prediction is timed through each engine's public
``predict_proba`` and ``predict`` (quor's QUORClassifier, on one thread and on
two) on the rows of a larger data set, in C and in Fortran order.  The report
ends with the project's targets, PASS or MISS with the measured ratio.

    PYTHONPATH=python /usr/bin/python3 bench/bench.py [--quick] [--sizes N ...]
        [--repeats R] [--predict-rows N] [--json out.json] [--markdown]

``make bench`` sets up the dependencies, builds, and runs this script.
"""

import argparse
import datetime
import gc
import hashlib
import json
import multiprocessing
import os
import pathlib
import platform
import resource
import subprocess
import sys
import time
from dataclasses import dataclass, field

import numpy as np

REPO = pathlib.Path(__file__).resolve().parent.parent

TASKS = ("classification", "regression")
N_FEATURES = 20
N_INFORMATIVE = 10
DATA_SEED = 0

# Tree settings shared by every engine, and quor's own.
MAX_DEPTH = 8
CV_FOLDS = 5
FAST_BINS = 32
STRICT_BINS = (8, 32)
STRICT_PARALLEL_BINS = 8  # strict mode's two-thread run uses quor's default bin count
N_THREADS = 2

DEFAULT_SIZES = (200_000, 1_000_000)
DEFAULT_STRICT_MAX = 200_000  # strict mode is timed only up to this size
DEFAULT_REPEATS = 3
QUICK_SIZES = (20_000, 100_000)
QUICK_STRICT_MAX = 20_000

# Targets: ratios of fit times (quor / anchor) and their limits.
FAST_VS_SKLEARN = 0.10
FAST_VS_XGBOOST = 0.5
STRICT_VS_SKLEARN = {8: 1.0, 32: 2.0}
MIN_PARALLEL_SPEEDUP = 1.7
# Prediction: a depth-MAX_DEPTH classification tree fitted on PREDICT_FIT_ROWS
# rows predicts PREDICT_ROWS other rows of the same data set.
PREDICT_ROWS = 1_000_000
QUICK_PREDICT_ROWS = 100_000
PREDICT_FIT_FRACTION = 0.2
PREDICT_VS_SKLEARN = 0.5
PREDICT_METHODS = ("predict_proba", "predict")
ORDERS = ("C", "Fortran")
# Fast mode going from 200 000 to 1 000 000 samples may take at most 6 times as
# long: 1.2 times linear.  Other sizes scale the limit with their ratio.
SCALING_SLACK = 1.2
MAX_MEMORY_RATIO = 1.5

# A single-threaded fit whose wall time exceeds its CPU time by this factor was
# probably preempted by another process; the report says so.
PREEMPTION_FACTOR = 1.10
QUIET_LOAD = 0.5


# -- data and models ----------------------------------------------------------


def make_data(task, n_samples, n_features=N_FEATURES):
    """The benchmark data set: x as C-contiguous float64, y as the core takes it."""
    from sklearn.datasets import make_classification, make_regression

    n_informative = min(N_INFORMATIVE, n_features)
    if task == "classification":
        x, y = make_classification(
            n_samples=n_samples, n_features=n_features, n_informative=n_informative,
            n_redundant=min(2, n_features - n_informative), random_state=DATA_SEED,
        )
        y = y.astype(np.int64)
    elif task == "regression":
        x, y = make_regression(
            n_samples=n_samples, n_features=n_features, n_informative=n_informative,
            random_state=DATA_SEED,
        )
        y = y.astype(np.float64)
    else:
        raise ValueError(f"unknown task {task!r}")
    return np.ascontiguousarray(x, dtype=np.float64), np.ascontiguousarray(y)


def quor_model(task, mode, n_bins, n_threads=1):
    """An unfitted raw quor core with the benchmark's settings."""
    from quor._quor import RawClassifier, RawRegressor

    common = dict(
        max_depth=MAX_DEPTH, min_samples_split=2, min_samples_leaf=1,
        min_impurity_decrease=0.0, n_bins=n_bins, cv_folds=CV_FOLDS, cv_seed=42,
        cv_shuffle=True, mode=mode, split_style="threshold", aggregator="mean",
        agg_frac=0.2, agg_eps=1e-12, agg_lambda=1.0, parallel=n_threads > 1,
        n_threads=n_threads, parallel_min_samples=512, categorical=[],
    )
    if task == "classification":
        return RawClassifier(n_classes=2, criterion="gini", **common)
    return RawRegressor(criterion="mse", **common)


def sklearn_model(task):
    from sklearn.tree import DecisionTreeClassifier, DecisionTreeRegressor

    cls = DecisionTreeClassifier if task == "classification" else DecisionTreeRegressor
    return cls(max_depth=MAX_DEPTH, random_state=0)


def xgboost_model(task):
    import xgboost

    cls = xgboost.XGBClassifier if task == "classification" else xgboost.XGBRegressor
    return cls(n_estimators=1, max_depth=MAX_DEPTH, tree_method="hist", max_bin=FAST_BINS,
               n_jobs=1)


def quor_estimator(n_threads=1):
    """quor's public classifier with the benchmark's settings (those of quor_model)."""
    from quor import QUORClassifier

    return QUORClassifier(
        criterion="gini", max_depth=MAX_DEPTH, min_samples_split=2, min_samples_leaf=1,
        min_impurity_decrease=0.0, n_bins=FAST_BINS, cv_folds=CV_FOLDS, cv_seed=42,
        cv_shuffle=True, mode="fast", split_style="threshold", aggregator="mean",
        parallel=n_threads > 1, n_threads=n_threads, parallel_min_samples=512,
    )


@dataclass(frozen=True)
class Entry:
    """One timed configuration: a name and a factory of unfitted models."""

    key: str  # e.g. "quor fast 32", "scikit-learn"
    engine: str
    mode: str
    n_bins: int
    n_threads: int
    make: object = field(compare=False, repr=False)


def fast_entry(task, n_threads=1):
    suffix = f" x{n_threads}" if n_threads > 1 else ""
    return Entry(f"quor fast {FAST_BINS}{suffix}", "quor", "fast", FAST_BINS, n_threads,
                 lambda: quor_model(task, "fast", FAST_BINS, n_threads))


def strict_entry(task, n_bins, n_threads=1):
    suffix = f" x{n_threads}" if n_threads > 1 else ""
    return Entry(f"quor strict {n_bins}{suffix}", "quor", "strict", n_bins, n_threads,
                 lambda: quor_model(task, "strict", n_bins, n_threads))


def sklearn_entry(task):
    return Entry("scikit-learn", "scikit-learn", "", 0, 1, lambda: sklearn_model(task))


def xgboost_entry(task):
    return Entry("XGBoost", "xgboost", "hist", FAST_BINS, 1, lambda: xgboost_model(task))


def entries_for(task, n_samples, sizes, strict_max):
    """What the benchmark times on one data set."""
    strict = n_samples <= strict_max
    entries = [fast_entry(task)]
    if strict:
        entries += [strict_entry(task, n_bins) for n_bins in STRICT_BINS]
    # Two threads where the targets ask for them: fast mode at the largest
    # size, strict mode at the largest size it runs at. They run before the
    # anchors in each round: XGBoost's idle OpenMP threads keep spinning for a
    # while after its fit and would take a core from whatever runs next.
    if n_samples == max(sizes):
        entries.append(fast_entry(task, N_THREADS))
    if strict and n_samples == largest_strict_size(sizes, strict_max):
        entries.append(strict_entry(task, STRICT_PARALLEL_BINS, N_THREADS))
    entries += [sklearn_entry(task), xgboost_entry(task)]
    return entries


def largest_strict_size(sizes, strict_max):
    eligible = [n for n in sizes if n <= strict_max]
    return max(eligible) if eligible else None


# -- timing -------------------------------------------------------------------


def time_fit(make, x, y):
    """Wall and CPU seconds of one ``fit`` of a fresh model, and the model.

    The garbage collector is off during the fit, so that no collection of other
    objects is timed; it runs as usual between fits.
    """
    model = make()
    gc.disable()
    try:
        cpu0, wall0 = time.process_time(), time.perf_counter()
        model.fit(x, y)
        wall, cpu = time.perf_counter() - wall0, time.process_time() - cpu0
    finally:
        gc.enable()
    return wall, cpu, model


class NativeTree:
    """A fitted package tree's native model (a forest of that one tree), called
    directly: prediction without the package's checks of X."""

    def __init__(self, forest):
        self.forest = forest

    def predict(self, x):
        return self.forest.predict_finite(x, 1)

    def predict_proba(self, x):
        return self.forest.predict_proba_finite(x, 1)

    def depth(self):
        return self.forest.depth(0)

    def n_leaves(self):
        return self.forest.n_leaves(0)


def tree_shape(model):
    """(depth, leaves) of a fitted quor or scikit-learn tree; None for others."""
    if hasattr(model, "n_leaves"):
        return [int(model.depth()), int(model.n_leaves())]
    if hasattr(model, "get_n_leaves"):
        return [int(model.get_depth()), int(model.get_n_leaves())]
    return None


def time_entries(entries, x, y, repeats, progress=None):
    """Best-of-``repeats`` timing of every entry, fitting them round-robin."""
    # Warm up every engine once on a slice so that lazy initialisation is not timed.
    n_warm = min(len(y), 2000)
    for entry in entries:
        time_fit(entry.make, x[:n_warm], y[:n_warm])
    runs = {entry.key: [] for entry in entries}
    shapes = {}
    gc.collect()
    for repeat in range(repeats):
        for entry in entries:
            wall, cpu, model = time_fit(entry.make, x, y)
            runs[entry.key].append({"wall": wall, "cpu": cpu})
            shapes[entry.key] = tree_shape(model)
            del model
            if progress:
                progress(f"    {entry.key:<22} run {repeat + 1}/{repeats}: {wall:8.3f} s"
                         f"  (cpu {cpu:.3f} s)")
    timings = {}
    for entry in entries:
        best = min(runs[entry.key], key=lambda run: run["wall"])
        timings[entry.key] = {
            "engine": entry.engine, "mode": entry.mode, "n_bins": entry.n_bins,
            "n_threads": entry.n_threads, "best_s": best["wall"], "cpu_s": best["cpu"],
            "runs_s": [run["wall"] for run in runs[entry.key]],
            "tree": shapes[entry.key],
        }
    return timings


# -- prediction ---------------------------------------------------------------


def predict_entries():
    """(key, engine, n_threads, fit) of each timed predictor; fit(x, y) returns
    the object whose predict_proba / predict are timed."""

    def quor_fit(n_threads):
        return lambda x, y: quor_estimator(n_threads).fit(x, y)

    def quor_core(x, y):
        # The native core alone: routing without the package's input checks.
        return NativeTree(quor_estimator(1).fit(x, y)._forest)

    def xgboost_fit(n_threads):
        def fit(x, y):
            model = xgboost_model("classification").fit(x, y)
            return model.set_params(n_jobs=n_threads)
        return fit

    return [
        ("quor", "quor", 1, quor_fit(1)),
        (f"quor x{N_THREADS}", "quor", N_THREADS, quor_fit(N_THREADS)),
        ("quor core", "quor", 1, quor_core),
        ("scikit-learn", "scikit-learn", 1, lambda x, y: sklearn_model("classification").fit(x, y)),
        ("XGBoost", "xgboost", 1, xgboost_fit(1)),
        (f"XGBoost x{N_THREADS}", "xgboost", N_THREADS, xgboost_fit(N_THREADS)),
    ]


def time_call(function, x):
    """Wall and CPU seconds of one call, the garbage collector off."""
    gc.disable()
    try:
        cpu0, wall0 = time.process_time(), time.perf_counter()
        function(x)
        return time.perf_counter() - wall0, time.process_time() - cpu0
    finally:
        gc.enable()


def time_prediction(n_rows, repeats, progress=None):
    """Best-of-``repeats`` prediction time of every predictor on ``n_rows`` rows.

    Every engine fits the first rows of one classification data set and
    predicts the next ``n_rows``, in C order and in a Fortran-ordered copy.
    The calls are made round-robin (every predictor, order and method once per
    repeat), so that a change in load falls on all of them alike.
    """
    say = progress or (lambda message: None)
    n_fit = max(10, int(n_rows * PREDICT_FIT_FRACTION))
    x, y = make_data("classification", n_fit + n_rows)
    x_fit, y_fit = x[:n_fit], y[:n_fit]
    inputs = {"C": np.ascontiguousarray(x[n_fit:]), "Fortran": np.asfortranarray(x[n_fit:])}
    del x
    models, shapes = {}, {}
    for key, engine, n_threads, fit in predict_entries():
        say(f"    fitting {key} on {n_fit:,} rows")
        models[key] = fit(x_fit, y_fit)
        shapes[key] = tree_shape(models[key])
    # Every quor predictor holds the same tree; the others predict on their own.
    reference = models["quor"].predict_proba(inputs["C"][:1000])
    for key in models:
        if key.startswith("quor"):
            assert np.array_equal(models[key].predict_proba(inputs["C"][:1000]), reference), key
    for model in models.values():  # warm-up
        for method in PREDICT_METHODS:
            getattr(model, method)(inputs["C"][:1000])
    runs = {(key, order, method): [] for key in models for order in ORDERS
            for method in PREDICT_METHODS}
    for repeat in range(repeats):
        for (key, order, method), timings in runs.items():
            wall, cpu = time_call(getattr(models[key], method), inputs[order])
            timings.append({"wall": wall, "cpu": cpu})
        say(f"    prediction run {repeat + 1}/{repeats} (load {fmt_load(os.getloadavg())})")
    entries = {}
    for key, engine, n_threads, _ in predict_entries():
        entries[key] = {"engine": engine, "n_threads": n_threads, "tree": shapes[key]}
        for order in ORDERS:
            for method in PREDICT_METHODS:
                timings = runs[(key, order, method)]
                best = min(timings, key=lambda run: run["wall"])
                entries[key].setdefault(order, {})[method] = {
                    "best_s": best["wall"], "cpu_s": best["cpu"],
                    "runs_s": [run["wall"] for run in timings],
                }
    return {"fit_rows": n_fit, "rows": n_rows, "entries": entries}


# -- memory -------------------------------------------------------------------


def _status_kib(name):
    """A ``/proc/self/status`` value in KiB (VmRSS, VmHWM), or None off Linux."""
    try:
        with open("/proc/self/status") as status:
            for line in status:
                if line.startswith(name + ":"):
                    return int(line.split()[1])
    except OSError:
        pass
    return None


def _reset_peak_rss():
    """Let the kernel's peak RSS restart from the current RSS (Linux >= 4.0)."""
    try:
        with open("/proc/self/clear_refs", "w") as clear_refs:
            clear_refs.write("5")
        return True
    except OSError:
        return False


def _memory_child(task, n_samples, n_features, conn):
    """Runs in a fresh process: peak RSS of a fast-mode fit beyond its inputs."""
    try:
        x, y = make_data(task, n_samples, n_features)
        gc.collect()
        peak_of_data_kib = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
        # The data generator's temporaries are freed but stay in the peak; without
        # this reset they would hide as much of the fit's own memory.
        reset = _reset_peak_rss()
        before_kib = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
        rss_before_kib = _status_kib("VmRSS")
        model = quor_model(task, "fast", FAST_BINS)
        model.fit(x, y)
        after_kib = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
        conn.send({
            "task": task, "n_samples": n_samples, "n_features": n_features,
            "x_bytes": x.nbytes, "y_bytes": y.nbytes,
            "maxrss_after_data_kib": peak_of_data_kib, "peak_reset": reset,
            "maxrss_before_fit_kib": before_kib, "rss_before_fit_kib": rss_before_kib,
            "maxrss_after_fit_kib": after_kib,
            "extra_bytes": (after_kib - before_kib) * 1024,
            "ratio": (after_kib - before_kib) * 1024 / x.nbytes,
        })
    except BaseException as err:  # the parent re-raises it
        conn.send({"error": f"{type(err).__name__}: {err}"})
    finally:
        conn.close()


def measure_memory(task, n_samples, n_features=N_FEATURES):
    """Peak memory of a fast-mode fit beyond x and y, as a fraction of x's size.

    The child comes from a fork server: a process started from ``exec`` (spawn,
    subprocess) inherits its parent's peak RSS in ``ru_maxrss``, while a child
    forked by the small server starts from the server's own.
    """
    return in_fork_server_child(_memory_child, (task, n_samples, n_features),
                                f"memory measurement ({task}, {n_samples})")


def in_fork_server_child(target, args, what):
    """The result that target(*args, conn) sends, run in a child of a fork server.

    The child sends one dict on `conn`; a dict with "error" (or a child that
    dies without sending) raises RuntimeError naming `what`.
    """
    ctx = multiprocessing.get_context("forkserver")
    ctx.set_forkserver_preload(["numpy", "sklearn.datasets", "quor"])
    receive, send = ctx.Pipe(duplex=False)
    child = ctx.Process(target=target, args=(*args, send))
    child.start()
    send.close()
    try:
        result = receive.recv()
    except EOFError:
        result = {"error": "the child process died without a result"}
    child.join()
    if "error" in result:
        raise RuntimeError(f"{what}: {result['error']}")
    return result


# -- the machine --------------------------------------------------------------


def cpu_model():
    try:
        out = subprocess.run(["lscpu"], capture_output=True, text=True, check=True).stdout
        for line in out.splitlines():
            if line.startswith("Model name:"):
                return line.split(":", 1)[1].strip()
    except (OSError, subprocess.CalledProcessError):
        pass
    return platform.processor() or "unknown"


def quor_build():
    """Which quor was measured: the commit, local changes, and the extension file."""
    info = {}
    try:
        git = ["git", "-C", str(REPO)]
        info["commit"] = subprocess.run(git + ["rev-parse", "--short", "HEAD"],
                                        capture_output=True, text=True).stdout.strip()
        dirty = subprocess.run(git + ["status", "--porcelain", "--", "src", "python"],
                               capture_output=True, text=True).stdout.strip()
        info["uncommitted_changes_in_src"] = bool(dirty)
    except OSError:
        pass
    try:
        import quor._quor as core

        path = pathlib.Path(core.__file__)
        info["extension"] = str(path)
        info["extension_sha256"] = hashlib.sha256(path.read_bytes()).hexdigest()[:12]
        info["extension_mtime"] = datetime.datetime.fromtimestamp(
            path.stat().st_mtime).isoformat(timespec="seconds")
    except ImportError as err:
        info["extension"] = f"not importable: {err}"
    return info


def machine_info():
    import sklearn
    import xgboost

    try:
        affinity = len(os.sched_getaffinity(0))
    except AttributeError:
        affinity = os.cpu_count()
    return {
        "cpu": cpu_model(), "cores": os.cpu_count(), "usable_cores": affinity,
        "date": datetime.datetime.now().astimezone().isoformat(timespec="seconds"),
        "python": platform.python_version(), "numpy": np.__version__,
        "sklearn": sklearn.__version__, "xgboost": xgboost.__version__,
        "quor": quor_build(),
    }


# -- one run ------------------------------------------------------------------


def run(sizes=DEFAULT_SIZES, repeats=DEFAULT_REPEATS, strict_max=DEFAULT_STRICT_MAX,
        tasks=TASKS, n_features=N_FEATURES, memory=True, predict_rows=PREDICT_ROWS,
        progress=None):
    """Time every entry on every data set and measure memory; a JSON-able dict."""
    sizes = tuple(sorted(set(int(n) for n in sizes)))
    say = progress or (lambda message: None)
    results = {
        "machine": machine_info(),
        "settings": {
            "sizes": list(sizes), "repeats": repeats, "strict_max": strict_max,
            "n_features": n_features, "n_informative": min(N_INFORMATIVE, n_features),
            "max_depth": MAX_DEPTH, "cv_folds": CV_FOLDS, "fast_bins": FAST_BINS,
            "strict_bins": list(STRICT_BINS), "n_threads": N_THREADS,
            "predict_rows": predict_rows,
        },
        "load_start": list(os.getloadavg()),
        "timings": [],
        "memory": [],
        "prediction": None,
    }
    say(f"load average at start: {fmt_load(results['load_start'])}")
    # Memory first: the child's figures do not depend on the parent, but doing it
    # before the big arrays exist keeps the whole run's footprint small.
    if memory:
        for task in tasks:
            say(f"memory: {task}, {max(sizes):,} x {n_features}, fast mode")
            results["memory"].append(measure_memory(task, max(sizes), n_features))
    for task in tasks:
        for n_samples in sizes:
            say(f"{task}, {n_samples:,} x {n_features} (load {fmt_load(os.getloadavg())})")
            x, y = make_data(task, n_samples, n_features)
            entries = entries_for(task, n_samples, sizes, strict_max)
            timings = time_entries(entries, x, y, repeats, progress=say)
            results["timings"].append({
                "task": task, "n_samples": n_samples, "load": list(os.getloadavg()),
                "entries": timings,
            })
            del x, y
    if predict_rows:
        say(f"prediction: {predict_rows:,} x {n_features} (load {fmt_load(os.getloadavg())})")
        results["prediction"] = time_prediction(predict_rows, repeats, progress=say)
    results["load_end"] = list(os.getloadavg())
    # Another build may replace the extension file while the run goes on; this
    # process keeps the one it loaded, but a report should not claim the new one.
    results["extension_changed_during_run"] = (
        quor_build().get("extension_sha256") != results["machine"]["quor"].get("extension_sha256"))
    results["targets"] = evaluate_targets(results)
    return results


# -- targets ------------------------------------------------------------------


def _best(results, task, n_samples, key):
    for group in results["timings"]:
        if group["task"] == task and group["n_samples"] == n_samples:
            entry = group["entries"].get(key)
            return entry["best_s"] if entry else None
    return None


def evaluate_targets(results):
    """Every target that this run's sizes allow, with its measured ratio."""
    sizes = results["settings"]["sizes"]
    strict_max = results["settings"]["strict_max"]
    tasks = sorted({group["task"] for group in results["timings"]}, key=TASKS.index)
    fast = f"quor fast {FAST_BINS}"
    targets = []

    def add(name, measured, limit, at_most=True):
        if measured is None:
            return
        ok = measured <= limit if at_most else measured >= limit
        targets.append({"target": name, "measured": measured, "limit": limit,
                        "relation": "<=" if at_most else ">=", "pass": ok})

    def ratio(a, b):
        return a / b if a is not None and b else None

    for task in tasks:
        for n in sizes:
            fast_s = _best(results, task, n, fast)
            add(f"{task} {n:,}: fast / scikit-learn", ratio(fast_s, _best(results, task, n,
                "scikit-learn")), FAST_VS_SKLEARN)
            add(f"{task} {n:,}: fast / XGBoost", ratio(fast_s, _best(results, task, n,
                "XGBoost")), FAST_VS_XGBOOST)
            for n_bins, limit in STRICT_VS_SKLEARN.items():
                add(f"{task} {n:,}: strict {n_bins} bins / scikit-learn",
                    ratio(_best(results, task, n, f"quor strict {n_bins}"),
                          _best(results, task, n, "scikit-learn")), limit)
        n_large = max(sizes)
        add(f"{task} {n_large:,}: fast, 1 thread / {N_THREADS} threads",
            ratio(_best(results, task, n_large, fast),
                  _best(results, task, n_large, f"{fast} x{N_THREADS}")),
            MIN_PARALLEL_SPEEDUP, at_most=False)
        n_strict = largest_strict_size(sizes, strict_max)
        if n_strict is not None:
            b = STRICT_PARALLEL_BINS
            add(f"{task} {n_strict:,}: strict {b} bins, 1 thread / {N_THREADS} threads",
                ratio(_best(results, task, n_strict, f"quor strict {b}"),
                      _best(results, task, n_strict, f"quor strict {b} x{N_THREADS}")),
                MIN_PARALLEL_SPEEDUP, at_most=False)
        n_small = min(sizes)
        if n_large > n_small:
            add(f"{task}: fast time at {n_large:,} / at {n_small:,}",
                ratio(_best(results, task, n_large, fast), _best(results, task, n_small, fast)),
                SCALING_SLACK * n_large / n_small)
    for mem in results["memory"]:
        add(f"{mem['task']} {mem['n_samples']:,}: fast-mode peak memory beyond inputs / "
            "size of x", mem["ratio"], MAX_MEMORY_RATIO)
    prediction = results.get("prediction")
    if prediction:
        entries = prediction["entries"]
        rows = f"{prediction['rows']:,}"
        for order in ORDERS:
            for method in PREDICT_METHODS:
                add(f"predict {rows}, {order}: {method} / scikit-learn's",
                    ratio(entries["quor"][order][method]["best_s"],
                          entries["scikit-learn"][order][method]["best_s"]), PREDICT_VS_SKLEARN)
            add(f"predict {rows}, {order}: predict_proba, 1 thread / {N_THREADS} threads",
                ratio(entries["quor"][order]["predict_proba"]["best_s"],
                      entries[f"quor x{N_THREADS}"][order]["predict_proba"]["best_s"]),
                MIN_PARALLEL_SPEEDUP, at_most=False)
    return targets


# -- the report ---------------------------------------------------------------


def fmt_load(load):
    return " ".join(f"{value:.2f}" for value in load)


def fmt_seconds(seconds):
    if seconds is None:
        return "—"
    return f"{seconds:#.3g}" if seconds < 100 else f"{seconds:.0f}"


def fmt_ratio(value):
    return "—" if value is None else f"{value:#.3g}"


def render_table(header, rows, markdown, align=None):
    """A plain-text or Markdown table; ``align`` holds 'l' or 'r' per column."""
    align = align or ["l"] + ["r"] * (len(header) - 1)
    cells = [[str(c) for c in header]] + [[str(c) for c in row] for row in rows]
    if markdown:
        lines = ["| " + " | ".join(cells[0]) + " |",
                 "|" + "|".join("---:" if a == "r" else "---" for a in align) + "|"]
        lines += ["| " + " | ".join(row) + " |" for row in cells[1:]]
        return "\n".join(lines)
    widths = [max(len(row[i]) for row in cells) for i in range(len(header))]

    def line(row):
        return "  ".join(c.rjust(w) if a == "r" else c.ljust(w)
                         for c, w, a in zip(row, widths, align)).rstrip()

    rule = "  ".join("-" * w for w in widths)
    return "\n".join([line(cells[0]), rule] + [line(row) for row in cells[1:]])


def preempted_entries(results):
    """Single-threaded fits whose best run still lost CPU time to other processes."""
    flagged = []
    for group in results["timings"]:
        for key, entry in group["entries"].items():
            if entry["n_threads"] == 1 and entry["cpu_s"] > 0 and \
                    entry["best_s"] > PREEMPTION_FACTOR * entry["cpu_s"]:
                flagged.append((entry["best_s"] / entry["cpu_s"],
                                f"{group['task']} {group['n_samples']:,} {key} (wall "
                                f"{entry['best_s']:.3g} s, cpu {entry['cpu_s']:.3g} s)"))
    return [text for _, text in sorted(flagged, reverse=True)]


def describe_machine(machine, load_start, load_end):
    """Lines that say where and when a run was made, and how busy the machine was."""
    quor_info = machine["quor"]
    build = quor_info.get("commit", "?")
    if quor_info.get("uncommitted_changes_in_src"):
        build += " with uncommitted changes in src/ or python/"
    lines = [
        f"Machine: {machine['cpu']}, {machine['cores']} cores ({machine['usable_cores']} usable); "
        f"{machine['date']}",
        f"Load average (1, 5, 15 min): {fmt_load(load_start)} at start, "
        f"{fmt_load(load_end)} at end",
        f"quor {build} (extension {quor_info.get('extension_sha256', '?')}, built "
        f"{quor_info.get('extension_mtime', '?')}); Python {machine['python']}, "
        f"NumPy {machine['numpy']}, scikit-learn {machine['sklearn']}, "
        f"XGBoost {machine['xgboost']}",
    ]
    if load_start[0] > QUIET_LOAD:
        lines.append(f"NOTE: the machine was not quiet (1-minute load {load_start[0]:.2f} before "
                     "the run started): the figures are noisy.")
    return lines


def format_report(results, markdown=False):
    settings = results["settings"]
    out = []

    def heading(text):
        out.append(f"\n### {text}\n" if markdown else f"\n{text}\n{'=' * len(text)}")

    # Markdown keeps the header lines apart with a trailing double space.
    sep = "  \n" if markdown else "\n"
    header = describe_machine(results["machine"], results["load_start"], results["load_end"])
    header.append(
        f"Data: make_classification / make_regression, {settings['n_features']} features "
        f"({settings['n_informative']} informative), random_state {DATA_SEED}. "
        f"Trees of max_depth {settings['max_depth']}; quor with {settings['cv_folds']} folds, "
        f"threshold splits, mean aggregator. Best of {settings['repeats']} fit(s), seconds.")
    if results.get("extension_changed_during_run"):
        header.append("NOTE: python/quor/_quor.abi3.so was rebuilt during the run; the figures "
                      "are of the extension named above, loaded at the start.")
    out.append(sep.join(header))

    fast = f"quor fast {FAST_BINS}"
    strict = [f"quor strict {b}" for b in STRICT_BINS]
    for task in TASKS:
        groups = [g for g in results["timings"] if g["task"] == task]
        if not groups:
            continue
        heading(f"Fit time, {task}")
        header = ["samples", f"fast {FAST_BINS}"] + [f"strict {b}" for b in STRICT_BINS] + [
            "scikit-learn", "XGBoost", "fast/sklearn", "fast/XGBoost"] + [
            f"strict {b}/sklearn" for b in STRICT_BINS]
        rows = []
        for g in groups:
            best = {key: e["best_s"] for key, e in g["entries"].items()}
            sk, xg = best.get("scikit-learn"), best.get("XGBoost")
            row = [f"{g['n_samples']:,}", fmt_seconds(best.get(fast))]
            row += [fmt_seconds(best.get(k)) for k in strict]
            row += [fmt_seconds(sk), fmt_seconds(xg),
                    fmt_ratio(best[fast] / sk if sk else None),
                    fmt_ratio(best[fast] / xg if xg else None)]
            row += [fmt_ratio(best[k] / sk if k in best and sk else None) for k in strict]
            rows.append(row)
        out.append(render_table(header, rows, markdown))

    rows = []
    for g in results["timings"]:
        for key, e in g["entries"].items():
            if e["n_threads"] > 1:
                single = g["entries"][key.rsplit(" x", 1)[0]]["best_s"]
                rows.append([g["task"], f"{e['mode']} {e['n_bins']}", f"{g['n_samples']:,}",
                             fmt_seconds(single), fmt_seconds(e["best_s"]),
                             fmt_ratio(single / e["best_s"]),
                             fmt_ratio(e["cpu_s"] / e["best_s"])])
    if rows:
        heading(f"Threads: quor with parallel=True, n_threads={N_THREADS}")
        out.append(render_table(["task", "mode, bins", "samples", "1 thread", f"{N_THREADS} threads",
                                 "speed-up", "CPU / wall"], rows, markdown,
                                align=list("llrrrrr")))
        out.append(f"\nCPU / wall of the {N_THREADS}-thread fit: the cores it kept busy on average "
                   f"(at most {N_THREADS}; less when the machine was shared or the work serial).")

    if results["memory"]:
        heading(f"Peak memory of a fast-mode fit ({FAST_BINS} bins) beyond its inputs")
        rows = []
        for m in results["memory"]:
            rows.append([m["task"], f"{m['n_samples']:,} x {m['n_features']}",
                         f"{m['x_bytes'] / 2**20:.1f}", f"{m['extra_bytes'] / 2**20:.1f}",
                         fmt_ratio(m["ratio"])])
        out.append(render_table(["task", "x", "size of x, MiB", "fit peak beyond inputs, MiB",
                                 "ratio"], rows, markdown, align=list("llrrr")))
        if not all(m["peak_reset"] for m in results["memory"]):
            out.append("\nNOTE: the peak RSS could not be reset after the data were made; the "
                       "data generator's temporaries may hide part of the fit's memory.")

    prediction = results.get("prediction")
    if prediction:
        entries = prediction["entries"]
        keys = list(entries)
        heading(f"Prediction: depth-{settings['max_depth']} classification tree fitted on "
                f"{prediction['fit_rows']:,} rows, predicting {prediction['rows']:,} x "
                f"{settings['n_features']}")
        rows = []
        for order in ORDERS:
            for method in PREDICT_METHODS:
                best = {key: entries[key][order][method]["best_s"] for key in keys}
                rows.append([order, method] + [fmt_seconds(best[key]) for key in keys] + [
                    fmt_ratio(best["quor"] / best["scikit-learn"]),
                    fmt_ratio(best["quor"] / best["XGBoost"]),
                    fmt_ratio(best["quor"] / best[f"quor x{N_THREADS}"])])
        out.append(render_table(["order", "method"] + keys + [
            "quor/sklearn", "quor/XGBoost", f"{N_THREADS} threads speed-up"], rows, markdown,
            align=list("ll") + ["r"] * (len(keys) + 3)))
        out.append(f"\nEach engine's public predict_proba / predict, input checks included; "
                   f"quor x{N_THREADS}: QUORClassifier(parallel=True, n_threads={N_THREADS}); "
                   f"quor core: the package tree's native model alone, without the package's checks "
                   f"of X. Trees (depth, leaves): " + "; ".join(
                       f"{key} {tuple(entries[key]['tree'])}" for key in keys
                       if entries[key]["tree"] and key in ("quor", "scikit-learn")) + ".")

    heading("Targets")
    rows = [["PASS" if t["pass"] else "MISS", t["target"], fmt_ratio(t["measured"]),
             f"{t['relation']} {t['limit']:g}"] for t in results["targets"]]
    out.append(render_table(["", "target", "measured", "limit"], rows, markdown,
                            align=list("llrr")))
    passed = sum(t["pass"] for t in results["targets"])
    out.append(f"\n{passed} of {len(results['targets'])} targets met.")
    flagged = preempted_entries(results)
    if flagged:
        n_single = sum(e["n_threads"] == 1 for g in results["timings"]
                       for e in g["entries"].values())
        shown = flagged[:6]
        more = f"; and {len(flagged) - len(shown)} more" if len(flagged) > len(shown) else ""
        out.append(f"\n{len(flagged)} of {n_single} single-threaded entries lost more than "
                   f"{(PREEMPTION_FACTOR - 1) * 100:.0f}% of their best run's wall time to other "
                   "processes (wall > CPU time), the worst first: " + "; ".join(shown) + more + ".")
    return "\n".join(out)


# -- command line -------------------------------------------------------------


def parse_args(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true",
                        help=f"smoke run: sizes {', '.join(f'{n:,}' for n in QUICK_SIZES)}, "
                             f"strict up to {QUICK_STRICT_MAX:,}, 1 repeat")
    parser.add_argument("--sizes", type=int, nargs="+", metavar="N",
                        help="sample counts (default: 200000 1000000)")
    parser.add_argument("--strict-max", type=int, metavar="N",
                        help=f"time strict mode only up to N samples (default {DEFAULT_STRICT_MAX})")
    parser.add_argument("--repeats", type=int, metavar="R",
                        help=f"fits per entry, the best is kept (default {DEFAULT_REPEATS})")
    parser.add_argument("--tasks", nargs="+", choices=TASKS, default=list(TASKS))
    parser.add_argument("--no-memory", action="store_true", help="skip the memory measurement")
    parser.add_argument("--predict-rows", type=int, metavar="N",
                        help=f"rows predicted in the prediction timings, 0 to skip them "
                             f"(default {PREDICT_ROWS:,}; --quick {QUICK_PREDICT_ROWS:,})")
    parser.add_argument("--json", metavar="FILE", help="also write the results as JSON")
    parser.add_argument("--markdown", action="store_true", help="print the tables as Markdown")
    args = parser.parse_args(argv)
    sizes = args.sizes or (QUICK_SIZES if args.quick else DEFAULT_SIZES)
    strict_max = args.strict_max
    if strict_max is None:
        strict_max = QUICK_STRICT_MAX if args.quick else DEFAULT_STRICT_MAX
    repeats = args.repeats or (1 if args.quick else DEFAULT_REPEATS)
    if repeats < 1 or min(sizes) < 10:
        parser.error("--repeats must be at least 1 and every size at least 10")
    if args.predict_rows is None:
        args.predict_rows = QUICK_PREDICT_ROWS if args.quick else PREDICT_ROWS
    if args.predict_rows != 0 and args.predict_rows < 1000:
        parser.error("--predict-rows must be 0 or at least 1000")
    return args, sizes, strict_max, repeats


def main(argv=None):
    args, sizes, strict_max, repeats = parse_args(argv)
    results = run(sizes=sizes, repeats=repeats, strict_max=strict_max, tasks=args.tasks,
                  memory=not args.no_memory, predict_rows=args.predict_rows,
                  progress=lambda message: print(message, file=sys.stderr, flush=True))
    print(format_report(results, markdown=args.markdown))
    if args.json:
        pathlib.Path(args.json).write_text(json.dumps(results, indent=1) + "\n")
    return 0


if __name__ == "__main__":
    sys.exit(main())
