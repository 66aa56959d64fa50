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
import csv
import sys
import time
import warnings

import numpy as np

from . import _params

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


def _settings():
    """(name, converter, help, classification only) of every estimator setting with a flag."""
    out = {}
    for param in _params.PARAMS:
        if param.cli is None:
            continue
        default = f" (default {param.default!r})" if param.task == "both" else ""
        if param.name in out:  # criterion: one flag for both tasks
            name, cli, text, _ = out[param.name]
            out[param.name] = (name, cli, f"{text}; classify: {_plain(param.summary)}", False)
        else:
            text = param.summary if param.task != "regressor" else f"regress: {param.summary}"
            out[param.name] = (param.name, param.cli, _plain(text) + default,
                               param.task == "classifier")
    return list(out.values())


def _plain(text):
    return text.replace("`", "")


def _add_settings(parser):
    group = parser.add_argument_group("tree settings (see help(quor.QUORClassifier))")
    for name, cli, text, _ in _settings():
        flag = "--" + name.replace("_", "-")
        if cli == _params.FLAG:
            group.add_argument(flag, dest=name, help=text, default=argparse.SUPPRESS,
                               action=argparse.BooleanOptionalAction)
        else:
            group.add_argument(flag, dest=name, type=cli, help=text, default=argparse.SUPPRESS,
                               metavar=name.split("_")[-1].upper())
    group.add_argument(
        "--categorical", default=None, metavar="COLUMNS",
        help="comma-separated categorical columns: text columns (values are the categories) "
        "or columns of non-negative integer codes",
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
    demo.add_argument("--plot", metavar="FILE", help="draw quor's tree to FILE (matplotlib)")
    demo.set_defaults(run=_run_demo)

    fit = commands.add_parser("fit", help="fit on a CSV file, report held-out scores, print the tree")
    fit.add_argument("data", help="CSV file with a header row; empty cells are missing values")
    fit.add_argument("--sep", help="field separator (default: guessed from the header line "
                     "among , ; tab and |)")
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
    fit.add_argument("-o", "--save", metavar="MODEL",
                     help="save the model fitted on all rows (a quor model file, see quor.save)")
    fit.add_argument("--no-tree", action="store_true", help="do not print the tree")
    fit.add_argument("--tree-depth", type=int, help="print the tree down to this depth only")
    fit.add_argument("--dot", metavar="FILE", help="write the tree as Graphviz DOT to FILE")
    fit.add_argument("--plot", metavar="FILE",
                     help="draw the tree to FILE (PNG, SVG or PDF by its extension; matplotlib)")
    _add_settings(fit)
    fit.set_defaults(run=_run_fit)

    predict = commands.add_parser(
        "predict", help="predict a CSV file with a model saved by 'fit --save'"
    )
    predict.add_argument("model", help="model file saved by 'fit --save' or quor.save "
                         "(pickles are refused: they can run code)")
    predict.add_argument("data", help="CSV file holding the model's feature columns")
    predict.add_argument("--sep", help="field separator (default: guessed as for fit)")
    predict.add_argument("-o", "--output", help="write the predictions to this CSV file (default stdout)")
    predict.add_argument("--proba", action="store_true", help="add the class probabilities")
    predict.set_defaults(run=_run_predict)
    return parser


# -- reading data ----------------------------------------------------------------


def _split_names(text):
    return [name.strip() for name in text.split(",") if name.strip()] if text else []


def _separator(path):
    """The field separator of a CSV file, guessed from its first line."""
    try:
        with open(path, newline="", encoding="utf-8", errors="replace") as handle:
            header = handle.readline()
    except OSError as err:
        raise CliError(f"cannot read {path!r}: {err.strerror or err}") from None
    try:
        return csv.Sniffer().sniff(header, delimiters=",;\t|").delimiter
    except csv.Error:  # one column, or no clue: pandas' default
        return ","


def _read_csv(path, sep=None):
    """The file as pandas reads it, with the separator given or guessed."""
    import pandas as pd

    sep = sep if sep is not None else _separator(path)
    try:
        frame = pd.read_csv(path, sep=sep)
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


def _feature_frame(frame, path, text_columns):
    """The feature columns, each numeric, boolean or (if in ``text_columns``) text.

    pandas leaves a column as text when one cell does not parse as its
    type; such a column is read here cell by cell: numbers too large for
    int64 are numbers, True/False with empty cells is a boolean column with
    missing values.  Infinite values are refused with their line.
    """
    import pandas as pd

    out = {}
    for column in frame.columns:
        values = frame[column]
        if not (pd.api.types.is_numeric_dtype(values) or pd.api.types.is_bool_dtype(values)):
            converted = _cells_as_numbers(values)
            if converted is None:
                if column in text_columns:
                    out[column] = values
                    continue
                row = next(i for i, v in enumerate(values) if _as_number(v) is None)
                raise CliError(
                    f"column {column!r} of {path!r} is not numeric (line {row + 2}: "
                    f"{values.iloc[row]!r}); name it in --categorical to use its values "
                    "as categories"
                )
            values = converted
        numbers = values.to_numpy(dtype=np.float64, na_value=np.nan)
        infinite = np.flatnonzero(np.isinf(numbers))
        if len(infinite):
            row = int(infinite[0])
            raise CliError(f"column {column!r} of {path!r} holds an infinite value "
                           f"(line {row + 2}: {frame[column].iloc[row]!r})")
        out[column] = numbers
    return pd.DataFrame(out, index=frame.index)


def _as_number(value):
    """A cell as a float (bools as 0/1, empty as NaN), or None for text."""
    if isinstance(value, (bool, np.bool_)):
        return float(value)
    try:
        return float(value)
    except (TypeError, ValueError):
        return None


def _cells_as_numbers(values):
    """An object column as floats when every cell is a number, a bool or missing; else None."""
    import pandas as pd

    numbers = [_as_number(v) for v in values]
    if any(n is None for n in numbers):
        return None
    return pd.Series(numbers, index=values.index, dtype=np.float64)


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
    settings = {}
    for name, _, _, classify_only in _settings():
        if hasattr(args, name):
            if classify_only and task != "classify":
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

    frame = _read_csv(args.data, args.sep)
    target = args.target if args.target is not None else frame.columns[-1]
    dropped = _split_names(args.drop)
    _check_columns(frame, [target] + dropped, args.data)
    y_column = frame[target]
    if y_column.isna().any():
        raise CliError(f"target column {target!r} has {int(y_column.isna().sum())} missing values")
    features = frame.drop(columns=[target] + dropped)
    if features.shape[1] == 0:
        raise CliError(f"{args.data!r} has no feature columns besides the target")
    X = _feature_frame(features, args.data, set(_split_names(args.categorical)))

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
    print(_importances(model))
    if not args.no_tree:
        print()
        print(export_text(model, max_depth=args.tree_depth), end="")
    if args.dot:
        _write_text(args.dot, export_graphviz(model))
        print(f"tree written to {args.dot}")
    if args.plot:
        _write_plot(model, args.plot, args.tree_depth)
        print(f"tree drawn to {args.plot}")
    if args.save:
        from . import save

        try:
            save(model, args.save)
        except OSError as err:
            raise CliError(f"cannot write {args.save!r}: {err.strerror or err}") from None
        print(f"model saved to {args.save}")
    return 0


def _importances(model, top=10):
    """The largest held-out importances, one feature a line."""
    values = model.feature_importances_
    names = getattr(model, "feature_names_in_", None)
    names = [str(n) for n in names] if names is not None else [f"x[{i}]" for i in range(len(values))]
    order = [i for i in np.argsort(-values, kind="stable") if values[i] > 0][:top]
    if not order:
        return "feature importances: all 0 (the tree is one leaf)"
    width = max(len(names[i]) for i in order)
    lines = [f"feature importances (held-out scores of the splits), top {len(order)}:"]
    lines += [f"  {names[i]:<{width}}  {values[i]:.4f}" for i in order]
    return "\n".join(lines)


def _write_plot(model, path, max_depth):
    from matplotlib.figure import Figure

    from .plot import plot_tree

    depth = model.get_depth() if max_depth is None else min(max_depth + 1, model.get_depth())
    leaves = min(model.get_n_leaves(), 2 ** depth)
    figure = Figure(figsize=(min(40.0, max(6.0, 1.25 * leaves)), max(3.0, 1.2 * (depth + 1))))
    plot_tree(model, max_depth=max_depth, ax=figure.add_axes([0, 0, 1, 1]))
    try:
        figure.savefig(path, dpi=120)
    except OSError as err:
        raise CliError(f"cannot write {path!r}: {err.strerror or err}") from None
    except ValueError as err:  # an extension matplotlib cannot write
        raise CliError(f"cannot draw to {path!r}: {_one_line(err)}") from None


def _write_text(path, text):
    try:
        with open(path, "w", encoding="utf-8") as handle:
            handle.write(text)
    except OSError as err:
        raise CliError(f"cannot write {path!r}: {err.strerror or err}") from None


def _load_model(path):
    from . import load

    try:
        return load(path)
    except OSError as err:
        raise CliError(f"cannot read {path!r}: {err.strerror or err}") from None
    except ValueError as err:
        raise CliError(str(err)) from None


def _run_predict(args):
    import pandas as pd

    from . import QUORClassifier

    model = _load_model(args.model)
    if args.proba and not isinstance(model, QUORClassifier):
        raise CliError("--proba needs a classification model")
    frame = _read_csv(args.data, args.sep)
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
    text_columns = {frame.columns[j] for j, c in enumerate(model.categories_) if c is not None}
    X = _feature_frame(frame, args.data, text_columns)
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
    if args.plot:
        _write_plot(model, args.plot, None)
        print(f"tree drawn to {args.plot}")
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
