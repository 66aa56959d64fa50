"""The ``python3 -m quor`` command line.

Subcommands:

- ``demo`` (also what runs with no arguments): the breast cancer data that
  ships with scikit-learn, quor's held-out accuracy beside scikit-learn's
  ``DecisionTreeClassifier`` at the same depth, with fit times.
- ``fit DATA.csv``: held-out scores, the tree (or, with ``--forest``, a
  forest's summary), and optionally a saved model.
- ``predict MODEL DATA.csv``: predictions of a saved model for another CSV.

Bad input ends with one line on stderr and a non-zero exit status.  No file
is overwritten unless ``--force`` is given, and none of a command's inputs
ever is: outputs are checked before any long work starts, and written to a
temporary file beside their place that replaces it only once complete.
"""

import argparse
import csv
import difflib
import os
import re
import secrets
import stat
import sys
import time
import warnings

import numpy as np

from . import _params, _weights

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


class _BooleanFlag(argparse.Action):
    """``--name`` sets True, ``--no-name`` False (argparse's own such action needs Python 3.9)."""

    def __init__(self, option_strings, dest, default=None, help=None):
        strings = []
        for option in option_strings:
            strings.append(option)
            if option.startswith("--"):
                strings.append("--no-" + option[2:])
        super().__init__(strings, dest, nargs=0, default=default, help=help)

    def __call__(self, parser, namespace, values, option_string=None):
        setattr(namespace, self.dest, not option_string.startswith("--no-"))

    def format_usage(self):
        return " | ".join(self.option_strings)


# The estimators a setting may go to, as _params.params_of names them.
_KINDS = ("classifier", "regressor", "forest_classifier", "forest_regressor")
_TREE_KINDS, _FOREST_KINDS = _KINDS[:2], _KINDS[2:]


class _Setting:
    """An estimator setting with a flag: its converter, its help, the estimators that take it."""

    def __init__(self, name, cli, text, kinds):
        self.name, self.cli, self.text, self.kinds = name, cli, text, frozenset(kinds)
        self.flag = "--" + name.replace("_", "-")

    def takes(self, kind):
        return kind in self.kinds


def _settings():
    """Every estimator setting that has a flag, trees' first, then the forests' own."""
    found = {}  # name -> {kind: Param}
    for kind in _KINDS:
        for param in _params.params_of(kind):
            if param.cli is not None:
                found.setdefault(param.name, {})[kind] = param
    out = []
    for name, by_kind in found.items():
        trees = []  # one of each text: criterion's differ by task
        for kind in ("regressor", "classifier"):
            if kind in by_kind and all(p.summary != by_kind[kind].summary for p in trees):
                trees.append(by_kind[kind])
        parts = []
        for param in trees:
            summary = _plain(param.summary)
            parts.append(summary if len(trees) == 1 and param.task != "regressor"
                         else f"{'regress' if param.task == 'regressor' else 'classify'}: {summary}")
        summaries = {p.summary for p in trees}
        extra = [by_kind[k] for k in _FOREST_KINDS
                 if k in by_kind and by_kind[k].summary not in summaries]
        if extra:
            parts.append(("forest: " if trees else "") + _plain(extra[0].summary))
        if not set(by_kind) & set(_FOREST_KINDS):
            parts.append("not with --forest")
        out.append(_Setting(name, by_kind[next(iter(by_kind))].cli,
                            "; ".join(parts) + _default_text(by_kind), by_kind))
    return out


def _default_text(by_kind):
    """' (default …)' for the help of a setting: by task when the tasks differ, and
    the forests' when they differ from a single tree's."""
    def of(kinds):
        values = {("classify" if k.endswith("classifier") else "regress"): by_kind[k].default
                  for k in kinds if k in by_kind}
        if len({repr(v) for v in values.values()}) == 1:
            return repr(next(iter(values.values())))
        return ", ".join(f"{v!r} to {task}" for task, v in values.items()) if values else None

    tree, forest = of(_TREE_KINDS), of(_FOREST_KINDS)
    if tree is None or forest is None or tree == forest:
        return f" (default {tree or forest})"
    return f" (default {tree}; with --forest {forest})"


def _plain(text):
    return text.replace("`", "")


def _add_settings(parser):
    settings = _settings()
    trees = parser.add_argument_group(
        "tree settings (see help(quor.QUORClassifier)); with --forest, the settings of each "
        "of its trees")
    forests = parser.add_argument_group(
        "forest settings, with --forest only (see help(quor.QUORForestClassifier))")
    for setting in settings:
        group = trees if setting.kinds & set(_TREE_KINDS) else forests
        if setting.cli == _params.FLAG:
            group.add_argument(setting.flag, dest=setting.name, help=setting.text,
                               default=argparse.SUPPRESS, action=_BooleanFlag)
        else:
            group.add_argument(setting.flag, dest=setting.name, type=setting.cli,
                               help=setting.text, default=argparse.SUPPRESS,
                               metavar=setting.name.split("_")[-1].upper())
    trees.add_argument(
        "--categorical", default=None, metavar="COLUMNS",
        help="comma-separated categorical columns: text columns (values are the categories) "
        "or columns of non-negative integer codes",
    )


def _add_force(parser):
    parser.add_argument(
        "--force", action="store_true",
        help="replace output files that exist (an input file is never written over)",
    )


def _build_parser():
    parser = _Parser(
        prog="python3 -m quor",
        description="Decision trees whose every split is chosen by cross-validation "
        "inside the node. With no command, runs the demo. A file that exists is replaced "
        "only with --force, and an input file never is.",
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
    _add_force(demo)
    demo.set_defaults(run=_run_demo)

    fit = commands.add_parser(
        "fit", help="fit on a CSV file, report held-out scores, print the tree",
        description="Fit a tree (or with --forest a forest) on a CSV file, report its held-out "
        "scores and feature importances, print the tree, and optionally save the model fitted "
        "on all rows. A forest prints a summary of its trees (their number, depths and leaves) "
        "instead of a tree, and refuses --dot, --plot and --tree-depth, which show one tree: "
        "save it and pass one of its trees, quor.load(MODEL).estimators_[i], to "
        "quor.export_graphviz, quor.plot_tree or quor.export_text in Python.",
    )
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
        "--weight", metavar="COLUMN",
        help="column of row weights (numbers, 0 or more; not a feature): the fit weighs each "
        "row by it; the held-out scores are not weighted",
    )
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
    fit.add_argument(
        "--forest", action="store_true",
        help="fit a forest (QUORForestClassifier or QUORForestRegressor) instead of one tree; "
        "the forest settings below apply, and the trees' settings take the forests' defaults "
        "where those differ. Its trees draw rows and features from --random-state (default "
        "None: other draws on every run)",
    )
    fit.add_argument("--no-tree", action="store_true",
                     help="do not print the tree (a forest prints none)")
    fit.add_argument("--tree-depth", type=int,
                     help="print the tree down to this depth only (not with --forest)")
    fit.add_argument("--dot", metavar="FILE",
                     help="write the tree as Graphviz DOT to FILE (not with --forest)")
    fit.add_argument("--plot", metavar="FILE",
                     help="draw the tree to FILE (PNG, SVG or PDF by its extension; matplotlib; "
                     "not with --forest)")
    _add_force(fit)
    _add_settings(fit)
    fit.set_defaults(run=_run_fit, parser=fit)

    predict = commands.add_parser(
        "predict", help="predict a CSV file with a model saved by 'fit --save'",
        description="Predict a CSV file with a model saved by 'fit --save'. Predictions are "
        "written as CSV with labels as they are, except that a text label a spreadsheet "
        "would run as a formula (one that starts with = + - @, a tab or a carriage return, "
        "and is not a number such as -1.5) is written with a single quote (') before it.",
    )
    predict.add_argument("model", help="model file saved by 'fit --save' or quor.save "
                         "(pickles are refused: they can run code)")
    predict.add_argument("data", help="CSV file holding the model's feature columns")
    predict.add_argument("--sep", help="field separator (default: guessed as for fit)")
    predict.add_argument("-o", "--output", help="write the predictions to this CSV file (default stdout)")
    predict.add_argument("--proba", action="store_true", help="add the class probabilities")
    _add_force(predict)
    predict.set_defaults(run=_run_predict)
    return parser


# -- showing the user's text -----------------------------------------------------

SHOWN_CHARS = 100  # of a cell, a name or a path quoted in a message
SHOWN_NAMES = 10   # names listed in a message


def _shown(value):
    """``value`` quoted for a message: its repr, with the middle of a long text cut out."""
    if isinstance(value, np.generic):  # 1.5, not np.float64(1.5)
        value = value.item()
    text = value if isinstance(value, str) else repr(value)
    if len(text) <= SHOWN_CHARS:
        return repr(text) if isinstance(value, str) else text
    head, tail = text[:SHOWN_CHARS * 2 // 3], text[-(SHOWN_CHARS // 3):]
    cut = f"{head}…{tail}"
    return f"{repr(cut) if isinstance(value, str) else cut} ({len(text)} characters)"


def _shown_list(names):
    """Some of ``names`` for a message, each cut, with how many there are in all."""
    names = list(names)
    shown = ", ".join(_shown(name) for name in names[:SHOWN_NAMES])
    return shown if len(names) <= SHOWN_NAMES else f"{shown}, … ({len(names)} in all)"


# -- reading data ----------------------------------------------------------------


def _split_names(text):
    return [name.strip() for name in text.split(",") if name.strip()] if text else []


def _header_line(path):
    """The first non-blank line of a file (pandas' header), or '' for none."""
    try:
        with open(path, newline="", encoding="utf-8-sig", errors="replace") as handle:
            for line in handle:
                if line.strip():
                    return line
    except OSError as err:
        raise CliError(f"cannot read {_shown(path)}: {err.strerror or err}") from None
    return ""


def _separator(path):
    """The field separator of a CSV file, guessed from its header line."""
    # The start of the line is enough to guess from, and sniffing a line of
    # megabytes (a file of a million columns) would take seconds.
    header = _header_line(path)[:1 << 16]
    try:
        return csv.Sniffer().sniff(header, delimiters=",;\t|").delimiter
    except csv.Error:  # one column, or no clue: pandas' default
        return ","


def _read_csv(path, sep=None):
    """The file as pandas reads it, with the separator given or guessed."""
    import pandas as pd

    sep = sep if sep is not None else _separator(path)
    # Whole columns at once: pandas' chunked reading (low_memory) can type
    # one column as numbers in one chunk and text in the next, and spends
    # seconds per hundred thousand columns putting chunks together.  The
    # option exists only for single-character separators (pandas' C parser).
    # The C parser's own float conversion can miss the written value by a
    # unit in the last place; the round-trip one reads back exactly the float
    # that was written, so a model fitted here is the one fitted in Python.
    options = {"low_memory": False, "float_precision": "round_trip"} if len(sep) == 1 else {}
    try:
        frame = pd.read_csv(path, sep=sep, **options)
    except UnicodeDecodeError as err:
        raise CliError(f"cannot read {_shown(path)}: it is not UTF-8 text (byte "
                       f"{err.object[err.start:err.start + 1].hex()!r} cannot be decoded); "
                       "convert it to UTF-8") from None
    except OSError as err:
        raise CliError(f"cannot read {_shown(path)}: {err.strerror or err}") from None
    except (pd.errors.ParserError, pd.errors.EmptyDataError, ValueError) as err:
        raise CliError(f"cannot parse {_shown(path)} as CSV: {_one_line(err)}") from None
    if len(frame) == 0:
        raise CliError(f"{_shown(path)} has no data rows")
    _check_unique_names(path, sep, frame)
    return frame


def _check_unique_names(path, sep, frame):
    """Refuse a header that names two columns alike.

    pandas renames the second 'a' to 'a.1', so that --target a or a model's
    column 'a' would silently pick one of them, and the other could be the
    target again under another name.
    """
    if len(sep) != 1:
        return
    try:
        with open(path, newline="", encoding="utf-8-sig") as handle:
            names = next((row for row in csv.reader(handle, delimiter=sep)
                          if row and not (len(row) == 1 and not row[0].strip())), [])
    except (OSError, UnicodeDecodeError, csv.Error):
        return  # pandas read it; a header the csv module cannot read is not checked
    if len(names) != frame.shape[1]:
        return
    import pandas as pd

    names = pd.Series(names, dtype=object)
    repeated = names[(names != "") & names.duplicated(keep=False)]
    if len(repeated):
        name = repeated.iloc[0]
        places = (repeated.index[repeated == name] + 1).tolist()
        raise CliError(
            f"{_shown(path)} names {len(places)} columns {_shown(name)} (columns "
            f"{', '.join(map(str, places[:SHOWN_NAMES]))}); rename all but one"
        )


def _check_columns(frame, names, path, option):
    """Refuse names (given with ``option``) that are not columns of the frame."""
    unknown = [name for name in names if name not in frame.columns]
    if not unknown:
        return
    columns = [str(column) for column in frame.columns]
    close = difflib.get_close_matches(unknown[0], columns, n=1)
    listed = f"its columns are: {_shown_list(columns)}"
    hint = f"did you mean {_shown(close[0])}? {listed[0].upper()}{listed[1:]}" if close else listed
    raise CliError(f"unknown column {_shown_list(unknown)} in {_shown(path)} ({option}); {hint}")


def _feature_frame(frame, path, text_columns, not_numeric_hint):
    """The feature columns, each numeric, boolean or (if in ``text_columns``) text.

    pandas leaves a column as text when one cell does not parse as its
    type; such a column is read here cell by cell: numbers too large for
    int64 are numbers, True/False with empty cells is a boolean column with
    missing values.  Infinite values are refused with their line.  The work
    is done on all columns at once, so that a file of a million columns
    takes no longer than one of a million rows.
    """
    import pandas as pd

    n_columns = frame.shape[1]
    dtypes = frame.dtypes
    numeric = np.zeros(n_columns, dtype=bool)
    for dtype in set(dtypes):  # the few distinct dtypes, not the columns
        if pd.api.types.is_numeric_dtype(dtype) or pd.api.types.is_bool_dtype(dtype):
            numeric |= (dtypes == dtype).to_numpy()
    if numeric.all():
        numbers = frame.to_numpy(dtype=np.float64, na_value=np.nan)
    else:
        numbers = np.empty(frame.shape, dtype=np.float64)
        numbers[:, numeric] = frame.iloc[:, np.flatnonzero(numeric)].to_numpy(
            dtype=np.float64, na_value=np.nan)
    others = np.flatnonzero(~numeric)
    is_text = np.zeros(n_columns, dtype=bool)
    if len(others):
        cells = frame.iloc[:, others].to_numpy(dtype=object)
        parsed = [_as_number(v) for v in cells.ravel()]
        failed = np.array([v is None for v in parsed], dtype=bool).reshape(cells.shape)
        numbers[:, others] = np.array(parsed, dtype=np.float64).reshape(cells.shape)  # None: NaN
        is_text[others] = failed.any(axis=0)
    named = frame.columns.isin(list(text_columns))
    # Report the leftmost bad column, as a reader going column by column would.
    bad_text = np.flatnonzero(is_text & ~named)
    infinite = np.isinf(numbers)
    infinite[:, is_text] = False
    bad_infinite = np.flatnonzero(infinite.any(axis=0))
    if len(bad_text) and (not len(bad_infinite) or bad_text[0] < bad_infinite[0]):
        j = int(bad_text[0])
        values = frame.iloc[:, j]
        row = next(i for i, v in enumerate(values) if _as_number(v) is None)
        raise CliError(
            f"column {_shown(frame.columns[j])} of {_shown(path)} is not numeric (line "
            f"{row + 2}: {_shown(values.iloc[row])}); {not_numeric_hint}"
        )
    if len(bad_infinite):
        j = int(bad_infinite[0])
        row = int(np.flatnonzero(infinite[:, j])[0])
        raise CliError(f"column {_shown(frame.columns[j])} of {_shown(path)} holds an "
                       f"infinite value (line {row + 2}: {_shown(frame.iloc[row, j])})")
    if not is_text.any():
        return pd.DataFrame(numbers, columns=frame.columns, index=frame.index)
    kept = np.flatnonzero(~is_text)
    text = np.flatnonzero(is_text)
    out = pd.concat([pd.DataFrame(numbers[:, kept], columns=frame.columns[kept], index=frame.index),
                     frame.iloc[:, text]], axis=1)
    return out.iloc[:, np.argsort(np.concatenate([kept, text]), kind="stable")]


def _as_number(value):
    """A cell as a float (bools as 0/1, empty as NaN), or None for text."""
    if isinstance(value, (bool, np.bool_)):
        return float(value)
    try:
        return float(value)
    except (TypeError, ValueError):
        return None


def _guess_task(target):
    import pandas as pd

    if not pd.api.types.is_numeric_dtype(target) or pd.api.types.is_bool_dtype(target):
        return "classify"
    values = target.to_numpy(dtype=np.float64)
    if not np.all(values == np.round(values)) or len(np.unique(values)) > 20:
        return "regress"
    return "classify"


# -- writing files --------------------------------------------------------------


def _stat(path):
    """os.stat of path (through symlinks), or None if nothing is there."""
    try:
        return os.stat(path)
    except (FileNotFoundError, NotADirectoryError):
        return None
    except OSError as err:
        raise CliError(f"cannot write {_shown(path)}: {err.strerror or err}") from None


def _same_file(a, b):
    try:
        return os.path.samefile(a, b)
    except OSError:  # one of them does not exist yet
        return os.path.realpath(a) == os.path.realpath(b)


def _check_outputs(outputs, inputs, force):
    """Refuse, before any work, outputs that would overwrite a file or an input.

    ``outputs`` and ``inputs`` are (option or role, path) pairs; a path of
    None is skipped.  An output may replace an existing file only with
    --force, and never one of the inputs, whatever its name or links.  A
    device or pipe (/dev/null, /dev/stdout) holds nothing to lose and is
    written as it is.
    """
    checked = []
    for option, path in outputs:
        if path is None:
            continue
        info = _stat(path)
        if info is not None and not (stat.S_ISREG(info.st_mode) or stat.S_ISDIR(info.st_mode)):
            continue  # a device or pipe
        for role, source in inputs:
            if source is not None and _same_file(path, source):
                raise CliError(f"{option} {_shown(path)} is the {role} {_shown(source)}; "
                               "quor never writes over its input, even with --force")
        for other_option, other in checked:
            if _same_file(path, other):
                raise CliError(f"{other_option} and {option} name the same file {_shown(path)}")
        checked.append((option, path))
        if info is not None and stat.S_ISDIR(info.st_mode):
            raise CliError(f"cannot write {option} {_shown(path)}: it is a directory")
        if info is not None and stat.S_ISREG(info.st_mode) and not force:
            raise CliError(f"{option} {_shown(path)} exists; give --force to replace it")
        if info is None and os.path.lexists(path) and not force:  # a dangling symlink
            raise CliError(f"{option} {_shown(path)} exists (a broken symbolic link); "
                           "give --force to write through it")
        directory = os.path.dirname(os.path.realpath(path))
        if not os.path.isdir(directory):
            raise CliError(f"cannot write {option} {_shown(path)}: no directory "
                           f"{_shown(directory)}")
        if not os.access(directory, os.W_OK | os.X_OK):
            raise CliError(f"cannot write {option} {_shown(path)}: the directory "
                           f"{_shown(directory)} is not writable")


def _write_output(path, write, force):
    """Write a file through ``write(name)``, so that a failure leaves no part of it.

    ``write`` fills a new file beside the target, which then takes the
    target's place in one step: an existing file is replaced only with
    --force (by then checked by _check_outputs) and otherwise stays as it
    was, even if it appeared while quor worked.  A device or pipe is written
    directly.
    """
    info = _stat(path)
    if info is not None and not stat.S_ISREG(info.st_mode):
        if stat.S_ISDIR(info.st_mode):
            raise CliError(f"cannot write {_shown(path)}: it is a directory")
        _guard_write(path, lambda: write(path))
        return
    target = os.path.realpath(path)  # write through a symlink, not over it
    name = os.path.basename(target)
    temporary = os.path.join(os.path.dirname(target),
                             f".{name[:64]}.{secrets.token_hex(4)}.quor-part")
    try:
        _guard_write(path, lambda: os.close(os.open(
            temporary, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o666)))
        _guard_write(path, lambda: write(temporary))
        _guard_write(path, lambda: _finish(temporary, target, info, force))
    finally:
        if os.path.lexists(temporary):
            os.unlink(temporary)


def _finish(temporary, target, info, force):
    descriptor = os.open(temporary, os.O_RDONLY)
    try:
        os.fsync(descriptor)
    finally:
        os.close(descriptor)
    if info is not None:  # keep the permissions of the file replaced
        os.chmod(temporary, stat.S_IMODE(info.st_mode))
    if force:
        os.replace(temporary, target)
        return
    try:
        os.link(temporary, target)  # fails if the target exists
    except FileExistsError:
        raise CliError(f"{_shown(target)} appeared while quor worked; give --force to "
                       "replace it") from None
    except OSError:  # a file system without hard links
        if os.path.lexists(target):
            raise CliError(f"{_shown(target)} appeared while quor worked; give --force "
                           "to replace it") from None
        os.replace(temporary, target)


def _guard_write(path, step):
    try:
        return step()
    except OSError as err:
        raise CliError(f"cannot write {_shown(path)}: {err.strerror or err}") from None


def _plot_format(path):
    """The image format that matplotlib infers from the extension; refused before the fit."""
    from matplotlib import rcParams
    from matplotlib.backend_bases import FigureCanvasBase

    extension = os.path.splitext(path)[1][1:].lower()
    if not extension:
        return rcParams["savefig.format"]
    known = FigureCanvasBase.get_supported_filetypes()
    if extension not in known:
        raise CliError(f"cannot draw to {_shown(path)}: matplotlib does not write "
                       f"{_shown('.' + extension)} files (it writes "
                       f"{', '.join('.' + name for name in sorted(known))})")
    return extension


_FORMULA_START = ("=", "+", "-", "@", "\t", "\r")
_NUMBER = re.compile(r"[+-]?(\d+\.?\d*|\.\d+)([eE][+-]?\d+)?", re.ASCII)


def _spreadsheet_safe(value):
    """A label as written to CSV: text that a spreadsheet would run as a
    formula gets a single quote before it; numbers (-1.5 too) stay as they are."""
    if isinstance(value, str) and value.startswith(_FORMULA_START) \
            and not _NUMBER.fullmatch(value):
        return "'" + value
    return value


# -- commands -------------------------------------------------------------------


def _collect_settings(args, kind):
    """The settings given on the command line, for the estimator ``kind`` (of _KINDS).

    Whether they go with --forest is checked before (_check_forest_flags);
    here, whether they go with the task the data gave."""
    settings = {}
    for setting in _settings():
        if hasattr(args, setting.name):
            if not setting.takes(kind):
                other = "classification" if kind.endswith("regressor") else "regression"
                raise CliError(f"{setting.flag} applies only to {other}")
            settings[setting.name] = getattr(args, setting.name)
    categorical = _split_names(args.categorical)
    if categorical:
        settings["categorical"] = categorical
    return settings


# What to call in Python instead of each one-tree output of fit.
_ONE_TREE_OUTPUTS = (("--dot", "dot", "quor.export_graphviz(tree)"),
                     ("--plot", "plot", "quor.plot_tree(tree)"),
                     ("--tree-depth", "tree_depth", "quor.export_text(tree, max_depth=...)"))


def _check_forest_flags(parser, args):
    """Refuse, before any work, flags that do not go with --forest, or need it."""
    for setting in _settings():
        if not hasattr(args, setting.name):
            continue
        if args.forest and not setting.kinds & set(_FOREST_KINDS):
            why = (" (a forest grows one tree per thread: see --n-jobs)"
                   if setting.name in _params.FOREST_EXCLUDED else "")
            parser.error(f"{setting.flag} does not apply with --forest{why}")
        if not args.forest and not setting.kinds & set(_TREE_KINDS):
            parser.error(f"{setting.flag} applies only with --forest")
    if args.forest:
        for option, name, call in _ONE_TREE_OUTPUTS:
            if getattr(args, name) is not None:
                parser.error(
                    f"{option} shows one tree and --forest fits many: save the forest "
                    f"(--save MODEL), then in Python take one of its trees, "
                    f"tree = quor.load(MODEL).estimators_[i], and call {call}")


def _pos_label(text, y):
    """The label of y that is written as ``text`` on the command line."""
    labels = [label for label in np.unique(y).tolist() if str(label) == text]
    if not labels:
        # Also let "1" name the label 1.0 of a float target.
        labels = [label for label in np.unique(y).tolist() if _same_number(label, text)]
    if len(labels) != 1:
        raise CliError(f"--pos-label {_shown(text)} is not one of the target's labels")
    return labels[0]


def _same_number(label, text):
    try:
        return float(label) == float(text)
    except (TypeError, ValueError):
        return False


def _metrics(task):
    """(name, metric of (y_true, y_pred), scikit-learn scorer) of each score reported."""
    from sklearn.metrics import accuracy_score, f1_score, mean_absolute_error, r2_score

    if task == "classify":
        return [("accuracy", accuracy_score, "accuracy"),
                ("macro F1", lambda y, p: f1_score(y, p, average="macro"), "f1_macro")]
    return [("R^2", r2_score, "r2"), ("MAE", mean_absolute_error, "neg_mean_absolute_error")]


def _fit_params_keyword(cross_validate):
    """The keyword of ``cross_validate`` that passes arguments to ``fit``: ``params``
    in newer scikit-learn, ``fit_params`` before."""
    import inspect

    return "params" if "params" in inspect.signature(cross_validate).parameters \
        else "fit_params"


def _evaluate(model, X, y, task, args, weights=None):
    """Held-out scores of the model as one line, or None when scoring is off.

    With ``weights``, every fit is weighted by them; the scores are not."""
    from sklearn.base import clone
    from sklearn.model_selection import KFold, StratifiedKFold, cross_validate, train_test_split

    metrics = _metrics(task)
    if args.cv is not None:
        if args.cv < 2:
            raise CliError(f"--cv must be at least 2, got {args.cv}")
        if args.cv > len(y):
            raise CliError(f"--cv {args.cv} exceeds the {len(y)} rows")
        splitter = StratifiedKFold if task == "classify" else KFold
        folds = splitter(n_splits=args.cv, shuffle=True, random_state=args.seed)
        scoring = {name: scorer for name, _, scorer in metrics}
        passed = {} if weights is None else {
            _fit_params_keyword(cross_validate): {"sample_weight": weights}}
        result = cross_validate(model, X, y, cv=folds, scoring=scoring, error_score="raise",
                                **passed)
        parts = []
        for name in scoring:
            values = result["test_" + name] * (-1 if name == "MAE" else 1)
            parts.append(f"{name} {values.mean():.4f} ± {values.std():.4f}")
        return f"{args.cv}-fold cross-validation: " + ", ".join(parts)
    if args.test_size <= 0:
        return None
    if not 0 < args.test_size < 1:
        raise CliError(f"--test-size must be between 0 and 1, got {args.test_size}")
    columns = [X, y] + ([] if weights is None else [weights])
    try:
        split = train_test_split(
            *columns, test_size=args.test_size, random_state=args.seed,
            stratify=y if task == "classify" else None,
        )
    except ValueError:  # a class too small to stratify, or too few rows
        split = train_test_split(*columns, test_size=args.test_size, random_state=args.seed)
    X_train, X_test, y_train, y_test = split[:4]
    if len(y_train) == 0 or len(y_test) == 0:
        raise CliError("too few rows to hold some out; use --test-size 0")
    fitted = clone(model).fit(X_train, y_train, sample_weight=None if weights is None
                              else split[4])
    predicted = fitted.predict(X_test)  # once for every score
    parts = [f"{name} {metric(y_test, predicted):.4f}" for name, metric, _ in metrics]
    return (
        f"held out {len(y_test)} of {len(y)} rows ({args.test_size:g}): " + ", ".join(parts)
    )


def _run_fit(args):
    from . import (QUORClassifier, QUORForestClassifier, QUORForestRegressor, QUORRegressor,
                   export_graphviz, export_text)

    _check_forest_flags(args.parser, args)
    outputs = [("--save", args.save), ("--dot", args.dot), ("--plot", args.plot)]
    _check_outputs(outputs, [("data file", args.data)], args.force)
    plot_format = _plot_format(args.plot) if args.plot else None
    frame = _read_csv(args.data, args.sep)
    target = args.target if args.target is not None else frame.columns[-1]
    dropped = _split_names(args.drop)
    categorical = _split_names(args.categorical)
    _check_columns(frame, [target], args.data, "--target")
    _check_columns(frame, dropped, args.data, "--drop")
    _check_columns(frame, categorical, args.data, "--categorical")
    weight = args.weight
    if weight is not None:
        _check_columns(frame, [weight], args.data, "--weight")
        if weight == target:
            raise CliError(f"--weight names column {_shown(weight)}, which is the target; "
                           "give another column or another --target")
        if weight in dropped or weight in categorical:
            option = "--drop" if weight in dropped else "--categorical"
            raise CliError(f"--weight names column {_shown(weight)}, which {option} names too")
    for name in categorical:
        if name == target or name in dropped:
            role = "the target" if name == target else "dropped by --drop"
            raise CliError(f"--categorical names column {_shown(name)}, which is {role}, "
                           "not a feature")
    y_column = frame[target]
    if y_column.isna().any():
        raise CliError(f"target column {_shown(target)} has {int(y_column.isna().sum())} "
                       "missing values")
    weights = None if weight is None else _weight_column(frame[weight], weight)
    features = frame.drop(columns=[target] + ([] if weight is None else [weight]) + dropped)
    if features.shape[1] == 0:
        raise CliError(f"{_shown(args.data)} has no feature columns besides the target")
    X = _feature_frame(features, args.data, set(categorical),
                       "name it in --categorical to use its values as categories")

    import pandas as pd

    task = _guess_task(y_column) if args.task == "auto" else args.task
    if task == "regress" and not pd.api.types.is_numeric_dtype(y_column):
        raise CliError(f"target column {_shown(target)} is not numeric; use --task classify")
    y = y_column.to_numpy()
    kind = ("forest_" if args.forest else "") + ("classifier" if task == "classify"
                                                 else "regressor")
    settings = _collect_settings(args, kind)
    if "pos_label" in settings:
        settings["pos_label"] = _pos_label(settings["pos_label"], y)
    estimator = {"classifier": QUORClassifier, "regressor": QUORRegressor,
                 "forest_classifier": QUORForestClassifier,
                 "forest_regressor": QUORForestRegressor}[kind]
    model = estimator(**settings)

    detail = f"{len(np.unique(y))} classes" if task == "classify" else "regression"
    print(f"data: {args.data}, {len(y)} rows, {X.shape[1]} features, "
          f"target {_shown(target)} ({task}, {detail})")
    if weight is not None:
        print(f"weights: column {_shown(weight)}, {np.count_nonzero(weights)} rows weigh more "
              "than 0")
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        summary = _evaluate(model, X, y, task, args, weights)
        start = time.perf_counter()
        model.fit(X, y, sample_weight=weights)
        seconds = time.perf_counter() - start
    for message in sorted({_one_line(w.message) for w in caught}):
        print(f"note: {message}", file=sys.stderr)
    if summary:
        print(summary)
    if args.forest:
        print(_forest_summary(model, len(y), seconds))
        if model.oob_score:
            metric = "accuracy" if task == "classify" else "R^2"
            print(f"out-of-bag {metric} {model.oob_score_:.4f} (each row predicted by the "
                  "trees that did not draw it)")
    else:
        print(f"model fitted on all {len(y)} rows in {seconds:.3f} s: "
              f"depth {model.get_depth()}, {model.get_n_leaves()} leaves")
    print(_importances(model))
    if not args.no_tree and not args.forest:
        print()
        print(export_text(model, max_depth=args.tree_depth), end="")
    if args.dot:
        _write_text(args.dot, export_graphviz(model), args.force)
        print(f"tree written to {args.dot}")
    if args.plot:
        _write_plot(model, args.plot, plot_format, args.tree_depth, args.force)
        print(f"tree drawn to {args.plot}")
    if args.save:
        from . import save

        _write_output(args.save, lambda name: save(model, name), args.force)
        print(f"model saved to {args.save}")
    return 0


def _weight_column(column, name):
    """The weights of ``--weight``: a numeric column without missing values."""
    import pandas as pd

    if not pd.api.types.is_numeric_dtype(column) or pd.api.types.is_bool_dtype(column) \
            or pd.api.types.is_complex_dtype(column):
        raise CliError(f"weight column {_shown(name)} is not numeric")
    if column.isna().any():
        raise CliError(f"weight column {_shown(name)} has {int(column.isna().sum())} missing "
                       "values")
    weights = column.to_numpy(dtype=np.float64)
    bad = _weights.bad_values(weights, f"weight column {_shown(name)}")
    if bad is not None:
        raise CliError(bad)
    if not weights.any():
        raise CliError(f"every row of weight column {_shown(name)} is 0")
    return weights


def _forest_summary(model, n_rows, seconds):
    """One line about a fitted forest: its trees, their depths and leaves."""
    trees = model.estimators_
    depths = np.array([tree.get_depth() for tree in trees])
    leaves = np.array([tree.get_n_leaves() for tree in trees])
    return (f"forest of {len(trees)} trees fitted on all {n_rows} rows in {seconds:.3f} s: "
            f"depth {depths.min()} to {depths.max()} (mean {depths.mean():.1f}), "
            f"{leaves.min()} to {leaves.max()} leaves a tree (mean {leaves.mean():.1f})")


def _importances(model, top=10):
    """The largest importances, one feature a line."""
    values = model.feature_importances_
    names = getattr(model, "feature_names_in_", None)
    # A forest's importances are measured on the rows each tree did not draw,
    # unless its trees drew every row (as quor.save records them).
    where = ("each tree's splits measured on the rows it did not draw"
             if getattr(model, "_out_of_bag_importances", None) is not None
             else "each split scored on the folds that did not choose it")
    order = [i for i in np.argsort(-values, kind="stable") if values[i] > 0][:top]
    if not order:
        return f"feature importances: all 0 (no split gains, {where})"
    shown = {i: _shown_name(names[i]) if names is not None else f"x[{i}]" for i in order}
    width = max(len(name) for name in shown.values())
    lines = [f"feature importances ({where}), top {len(order)}:"]
    lines += [f"  {shown[i]:<{width}}  {values[i]:.4f}" for i in order]
    return "\n".join(lines)


def _shown_name(name):
    name = str(name)
    return name if len(name) <= SHOWN_CHARS else _shown(name)


def _write_plot(model, path, plot_format, max_depth, force):
    from matplotlib.figure import Figure

    from .plot import plot_tree

    depth = model.get_depth() if max_depth is None else min(max_depth + 1, model.get_depth())
    leaves = min(model.get_n_leaves(), 2 ** depth)
    figure = Figure(figsize=(min(40.0, max(6.0, 1.25 * leaves)), max(3.0, 1.2 * (depth + 1))))
    plot_tree(model, max_depth=max_depth, ax=figure.add_axes([0, 0, 1, 1]))
    try:
        _write_output(path, lambda name: figure.savefig(name, format=plot_format, dpi=120),
                      force)
    except ValueError as err:  # what matplotlib cannot draw
        raise CliError(f"cannot draw to {_shown(path)}: {_one_line(err)}") from None


def _write_text(path, text, force):
    def write(name):
        with open(name, "w", encoding="utf-8") as handle:
            handle.write(text)

    _write_output(path, write, force)


def _load_model(path):
    from . import load

    try:
        return load(path)
    except OSError as err:
        raise CliError(f"cannot read {_shown(path)}: {err.strerror or err}") from None
    except ValueError as err:
        raise CliError(str(err)) from None


def _run_predict(args):
    import pandas as pd
    from sklearn.base import is_classifier

    _check_outputs([("--output", args.output)],
                   [("model file", args.model), ("data file", args.data)], args.force)
    model = _load_model(args.model)
    if args.proba and not is_classifier(model):
        raise CliError("--proba needs a classification model")
    frame = _read_csv(args.data, args.sep)
    names = getattr(model, "feature_names_in_", None)
    if names is not None:
        positions = frame.columns.get_indexer(pd.Index(names, dtype=object))
        if (positions < 0).any():
            missing = [names[j] for j in np.flatnonzero(positions < 0)]
            raise CliError(f"{_shown(args.data)} lacks the model's feature column(s): "
                           f"{_shown_list(missing)}")
        frame = frame.iloc[:, positions]
    elif frame.shape[1] != model.n_features_in_:
        raise CliError(
            f"{_shown(args.data)} has {frame.shape[1]} columns but the model expects "
            f"{model.n_features_in_}"
        )
    text_columns = {frame.columns[j] for j, c in enumerate(model.categories_) if c is not None}
    X = _feature_frame(frame, args.data, text_columns,
                       "the model was fitted on it as a numeric column")
    if names is None:
        X = X.to_numpy()
    predictions = model.predict(X)
    if predictions.dtype == object or predictions.dtype.kind == "U":
        predictions = np.array([_spreadsheet_safe(v) for v in predictions], dtype=object)
    result = pd.DataFrame({"prediction": predictions})
    if args.proba:
        proba = model.predict_proba(X)
        for k, label in enumerate(model.classes_):
            result[f"proba_{label}"] = proba[:, k]
    if args.output:
        _write_output(args.output, lambda name: result.to_csv(name, index=False), args.force)
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
    _check_outputs([("--plot", args.plot)], [], args.force)
    plot_format = _plot_format(args.plot) if args.plot else None
    data = load_breast_cancer(as_frame=True)
    X, y = data.data, data.target.map(dict(enumerate(data.target_names)))
    models = [
        # Strict mode re-bins in every node and fold: a few bins are enough there.
        ("quor, strict mode", QUORClassifier(max_depth=args.max_depth, mode="strict", n_bins=8)),
        ("quor, fast mode", QUORClassifier(max_depth=args.max_depth, mode="fast")),
        ("quor, strict, median of folds",
         QUORClassifier(max_depth=args.max_depth, mode="strict", n_bins=8, aggregator="median")),
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
        _write_plot(model, args.plot, plot_format, None, args.force)
        print(f"tree drawn to {args.plot}")
    return 0


# -- entry point ------------------------------------------------------------------


MESSAGE_CHARS = 2000  # the longest error line; quor's own messages stay well below


def _one_line(message):
    return " ".join(str(message).split())


def _error_line(message):
    """An error as one line of bounded length, whatever text it quotes."""
    line = _one_line(message)
    if len(line) > MESSAGE_CHARS:
        line = f"{line[:MESSAGE_CHARS - 100]}… (message of {len(line)} characters cut)"
    return f"quor: error: {line}"


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
        print(_error_line(err), file=sys.stderr)
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
        print(_error_line(f"{kind}{_one_line(err) or type(err).__name__}"), file=sys.stderr)
        return EXIT_ERROR
