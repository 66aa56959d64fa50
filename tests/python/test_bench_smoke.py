"""The benchmark scripts in bench/ still run: tiny data, one repeat, no timing asserted."""

import json
import math
import pathlib
import sys

import pytest

pytest.importorskip("sklearn")
pytest.importorskip("xgboost")

BENCH_DIR = pathlib.Path(__file__).resolve().parents[2] / "bench"
sys.path.insert(0, str(BENCH_DIR))

import bench  # noqa: E402

SIZES = ["1000", "2000"]


def test_bench_command_line_end_to_end(tmp_path, capsys):
    out_json = tmp_path / "bench.json"
    assert bench.main(["--sizes", *SIZES, "--strict-max", "1000", "--repeats", "1",
                       "--predict-rows", "2000", "--json", str(out_json)]) == 0
    report = capsys.readouterr().out
    results = json.loads(out_json.read_text())

    assert [(g["task"], g["n_samples"]) for g in results["timings"]] == [
        (task, int(n)) for task in bench.TASKS for n in SIZES]
    for group in results["timings"]:
        keys = set(group["entries"])
        assert {"quor fast 32", "scikit-learn", "XGBoost"} <= keys
        assert ({"quor strict 8", "quor strict 32", "quor strict 8 x2"} <= keys) == \
            (group["n_samples"] == 1000)
        assert ("quor fast 32 x2" in keys) == (group["n_samples"] == 2000)
        for key, entry in group["entries"].items():
            assert len(entry["runs_s"]) == 1 and math.isfinite(entry["best_s"])
            if entry["engine"] == "quor":
                depth, leaves = entry["tree"]
                assert depth >= 1 and leaves >= 2, key  # the fit grew a tree

    prediction = results["prediction"]
    assert prediction["rows"] == 2000 and prediction["fit_rows"] == 400
    for key, entry in prediction["entries"].items():
        for order in bench.ORDERS:
            for method in bench.PREDICT_METHODS:
                assert math.isfinite(entry[order][method]["best_s"]), (key, order, method)

    # Every target of the full run has its counterpart at these sizes.
    assert len(results["targets"]) == 26
    assert all(math.isfinite(t["measured"]) for t in results["targets"])
    assert [m["task"] for m in results["memory"]] == list(bench.TASKS)
    for mem in results["memory"]:
        assert mem["n_samples"] == 2000 and mem["ratio"] >= 0

    assert "Targets" in report
    assert sum(line.startswith(("PASS", "MISS")) for line in report.splitlines()) == 26
    markdown = bench.format_report(results, markdown=True)
    assert "| PASS |" in markdown or "| MISS |" in markdown


def test_bench_options():
    args, sizes, strict_max, repeats = bench.parse_args(["--quick"])
    assert (sizes, strict_max, repeats) == (bench.QUICK_SIZES, bench.QUICK_STRICT_MAX, 1)
    args, sizes, strict_max, repeats = bench.parse_args([])
    assert (sizes, strict_max, repeats) == ((200_000, 1_000_000), 200_000, 3)
    assert not args.markdown and args.json is None


def test_plot_draws_a_png(tmp_path):
    pytest.importorskip("matplotlib")
    import plot

    data = plot.collect([1000, 2000], repeats=1, strict_max=1000)
    assert set(data["seconds"]["quor strict 32"]) == {"1000"}
    assert set(data["seconds"]["XGBoost"]) == {"1000", "2000"}
    out = tmp_path / "fit_time.png"
    plot.draw(data, out)
    assert out.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"


def test_quality_quick_table():
    import quality

    results = quality.evaluate(quick=True)
    table = quality.format_report(results)
    assert [row["dataset"] for row in results["rows"]] == [
        "iris", "diabetes", "synthetic, flip_y 0.2", "synthetic, noise 50"]
    for row in results["rows"]:
        assert len(row["models"]) == 4
        assert all(len(m["scores"]) == quality.N_FOLDS for m in row["models"].values())
    assert "| iris |" in table
    assert len(results["noise"]) == 3 and all(len(row["models"]) == 3 for row in results["noise"])
    assert "Importance of an added column of pure noise" in table
    [row] = results["imbalanced"]
    assert row["dataset"] == "synthetic, 5% positives" and len(row["models"]) == 8
    assert "F1 of the positive (minority) class" in table


def test_quality_defaults_table_counts_against_both_peers():
    import quality

    results = quality.evaluate_defaults(quick=True)
    assert [(row["dataset"], row["half"]) for row in results["rows"]] == [
        ("diabetes", "A"), ("iris", "B"), ("8 categories, regression", "B")]
    table = quality.format_defaults(results)
    for row in results["rows"]:
        m = row["models"]
        ge = m["quor (defaults)"]["mean"] >= m["scikit-learn (defaults)"]["mean"]
        assert set(m) >= {"quor (defaults)", "scikit-learn (defaults)", "scikit-learn (tuned)"}
        assert f"| {row['dataset']} | {row['half']} | {m['quor (defaults)']['mean']:.3f} |" in table
        row["ge"] = ge
    assert f"- quor (defaults): ≥ default on {sum(r['ge'] for r in results['rows'])} of 3" in table


def test_forest_bench_every_part(tmp_path, capsys):
    import forest

    out_json = tmp_path / "forest.json"
    assert forest.main(["--quick", "--trees", "3", "--sizes", "3000", "--tasks", "regression",
                        "--json", str(out_json)]) == 0
    report = capsys.readouterr().out
    results = json.loads(out_json.read_text())
    assert [(row["dataset"], row["half"]) for row in results["quality"]] == [
        ("diabetes", "A"), ("iris", "B"), ("8 categories, regression", "B")]
    assert all(len(row["models"]) == 3 for row in results["quality"])
    [speed] = results["speed"]
    assert speed["n_samples"] == 3000 and len(speed["entries"]) == 3
    [memory] = results["memory"]
    assert memory["x_bytes"] == 3000 * 20 * 8 and memory["nodes"] > 3
    for heading in ("Held-out scores", "Fit and predict time", "Memory", "Targets"):
        assert heading in report


def test_quality_importance_tables():
    import quality

    results = quality.evaluate_importances(quick=True)
    table = quality.format_importances(results)
    assert len(results["noise_column"]) == 5 and len(results["noise_share"]) == 4
    measures = set(results["recovery"][0]["found"])
    assert {"quor forest", "quor forest (split scores)", "random forest",
            "random forest (permutation)"} <= measures
    assert all(0 <= share <= 1 for row in results["noise_share"] for share in row["shares"].values())
    assert "Share of the top-k columns that are informative" in table
