"""Model files that run no code: :func:`save` and :func:`load`.

A model file is one JSON document (as Python's ``json`` module writes it, so
non-finite floats appear as ``NaN``, ``Infinity`` and ``-Infinity``)::

    {
      "format": "quor model",
      "format_version": 8,
      "quor_version": "0.3.0",            # informational
      "estimator": "QUORClassifier",      # or "QUORRegressor", "QUORForest..."
      "params": {...},                    # every hyperparameter
      "fitted": {
        "n_features_in_": 4,
        "feature_names_in_": ["a", ...],  # or null
        "is_categorical_": [false, ...],
        "categories_": [null, ["blue", "red"], ...],
        "feature_importances_": [0.1, ...],   # or null: not known
        "classes_": {"dtype": "<U3", "values": ["no", "yes"]}   # classifiers only
      },
      "forest": {
        "kind": "classifier",             # the native forest's kind
        "settings": {...},                # its settings (the trees')
        "arrays": {"node_offsets": {"dtype": "<i8", "shape": [101],
                                    "data": "<base64 of the bytes>"}, ...}
      },
      "checksum": "..."                   # SHA-256 of the rest, see _checksum
    }

with every array of the native forest's ``export_arrays`` stored exactly, as
little-endian bytes (``node_weight``, the training weight at each node,
is absent from files written before quor took weights: their trees weigh
each node by its rows; ``missing_left``, whether a split sends missing
values left, is absent from files written before version 4: their splits
send them right; ``held_out_count``, ``held_out_feature`` and
``held_out_score``, each split's credits measured on the folds that did not
choose it, are absent from files written before version 5: their
``feature_importances_`` are those stored, from the splits' scores;
``set_offsets`` and ``set_words``, the categories of set splits, are absent
from files written before version 5, which hold none).  A ``class_weight`` dict is stored as a list of
``[label, weight]`` pairs, since JSON keys are text only; files without
the parameters ``class_weight`` and ``min_weight_fraction_leaf`` (and
forest settings without ``min_weight_fraction_leaf``) were written before
them and load with their defaults; forests without the parameter
``max_thresholds`` (and forest settings without it) were written before
drawn thresholds and load with ``max_thresholds=None``, every threshold
scored, as they were grown.  Every estimator is stored so: a single tree is a
forest of one tree (grown on every row and every feature).  Forests add to
"fitted" ``n_estimators_``, the out-of-bag attributes and (from version 6)
``"importances_measured_on"``: ``"out_of_bag"`` when the importances were
measured on the rows each tree did not draw, which the file does not hold
(they are checked only to credit features the trees split on), or
``"folds"`` (absent: ``"folds"``) when they are the trees' own credits.
A single tree with an objective and ``objective_splits`` "select" or
"criterion" adds (from version 7) ``objective_splits_``, the kind of
splits it chose, and ``decision_weights_``; files of earlier versions,
without the parameters ``objective_splits`` and ``decision_folds``, load
with ``objective_splits="objective"`` (the trees they hold) and, for
forests, ``decision_folds=None`` (their decision was chosen on the
out-of-bag rows).  Files written before version 8 lack the parameter
``threshold_placement`` (and their settings the key): they load with
``threshold_placement="edge"``, where their trees' thresholds lie.  Files of the
earlier versions load too: version 2 (forests, as above) and version 1
(single trees, with "tree": the raw classes' ``export_tree`` dump in place
of "forest", converted to the arrays on reading).  A ``random_state`` that
is a ``RandomState`` instance is stored as null (the fitted forest no
longer depends on it).  A Dask forest is saved as the local forest it holds
(``to_local()``), and loads as that local forest.  Forests
written by version 2 also hold the settings ``"sampling": "subsample"`` and
``"score_other_features": true``, the only values they can have; they load
as they are.

Loading parses JSON only and runs no code from the file.  Before anything
is built, every field is checked for its JSON type (``true`` is never a
number, nor a number a bool), its range and its agreement with the other
fields: the parameters as ``fit`` checks them; ``is_categorical_`` against
the ``categorical`` parameter and ``categories_``; ``classes_`` sorted,
unique and exactly what their dtype holds; importances finite, non-negative
and summing to 1 (or all 0); the native settings exactly those the
parameters and fitted attributes give; the out-of-bag attributes against
the parameters and each other.  The arrays are checked by the core's
``RawForest.from_arrays`` itself (one tree in pre-order per tree, leaves and
splits with exactly the fields a fit writes, category codes in range,
finite leaf values, probabilities that sum to 1), then against the fitted
attributes (features and category codes that exist, depth, importances).
Anything else is refused with a ``ValueError`` naming the file and the
field.  A file larger than ``max_bytes`` is refused before it is read.
"""

import base64
import contextlib
import hashlib
import json
import math
import numbers
import os
import reprlib
import sys

import numpy as np
import pandas as pd
from sklearn.utils.validation import check_is_fitted

from . import _params
from . import _weights
from ._estimators import LARGEST_TARGET, QUORClassifier, QUORRegressor, \
    arrays_importances, check_criterion_or_objective, mean_importances, prepare_targets
from ._forest import QUORForestClassifier, QUORForestRegressor
from ._input import resolve_categorical
from ._quor import LIMITS, RawForest
from ._tree import tree_arrays
from ._version import __version__

__all__ = ["load", "save"]

FORMAT = "quor model"
FORMAT_VERSION = 8        # the newest version this quor reads, and the one it writes
MAX_BYTES = 2**30         # load's default limit on a file's size
_ESTIMATORS = {"QUORClassifier": QUORClassifier, "QUORRegressor": QUORRegressor,
               "QUORForestClassifier": QUORForestClassifier,
               "QUORForestRegressor": QUORForestRegressor}
_FORESTS = (QUORForestClassifier, QUORForestRegressor)
_CLASSIFIERS = (QUORClassifier, QUORForestClassifier)
_TOP_KEYS = {"format", "format_version", "quor_version", "estimator", "params", "fitted",
             "checksum"}
_FITTED_KEYS = {"n_features_in_", "feature_names_in_", "is_categorical_", "categories_",
                "feature_importances_"}
# The dtypes of the native forest's arrays; a file must store exactly these.
_ARRAY_DTYPES = {
    "node_offsets": "<i8", "is_leaf": "|b1", "children_left": "<i4", "children_right": "<i4",
    "feature": "<i4", "is_categorical": "|b1", "lower": "<f8", "upper": "<f8",
    "category": "<i8", "n_samples": "<i8", "split_score": "<f8", "leaf_value": "<f8",
    "leaf_class": "<i4", "leaf_proba": "<f8", "node_weight": "<f8", "missing_left": "|b1",
    "held_out_count": "<i4", "held_out_feature": "<i4", "held_out_score": "<f8",
    "set_offsets": "<i8", "set_words": "<u8",
}
# Arrays that files written by earlier versions of quor do not hold.
_NEWER_ARRAYS = ("node_weight", "missing_left", "held_out_count", "held_out_feature",
                 "held_out_score", "set_offsets", "set_words")
# Arrays that a file holds all or none of.
_HELD_OUT_ARRAYS = {"held_out_count", "held_out_feature", "held_out_score"}
# Parameters that files written by earlier versions of quor do not hold, with
# the value every model of those versions had.
_NEWER_PARAMS = {"class_weight": None, "min_weight_fraction_leaf": 0.0, **_params.LEGACY_DEFAULTS}
_OOB = {"oob_score_": None, "oob_prediction_": 1, "oob_decision_function_": 2}
_LABEL_KINDS = "biufUO"  # dtypes of class labels a file may restore
_TREE_KEYS = ["node_count", "is_leaf", "children_left", "children_right", "feature",
              "is_categorical", "lower", "upper", "category", "n_samples"]
_LAST_CATEGORY = LIMITS["max_category_code"]  # the next code is that of a missing value
# Leaf probabilities are counts / total; importances are normalised sums.
# Both add up to 1 within a few roundings, far inside these.
_PROBABILITY_TOLERANCE = 1e-9
_IMPORTANCE_TOLERANCE = 1e-9
# The checksum is fed to the hash in pieces of about this many characters.
_HASH_PIECE = 1 << 20


def _plain(value, what):
    """A JSON value for ``value``: NumPy scalars and arrays become Python ones."""
    if isinstance(value, np.ndarray):
        value = value.tolist()
    if isinstance(value, np.generic):
        value = value.item()
    if isinstance(value, (list, tuple)):
        return [_plain(item, what) for item in value]
    if isinstance(value, dict):
        return {str(key): _plain(item, what) for key, item in value.items()}
    if value is None or isinstance(value, (str, bool, int, float)):
        return value
    raise ValueError(f"{what} holds {value!r} of type {type(value).__name__}, "
                     "which a quor model file cannot store")


def _checksum(document):
    """SHA-256 of the document without its checksum, as compact JSON with sorted keys.

    The text is ``json.dumps(body, sort_keys=True, separators=(",", ":"))``
    exactly, hashed as it is produced instead of held whole: for a forest it
    is as large as the file.
    """
    body = {key: value for key, value in document.items() if key != "checksum"}
    digest = hashlib.sha256()
    try:
        _CompactJson(digest.update, sort_keys=True).write(body)
    except _NotPlain:  # values JSON does not produce: json's own encoder says how
        digest = hashlib.sha256()
        for chunk in json.JSONEncoder(sort_keys=True, separators=(",", ":")).iterencode(body):
            digest.update(chunk.encode("ascii"))
    return digest.hexdigest()


class _NotPlain(Exception):
    pass


class _CompactJson:
    """Writes to ``sink`` (bytes at a time) the text json.dumps gives with
    compact separators and its other defaults (ASCII only, NaN as NaN),
    without making the whole text: short pieces are gathered, long strings
    that need no escape (a forest's base64 arrays) go out as they are.
    Values that JSON does not produce raise _NotPlain."""

    _LONG = 1 << 12

    def __init__(self, sink, sort_keys):
        self.sink, self.sort_keys, self.pending, self.size = sink, sort_keys, [], 0

    def write(self, value):
        self.value(value)
        self.flush()

    def text(self, text):
        self.pending.append(text)
        self.size += len(text)
        if self.size >= _HASH_PIECE:
            self.flush()

    def flush(self):
        self.sink("".join(self.pending).encode("ascii"))
        self.pending, self.size = [], 0

    def string(self, text):
        if len(text) >= self._LONG and text.isascii() and '"' not in text and "\\" not in text:
            raw = text.encode("ascii")
            codes = np.frombuffer(raw, dtype=np.uint8)
            if codes.min() >= 0x20 and codes.max() <= 0x7E:  # printable: not escaped
                self.flush()
                self.sink(b'"')
                self.sink(raw)
                self.sink(b'"')
                return
        self.text(json.encoder.encode_basestring_ascii(text))

    def value(self, value):
        if isinstance(value, str):
            self.string(value)
        elif value is None:
            self.text("null")
        elif value is True:
            self.text("true")
        elif value is False:
            self.text("false")
        elif type(value) is int:
            self.text(int.__repr__(value))
        elif type(value) is float:
            self.text("NaN" if value != value else "Infinity" if value == math.inf
                      else "-Infinity" if value == -math.inf else float.__repr__(value))
        elif type(value) is list:
            self.text("[")
            for i, item in enumerate(value):
                if i:
                    self.text(",")
                self.value(item)
            self.text("]")
        elif type(value) is dict and all(type(key) is str for key in value):
            self.text("{")
            items = sorted(value.items()) if self.sort_keys else value.items()
            for i, (key, item) in enumerate(items):
                if i:
                    self.text(",")
                self.string(key)
                self.text(":")
                self.value(item)
            self.text("}")
        else:
            raise _NotPlain


def _array_entry(array):
    """An array as stored: dtype, shape and its little-endian bytes in base64."""
    array = np.ascontiguousarray(array)
    array = array.astype(array.dtype.newbyteorder("<"), copy=False)
    return {"dtype": array.dtype.str, "shape": list(array.shape),
            "data": base64.b64encode(array.tobytes()).decode("ascii")}


def _local_forest(estimator):
    """The local forest of a fitted Dask forest; any other estimator as it is.

    Dask is optional: an estimator can only be a Dask forest once quor.dask
    has been imported, so nothing is imported here.
    """
    dask_module = sys.modules.get("quor.dask")
    if dask_module is not None and isinstance(
            estimator, (dask_module.DaskQUORForestClassifier, dask_module.DaskQUORForestRegressor)):
        return estimator.to_local()
    return estimator


def save(estimator, path):
    """Write a fitted quor estimator to ``path`` as a quor model file.

    Takes QUORClassifier, QUORRegressor, QUORForestClassifier and
    QUORForestRegressor, and the Dask forests (DaskQUORForestClassifier,
    DaskQUORForestRegressor), which are saved as the local forest they hold
    (their ``to_local()``): :func:`load` gives that local forest back.  The
    file holds the hyperparameters, the fitted attributes and the trees, as
    JSON; :func:`load` reads it back.  Unlike a pickle, loading it runs no
    code.  An estimator whose parameters were changed after it was fitted
    (so that they no longer describe its trees) is refused with a
    ``ValueError``: refit it or set them back; so is one tree of a forest
    (``forest.estimators_[i]``): save the forest.

    Parameters
    ----------
    estimator : QUORClassifier, QUORRegressor, QUORForestClassifier, QUORForestRegressor, \
DaskQUORForestClassifier or DaskQUORForestRegressor
        A fitted quor estimator; anything else is a ``TypeError``.
    path : str or path-like
        The file to write (written over if it exists).

    Examples
    --------
    >>> import os, tempfile
    >>> import quor
    >>> X = [[float(i)] for i in range(20)]
    >>> clf = quor.QUORClassifier(max_depth=2).fit(X, ["a"] * 10 + ["b"] * 10)
    >>> with tempfile.TemporaryDirectory() as folder:
    ...     quor.save(clf, os.path.join(folder, "tree.quor"))
    ...     quor.load(os.path.join(folder, "tree.quor")).predict([[2.0], [15.0]]).tolist()
    ['a', 'b']
    """
    estimator = _local_forest(estimator)
    name = type(estimator).__name__
    if _ESTIMATORS.get(name) is not type(estimator):
        raise TypeError("quor.save takes a QUORClassifier, a QUORRegressor or a quor forest "
                        f"(local or Dask), got {name}")
    forest = isinstance(estimator, _FORESTS)
    check_is_fitted(estimator)
    if getattr(estimator, "_forest_member", False):
        raise ValueError(
            f"this {name} is a tree of a forest (its estimators_), grown with the forest's "
            "settings, which a single tree's parameters do not describe: save the forest, "
            "and take its estimators_ after loading it")
    names = getattr(estimator, "feature_names_in_", None)
    fitted = {
        "n_features_in_": int(estimator.n_features_in_),
        "feature_names_in_": None if names is None else _plain(names, "feature_names_in_"),
        "is_categorical_": _plain(estimator.is_categorical_, "is_categorical_"),
        "categories_": [None if c is None else _plain(c, "categories_")
                        for c in estimator.categories_],
        # None for a model unpickled from a version that did not compute them.
        "feature_importances_": _plain(getattr(estimator, "feature_importances_", None),
                                       "feature_importances_"),
    }
    if forest:
        # Where the stored importances were measured: each tree's rows it did
        # not draw (they cannot be measured again from the trees alone), or
        # the folds of the trees' nodes (the trees hold the credits).
        fitted["importances_measured_on"] = (
            "out_of_bag" if getattr(estimator, "_out_of_bag_importances", None) is not None
            else "folds")
    if isinstance(estimator, _CLASSIFIERS):
        classes = estimator.classes_
        fitted["classes_"] = {"dtype": classes.dtype.str, "values": _plain(classes, "classes_")}
    params = estimator.get_params(deep=False)
    if isinstance(params.get("class_weight"), dict):
        params["class_weight"] = [[label, weight]
                                  for label, weight in params["class_weight"].items()]
    if forest and not (params["random_state"] is None or isinstance(params["random_state"], int)):
        params["random_state"] = None
    # What load checks of the parameters against the fitted model, asked
    # before anything is written: a file load would refuse is never made.
    try:
        _check_params_against_fitted(estimator, _fitted_of(estimator))
        n_samples = None
        if forest:
            _check_tree_count(estimator, estimator.n_estimators_)
            _check_oob_present(estimator, [key for key in _OOB if hasattr(estimator, key)])
        else:
            _check_depth(estimator, estimator.get_depth())
            n_samples = int(estimator.tree_.n_node_samples[0])
        _check_settings(estimator, _fitted_of(estimator),
                        _plain(estimator._forest_settings, "forest settings"), n_samples)
    except _Refused as err:
        raise ValueError(f"this {name} cannot be saved: {err} (were its parameters changed "
                         "after it was fitted? refit it, or set them back)") from None
    document = {
        "format": FORMAT,
        "format_version": FORMAT_VERSION,
        "quor_version": __version__,
        "estimator": name,
        "params": {key: _plain(value, f"parameter {key}") for key, value in params.items()},
        "fitted": fitted,
    }
    if not forest and hasattr(estimator, "objective_splits_"):
        weights = estimator.decision_weights_
        fitted["objective_splits_"] = estimator.objective_splits_
        fitted["decision_weights_"] = None if weights is None else [float(v) for v in weights]
    if forest:
        fitted["n_estimators_"] = int(estimator.n_estimators_)
        for key in _OOB:
            if hasattr(estimator, key):
                value = getattr(estimator, key)
                fitted[key] = float(value) if _OOB[key] is None else _array_entry(value)
        if hasattr(estimator, "decision_weights_"):
            weights = estimator.decision_weights_
            fitted["decision_weights_"] = None if weights is None else [float(v) for v in weights]
    # A single tree is kept, and stored, as a forest of one tree.
    document["forest"] = {
        "kind": estimator._forest_kind,
        "settings": _plain(estimator._forest_settings, "forest settings"),
        "arrays": {key: _array_entry(value)
                   for key, value in estimator._forest.export_arrays().items()},
    }
    document["checksum"] = _checksum(document)
    with open(path, "wb") as handle:
        _CompactJson(handle.write, sort_keys=False).write(document)
        handle.write(b"\n")


def _fitted_of(estimator):
    """The fitted attributes the checks read, from a fitted estimator."""
    attrs = {name: getattr(estimator, name) for name in
             ("n_features_in_", "is_categorical_", "categories_", "feature_names_in_",
              "classes_", "objective_splits_") if hasattr(estimator, name)}
    attrs["is_categorical_"] = np.asarray(attrs["is_categorical_"], dtype=bool)
    return attrs


# -- reading ------------------------------------------------------------------------


class _Refused(ValueError):
    pass


def _require(condition, message):
    if not condition:
        raise _Refused(message)


@contextlib.contextmanager
def _reading(field):
    """Any error of the conversions and checks of ``field`` becomes a refusal naming it."""
    try:
        yield
    except _Refused:
        raise
    except (ArithmeticError, TypeError, ValueError, IndexError, KeyError) as err:
        raise _Refused(f"{field}: {err}") from None


def _is_int(value):
    return isinstance(value, int) and not isinstance(value, bool)


def _is_real(value):
    return isinstance(value, (int, float)) and not isinstance(value, bool)


def _is_scalar(value):
    return isinstance(value, (str, bool, int, float))


def _list_of(value, n, check, what, kind):
    _require(isinstance(value, list) and len(value) == n,
             f"{what} must be a list of {n} entries")
    _require(all(map(check, value)), f"{what} must hold only {kind}")
    return value


_SHORT = reprlib.Repr()
_SHORT.maxlist, _SHORT.maxstring, _SHORT.maxother, _SHORT.maxlong = 8, 40, 40, 40


def _short(value):
    """A repr short enough for a message, whatever a file holds."""
    return _SHORT.repr(value)


def _same(a, b):
    """Equal JSON values of the same JSON type (``true`` is not 1, nor 1 1.0)."""
    if isinstance(a, list) and isinstance(b, list):
        return len(a) == len(b) and all(map(_same, a, b))
    return type(a) is type(b) and a == b


def load(path, *, max_bytes=MAX_BYTES):
    """Read an estimator written by :func:`save`.

    ``max_bytes`` (default 2**30, 1 GiB) is the largest file read: a larger
    one is refused before it is read, since loading holds the file's text
    and its parsed document at once (about twice its size).  Give a larger
    value to load a larger model you trust to be a model file.

    Raises ``ValueError``, naming the file and the field, for a file that is
    not a quor model file (pickles included: they are never unpickled), of
    another format version, changed after it was written, larger than
    ``max_bytes``, or whose contents do not describe a fitted estimator
    exactly as ``fit`` leaves it (see the module's documentation for what is
    checked).

    Parameters
    ----------
    path : str or path-like
        The model file to read.
    max_bytes : int, default=2**30
        The largest file read, in bytes.

    Returns
    -------
    QUORClassifier, QUORRegressor, QUORForestClassifier or QUORForestRegressor
        The fitted estimator, as it was saved (a Dask forest comes back as
        its local forest).
    """
    if not _is_int(max_bytes) or max_bytes < 0:
        raise TypeError(f"max_bytes must be a non-negative int, got {max_bytes!r}")
    document = _parse(path, _read_text(path, max_bytes))
    try:
        return _from_document(document)
    except _Refused as err:
        raise ValueError(f"{path!s} is not a valid quor model file: {err}") from None
    except RecursionError:
        raise ValueError(f"{path!s} is not a valid quor model file: it is nested too "
                         "deeply") from None
    except (OverflowError, TypeError) as err:  # whatever the field checks did not foresee
        raise ValueError(f"{path!s} is not a valid quor model file: {err}") from None


def _read_text(path, max_bytes):
    """The file's text, read only when it is at most ``max_bytes`` long."""
    too_large = (f"{path!s} is larger than max_bytes={max_bytes} bytes; pass a larger "
                 "max_bytes to quor.load to read a larger model file")
    with open(path, "rb") as handle:
        size = os.fstat(handle.fileno()).st_size
        if size > max_bytes:
            raise ValueError(too_large)
        # One read of the size stat gave (a read allocates what it asks for),
        # then more only if the file grew or has no size (a pipe), never
        # past max_bytes + 1.
        data = handle.read(size + 1)
        if len(data) > size:
            parts, total = [data], len(data)
            while total <= max_bytes:
                part = handle.read(min(max_bytes + 1 - total, 1 << 24))
                if not part:
                    break
                parts.append(part)
                total += len(part)
            data = b"".join(parts)
    if len(data) > max_bytes:
        raise ValueError(too_large)
    if data[:1] == b"\x80":
        raise ValueError(f"{path!s} is a pickle, not a quor model file; quor does not load "
                         "pickles, since unpickling can run any code (use quor.save)")
    try:
        return data.decode("utf-8")  # the bytes go when this returns
    except UnicodeDecodeError:
        raise ValueError(f"{path!s} is not a quor model file (not JSON)") from None


def _parse(path, text):
    try:
        return json.loads(text)
    except (ValueError, RecursionError):
        raise ValueError(f"{path!s} is not a quor model file (not JSON)") from None


def _from_document(document):
    _require(isinstance(document, dict) and document.get("format") == FORMAT,
             f'its "format" is not "{FORMAT}"')
    version = document.get("format_version")
    _require(_is_int(version), "it has no format version")
    _require(version <= FORMAT_VERSION, f"format version {version} was written by a newer "
             f"quor (this quor {__version__} reads up to version {FORMAT_VERSION})")
    _require(version >= 1, f"unknown format version {version}")
    _require(document.get("checksum") == _checksum(document),
             "its checksum does not match: the file was changed after it was written")
    name = document.get("estimator")
    cls = _ESTIMATORS.get(name) if isinstance(name, str) else None
    _require(cls is not None, f"unknown estimator {_short(name)}")
    forest = cls in _FORESTS
    _require(not forest or version >= 2, f"format version {version} holds no forests")
    body = "tree" if version == 1 else "forest"
    keys = _TOP_KEYS | {body}
    _require(set(document) == keys, f"its fields are not {sorted(keys)}")
    _require(isinstance(document["quor_version"], str), '"quor_version" must be a str')
    params, fitted, dump = document["params"], document["fitted"], document[body]
    _require(isinstance(params, dict) and isinstance(fitted, dict) and isinstance(dump, dict),
             f'"params", "fitted" and "{body}" must be objects')
    estimator = _estimator_of(cls, params)
    attrs = _fitted_attributes(fitted, cls)
    _require(version >= 6 or "importances_measured_on" not in fitted,
             f'"importances_measured_on" is not part of format version {version}')
    _check_params_against_fitted(estimator, attrs)
    if version == 1:
        dump = _tree_as_forest(dump, estimator, attrs)
    return _load_forest(estimator, attrs, fitted, dump, version)


def _estimator_of(cls, params):
    """An unfitted estimator with the file's parameters, checked as ``fit`` checks them."""
    forest = cls in _FORESTS
    task = ("forest_" if forest else "") + ("classifier" if cls in _CLASSIFIERS else "regressor")
    names = [p.name for p in _params.params_of(task)]
    params = dict(params)
    for name, default in _NEWER_PARAMS.items():
        if name in names and name not in params:
            params[name] = default
    _require(sorted(params) == sorted(names), f"its parameters are not those of {cls.__name__}")
    for name, value in params.items():
        ok = value is None or _is_scalar(value) or (
            name == "categorical" and isinstance(value, list) and all(map(_is_scalar, value)))
        if name == "class_weight" and isinstance(value, list):
            ok = all(isinstance(pair, list) and len(pair) == 2 and _is_scalar(pair[0])
                     and _is_real(pair[1]) for pair in value)
            _require(ok, "parameter 'class_weight' must be a list of [label, weight] pairs")
            params[name] = {label: weight for label, weight in value}
            _require(len(params[name]) == len(value), "parameter 'class_weight' names a class twice")
        _require(ok, f"parameter {name!r} holds a {type(value).__name__}")
    if forest:
        seed = params["random_state"]
        _require(seed is None or (_is_int(seed) and 0 <= seed < 2**32),
                 "parameter 'random_state' must be None or an int in [0, 2**32 - 1]")
    estimator = cls(**params)
    try:
        _params.check_params(estimator, stored=True)
        if cls in _CLASSIFIERS:
            check_criterion_or_objective(estimator)
    except _params.InvalidParameterError as err:
        raise _Refused(str(err)) from None
    return estimator


def _fitted_attributes(fitted, cls):
    """The fitted attributes of the file's "fitted" object, each checked on its own."""
    keys = _FITTED_KEYS | ({"classes_"} if cls in _CLASSIFIERS else set())
    if cls in _FORESTS:
        keys |= {"n_estimators_", "importances_measured_on"} | set(_OOB)
    if cls is QUORForestClassifier:
        keys |= {"decision_weights_"}
    if cls is QUORClassifier:  # a tree whose decision was chosen on held-out folds
        keys |= {"objective_splits_", "decision_weights_"}
    # Absent: not known, not fitted, or written before it existed.
    required = keys - {"feature_importances_", "decision_weights_", "objective_splits_",
                       "importances_measured_on"} - set(_OOB)
    _require(required <= set(fitted) <= keys,
             f'"fitted" must hold {sorted(required)} and may hold '
             f"{sorted(keys - required)}, nothing else")
    n = fitted["n_features_in_"]
    _require(_is_int(n) and n >= 1, "n_features_in_ must be a positive int")
    attrs = {"n_features_in_": n}
    attrs["is_categorical_"] = np.array(_list_of(
        fitted["is_categorical_"], n, lambda v: isinstance(v, bool), "is_categorical_", "bools"),
        dtype=bool)
    importances = fitted.get("feature_importances_")
    if importances is not None:
        _list_of(importances, n, _is_real, "feature_importances_", "numbers")
        with _reading("feature_importances_"):
            values = np.array(importances, dtype=np.float64)
        total = float(np.sum(values)) if np.isfinite(values).all() else math.nan
        _require(np.all(values >= 0) and (total == 0 or abs(total - 1) <= _IMPORTANCE_TOLERANCE),
                 "feature_importances_ must be finite, non-negative and sum to 1 (or all be 0)")
        attrs["feature_importances_"] = values
    names = fitted["feature_names_in_"]
    if names is not None:
        _list_of(names, n, lambda v: isinstance(v, str), "feature_names_in_", "strs")
        attrs["feature_names_in_"] = np.array(names, dtype=object)
    categories = _list_of(fitted["categories_"], n, lambda v: v is None or isinstance(v, list),
                          "categories_", "null or lists")
    attrs["categories_"] = []
    for j, values in enumerate(categories):
        if values is None:
            attrs["categories_"].append(None)
            continue
        what = f"categories_[{j}]"
        _require(attrs["is_categorical_"][j], f"{what} lists categories of a numeric feature")
        _require(all(_is_scalar(v) and v == v for v in values),
                 f"{what} must hold only strs, numbers and bools (no NaN)")
        _require(len(values) <= _LAST_CATEGORY + 1, f"{what} has more categories than codes")
        array = _object_array(values)
        # A value's code is its position: the categories must be distinct.
        _require(pd.Index(array, dtype=object).is_unique, f"{what} lists a category twice")
        attrs["categories_"].append(array)
    if cls in _CLASSIFIERS:
        attrs["classes_"] = _classes(fitted["classes_"])
        attrs["n_classes_"] = len(attrs["classes_"])
    if "objective_splits_" in fitted:
        _require("decision_weights_" in fitted,
                 'a tree with "objective_splits_" holds its "decision_weights_" too')
        _require(fitted["objective_splits_"] in ("objective", "criterion"),
                 'objective_splits_ must be "objective" or "criterion"')
        attrs["objective_splits_"] = fitted["objective_splits_"]
    return attrs


def _classes(classes):
    """``classes_`` as stored: exactly its values in its dtype, sorted and distinct."""
    _require(isinstance(classes, dict) and set(classes) == {"dtype", "values"}
             and isinstance(classes["dtype"], str) and isinstance(classes["values"], list)
             and classes["values"] and all(map(_is_scalar, classes["values"])),
             'classes_ must be {"dtype": str, "values": a non-empty list of labels}')
    values = classes["values"]
    with _reading("classes_ dtype"):
        dtype = np.dtype(classes["dtype"])
    _require(dtype.kind in _LABEL_KINDS, f"classes_ has dtype {dtype}, not one of labels")
    expected = {"b": (bool,), "i": (int,), "u": (int,), "f": (float,), "U": (str,),
                "O": (str, int, float, bool)}[dtype.kind]
    _require(all(type(v) in expected for v in values),
             f"classes_ of dtype {dtype.str} must hold only "
             + " or ".join(t.__name__ for t in expected))
    if dtype.kind == "U":
        # The text of the labels bounds the memory of their array.
        longest = max(len(v) for v in values)
        _require(dtype.itemsize // 4 <= max(longest, 256),
                 f"classes_ has dtype {dtype.str}, far wider than its labels")
    if dtype.kind == "O":
        array = _object_array(values)
    else:
        with _reading("classes_"):
            array = np.array(values, dtype=dtype)
        # Exactly the stored labels: no string cut short, no number rounded.
        _require(_same(array.tolist(), values), f"classes_ do not fit in dtype {dtype.str}")
    with _reading("classes_"):
        ordered = all(a < b for a, b in zip(values, values[1:]))
    _require(ordered, "classes_ must be sorted and distinct")
    return array


def _object_array(values):
    out = np.empty(len(values), dtype=object)
    out[:] = values
    return out


def _check_params_against_fitted(estimator, attrs):
    """The parameters that the fitted attributes reflect must be the ones they came from."""
    n = attrs["n_features_in_"]
    names = attrs.get("feature_names_in_")
    with _reading("parameter 'categorical'"):
        named = resolve_categorical(estimator.categorical, n,
                                    None if names is None else list(names))
    # A feature is categorical when named so, or when its values are
    # categories (a pandas category column): then its categories are known.
    by_value = np.array([c is not None for c in attrs["categories_"]], dtype=bool)
    _require(np.array_equal(named | by_value, attrs["is_categorical_"]),
             "is_categorical_ is not what the 'categorical' parameter and categories_ give")
    if isinstance(estimator, _CLASSIFIERS):
        # What fit derives from the labels: the labels are classification
        # targets, pos_label is one of them (or None), and so on.
        with _reading("classes_ and the parameters"):
            prepare_targets(estimator, attrs["classes_"])
            _weights.check_class_weight(estimator.class_weight, attrs["classes_"],
                                        subsample_allowed=isinstance(estimator, _FORESTS))


def _expected_settings(estimator, attrs, n_samples, known=True):
    """The kind and native settings that a fit of ``estimator`` on ``n_samples`` rows
    gives (when they are not ``known``, the counts that depend on them are left to
    the caller)."""
    with _reading("the parameters"):
        kind, task, _, _ = prepare_targets(
            estimator, attrs["classes_"] if "classes_" in attrs else np.zeros(0),
            attrs.get("objective_splits_"))
        return kind, _params.core_settings(
            estimator, task, np.flatnonzero(attrs["is_categorical_"]).tolist(), n_samples,
            attrs["n_features_in_"], capped=not known)


# Settings that forests written by earlier versions hold, with the only values
# they can have (rows drawn without replacement, a node whose drawn features
# give no finite score scoring the others): still read, with those values only.
_LEGACY_FOREST_SETTINGS = {"sampling": "subsample", "score_other_features": True}


def _check_settings(estimator, attrs, settings, n_samples):
    """Refuse native settings other than those a fit of ``estimator`` gives; the kind.

    ``n_samples`` is the number of training rows when known (a single
    tree's root holds them; out-of-bag arrays have one row per training
    row); with ``max_samples=None`` it is the settings' ``max_samples``.
    The counts that other parameters give as fractions of an unknown number
    of rows need only be positive ints.  (A forest's out-of-bag arrays do
    not give that number: rows of weight 0 have a row there, but the
    fractions are taken of the others.)
    """
    _require(isinstance(settings, dict), 'the forest\'s "settings" must be an object')
    forest = isinstance(estimator, _FORESTS)
    if n_samples is None and estimator.max_samples is None:
        n_samples = settings.get("max_samples")
        _require(_is_int(n_samples) and n_samples >= 1,
                 "the forest setting max_samples must be a positive int")
    known = n_samples is not None
    kind, expected = _expected_settings(estimator, attrs, n_samples if known else 1, known)
    expected.update({key: value for key, value in _LEGACY_FOREST_SETTINGS.items()
                     if key in settings})
    if not known:
        ms = estimator.max_samples
        expected["max_samples"] = int(ms) if isinstance(ms, numbers.Integral) else None
        for name in ("min_samples_split", "min_samples_leaf", "max_samples"):
            if isinstance(getattr(estimator, name), float):  # a fraction of the rows
                _require(_is_int(settings.get(name)) and settings.get(name) >= 1,
                         f"the forest setting {name} must be a positive int")
                expected[name] = settings[name]
    if forest and "parallel_min_samples" not in expected:
        expected.pop("parallel_min_samples", None)
    _require(set(settings) == set(expected),
             f"the forest's settings are not {sorted(expected)}")
    for name, value in expected.items():
        _require(_same(settings[name], _plain(value, name)),
                 f"the forest setting {name} is {_short(settings[name])}, but its parameters "
                 f"and fitted attributes give {_short(_plain(value, name))}")
    return kind


def _tree_as_forest(dump, estimator, attrs):
    """A version 1 tree (an ``export_tree`` dump) as the forest of one tree that
    quor now keeps: its JSON types checked here, everything else by the core."""
    n_classes = attrs.get("n_classes_")
    classifier = n_classes is not None
    keys = _TREE_KEYS + (["predicted_class", "proba", "n_classes"] if classifier else ["value"])
    _require(set(dump) == set(keys), f"the tree's fields are not {sorted(keys)}")
    n = dump["node_count"]
    _require(_is_int(n) and n >= 1, "tree 'node_count' must be a positive int")
    ints = ["children_left", "children_right", "feature", "category", "n_samples"]
    kinds = dict.fromkeys(ints, (_is_int, "ints"))
    kinds.update(dict.fromkeys(["is_leaf", "is_categorical"], (lambda v: isinstance(v, bool),
                                                              "bools")))
    kinds.update(dict.fromkeys(["lower", "upper"], (_is_real, "numbers")))
    if classifier:
        _require(_same(dump["n_classes"], n_classes), f"tree 'n_classes' is not {n_classes}")
        kinds["predicted_class"] = (_is_int, "ints")
        kinds["proba"] = (lambda v: isinstance(v, list) and all(map(_is_real, v)),
                          "lists of numbers")
    else:
        kinds["value"] = (_is_real, "numbers")
    for key, (check, kind) in kinds.items():
        _list_of(dump[key], n, check, f"tree {key!r}", kind)
    with _reading("the tree"):
        arrays = tree_arrays(dump, n_classes)
    _require(arrays["n_samples"][0] >= 1, "the tree's root holds no samples")
    kind, settings = _expected_settings(estimator, attrs, int(arrays["n_samples"][0]))
    return {"kind": kind, "settings": settings, "arrays": arrays}


def _check_split_fields(split, feature, is_categorical, lower, upper, category, attrs, what,
                        sets=None):
    """The tests of the splits: of the kind of their feature, with codes and bounds in range;
    ``sets``, the set splits' arrays (set_offsets, set_words) or None (the native loader
    has checked them: only category splits of category -1 have a set, never empty)."""
    marked = attrs["is_categorical_"][feature[split]]
    _require(np.array_equal(is_categorical[split], marked),
             f"{what} has a category split on a numeric feature, or an interval split on a "
             "categorical one")
    has_set = np.zeros(len(split), dtype=bool)
    if sets is not None:
        offsets, words = sets
        has_set = np.diff(offsets) > 0
    on_category = split & is_categorical & ~has_set
    codes = category[on_category]
    _require(np.all((codes >= 0) & (codes <= _LAST_CATEGORY)),
             f"{what} tests a category code outside 0 .. {_LAST_CATEGORY}")
    # Codes of features encoded by value are positions in categories_.
    sizes = np.array([_LAST_CATEGORY + 1 if c is None else len(c) for c in attrs["categories_"]],
                     dtype=np.int64)
    _require(np.all(codes < sizes[feature[on_category]]),
             f"{what} tests a category code past its feature's categories_")
    for node in np.flatnonzero(has_set).tolist():
        # The largest code of a set: the last bit of its last word (never 0).
        last = int(offsets[node + 1]) - 1
        largest = 64 * (last - int(offsets[node])) + int(words[last]).bit_length() - 1
        _require(largest < sizes[feature[node]],
                 f"{what} tests a category set past its feature's categories_")
    on_category = split & is_categorical
    _require(np.all(np.isnan(lower[on_category])) and np.all(np.isnan(upper[on_category])),
             f"{what} has a category split with bounds")
    on_interval = split & ~is_categorical
    low, high = lower[on_interval], upper[on_interval]
    _require(np.all(category[on_interval] == -1), f"{what} has an interval split with a code")
    _require(np.all(low <= high), f"{what} has an interval split whose bounds are NaN or "
             "inverted")


def _check_probabilities(proba, what):
    """Rows of probabilities: finite, in [0, 1], summing to 1."""
    _require(np.all((proba >= 0) & (proba <= 1)), f"{what} are not all in [0, 1]")
    _require(np.all(np.abs(proba.sum(axis=1) - 1) <= _PROBABILITY_TOLERANCE),
             f"{what} do not sum to 1")


def _stored_array(entry, what, dtype, ndim):
    """The array stored by :func:`_array_entry`, its dtype and dimensions checked.

    The base64 text is dropped from ``entry`` once decoded, so that a
    forest's arrays are not held twice while it loads.
    """
    _require(isinstance(entry, dict) and set(entry) == {"dtype", "shape", "data"}
             and isinstance(entry["dtype"], str) and isinstance(entry["shape"], list)
             and all(map(_is_int, entry["shape"])) and all(n >= 0 for n in entry["shape"])
             and isinstance(entry["data"], str),
             f"{what} is not a stored array")
    _require(entry["dtype"] == dtype, f"{what} must have dtype {dtype}")
    _require(len(entry["shape"]) == ndim, f"{what} must have {ndim} dimension"
             + ("s" if ndim > 1 else ""))
    kind = np.dtype(dtype)
    size = math.prod(entry["shape"])
    # Base64 holds 3 bytes in 4 characters: the text bounds the size.
    _require(size * kind.itemsize == len(entry["data"]) // 4 * 3 - entry["data"][-2:].count("="),
             f"{what} does not hold {entry['shape']} values")
    try:
        data = base64.b64decode(entry.pop("data"), validate=True)
    except ValueError:
        raise _Refused(f"{what} is not a stored array (bad base64)") from None
    _require(len(data) == size * kind.itemsize, f"{what} does not hold {entry['shape']} values")
    return np.frombuffer(data, dtype=kind).reshape(entry["shape"]).astype(
        kind.newbyteorder("="), copy=False)


def _load_forest(estimator, attrs, fitted, body, version):
    """The fitted estimator of a document's "forest": its kind, settings and arrays
    (a single tree's, a forest of one tree; a version 1 tree's, converted)."""
    _require(set(body) == {"kind", "settings", "arrays"},
             'the forest must hold "kind", "settings" and "arrays", nothing else')
    kind, settings, arrays = body["kind"], body["settings"], body["arrays"]
    if isinstance(settings, dict) and "min_weight_fraction_leaf" not in settings:
        settings = dict(settings, min_weight_fraction_leaf=0.0)  # written before weights
    forest = isinstance(estimator, _FORESTS)
    classifier = isinstance(estimator, _CLASSIFIERS)
    n_classes = attrs.get("n_classes_")
    oob = _oob_attributes(estimator, fitted, n_classes) if forest else {}
    if "decision_weights_" in fitted:
        oob["decision_weights_"] = _decision_weights(estimator, fitted["decision_weights_"], n_classes)
    if not forest and classifier:
        chooses = estimator.objective is not None and estimator.objective_splits != "objective"
        _require(chooses == ("objective_splits_" in attrs),
                 'a tree holds "objective_splits_" and "decision_weights_" exactly when it has an '
                 'objective and objective_splits "select" or "criterion"')
        _require(version >= 7 or not chooses,
                 f"a tree's decision on held-out folds is not part of format version {version}")
        _require(estimator.objective_splits != "criterion"
                 or attrs.get("objective_splits_") == "criterion",
                 'objective_splits="criterion" grows trees by their criterion: '
                 'objective_splits_ must be "criterion"')
    _require(isinstance(arrays, dict), 'the forest\'s "arrays" must be an object')
    leaf_keys = ["leaf_class", "leaf_proba"] if classifier else ["leaf_value"]
    keys = [k for k in _ARRAY_DTYPES if not k.startswith("leaf_")
            and k not in _NEWER_ARRAYS] + leaf_keys
    keys += [k for k in _NEWER_ARRAYS if k in arrays]
    _require(len(_HELD_OUT_ARRAYS & set(arrays)) in (0, len(_HELD_OUT_ARRAYS)),
             f"the forest's arrays must hold all of {sorted(_HELD_OUT_ARRAYS)} or none")
    _require(set(arrays) == set(keys), f"the forest's arrays are not {sorted(keys)}")
    loaded = {}
    for key in keys:
        value = arrays[key]
        loaded[key] = value if isinstance(value, np.ndarray) else _stored_array(
            value, f"forest array {key!r}", _ARRAY_DTYPES[key], 2 if key == "leaf_proba" else 1)
    n_samples = None
    n_rows = None
    for key in ("oob_prediction_", "oob_decision_function_"):
        if key in oob:
            n_rows = len(oob[key])
    if not forest:
        _require(len(loaded["n_samples"]) > 0, "the tree has no nodes")
        n_samples = int(loaded["n_samples"][0])  # the root holds every training row
    expected_kind = _check_settings(estimator, attrs, settings, n_samples)
    _require(kind == expected_kind,
             f"forest kind {_short(kind)} is not {expected_kind!r}, the kind of its parameters")
    if forest and n_rows is not None:
        _require(settings["max_samples"] < n_rows,
                 "out-of-bag attributes need max_samples below the number of rows")
    # Every array is checked by the core, which trusts nothing it reads.
    try:
        raw = RawForest.from_arrays(kind, settings, loaded)
    except (TypeError, ValueError, OverflowError) as err:
        raise _Refused(f"the forest is malformed: {err}") from None
    # Past the core's checks, the arrays are known to fit one another.
    split = ~loaded["is_leaf"]
    feature = loaded["feature"].astype(np.int64)
    n_features = attrs["n_features_in_"]
    _require(np.all(feature[split] < n_features),
             f"a tree splits on a feature outside 0 .. {n_features - 1}")
    if "held_out_feature" in loaded:
        _require(np.all(loaded["held_out_feature"] < n_features),
                 f"a tree credits a feature outside 0 .. {n_features - 1}")
    sets = ((loaded["set_offsets"], loaded["set_words"])
            if "set_offsets" in loaded and "set_words" in loaded else None)
    _check_split_fields(split, feature, loaded["is_categorical"], loaded["lower"],
                        loaded["upper"], loaded["category"], attrs, "a tree", sets)
    offsets = loaded["node_offsets"]
    roots = loaded["n_samples"][offsets[:-1]]
    if forest:
        _require(np.all((roots >= 1) & (roots <= settings["max_samples"])),
                 "a tree was grown on more rows than max_samples, or on none")
        n_trees = fitted["n_estimators_"]
        _require(_same(n_trees, raw.n_trees()), f"n_estimators_ must be the forest's "
                 f"{raw.n_trees()} trees")
        _check_tree_count(estimator, n_trees)
        attrs["n_estimators_"] = n_trees
    else:
        _require(raw.n_trees() == 1, "a single tree's forest holds more than one tree")
        _check_depth(estimator, raw.depth(0))
    attrs.update(oob)
    importances = attrs.get("feature_importances_")
    measured_on = fitted.get("importances_measured_on", "folds")
    _require(measured_on in ("folds", "out_of_bag"),
             f'"importances_measured_on" must be "folds" or "out_of_bag", not {_short(measured_on)}')
    if measured_on == "out_of_bag":
        # Measured on rows the file does not hold: only what the trees imply
        # can be checked, that no feature they never split on has any.
        _require(importances is not None, "out-of-bag feature_importances_ are missing")
        used = np.zeros(n_features, dtype=bool)
        used[feature[split]] = True
        _require(not np.any((importances > 0) & ~used),
                 "feature_importances_ credits a feature no tree splits on")
    elif importances is not None:
        # Files before version 6 clipped each feature's sum of credits, not
        # each credit.
        per_tree = arrays_importances(loaded, n_features, "credit" if version >= 6 else "feature")
        if not forest and np.isnan(loaded["split_score"][split]).all():
            # A tree stored without its scores (version 1): its importances
            # can only be checked against the features it splits on.
            used = np.zeros(n_features, dtype=bool)
            used[feature[split]] = True
            _require(not np.any((importances > 0) & ~used),
                     "feature_importances_ credits a feature the tree does not split on")
        else:
            # What the estimator computes: the tree's, or the mean of the trees'.
            computed = mean_importances(per_tree, n_features)
            _require(np.allclose(importances, computed, rtol=1e-9, atol=1e-12),
                     "feature_importances_ are not those of the trees")
    if forest:
        attrs.pop("feature_importances_", None)
    for name, value in attrs.items():
        setattr(estimator, name, value)
    estimator._install_native(raw, kind, settings)
    if forest and measured_on == "out_of_bag":
        estimator._out_of_bag_importances = importances
    elif forest:
        estimator._feature_importances = importances
    return estimator


def _check_oob_present(estimator, present):
    """The out-of-bag attributes are there exactly when the parameters asked for them."""
    array_key = ("oob_decision_function_" if isinstance(estimator, QUORForestClassifier)
                 else "oob_prediction_")
    wanted = {"oob_score_", array_key} if estimator.oob_score else set()
    _require(set(present) == wanted, f"the out-of-bag attributes must be {sorted(wanted)} with "
             f"oob_score={estimator.oob_score}")
    return array_key


def _check_tree_count(estimator, n_trees):
    _require(n_trees == estimator.n_estimators,
             f"the forest has {n_trees} trees but the parameter n_estimators is "
             f"{estimator.n_estimators}")


def _check_depth(estimator, depth):
    _require(estimator.max_depth is None or depth <= estimator.max_depth,
             f"the tree is deeper than max_depth={estimator.max_depth}")


def _decision_weights(estimator, weights, n_classes):
    """The weights on a classifier's probabilities: null (its leaves or its trees'
    votes decide) or one finite weight of 0 or more per class, not all 0; only for
    a forest whose trees are labelled by a metric, or a tree that chose its
    decision on held-out folds."""
    if isinstance(estimator, _FORESTS):
        _require(estimator.objective is not None and estimator.objective_labels == "metric",
                 "decision_weights_ is only for a forest with an objective and "
                 'objective_labels="metric"')
    else:
        _require(estimator.objective is not None and estimator.objective_splits != "objective",
                 "decision_weights_ is only for a tree with an objective and objective_splits "
                 '"select" or "criterion"')
    if weights is None:
        return None
    _require(isinstance(weights, list) and len(weights) == n_classes
             and all(_is_real(v) for v in weights),
             f"decision_weights_ must be null or a list of {n_classes} numbers")
    values = np.array(weights, dtype=np.float64)
    _require(np.isfinite(values).all() and (values >= 0).all() and (values > 0).any(),
             "decision_weights_ must be finite, 0 or more, and not all 0")
    return values


def _oob_attributes(estimator, fitted, n_classes):
    """The out-of-bag attributes of the file, checked against each other."""
    array_key = _check_oob_present(estimator, [key for key in _OOB if key in fitted])
    if not estimator.oob_score:
        return {}
    score = fitted["oob_score_"]
    _require(isinstance(score, float), "oob_score_ must be a float")
    # NaN when no row was out of bag; an accuracy is in [0, 1], an R² at most 1.
    _require(math.isnan(score) or (0 <= score <= 1 if n_classes is not None else score <= 1),
             f"oob_score_ {_short(score)} is out of range")
    array = _stored_array(fitted[array_key], array_key, "<f8", 2 if n_classes else 1)
    _require(len(array) >= 2, f"{array_key} must have a row for each training row")
    unseen = np.isnan(array)
    if n_classes is not None:
        _require(array.shape[1] == n_classes, f"{array_key} must have {n_classes} columns")
        rows = unseen.any(axis=1)
        _require(np.array_equal(rows, unseen.all(axis=1)),
                 f"{array_key} has rows that are NaN in part")
        _check_probabilities(array[~rows], f"the rows of {array_key}")
    else:
        _require(np.all(np.abs(array[~unseen]) <= LARGEST_TARGET),
                 f"{array_key} holds values that are infinite or above 2**960")
    _require(not unseen.all() or math.isnan(score),
             "oob_score_ must be NaN when no row has an out-of-bag prediction")
    return {"oob_score_": score, array_key: array}
