"""The python3 -m quor command line."""

import io
import os
import pickle
import warnings
import subprocess
import sys
from pathlib import Path

import numpy as np
import pandas as pd
import pytest

import quor
from quor import QUORClassifier, export_text
from quor.cli import main

PYTHON_DIR = Path(__file__).resolve().parents[2] / "python"


def run_module(*args, cwd):
    env = dict(os.environ, PYTHONPATH=str(PYTHON_DIR))
    return subprocess.run(
        [sys.executable, "-m", "quor", *args], cwd=cwd, env=env, capture_output=True,
        text=True, timeout=120,
    )


def table(seed=0, n=150):
    rng = np.random.default_rng(seed)
    frame = pd.DataFrame({
        "id": np.arange(n),
        "width": rng.normal(size=n),
        "code": rng.integers(0, 3, size=n),
        "height": rng.normal(size=n),
    })
    score = frame["width"] + (frame["code"] == 1) + rng.normal(scale=0.3, size=n)
    frame["label"] = np.where(score > 0.5, "tall", "short")
    frame.loc[::11, "height"] = np.nan
    return frame


@pytest.fixture
def csv(tmp_path):
    def write(frame, name="data.csv"):
        path = tmp_path / name
        frame.to_csv(path, index=False)
        return str(path)
    return write


def test_fit_save_predict_round_trip(tmp_path, csv):
    train, new = table(0), table(1, n=40)
    data, new_data = csv(train), csv(new[["label", "height", "code", "width"]], "new.csv")
    fit = run_module(
        "fit", data, "--target", "label", "--drop", "id", "--categorical", "code",
        "--max-depth", "3", "--cv-folds", "4", "--no-cv-shuffle", "--save", "model.pkl",
        "--test-size", "0.3", cwd=tmp_path,
    )
    assert fit.returncode == 0, fit.stderr
    assert "held out 45 of 150 rows (0.3): accuracy 0." in fit.stdout
    assert "model saved to model.pkl" in fit.stdout
    predict = run_module("predict", "model.pkl", new_data, "--proba", "-o", "out.csv", cwd=tmp_path)
    assert predict.returncode == 0, predict.stderr
    out = pd.read_csv(tmp_path / "out.csv")
    assert list(out.columns) == ["prediction", "proba_short", "proba_tall"]

    features = ["width", "code", "height"]
    expected = QUORClassifier(categorical=["code"], max_depth=3, cv_folds=4, cv_shuffle=False)
    expected.fit(train[features], train["label"])
    np.testing.assert_array_equal(out["prediction"], expected.predict(new[features]))
    np.testing.assert_allclose(out[["proba_short", "proba_tall"]], expected.predict_proba(new[features]))
    model = quor.load(tmp_path / "model.pkl")
    assert model.get_params() == expected.get_params()
    assert "\n\n" + export_text(model) + "model saved to model.pkl\n" in fit.stdout


def test_regression_by_cross_validation_and_predictions_on_stdout(tmp_path, csv, capsys):
    frame = table(2)
    frame["label"] = frame["width"] * 3 + frame["code"]
    data = csv(frame.drop(columns="id"))
    model = str(tmp_path / "reg.pkl")
    assert main(["fit", data, "--cv", "3", "--mode", "fast", "--no-tree", "-o", model]) == 0
    out = capsys.readouterr().out
    assert "target 'label' (regress, regression)" in out
    assert "3-fold cross-validation: R^2 0." in out and "MAE" in out
    assert main(["predict", model, data]) == 0
    predictions = pd.read_csv(io.StringIO(capsys.readouterr().out))
    assert len(predictions) == len(frame)
    assert np.corrcoef(predictions["prediction"], frame["label"])[0, 1] > 0.9


@pytest.mark.parametrize(
    "target, task",
    [(["a", "b"] * 15, "classify"), ([0, 1, 2, 3, 4, 5] * 5, "classify"),
     (np.arange(30) % 20, "classify"), (np.linspace(0, 1, 30), "regress"),
     (np.arange(30) % 21, "regress")],
)
def test_task_is_guessed_from_the_target(csv, capsys, target, task):
    frame = pd.DataFrame({"x": np.arange(30.0), "y": target})
    assert main(["fit", csv(frame), "--test-size", "0", "--no-tree"]) == 0
    assert f"({task}," in capsys.readouterr().out


def test_pos_label_is_read_as_one_of_the_targets_labels(tmp_path, csv, capsys):
    frame = table(3).drop(columns="id")
    frame["label"] = (frame["label"] == "tall").astype(int)
    model = str(tmp_path / "m.pkl")
    args = ["fit", csv(frame), "--objective", "precision", "--pos-label", "0", "--no-tree", "-o", model]
    assert main(args) == 0
    assert quor.load(model).pos_label == 0


@pytest.mark.parametrize(
    "args, message",
    [
        (["fit", "{missing}"], "cannot read '{missing}': No such file or directory"),
        (["fit", "{data}", "--target", "colour"], "unknown column 'colour' in"),
        (["fit", "{data}", "--drop", "nope"], "unknown column 'nope' in"),
        (["fit", "{text}"], "column 'size' of '{text}' is not numeric (line 4: 'big')"),
        (["fit", "{data}", "--mode", "turbo"], "'mode' parameter of QUORClassifier must be one of"),
        (["fit", "{data}", "--n-bins", "-2"], "'n_bins' parameter of QUORClassifier must be an int"),
        (["fit", "{data}", "--n-bins", "many"], "argument --n-bins: invalid int value: 'many'"),
        (["fit", "{data}", "--categorical", "shade"], "unknown column 'shade' in '{data}' "
         "(--categorical); its columns are: 'id', 'width', 'code', 'height', 'label'"),
        (["fit", "{data}", "--categorical", "hieght,width"],
         "unknown column 'hieght' in '{data}' (--categorical); did you mean 'height'?"),
        (["fit", "{data}", "--objective", "f1", "--target", "width", "--drop", "label"],
         "--objective applies only to classification"),
        (["fit", "{data}", "--cv", "1"], "--cv must be at least 2"),
        (["fit", "{empty}"], "cannot parse '{empty}' as CSV"),
        (["fit", "{data}", "--target", "height"], "target column 'height' has 14 missing values"),
        (["predict", "{data}", "{data}"], "{data} is not a quor model file (not JSON)"),
        (["fit", "{big}"], "column 'b' of '{big}' holds an infinite value (line 3: '1e309')"),
        (["fit", "{text}", "--categorical", "y"],
         "--categorical names column 'y', which is the target, not a feature"),
        (["predict", "{missing}", "{data}"], "cannot read '{missing}'"),
        (["frobnicate"], "invalid choice: 'frobnicate'"),
        (["fit"], "the following arguments are required: data"),
    ],
)
def test_bad_input_gives_one_line_and_a_non_zero_exit(tmp_path, csv, capsys, args, message):
    paths = {
        "data": csv(table(4)),
        "text": csv(pd.DataFrame({"size": ["1", "2", "big"], "y": [0, 1, 0]}), "text.csv"),
        "empty": str(tmp_path / "empty.csv"),
        "big": str(tmp_path / "big.csv"),
        "missing": str(tmp_path / "missing.csv"),
    }
    Path(paths["empty"]).write_text("")
    Path(paths["big"]).write_text("a,b,y\n99999999999999999999999,1,0\n2,1e309,1\n")
    status = main([arg.format(**paths) for arg in args])
    err = capsys.readouterr().err
    assert status != 0
    assert err.count("\n") == 1 and err.startswith("quor: error: ")
    assert message.format(**paths) in err


def test_predict_refuses_a_file_without_the_models_columns(tmp_path, csv, capsys):
    model = str(tmp_path / "m.pkl")
    assert main(["fit", csv(table(5)), "--no-tree", "--test-size", "0", "-o", model]) == 0
    status = main(["predict", model, csv(pd.DataFrame({"width": [1.0]}), "small.csv")])
    assert status == 1
    assert "lacks the model's feature column(s): 'id', 'code', 'height'" in capsys.readouterr().err


def test_errors_reach_the_shell_as_one_line_and_exit_status(tmp_path):
    result = run_module("predict", "nope.pkl", "nope.csv", cwd=tmp_path)
    assert result.returncode == 1
    assert result.stderr == "quor: error: cannot read 'nope.pkl': No such file or directory\n"


def test_no_arguments_runs_the_demo_beside_scikit_learn(capsys):
    assert main([]) == 0
    out = capsys.readouterr().out
    assert out.startswith("breast cancer data from scikit-learn: 569 rows, 30 features")
    rows = {line.split("  ")[0]: line for line in out.splitlines() if " ± " in line}
    assert set(rows) == {
        "quor, strict mode", "quor, fast mode", "quor, strict, median of folds",
        "scikit-learn DecisionTreeClassifier",
    }
    for line in rows.values():
        accuracy = float(line.split()[-8])
        assert 0.85 < accuracy <= 1.0
        assert line.endswith(" ms")
    assert "|--- " in out and "depth 4" in out


def test_csv_files_are_read_as_pandas_reads_them(tmp_path, csv, capsys):
    """Separators other than commas, integers beyond int64, booleans with empty
    cells and text columns named as categorical all fit; the plot is drawn."""
    frame = table(6).drop(columns="id")
    frame["colour"] = np.array(["red", "green", "blue"])[frame["code"]]
    frame["huge"] = ["99999999999999999999999"] + [str(i) for i in range(len(frame) - 1)]
    frame["flag"] = np.where(frame["code"] == 2, "True", np.where(frame["code"] == 1, "False", ""))
    frame = frame.drop(columns="code")[["width", "colour", "huge", "flag", "height", "label"]]
    path = tmp_path / "semi.csv"
    frame.to_csv(path, sep=";", index=False)
    plot = tmp_path / "tree.png"
    model = tmp_path / "m.quor"
    args = ["fit", str(path), "--categorical", "colour", "--max-depth", "3", "--plot", str(plot),
            "-o", str(model)]
    assert main(args) == 0, capsys.readouterr().err
    out = capsys.readouterr().out
    assert "5 features" in out and "colour ==" in out
    lines = out.splitlines()
    start = lines.index(next(line for line in lines if line.startswith("feature importances")))
    shown = [line.split() for line in lines[start + 1:] if line.startswith("  ")]
    assert shown and shown[0][0] == "width" and abs(sum(float(v) for _, v in shown) - 1) < 1e-3
    assert plot.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
    fitted = quor.load(model)
    assert fitted.categories_[1].tolist() == ["blue", "green", "red"]
    expected = frame.drop(columns="label").copy()
    expected["huge"] = expected["huge"].astype(float)
    expected["flag"] = expected["flag"].map({"True": 1.0, "False": 0.0})
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        again = QUORClassifier(categorical=["colour"], max_depth=3).fit(expected, frame["label"])
    assert repr(again.export_tree()) == repr(fitted.export_tree())
    tabbed = tmp_path / "tabbed.csv"
    frame.drop(columns="label").to_csv(tabbed, sep="\t", index=False)
    assert main(["predict", str(model), str(tabbed)]) == 0
    predicted = pd.read_csv(io.StringIO(capsys.readouterr().out))["prediction"]
    np.testing.assert_array_equal(predicted, again.predict(expected))


def test_predict_refuses_a_pickle_without_unpickling_it(tmp_path, csv, capsys):
    marker = tmp_path / "ran"

    class Hostile:
        def __reduce__(self):
            return (Path.touch, (marker,))

    model = tmp_path / "model.pkl"
    model.write_bytes(pickle.dumps(Hostile()))
    assert main(["predict", str(model), csv(table(7))]) == 1
    assert "is a pickle, not a quor model file" in capsys.readouterr().err
    assert not marker.exists()
    pickle.loads(model.read_bytes())  # the file really would have run code
    assert marker.exists()
