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
from quor import cli
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
        # Odd files and paths.
        (["fit", "{header}"], "'{header}' has no data rows"),
        (["fit", "{dup}"], "'{dup}' names 2 columns 'a' (columns 1, 3); rename all but one"),
        (["fit", "{latin}"], "cannot read '{latin}': it is not UTF-8 text (byte 'e9'"),
        (["fit", "{dir}"], "cannot read '{dir}': Is a directory"),
        (["fit", "{text_first}"], "column 'a' of '{text_first}' is not numeric (line 2: 'red')"),
        (["fit", "{inf_first}"], "column 'a' of '{inf_first}' holds an infinite value (line 3: inf)"),
        (["fit", "{long}"], "column 'text' of '{long}' is not numeric (line 3: '" + "x" * 66
         + "…" + "x" * 33 + "' (100000 characters))"),
        (["fit", "{data}", "--target", "y" * 500], "unknown column '" + "y" * 66 + "…"),
        (["fit", "{data}", "--n-bins", "9" * 5000], "(message of 5"),
        # The weight column.
        (["fit", "{data}", "--weight", "hieght"], "unknown column 'hieght' in 'data.csv' (--weight)"),
        (["fit", "{data}", "--weight", "label"], "--weight names column 'label', which is the target"),
        (["fit", "{text}", "--weight", "size"], "weight column 'size' is not numeric"),
        (["fit", "{data}", "--weight", "width"], "weight column 'width' contains a negative value"),
        # Outputs refused before any work.
        (["fit", "{data}", "--plot", "tree.xyz"], "matplotlib does not write '.xyz' files"),
        (["fit", "{data}", "--dot", "{dir}"], "cannot write --dot '{dir}': it is a directory"),
        (["fit", "{data}", "--dot", "none/t.dot"], "cannot write --dot 'none/t.dot': no directory"),
        (["fit", "{data}", "--dot", "t.png", "--plot", "./t.png", "--force"],
         "--dot and --plot name the same file './t.png'"),
        # Forest settings that the data refuse.
        (["fit", "{data}", "--forest", "--objective-splits", "objective", "--target", "width",
          "--drop", "label"], "--objective-splits applies only to classification"),
        (["fit", "{data}", "--forest", "--max-features", "many"],
         "'max_features' parameter of QUORForestClassifier must be one of 'sqrt', 'log2'"),
        (["fit", "{data}", "--class-weight", "balanced_subsample"],
         "'class_weight' parameter of QUORClassifier must be 'balanced', a dict or None"),
    ],
)
def test_bad_input_gives_one_line_and_a_non_zero_exit(tmp_path, csv, capsys, monkeypatch, args,
                                                      message):
    monkeypatch.chdir(tmp_path)
    table(4).to_csv("data.csv", index=False)
    pd.DataFrame({"size": ["1", "2", "big"], "y": [0, 1, 0]}).to_csv("text.csv", index=False)
    files = {"empty": "", "big": "a,b,y\n99999999999999999999999,1,0\n2,1e309,1\n",
             "header": "a,b,y\n", "dup": "a,b,a,y\n1,2,3,0\n2,3,4,1\n",
             "text_first": "a,b,y\nred,1,0\n1,inf,1\n", "inf_first": "a,b,y\n1,red,0\ninf,1,1\n",
             "long": "n,text,y\n1,2,0\n2," + "x" * 100_000 + ",1\n"}
    for name, text in files.items():
        Path(f"{name}.csv").write_text(text)
    Path("latin.csv").write_bytes("a,y\n1,café\n".encode("latin-1"))
    Path("dir").mkdir()
    paths = {name: f"{name}.csv" for name in [*files, "data", "text", "latin", "missing"]}
    paths["dir"] = "dir"
    before = {path: path.read_bytes() for path in tmp_path.glob("*.csv")}
    status = main([arg.format(**paths) for arg in args])
    err = capsys.readouterr().err
    assert status != 0
    assert err.count("\n") == 1 and err.startswith("quor: error: ")
    assert len(err) <= cli.MESSAGE_CHARS + 20
    assert message.format(**paths) in err
    assert {path: path.read_bytes() for path in tmp_path.glob("*.csv")} == before


@pytest.mark.parametrize("columns, message", [
    ({"width": [1.0]}, "lacks the model's feature column(s): 'id', 'code', 'height'"),
    ({"id": [1], "width": ["wide"], "code": [1], "height": [2.0]},
     "column 'width' of '{path}' is not numeric (line 2: 'wide'); the model was fitted on it "
     "as a numeric column"),
])
def test_predict_refuses_a_file_that_does_not_fit_the_model(tmp_path, csv, capsys, columns,
                                                            message):
    model = str(tmp_path / "m.pkl")
    assert main(["fit", csv(table(5)), "--no-tree", "--test-size", "0", "-o", model]) == 0
    path = csv(pd.DataFrame(columns), "small.csv")
    assert main(["predict", model, path]) == 1
    assert message.format(path=path) in capsys.readouterr().err


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
    assert "5 features" in out and ("colour ==" in out or "colour in {" in out)
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


@pytest.mark.parametrize("text", [
    "\ufeffa,b,y\n1,2,0\n2,3,1\n3,1,0\n",    # a byte-order mark
    "\n\na,b,y\n1,2,0\n2,3,1\n3,1,0\n",     # blank lines before the header
    "a;b;y\r\n1;2;0\r\n2;3;1\r\n3;1;0\r\n",  # Windows line ends, another separator
])
def test_odd_but_valid_files_fit(tmp_path, capsys, text):
    path = tmp_path / "odd.csv"
    path.write_bytes(text.encode("utf-8"))
    assert main(["fit", str(path), "--test-size", "0", "--drop", "a", "--no-tree"]) == 0
    assert "3 rows, 1 features, target 'y'" in capsys.readouterr().out


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


def saved_model(tmp_path, seed=8):
    data = tmp_path / "data.csv"
    table(seed).to_csv(data, index=False)
    model = tmp_path / "m.quor"
    assert main(["fit", str(data), "--no-tree", "--test-size", "0", "-o", str(model)]) == 0
    return str(data), model


@pytest.mark.parametrize("command, option, shown", [
    ("fit", "-o", "--save"), ("fit", "--dot", "--dot"), ("fit", "--plot", "--plot"),
    ("predict", "-o", "--output"), ("demo", "--plot", "--plot"),
])
def test_an_existing_file_is_replaced_only_with_force(tmp_path, capsys, command, option, shown):
    data, model = saved_model(tmp_path)
    target = tmp_path / "out.png"
    target.write_text("precious")
    target.chmod(0o640)
    args = {"fit": ["fit", data, "--no-tree", "--test-size", "0"],
            "predict": ["predict", str(model), data],
            "demo": ["demo", "--folds", "2", "--max-depth", "1"]}[command] + [option, str(target)]
    capsys.readouterr()
    assert main(args) == 1
    out, err = capsys.readouterr()
    # Refused before reading or fitting anything.
    assert (out, err) == ("", f"quor: error: {shown} '{target}' exists; give --force to replace it\n")
    assert target.read_text() == "precious"
    assert main(args + ["--force"]) == 0
    assert target.read_bytes() != b"precious" and target.stat().st_mode & 0o777 == 0o640
    assert sorted(path.name for path in tmp_path.iterdir()) == ["data.csv", "m.quor", "out.png"]


@pytest.mark.parametrize("alias", ["same", "symlink", "hardlink"])
@pytest.mark.parametrize("command, which", [("fit", "data"), ("predict", "data"),
                                            ("predict", "model")])
def test_an_input_is_never_written_over_even_with_force(tmp_path, capsys, alias, command, which):
    data, model = saved_model(tmp_path)
    source = Path(data) if which == "data" else model
    name = tmp_path / "alias"
    if alias == "same":
        name = source
    elif alias == "symlink":
        name.symlink_to(source)
    else:
        os.link(source, name)
    before = source.read_bytes()
    args = (["fit", data, "-o"] if command == "fit" else ["predict", str(model), data, "-o"])
    assert main(args + [str(name), "--force"]) == 1
    assert "quor never writes over its input, even with --force" in capsys.readouterr().err
    assert source.read_bytes() == before


@pytest.mark.parametrize("force", [False, True])
@pytest.mark.parametrize("mishap", ["write fails", "file appears"])
def test_a_write_that_goes_wrong_leaves_the_file_there_whole(tmp_path, capsys, monkeypatch,
                                                             force, mishap):
    data, model = saved_model(tmp_path)
    before = model.read_bytes()
    save = quor.save

    def unlucky(estimator, path):
        if mishap == "write fails":
            Path(path).write_text("partial")
            raise OSError(28, "No space left on device")
        model.write_text("written meanwhile")
        save(estimator, path)

    if mishap == "file appears" or not force:
        model.unlink()
    monkeypatch.setattr(quor, "save", unlucky)
    args = ["fit", data, "--no-tree", "--test-size", "0", "-o", str(model)]
    status = main(args + (["--force"] if force else []))
    err = capsys.readouterr().err
    if mishap == "write fails":
        assert status == 1 and "No space left on device" in err
        assert model.read_bytes() == before if force else not model.exists()
    elif force:  # replaced as asked, in one step
        assert status == 0 and quor.load(model).get_depth() >= 0
    else:
        assert status == 1 and "appeared while quor worked; give --force" in err
        assert model.read_text() == "written meanwhile"
    assert {path.name for path in tmp_path.iterdir()} <= {"data.csv", "m.quor"}


@pytest.mark.parametrize("label, written", [
    ("=HYPERLINK(\"x\")", "'=HYPERLINK(\"x\")"), ("+1+1", "'+1+1"), ("-x", "'-x"),
    ("@SUM(A1)", "'@SUM(A1)"), ("\tq", "'\tq"), ("\r=1", "'\r=1"), ("-inf", "'-inf"),
    ("-1.5", "-1.5"), ("+2e3", "+2e3"), ("-.5", "-.5"), ("a=b", "a=b"), (-3, -3),
])
def test_labels_a_spreadsheet_would_run_are_quoted(label, written):
    assert cli._spreadsheet_safe(label) == written


@pytest.mark.parametrize("labels, lines", [
    (["=1+2", "-1.5"], ["'=1+2", "-1.5"]), ([-1, -2], ["-1", "-2"]),
])
def test_predictions_keep_labels_except_formulas(tmp_path, csv, capsys, labels, lines):
    frame = pd.DataFrame({"x": np.arange(20.0), "y": np.repeat(labels, 10)})
    data, model = csv(frame), str(tmp_path / "m.quor")
    assert main(["fit", data, "--test-size", "0", "--cv-folds", "2", "-o", model]) == 0
    capsys.readouterr()
    assert main(["predict", model, data]) == 0
    assert capsys.readouterr().out.splitlines() == ["prediction"] + list(np.repeat(lines, 10))


def feature_frame_column_by_column(frame, text_columns):
    """The CLI's rule, one column and one cell at a time."""
    out = {}
    for column in frame.columns:
        values = frame[column]
        if values.dtype.kind in "biuf":
            out[column] = values.to_numpy(dtype=np.float64, na_value=np.nan)
            continue
        cells = [cli._as_number(v) for v in values]
        assert column in text_columns or None not in cells
        out[column] = values if None in cells else np.array(cells, dtype=np.float64)
    return pd.DataFrame(out, index=frame.index)


def test_wide_files_are_read_as_column_by_column(tmp_path):
    rng, n = np.random.default_rng(11), 40
    kinds = [lambda: rng.integers(-5, 5, n),
             lambda: np.where(rng.random(n) < 0.2, np.nan, rng.normal(size=n)),
             lambda: rng.choice(["True", "False"], n),
             lambda: rng.choice(["True", "False", ""], n),
             lambda: [str(10**25 + i) for i in range(n)],
             lambda: rng.choice(["1", "2.5", "red", ""], n)]  # text: named categorical
    picks = rng.integers(0, len(kinds), 600)
    columns = {f"c{j}": kinds[k]() for j, k in enumerate(picks)}
    text = [f"c{j}" for j, k in enumerate(picks) if k == len(kinds) - 1]
    columns["y"] = rng.choice(["no", "yes"], n)
    path = tmp_path / "wide.csv"
    pd.DataFrame(columns).to_csv(path, index=False)
    frame = cli._read_csv(str(path)).drop(columns="y")
    expected = feature_frame_column_by_column(frame, set(text))
    pd.testing.assert_frame_equal(cli._feature_frame(frame, str(path), set(text), ""), expected)
    model = tmp_path / "m.quor"
    args = ["fit", str(path), "--categorical", ",".join(text), "--test-size", "0", "-o", str(model)]
    assert main(args) == 0
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        again = QUORClassifier(categorical=text).fit(expected, columns["y"])
    assert repr(quor.load(model).export_tree()) == repr(again.export_tree())


@pytest.mark.parametrize("flags, value", [
    ([], "unset"), (["--cv-shuffle"], True), (["--no-cv-shuffle"], False),
    (["--no-cv-shuffle", "--cv-shuffle"], True),
])
def test_boolean_settings_have_a_flag_and_a_no_flag(flags, value):
    args = cli._build_parser().parse_args(["fit", "data.csv", *flags])
    assert getattr(args, "cv_shuffle", "unset") == value


def test_weight_column_weighs_the_fit_and_is_not_a_feature(tmp_path, csv):
    train = table(6)
    train["w"] = np.random.default_rng(6).choice([0.0, 0.5, 2.0], size=len(train))
    fit = run_module("fit", csv(train), "--target", "label", "--drop", "id", "--weight", "w",
                     "--class-weight", "balanced", "--cv", "3", "-o", "model.quor", cwd=tmp_path)
    assert fit.returncode == 0, fit.stderr
    assert "weights: column 'w'" in fit.stdout and "3-fold cross-validation" in fit.stdout
    features = ["width", "code", "height"]
    expected = QUORClassifier(class_weight="balanced").fit(train[features], train["label"],
                                                           sample_weight=train["w"])
    model = quor.load(tmp_path / "model.quor")
    assert list(model.feature_names_in_) == features
    np.testing.assert_array_equal(model.predict_proba(train[features]),
                                  expected.predict_proba(train[features]))


@pytest.mark.parametrize("task", ["classify", "regress"])
def test_forest_fit_save_predict_round_trip(tmp_path, csv, capsys, task):
    train, new = table(12), table(13, n=40)
    if task == "regress":
        for frame in (train, new):
            frame["label"] = frame["width"] * 2 + frame["code"]
    data, new_data = csv(train), csv(new.drop(columns="label"), "new.csv")
    model = str(tmp_path / "forest.quor")
    args = ["fit", data, "--forest", "--n-estimators", "7", "--random-state", "3",
            "--max-features", "2", "--max-samples", "0.7", "--max-depth", "4", "--oob-score",
            "--drop", "id", "--categorical", "code", "--task", task, "-o", model]
    assert main(args) == 0, capsys.readouterr().err
    out = capsys.readouterr().out
    predict = ["predict", model, new_data] + (["--proba"] if task == "classify" else [])
    assert main(predict) == 0
    predicted = pd.read_csv(io.StringIO(capsys.readouterr().out))

    features = ["width", "code", "height"]
    Forest = quor.QUORForestClassifier if task == "classify" else quor.QUORForestRegressor
    expected = Forest(n_estimators=7, random_state=3, max_features=2, max_samples=0.7,
                      max_depth=4, oob_score=True, categorical=["code"])
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")  # rows that every tree drew
        expected.fit(train[features], train["label"])
    assert quor.load(model).get_params() == expected.get_params()
    if task == "classify":
        np.testing.assert_array_equal(predicted["prediction"], expected.predict(new[features]))
        np.testing.assert_allclose(predicted[["proba_short", "proba_tall"]],
                                   expected.predict_proba(new[features]))
    else:
        np.testing.assert_allclose(predicted["prediction"], expected.predict(new[features]))
    leaves = [tree.get_n_leaves() for tree in expected.estimators_]
    assert ("forest of 7 trees fitted on all 150 rows in " in out
            and f"leaves a tree (mean {np.mean(leaves):.1f})" in out)
    metric = "accuracy" if task == "classify" else "R^2"
    assert f"out-of-bag {metric} {expected.oob_score_:.4f}" in out
    assert "held out 38 of 150 rows" in out and "|--- " not in out  # no tree printed


@pytest.mark.parametrize("args, message", [
    (["--n-estimators", "5"], "--n-estimators applies only with --forest"),
    (["--oob-score"], "--oob-score applies only with --forest"),
    (["--forest", "--parallel"], "--parallel does not apply with --forest (a forest grows one "
     "tree per thread: see --n-jobs)"),
    (["--forest", "--n-threads", "2"], "--n-threads does not apply with --forest"),
    (["--forest", "--dot", "t.dot"], "--dot shows one tree and --forest fits many: save the "
     "forest (--save MODEL), then in Python take one of its trees, tree = "
     "quor.load(MODEL).estimators_[i], and call quor.export_graphviz(tree)"),
    (["--forest", "--plot", "t.png"], "and call quor.plot_tree(tree)"),
    (["--forest", "--tree-depth", "2"], "and call quor.export_text(tree, max_depth=...)"),
])
def test_flags_that_do_not_go_with_forest_are_refused_before_any_work(tmp_path, capsys,
                                                                      monkeypatch, args, message):
    monkeypatch.chdir(tmp_path)
    # The data file does not exist: the flags are refused before it is read.
    assert main(["fit", "absent.csv", *args]) == cli.EXIT_USAGE
    out, err = capsys.readouterr()
    assert out == "" and err.count("\n") == 1
    assert err.startswith("quor: error: ") and message in err
    assert list(tmp_path.iterdir()) == []
