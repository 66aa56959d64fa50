#!/usr/bin/env python3
"""quor's forests against scikit-learn's: held-out scores, fit and predict time, memory.

Three parts, each optional:

- ``quality``: five-fold cross-validation (the folds of ``bench/quality.py``)
  of QUORForestClassifier / QUORForestRegressor with their defaults against
  RandomForest* and ExtraTrees* (100 trees, defaults), all with the same
  ``n_jobs``, on the eighteen data sets of ``bench/quality.py --defaults`` (the
  bundled sets, noisy synthetic ones, interactions, missing values, categorical
  columns; the scikit-learn forests impute missing values and take categorical
  columns one-hot).
- ``speed``: fit and predict time at 200 000 and 1 000 000 × 20 (100 trees,
  ``n_jobs`` 2) against RandomForest*, one thread against two, and the
  pickled size of both forests.
- ``memory``: the peak of a default fit at 1 000 000 × 20 beyond its inputs, in
  a fresh child process, split into the fitted forest and the fit's working
  memory.
- ``resident``: the memory a fitted forest holds per node, quor's against
  RandomForest*'s (10 trees each, 200 000 × 20): each forest is pickled to a
  file and unpickled in a fresh child process, whose resident size grows by
  the forest; that growth over the forest's nodes.

    PYTHONPATH=python /usr/bin/python3 bench/forest.py [--parts quality speed memory resident]
        [--sizes N ...] [--tasks ...] [--trees N] [--quick] [--json FILE]

Progress goes to stderr, the report (Markdown) to stdout.
"""

import argparse
import gc
import json
import math
import os
import pathlib
import pickle
import resource
import sys
import time
import warnings

import numpy as np

import bench
import quality

N_TREES = 100
N_JOBS = 2
SEED = 0
DEFAULT_SIZES = (200_000, 1_000_000)
QUICK_SIZES = (20_000,)
PARTS = ("quality", "speed", "memory", "resident")
RESIDENT_SAMPLES = 200_000
QUICK_RESIDENT_SAMPLES = 20_000
RESIDENT_TREES = 10

# Targets.
QUALITY_WINS = 2 / 3      # share of the data sets where quor's forest scores at least RandomForest's
QUALITY_SLACK = 0.01      # how far behind it may be on the others
FIT_VS_RF = 0.25
PREDICT_VS_RF = 1.0
MIN_THREAD_SPEEDUP = 1.8
MAX_MEMORY_RATIO = 1.0
MAX_BYTES_PER_NODE_VS_RF = 1.0


# -- models -------------------------------------------------------------------


def quor_forest(task, **params):
    from quor import QUORForestClassifier, QUORForestRegressor

    cls = QUORForestClassifier if task == "classification" else QUORForestRegressor
    return cls(n_estimators=N_TREES, n_jobs=N_JOBS, random_state=SEED, **params)


def sklearn_forest(task, kind):
    from sklearn import ensemble

    name = {"random": "RandomForest", "extra": "ExtraTrees"}[kind]
    suffix = "Classifier" if task == "classification" else "Regressor"
    return getattr(ensemble, name + suffix)(n_estimators=N_TREES, n_jobs=N_JOBS, random_state=SEED)


# -- held-out scores ---------------------------------------------------------


def cross_validated(models, quick, say):
    """Five-fold held-out score of every model (name -> maker(task)) on every data set."""
    from sklearn.model_selection import KFold, StratifiedKFold, cross_validate

    rows = []
    for name, half, task, x, y in quality.defaults_datasets(quick):
        splitter = (StratifiedKFold if task == "classification" else KFold)(
            quality.N_FOLDS, shuffle=True, random_state=quality.SEED)
        scoring = "accuracy" if task == "classification" else "r2"
        row = {"dataset": name, "half": half, "task": task, "n_samples": len(y), "n_features": x.shape[1],
               "metric": scoring, "models": {}}
        for model_name, make in models.items():
            say(f"{name}: {model_name}")
            with warnings.catch_warnings():
                warnings.simplefilter("ignore")
                model = make(task)
                if not name_is_quor(model_name):
                    model = quality.for_sklearn(model, x)
                cv = cross_validate(model, x, y, cv=splitter, scoring=scoring,
                                    error_score="raise")
            row["models"][model_name] = {
                "scores": cv["test_score"].tolist(), "mean": float(np.mean(cv["test_score"])),
                "std": float(np.std(cv["test_score"])), "fit_s": float(np.mean(cv["fit_time"]))}
        rows.append(row)
    return rows


def name_is_quor(model_name):
    return model_name.startswith("quor")


QUALITY_MODELS = {
    "quor forest": lambda task: quor_forest(task),
    "RandomForest": lambda task: sklearn_forest(task, "random"),
    "ExtraTrees": lambda task: sklearn_forest(task, "extra"),
}


# -- time ---------------------------------------------------------------------


def timed(call):
    gc.collect()
    gc.disable()
    try:
        start, cpu = time.perf_counter(), time.process_time()
        result = call()
        return result, time.perf_counter() - start, time.process_time() - cpu
    finally:
        gc.enable()


def speed(sizes, tasks, say):
    """Fit and predict times of quor's and scikit-learn's forests, and pickled sizes."""
    out = []
    for task in tasks:
        for n in sizes:
            x, y = bench.make_data(task, n)
            row = {"task": task, "n_samples": n, "load": list(os.getloadavg()), "entries": {}}
            for name, make, jobs in (("quor, 2 threads", lambda: quor_forest(task), N_JOBS),
                                     ("quor, 1 thread", lambda: quor_forest(task, ), 1),
                                     ("RandomForest, 2 threads",
                                      lambda: sklearn_forest(task, "random"), N_JOBS)):
                say(f"{task} {n:,}: {name} (load {bench.fmt_load(os.getloadavg())})")
                model = make()
                model.set_params(n_jobs=jobs)
                # Keep no reference to what the call returned (the fitted
                # model): the next model's fit must not run beside it.
                fit_s, fit_cpu = timed(lambda: model.fit(x, y))[1:]
                entry = {"fit_s": fit_s, "fit_cpu_s": fit_cpu}
                if jobs == N_JOBS:
                    predict_s = timed(lambda: model.predict(x))[1]
                    entry["predict_s"] = predict_s
                    entry["pickle_bytes"] = len(pickle.dumps(model, protocol=pickle.HIGHEST_PROTOCOL))
                    entry["nodes"] = int(forest_nodes(model))
                row["entries"][name] = entry
                del model
                gc.collect()
            out.append(row)
            del x, y
    return out


def forest_nodes(model):
    if hasattr(model, "_forest"):
        return len(model._forest.export_arrays()["is_leaf"])
    return sum(tree.tree_.node_count for tree in model.estimators_)


# -- memory -------------------------------------------------------------------


def _memory_child(task, n_samples, n_trees, conn):
    """In a fresh process: the peak of a default forest fit beyond its inputs."""
    global N_TREES
    N_TREES = n_trees
    try:
        x, y = bench.make_data(task, n_samples)
        gc.collect()
        reset = bench._reset_peak_rss()
        before_kib = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
        rss_before_kib = bench._status_kib("VmRSS")
        model = quor_forest(task)
        model.fit(x, y)
        gc.collect()
        after_kib = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
        rss_after_kib = bench._status_kib("VmRSS")
        conn.send({
            "task": task, "n_samples": n_samples, "x_bytes": x.nbytes, "peak_reset": reset,
            "extra_bytes": (after_kib - before_kib) * 1024,
            # What stays once the fit is over is the fitted forest.
            "forest_bytes": (rss_after_kib - rss_before_kib) * 1024,
            "nodes": int(forest_nodes(model)),
        })
    except BaseException as err:  # the parent re-raises it
        conn.send({"error": f"{type(err).__name__}: {err}"})
    finally:
        conn.close()


def memory(n_samples, tasks, say):
    out = []
    for task in tasks:
        say(f"memory: {task}, {n_samples:,} x {bench.N_FEATURES}")
        out.append(bench.in_fork_server_child(_memory_child, (task, n_samples, N_TREES),
                                              f"memory measurement ({task})"))
    return out


def _resident_child(path, conn):
    """In a fresh process: how much the resident size grows by unpickling ``path``."""
    try:
        import sklearn.ensemble  # noqa: F401 - imported before the measurement, as quor is

        gc.collect()
        before_kib = bench._status_kib("VmRSS")
        data = pathlib.Path(path).read_bytes()
        model = pickle.loads(data)
        # A large bytes object goes back to the system when freed, unless
        # the model's arrays are views of it (then it is their memory).
        del data
        gc.collect()
        after_kib = bench._status_kib("VmRSS")
        conn.send({"bytes": (after_kib - before_kib) * 1024, "nodes": int(forest_nodes(model))})
    except BaseException as err:  # the parent re-raises it
        conn.send({"error": f"{type(err).__name__}: {err}"})
    finally:
        conn.close()


def resident(tasks, say, directory, n_samples=RESIDENT_SAMPLES):
    """Resident bytes per node of quor's and RandomForest's fitted forests."""
    out = []
    for task in tasks:
        x, y = bench.make_data(task, n_samples)
        row = {"task": task, "n_samples": n_samples, "entries": {}}
        for name, make in (("quor", lambda: quor_forest(task)),
                           ("RandomForest", lambda: sklearn_forest(task, "random"))):
            say(f"resident: {task}, {name}, {RESIDENT_TREES} trees")
            model = make().set_params(n_estimators=RESIDENT_TREES).fit(x, y)
            path = pathlib.Path(directory) / f"{task}-{name}.pickle"
            path.write_bytes(pickle.dumps(model, protocol=pickle.HIGHEST_PROTOCOL))
            del model
            gc.collect()
            row["entries"][name] = bench.in_fork_server_child(
                _resident_child, (str(path),), f"resident size ({task}, {name})")
            path.unlink()
        out.append(row)
    return out


# -- report -------------------------------------------------------------------


def score_table(rows, names):
    table = []
    for row in rows:
        best = max(row["models"][name]["mean"] for name in names)
        cells = [row["dataset"], row.get("half", ""), f"{row['n_samples']} × {row['n_features']}",
                 row["metric"]]
        for name in names:
            m = row["models"][name]
            text = f"{m['mean']:.4f} ± {m['std']:.3f}"
            cells.append(f"**{text}**" if m["mean"] == best else text)
        table.append(cells)
    return bench.render_table(["data set", "half", "samples × features", "score"] + names, table,
                              markdown=True, align=list("llll") + ["r"] * len(names))


def targets(results):
    """(passed, description, measured, limit) for every target with a measurement."""
    out = []
    rows = results.get("quality") or []
    if rows:
        diffs = [r["models"]["quor forest"]["mean"] - r["models"]["RandomForest"]["mean"]
                 for r in rows]
        wins = sum(d >= 0 for d in diffs)
        worst = min(diffs)
        need = math.ceil(QUALITY_WINS * len(rows))
        out.append((wins >= need, "held-out score >= RandomForest's: data sets",
                    f"{wins} of {len(rows)}", f">= {need}"))
        out.append((worst >= -QUALITY_SLACK, "largest shortfall against RandomForest",
                    f"{-worst:.4f}" if worst < 0 else "none", f"<= {QUALITY_SLACK}"))
    for row in results.get("speed") or []:
        e = row["entries"]
        quor, one, rf = e["quor, 2 threads"], e["quor, 1 thread"], e["RandomForest, 2 threads"]
        label = f"{row['task']} {row['n_samples']:,}"
        fit = quor["fit_s"] / rf["fit_s"]
        out.append((fit <= FIT_VS_RF, f"{label}: fit / RandomForest's", f"{fit:.3f}",
                    f"<= {FIT_VS_RF}"))
        predict = quor["predict_s"] / rf["predict_s"]
        out.append((predict <= PREDICT_VS_RF, f"{label}: predict / RandomForest's",
                    f"{predict:.3f}", f"<= {PREDICT_VS_RF}"))
        speedup = one["fit_s"] / quor["fit_s"]
        out.append((speedup >= MIN_THREAD_SPEEDUP, f"{label}: fit, 1 thread / 2 threads",
                    f"{speedup:.2f}", f">= {MIN_THREAD_SPEEDUP}"))
    for row in results.get("resident") or []:
        quor, rf = row["entries"]["quor"], row["entries"]["RandomForest"]
        ratio = (quor["bytes"] / quor["nodes"]) / (rf["bytes"] / rf["nodes"])
        out.append((ratio <= MAX_BYTES_PER_NODE_VS_RF,
                    f"{row['task']} {row['n_samples']:,}: resident bytes per node / RandomForest's",
                    f"{ratio:.2f}", f"<= {MAX_BYTES_PER_NODE_VS_RF}"))
    for m in results.get("memory") or []:
        ratio = m["extra_bytes"] / m["x_bytes"]
        out.append((ratio <= MAX_MEMORY_RATIO,
                    f"{m['task']} {m['n_samples']:,}: fit peak beyond inputs / size of x",
                    f"{ratio:.2f}", f"<= {MAX_MEMORY_RATIO}"))
        work = (m["extra_bytes"] - m["forest_bytes"]) / m["x_bytes"]
        out.append((work <= MAX_MEMORY_RATIO,
                    f"{m['task']} {m['n_samples']:,}: the same without the fitted forest",
                    f"{work:.2f}", f"<= {MAX_MEMORY_RATIO}"))
    return out


def format_report(results):
    lines = ["  \n".join(bench.describe_machine(results["machine"], results["load_start"],
                                                results["load_end"]))]
    if results.get("quality"):
        lines += ["", "#### Held-out scores", "",
                  f"Mean ± standard deviation over {quality.N_FOLDS} folds (accuracy, R²); "
                  f"{N_TREES} trees, n_jobs {N_JOBS}, random_state {SEED}, other settings at "
                  "their defaults; the best mean of a row is in bold.", "",
                  score_table(results["quality"], list(QUALITY_MODELS))]
    if results.get("speed"):
        lines += ["", "#### Fit and predict time", "",
                  f"{N_TREES} trees; seconds (wall); predict on the training rows; pickled size "
                  "with the highest protocol.", ""]
        table = []
        for row in results["speed"]:
            for name, e in row["entries"].items():
                table.append([row["task"], f"{row['n_samples']:,}", name, bench.fmt_seconds(e["fit_s"]),
                              f"{e['fit_cpu_s'] / e['fit_s']:.2f}",
                              bench.fmt_seconds(e.get("predict_s")),
                              f"{e['nodes']:,}" if "nodes" in e else "—",
                              f"{e['pickle_bytes'] / 2**20:.1f}" if "pickle_bytes" in e else "—"])
        lines.append(bench.render_table(
            ["task", "samples", "model", "fit s", "CPU / wall", "predict s", "nodes",
             "pickle MiB"], table, markdown=True, align=list("lll") + ["r"] * 5))
    if results.get("memory"):
        lines += ["", "#### Memory of a fit at its largest size", ""]
        table = [[m["task"], f"{m['n_samples']:,} × {bench.N_FEATURES}",
                  f"{m['x_bytes'] / 2**20:.1f}", f"{m['extra_bytes'] / 2**20:.1f}",
                  f"{m['forest_bytes'] / 2**20:.1f}", f"{m['nodes']:,}"]
                 for m in results["memory"]]
        lines.append(bench.render_table(
            ["task", "x", "size of x, MiB", "peak beyond inputs, MiB", "fitted forest, MiB",
             "nodes"], table, markdown=True, align=list("ll") + ["r"] * 4))
    if results.get("resident"):
        lines += ["", "#### Memory of a fitted forest per node", "",
                  f"{RESIDENT_TREES} trees on {results['resident'][0]['n_samples']:,} × "
                  f"{bench.N_FEATURES}, each "
                  "unpickled in a fresh process: the growth of its resident size.", ""]
        table = [[row["task"], name, f"{e['nodes']:,}", f"{e['bytes'] / 2**20:.1f}",
                  f"{e['bytes'] / e['nodes']:.1f}"]
                 for row in results["resident"] for name, e in row["entries"].items()]
        lines.append(bench.render_table(
            ["task", "model", "nodes", "resident MiB", "bytes per node"], table, markdown=True,
            align=list("ll") + ["r"] * 3))
    checks = targets(results)
    if checks:
        lines += ["", "#### Targets", ""]
        lines.append(bench.render_table(
            ["", "target", "measured", "limit"],
            [["PASS" if ok else "MISS", what, measured, limit] for ok, what, measured, limit in checks],
            markdown=True, align=list("ll") + ["r", "r"]))
        lines += ["", f"{sum(ok for ok, *_ in checks)} of {len(checks)} targets met."]
    return "\n".join(lines)


def main(argv=None):
    global N_TREES
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--parts", nargs="+", choices=PARTS, default=list(PARTS))
    parser.add_argument("--sizes", nargs="+", type=int, help="sample counts of the speed part")
    parser.add_argument("--tasks", nargs="+", choices=bench.TASKS, default=list(bench.TASKS))
    parser.add_argument("--quick", action="store_true",
                        help="small data: quality's quick sets, 20 000 samples for speed, memory "
                             "and resident size")
    parser.add_argument("--trees", type=int, default=N_TREES,
                        help=f"trees in every forest (default {N_TREES}; fewer only for a smoke run)")
    parser.add_argument("--json", metavar="FILE", help="also write the results as JSON")
    args = parser.parse_args(argv)
    N_TREES = args.trees
    sizes = tuple(args.sizes or (QUICK_SIZES if args.quick else DEFAULT_SIZES))

    def say(message):
        print(message, file=sys.stderr, flush=True)

    results = {"machine": bench.machine_info(), "load_start": list(os.getloadavg()),
               "sizes": list(sizes)}
    if "memory" in args.parts:  # first, before this process holds large arrays
        results["memory"] = memory(max(sizes), args.tasks, say)
    if "resident" in args.parts:
        import tempfile

        with tempfile.TemporaryDirectory() as directory:
            results["resident"] = resident(args.tasks, say, directory,
                                           QUICK_RESIDENT_SAMPLES if args.quick else RESIDENT_SAMPLES)
    if "quality" in args.parts:
        results["quality"] = cross_validated(QUALITY_MODELS, args.quick, say)
    if "speed" in args.parts:
        results["speed"] = speed(sizes, args.tasks, say)
    results["load_end"] = list(os.getloadavg())
    print(format_report(results))
    if args.json:
        pathlib.Path(args.json).write_text(json.dumps(results, indent=1) + "\n")
    return 0


if __name__ == "__main__":
    sys.exit(main())
