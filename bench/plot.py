#!/usr/bin/env python3
"""Fit time against sample count, log-log, for quor (fast and strict), scikit-learn
and XGBoost on the classification data of bench.py; saved as bench/fit_time.png.

    PYTHONPATH=python /usr/bin/python3 bench/plot.py [--quick] [--sizes N ...]
        [--repeats R] [--output FILE] [--json FILE]

The timing is bench.py's (same data, same models, best of R round-robin fits).
"""

import argparse
import json
import os
import pathlib
import sys

import bench

HERE = pathlib.Path(__file__).resolve().parent
DEFAULT_SIZES = (25_000, 50_000, 100_000, 200_000, 400_000, 1_000_000)
DEFAULT_STRICT_MAX = 200_000
QUICK_SIZES = (5_000, 10_000, 20_000, 40_000)
QUICK_STRICT_MAX = 20_000
STRICT_BINS = 32
TASK = "classification"

# Curves, in legend order: entry key -> (label, style).
CURVES = {
    f"quor fast {bench.FAST_BINS}": (f"quor fast ({bench.FAST_BINS} bins)", "o-"),
    f"quor strict {STRICT_BINS}": (f"quor strict ({STRICT_BINS} bins)", "s-"),
    "scikit-learn": ("scikit-learn DecisionTreeClassifier", "^-"),
    "XGBoost": (f"XGBoost, 1 tree, hist, {bench.FAST_BINS} bins", "d-"),
}


def collect(sizes, repeats, strict_max, task=TASK, progress=None):
    """Best fit times of every curve at every size; a JSON-able dict."""
    say = progress or (lambda message: None)
    data = {"machine": bench.machine_info(), "task": task, "sizes": list(sizes),
            "repeats": repeats, "strict_max": strict_max, "load_start": list(os.getloadavg()),
            "seconds": {key: {} for key in CURVES}}
    for n_samples in sizes:
        say(f"{task}, {n_samples:,} samples (load {bench.fmt_load(os.getloadavg())})")
        x, y = bench.make_data(task, n_samples)
        entries = [bench.fast_entry(task)]
        if n_samples <= strict_max:
            entries.append(bench.strict_entry(task, STRICT_BINS))
        entries += [bench.sklearn_entry(task), bench.xgboost_entry(task)]
        timings = bench.time_entries(entries, x, y, repeats, progress=say)
        for key, timing in timings.items():
            data["seconds"][key][str(n_samples)] = timing["best_s"]
        del x, y
    data["load_end"] = list(os.getloadavg())
    return data


def short_count(n):
    """25000 -> '25k', 1000000 -> '1M'."""
    for unit, size in (("M", 1_000_000), ("k", 1_000)):
        if n >= size:
            return f"{n / size:g}{unit}"
    return str(n)


def draw(data, output):
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    import matplotlib.ticker

    fig, ax = plt.subplots(figsize=(8, 5.5), dpi=120)
    for key, (label, style) in CURVES.items():
        points = sorted((int(n), s) for n, s in data["seconds"].get(key, {}).items())
        if points:
            ax.plot(*zip(*points), style, label=label, markersize=5)
    # A line of slope 1 through quor fast's first point shows linear scaling.
    fast = sorted((int(n), s) for n, s in data["seconds"][f"quor fast {bench.FAST_BINS}"].items())
    if len(fast) > 1:
        (n0, s0), n1 = fast[0], fast[-1][0]
        ax.plot([n0, n1], [s0, s0 * n1 / n0], ":", color="gray", label="linear in n (from fast)")
    ax.set_xscale("log")
    ax.set_yscale("log")
    ax.set_xticks(data["sizes"], [short_count(n) for n in data["sizes"]])
    ax.xaxis.set_minor_locator(matplotlib.ticker.NullLocator())
    ax.set_xlabel("samples (20 features)")
    ax.set_ylabel("fit time, seconds (best of %d)" % data["repeats"])
    ax.set_title(f"Fit time, {data['task']}, max_depth {bench.MAX_DEPTH}, single thread")
    ax.grid(True, which="both", alpha=0.3)
    ax.legend(fontsize=8)
    machine = data["machine"]
    quor_info = machine["quor"]
    note = (f"{machine['cpu']}, {machine['cores']} cores, {machine['date']}; load "
            f"{bench.fmt_load(data['load_start'])} / {bench.fmt_load(data['load_end'])} "
            f"(start / end); quor {quor_info.get('commit', '?')}"
            f"{'+local changes' if quor_info.get('uncommitted_changes_in_src') else ''}")
    fig.text(0.01, 0.01, note, fontsize=6.5, color="dimgray")
    fig.tight_layout(rect=(0, 0.03, 1, 1))
    fig.savefig(output)
    plt.close(fig)


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true", help="small sizes, 1 repeat")
    parser.add_argument("--sizes", type=int, nargs="+", metavar="N")
    parser.add_argument("--strict-max", type=int, metavar="N",
                        help=f"strict mode only up to N samples (default {DEFAULT_STRICT_MAX})")
    parser.add_argument("--repeats", type=int, metavar="R",
                        help=f"fits per point, the best is kept (default {bench.DEFAULT_REPEATS})")
    parser.add_argument("--output", default=str(HERE / "fit_time.png"), metavar="FILE")
    parser.add_argument("--json", metavar="FILE", help="also write the times as JSON")
    args = parser.parse_args(argv)
    sizes = sorted(set(args.sizes or (QUICK_SIZES if args.quick else DEFAULT_SIZES)))
    strict_max = args.strict_max or (QUICK_STRICT_MAX if args.quick else DEFAULT_STRICT_MAX)
    repeats = args.repeats or (1 if args.quick else bench.DEFAULT_REPEATS)
    data = collect(sizes, repeats, strict_max,
                   progress=lambda message: print(message, file=sys.stderr, flush=True))
    draw(data, args.output)
    if args.json:
        pathlib.Path(args.json).write_text(json.dumps(data, indent=1) + "\n")
    print(f"wrote {args.output}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
