"""The ``python3 -m quor`` command line.

Subcommands:

- ``demo`` (also what runs with no arguments): the breast cancer data that
  ships with scikit-learn, quor's held-out accuracy beside scikit-learn's
  ``DecisionTreeClassifier`` at the same depth, with fit times.
- ``fit DATA.csv``: held-out scores, the tree, and optionally a saved model.
- ``predict MODEL DATA.csv``: predictions of a saved model for another CSV.

Bad input ends with one line on stderr and a non-zero exit status.
"""

import argparse
import pickle
import sys
import time
import warnings

import numpy as np

__all__ = ["main"]

EXIT_ERROR = 1
EXIT_USAGE = 2


class CliError(Exception):
    """A problem with the user's input, reported as one line."""


class UsageError(CliError):
    """A command line that does not parse."""


class _Parser(argparse.ArgumentParser):
    def error(self, message):
        raise UsageError(f"{message} (see '{self.prog} --help')")


def _max_depth(text):
    if text.lower() == "none":
        return None
    return int(text)


# Estimator settings that the fit command takes as flags: (name, type, help).
_SETTINGS = [
    ("max_depth", _max_depth, "depth limit, or 'none' (default 8)"),
    ("min_samples_split", int, "smallest node that may be split (default 2)"),
    ("min_samples_leaf", int, "smallest child a split may leave (default 1)"),
    ("min_impurity_decrease", float, "a split needs a score above this (default 0.0)"),
    ("n_bins", int, "quantile bins per continuous feature (default 8)"),
    ("cv_folds", int, "folds inside every node (default 5)"),
    ("cv_seed", int, "seed of the fold shuffle (default 42)"),
    ("mode", str, "strict or fast (default strict)"),
    ("split_style", str, "threshold or bin (default threshold)"),
    (
        "aggregator",
        str,
        "mean, median, trimmed_mean, signal_to_noise or mean_minus_lambda_std (default mean)",
    ),
    ("agg_frac", float, "trimmed_mean: fraction trimmed at each end (default 0.2)"),
    ("agg_eps", float, "signal_to_noise: added to the std (default 1e-12)"),
    ("agg_lambda", float, "mean_minus_lambda_std: weight of the std (default 1.0)"),
    ("n_threads", int, "worker threads when --parallel is given (default 1)"),
    ("parallel_min_samples", int, "fast mode: smallest node scored on several threads (default 512)"),
    ("criterion", str, "mse, variance, mae (regress) or gini, entropy (classify)"),
]
_CLASSIFY_SETTINGS = [
    ("objective", str, "classify by a metric: precision, recall, f1, fbeta or accuracy"),
    ("average", str, "binary, micro, macro or weighted (default binary)"),
    ("pos_label", str, "positive class of average=binary (default: the greater label)"),
    ("beta", float, "beta of the fbeta objective (default 1.0)"),
]
_FLAGS = [("cv_shuffle", "shuffle node samples before fold assignment (default yes)"),
          ("parallel", "grow the tree on worker threads, same tree (default no)")]


def _add_settings(parser):
    group = parser.add_argument_group("tree settings (see help(quor.QUORClassifier))")
    for name, kind, text in _SETTINGS + _CLASSIFY_SETTINGS:
        group.add_argument(
            "--" + name.replace("_", "-"), dest=name, type=kind, help=text,
            default=argparse.SUPPRESS, metavar=name.split("_")[-1].upper(),
        )
    for name, text in _FLAGS:
        group.add_argument(
            "--" + name.replace("_", "-"), dest=name, help=text,
            action=argparse.BooleanOptionalAction, default=argparse.SUPPRESS,
        )
    group.add_argument(
        "--categorical", default=None, metavar="COLUMNS",
        help="comma-separated names of categorical columns (non-negative integer codes)",
    )


def _build_parser():
    parser = _Parser(
        prog="python3 -m quor",
        description="Decision trees whose every split is chosen by cross-validation "
        "inside the node. With no command, runs the demo.",
    )
    parser.add_argument(
        "--traceback", action="store_true", help="show the full traceback of an error"
    )
    commands = parser.add_subparsers(dest="command", metavar="COMMAND")

    demo = commands.add_parser(
        "demo", help="breast cancer data: quor beside scikit-learn's DecisionTreeClassifier"
    )
    demo.add_argument("--max-depth", type=int, default=4, help="depth of both trees (default 4)")
    demo.add_argument("--folds", type=int, default=5, help="outer cross-validation folds (default 5)")
    demo.add_argument("--seed", type=int, default=0, help="seed of the outer folds (default 0)")
    demo.set_defaults(run=_run_demo)

    fit = commands.add_parser("fit", help="fit on a CSV file, report held-out scores, print the tree")
    fit.add_argument("data", help="CSV file with a header row; empty cells are missing values")
    fit.add_argument("-t", "--target", help="target column (default: the last column)")
    fit.add_argument(
        "--task", choices=("auto", "classify", "regress"), default="auto",
        help="auto: regress when the target is numeric with fractional values or more "
        "than 20 distinct values, else classify (default auto)",
    )
    fit.add_argument("--drop", metavar="COLUMNS", help="comma-separated columns to ignore")
    fit.add_argument(
        "--test-size", type=float, default=0.25,
        help="fraction of rows held out for scoring; 0 skips scoring (default 0.25)",
    )
    fit.add_argument(
        "--cv", type=int, metavar="K",
        help="score by K-fold cross-validation of the whole model instead "
        "(unrelated to --cv-folds, the folds inside every node)",
    )
    fit.add_argument("--seed", type=int, default=0, help="seed of the held-out split (default 0)")
    fit.add_argument("-o", "--save", metavar="MODEL", help="save the model fitted on all rows (pickle)")
    fit.add_argument("--no-tree", action="store_true", help="do not print the tree")
    fit.add_argument("--tree-depth", type=int, help="print the tree down to this depth only")
    fit.add_argument("--dot", metavar="FILE", help="write the tree as Graphviz DOT to FILE")
    _add_settings(fit)
    fit.set_defaults(run=_run_fit)

    predict = commands.add_parser(
        "predict", help="predict a CSV file with a saved model (load only models you trust)"
    )
    predict.add_argument("model", help="model saved by 'fit --save'")
    predict.add_argument("data", help="CSV file holding the model's feature columns")
    predict.add_argument("-o", "--output", help="write the predictions to this CSV file (default stdout)")
    predict.add_argument("--proba", action="store_true", help="add the class probabilities")
    predict.set_defaults(run=_run_predict)
    return parser


# -- reading data ----------------------------------------------------------------


def _split_names(text):
    return [name.strip() for name in text.split(",") if name.strip()] if text else []


def _read_csv(path):
    import pandas as pd

    try:
        frame = pd.read_csv(path)
    except OSError as err:
        raise CliError(f"cannot read {path!r}: {err.strerror or err}") from None
    except (pd.errors.ParserError, pd.errors.EmptyDataError, UnicodeDecodeError, ValueError) as err:
        raise CliError(f"cannot parse {path!r} as CSV: {_one_line(err)}") from None
    if len(frame) == 0:
        raise CliError(f"{path!r} has no data rows")
    return frame


def _check_columns(frame, names, path):
    unknown = [name for name in names if name not in frame.columns]
    if unknown:
        raise CliError(
            f"unknown column {', '.join(map(repr, unknown))} in {path!r}; "
            f"its columns are: {', '.join(map(str, frame.columns))}"
        )


def _numeric_features(frame, path):
    """The frame's columns as float64, refusing any that hold text."""
    import pandas as pd

    for column in frame.columns:
        if pd.api.types.is_bool_dtype(frame[column]):
            continue
        if not pd.api.types.is_numeric_dtype(frame[column]):
            values = pd.to_numeric(frame[column], errors="coerce")
            bad = np.flatnonzero(values.isna().to_numpy() & frame[column].notna().to_numpy())
            row = int(bad[0]) if len(bad) else 0
            raise CliError(
                f"column {column!r} of {path!r} is not numeric "
                f"(line {row + 2}: {frame[column].iloc[row]!r})"
            )
    return frame.astype(np.float64)


def _guess_task(target):
    import pandas as pd

    if not pd.api.types.is_numeric_dtype(target) or pd.api.types.is_bool_dtype(target):
        return "classify"
    values = target.to_numpy(dtype=np.float64)
    if not np.all(values == np.round(values)) or len(np.unique(values)) > 20:
        return "regress"
    return "classify"


# -- commands -------------------------------------------------------------------


def _collect_settings(args, task):
    settings = {name: getattr(args, name) for name, _, _ in _SETTINGS if hasattr(args, name)}
    settings.update({name: getattr(args, name) for name, _ in _FLAGS if hasattr(args, name)})
    for name, _, _ in _CLASSIFY_SETTINGS:
        if hasattr(args, name):
            if task != "classify":
                raise CliError(f"--{name.replace('_', '-')} applies only to classification")
            settings[name] = getattr(args, name)
    categorical = _split_names(args.categorical)
    if categorical:
        settings["categorical"] = categorical
    return settings


def _pos_label(text, y):
    """The label of y that is written as ``text`` on the command line."""
    labels = [label for label in np.unique(y).tolist() if str(label) == text]
    if not labels:
        # Also let "1" name the label 1.0 of a float target.
        labels = [label for label in np.unique(y).tolist() if _same_number(label, text)]
    if len(labels) != 1:
        raise CliError(f"--pos-label {text!r} is not one of the target's labels")
    return labels[0]


def _same_number(label, text):
    try:
        return float(label) == float(text)
    except (TypeError, ValueError):
        return False


def _scorers(task):
    if task == "classify":
        return {"accuracy": "accuracy", "macro F1": "f1_macro"}
    return {"R^2": "r2", "MAE": "neg_mean_absolute_error"}


def _evaluate(model, X, y, task, args):
    """Held-out scores of the model as one line, or None when scoring is off."""
    from sklearn.base import clone
    from sklearn.model_selection import KFold, StratifiedKFold, cross_validate, train_test_split
    from sklearn.metrics import get_scorer

    scorers = _scorers(task)
    if args.cv is not None:
        if args.cv < 2:
            raise CliError(f"--cv must be at least 2, got {args.cv}")
        if args.cv > len(y):
            raise CliError(f"--cv {args.cv} exceeds the {len(y)} rows")
        splitter = StratifiedKFold if task == "classify" else KFold
        folds = splitter(n_splits=args.cv, shuffle=True, random_state=args.seed)
        result = cross_validate(model, X, y, cv=folds, scoring=scorers, error_score="raise")
        parts = []
        for name in scorers:
            values = result["test_" + name] * (-1 if name == "MAE" else 1)
            parts.append(f"{name} {values.mean():.4f} ± {values.std():.4f}")
        return f"{args.cv}-fold cross-validation: " + ", ".join(parts)
    if args.test_size <= 0:
        return None
    if not 0 < args.test_size < 1:
        raise CliError(f"--test-size must be between 0 and 1, got {args.test_size}")
    try:
        X_train, X_test, y_train, y_test = train_test_split(
            X, y, test_size=args.test_size, random_state=args.seed,
            stratify=y if task == "classify" else None,
        )
    except ValueError:  # a class too small to stratify, or too few rows
        X_train, X_test, y_train, y_test = train_test_split(
            X, y, test_size=args.test_size, random_state=args.seed
        )
    if len(y_train) == 0 or len(y_test) == 0:
        raise CliError("too few rows to hold some out; use --test-size 0")
    fitted = clone(model).fit(X_train, y_train)
    parts = []
    for name, scoring in scorers.items():
        value = get_scorer(scoring)(fitted, X_test, y_test) * (-1 if name == "MAE" else 1)
        parts.append(f"{name} {value:.4f}")
    return (
        f"held out {len(y_test)} of {len(y)} rows ({args.test_size:g}): " + ", ".join(parts)
    )


def _run_fit(args):
    from . import QUORClassifier, QUORRegressor, export_graphviz, export_text

    frame = _read_csv(args.data)
    target = args.target if args.target is not None else frame.columns[-1]
    dropped = _split_names(args.drop)
    _check_columns(frame, [target] + dropped, args.data)
    y_column = frame[target]
    if y_column.isna().any():
        raise CliError(f"target column {target!r} has {int(y_column.isna().sum())} missing values")
    features = frame.drop(columns=[target] + dropped)
    if features.shape[1] == 0:
        raise CliError(f"{args.data!r} has no feature columns besides the target")
    X = _numeric_features(features, args.data)

    import pandas as pd

    task = _guess_task(y_column) if args.task == "auto" else args.task
    if task == "regress" and not pd.api.types.is_numeric_dtype(y_column):
        raise CliError(f"target column {target!r} is not numeric; use --task classify")
    y = y_column.to_numpy()
    settings = _collect_settings(args, task)
    if "pos_label" in settings:
        settings["pos_label"] = _pos_label(settings["pos_label"], y)
    model = QUORClassifier(**settings) if task == "classify" else QUORRegressor(**settings)

    detail = f"{len(np.unique(y))} classes" if task == "classify" else "regression"
    print(f"data: {args.data}, {len(y)} rows, {X.shape[1]} features, "
          f"target {target!r} ({task}, {detail})")
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        summary = _evaluate(model, X, y, task, args)
        start = time.perf_counter()
        model.fit(X, y)
        seconds = time.perf_counter() - start
    for message in sorted({_one_line(w.message) for w in caught}):
        print(f"note: {message}", file=sys.stderr)
    if summary:
        print(summary)
    print(f"model fitted on all {len(y)} rows in {seconds:.3f} s: "
          f"depth {model.get_depth()}, {model.get_n_leaves()} leaves")
    if not args.no_tree:
        print()
        print(export_text(model, max_depth=args.tree_depth), end="")
    if args.dot:
        _write_text(args.dot, export_graphviz(model))
        print(f"tree written to {args.dot}")
    if args.save:
        try:
            with open(args.save, "wb") as handle:
                pickle.dump(model, handle, protocol=pickle.HIGHEST_PROTOCOL)
        except OSError as err:
            raise CliError(f"cannot write {args.save!r}: {err.strerror or err}") from None
        print(f"model saved to {args.save}")
    return 0


def _write_text(path, text):
    try:
        with open(path, "w", encoding="utf-8") as handle:
            handle.write(text)
    except OSError as err:
        raise CliError(f"cannot write {path!r}: {err.strerror or err}") from None


def _load_model(path):
    from . import QUORClassifier, QUORRegressor

    try:
        with open(path, "rb") as handle:
            model = pickle.load(handle)
    except OSError as err:
        raise CliError(f"cannot read {path!r}: {err.strerror or err}") from None
    except Exception:
        raise CliError(f"{path!r} is not a saved quor model") from None
    if not isinstance(model, (QUORClassifier, QUORRegressor)):
        raise CliError(f"{path!r} is not a saved quor model")
    if not hasattr(model, "n_features_in_"):
        raise CliError(f"the model in {path!r} was saved before it was fitted")
    return model


def _run_predict(args):
    import pandas as pd

    from . import QUORClassifier

    model = _load_model(args.model)
    if args.proba and not isinstance(model, QUORClassifier):
        raise CliError("--proba needs a classification model")
    frame = _read_csv(args.data)
    names = getattr(model, "feature_names_in_", None)
    if names is not None:
        missing = [name for name in names if name not in frame.columns]
        if missing:
            raise CliError(
                f"{args.data!r} lacks the model's feature column(s): {', '.join(map(str, missing))}"
            )
        frame = frame[list(names)]
    elif frame.shape[1] != model.n_features_in_:
        raise CliError(
            f"{args.data!r} has {frame.shape[1]} columns but the model expects "
            f"{model.n_features_in_}"
        )
    X = _numeric_features(frame, args.data)
    if names is None:
        X = X.to_numpy()
    result = pd.DataFrame({"prediction": model.predict(X)})
    if args.proba:
        proba = model.predict_proba(X)
        for k, label in enumerate(model.classes_):
            result[f"proba_{label}"] = proba[:, k]
    if args.output:
        _write_text(args.output, result.to_csv(index=False))
    else:
        result.to_csv(sys.stdout, index=False)
    return 0


def _run_demo(args):
    from sklearn.datasets import load_breast_cancer
    from sklearn.model_selection import StratifiedKFold, cross_validate
    from sklearn.tree import DecisionTreeClassifier

    from . import QUORClassifier, export_text

    if args.max_depth < 1:
        raise CliError(f"--max-depth must be at least 1, got {args.max_depth}")
    if args.folds < 2:
        raise CliError(f"--folds must be at least 2, got {args.folds}")
    data = load_breast_cancer(as_frame=True)
    X, y = data.data, data.target.map(dict(enumerate(data.target_names)))
    models = [
        ("quor, strict mode", QUORClassifier(max_depth=args.max_depth)),
        ("quor, fast mode", QUORClassifier(max_depth=args.max_depth, mode="fast")),
        ("quor, strict, median of folds",
         QUORClassifier(max_depth=args.max_depth, aggregator="median")),
        ("scikit-learn DecisionTreeClassifier",
         DecisionTreeClassifier(max_depth=args.max_depth, random_state=0)),
    ]
    folds = StratifiedKFold(n_splits=args.folds, shuffle=True, random_state=args.seed)
    print(f"breast cancer data from scikit-learn: {len(y)} rows, {X.shape[1]} features, "
          f"classes {', '.join(data.target_names)}")
    print(f"held-out scores by {args.folds}-fold stratified cross-validation, "
          f"every tree of depth at most {args.max_depth}")
    print()
    width = max(len(name) for name, _ in models)
    print(f"{'model':<{width}}  {'accuracy':>15}  {'macro F1':>15}  {'fit time':>9}")
    for name, model in models:
        result = cross_validate(model, X, y, cv=folds, scoring=("accuracy", "f1_macro"))
        accuracy, f1 = result["test_accuracy"], result["test_f1_macro"]
        print(f"{name:<{width}}  {accuracy.mean():.4f} ± {accuracy.std():.4f}  "
              f"{f1.mean():.4f} ± {f1.std():.4f}  {result['fit_time'].mean() * 1000:7.1f} ms")
    model = models[0][1].fit(X, y)
    print()
    print(f"quor's tree (strict mode) fitted on all rows: depth {model.get_depth()}, "
          f"{model.get_n_leaves()} leaves")
    print(export_text(model), end="")
    return 0


# -- entry point ------------------------------------------------------------------


def _one_line(message):
    return " ".join(str(message).split())


def main(argv=None):
    """Run the command line; returns the exit status."""
    parser = _build_parser()
    show_traceback = False
    try:
        args = parser.parse_args(argv)
        show_traceback = args.traceback
        if args.command is None:
            args = parser.parse_args(["demo"], namespace=args)
        return args.run(args)
    except CliError as err:
        print(f"quor: error: {_one_line(err)}", file=sys.stderr)
        return EXIT_USAGE if isinstance(err, UsageError) else EXIT_ERROR
    except KeyboardInterrupt:
        return 130
    except BrokenPipeError:
        return EXIT_ERROR
    except SystemExit:
        raise
    except BaseException as err:  # the core's internal errors derive from BaseException
        if show_traceback:
            raise
        kind = "" if isinstance(err, Exception) else "internal error: "
        print(f"quor: error: {kind}{_one_line(err) or type(err).__name__}", file=sys.stderr)
        return EXIT_ERROR
