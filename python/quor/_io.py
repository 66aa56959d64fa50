"""Model files that run no code: :func:`save` and :func:`load`.

A model file is one JSON document (as Python's ``json`` module writes it, so
non-finite floats appear as ``NaN``, ``Infinity`` and ``-Infinity``)::

    {
      "format": "quor model",
      "format_version": 1,
      "quor_version": "0.2.0",            # informational
      "estimator": "QUORClassifier",      # or "QUORRegressor"
      "params": {...},                    # every hyperparameter
      "fitted": {
        "n_features_in_": 4,
        "feature_names_in_": ["a", ...],  # or null
        "is_categorical_": [false, ...],
        "categories_": [null, ["blue", "red"], ...],
        "feature_importances_": [0.1, ...],   # or null: not known
        "classes_": {"dtype": "<U3", "values": ["no", "yes"]}   # classifiers only
      },
      "tree": {...},                      # the export_tree dump
      "checksum": "..."                   # SHA-256 of the rest, see _checksum
    }

Forests (``QUORForestClassifier``, ``QUORForestRegressor``) are written as
format version 2, which adds to "fitted" ``n_estimators_`` and the
out-of-bag attributes, and replaces "tree" by::

      "forest": {
        "kind": "classifier",             # the native forest's kind
        "settings": {...},                # its settings (the trees')
        "arrays": {"node_offsets": {"dtype": "<i8", "shape": [101],
                                    "data": "<base64 of the bytes>"}, ...}
      }

with every array of the native forest's ``export_arrays`` stored exactly, as
little-endian bytes.  Single trees are still written as version 1, so that
earlier quor versions keep reading them; this version reads both.  A
``random_state`` that is a ``RandomState`` instance is stored as null (the
fitted forest no longer depends on it).

Loading parses JSON only, checks every field, and rebuilds the tree through
the core's ``from_tree`` (a forest through ``RawForest.from_arrays``).  A file of another format or version, a changed
file (checksum), or one whose fields do not describe a fitted estimator is
refused with a ``ValueError``; nothing in a file is ever executed.
"""

import base64
import hashlib
import json
import numbers

import numpy as np
from sklearn.utils.validation import check_is_fitted

from . import _params
from ._estimators import QUORClassifier, QUORRegressor
from ._forest import QUORForestClassifier, QUORForestRegressor
from ._quor import RawForest
from ._tree import Tree
from ._version import __version__

__all__ = ["load", "save"]

FORMAT = "quor model"
FORMAT_VERSION = 2        # the newest version this quor reads and writes
TREE_FORMAT_VERSION = 1   # what single trees are written as
_ESTIMATORS = {"QUORClassifier": QUORClassifier, "QUORRegressor": QUORRegressor,
               "QUORForestClassifier": QUORForestClassifier,
               "QUORForestRegressor": QUORForestRegressor}
_FORESTS = (QUORForestClassifier, QUORForestRegressor)
_CLASSIFIERS = (QUORClassifier, QUORForestClassifier)
# The dtypes of the native forest's arrays; a file must store exactly these.
_ARRAY_DTYPES = {
    "node_offsets": "<i8", "is_leaf": "|b1", "children_left": "<i4", "children_right": "<i4",
    "feature": "<i4", "is_categorical": "|b1", "lower": "<f8", "upper": "<f8",
    "category": "<i8", "n_samples": "<i8", "split_score": "<f8", "leaf_value": "<f8",
    "leaf_class": "<i4", "leaf_proba": "<f8",
}
_OOB = {"oob_score_": None, "oob_prediction_": 1, "oob_decision_function_": 2}
_LABEL_KINDS = "biufUO"  # dtypes of class labels a file may restore


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
    body = {key: value for key, value in document.items() if key != "checksum"}
    text = json.dumps(body, sort_keys=True, separators=(",", ":"))
    return hashlib.sha256(text.encode("utf-8")).hexdigest()


def _array_entry(array):
    """An array as stored: dtype, shape and its little-endian bytes in base64."""
    array = np.ascontiguousarray(array)
    array = array.astype(array.dtype.newbyteorder("<"), copy=False)
    return {"dtype": array.dtype.str, "shape": list(array.shape),
            "data": base64.b64encode(array.tobytes()).decode("ascii")}


def save(estimator, path):
    """Write a fitted quor estimator to ``path`` as a quor model file.

    Takes QUORClassifier, QUORRegressor, QUORForestClassifier and
    QUORForestRegressor.  The file holds the hyperparameters, the fitted
    attributes and the trees, as JSON; :func:`load` reads it back.  Unlike a
    pickle, loading it runs no code.
    """
    name = type(estimator).__name__
    if _ESTIMATORS.get(name) is not type(estimator):
        raise TypeError("quor.save takes a QUORClassifier, a QUORRegressor or a quor forest, "
                        f"got {name}")
    forest = isinstance(estimator, _FORESTS)
    if forest:
        check_is_fitted(estimator)
    else:
        estimator.tree_  # noqa: B018 - raises NotFittedError for an unfitted estimator
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
    if isinstance(estimator, _CLASSIFIERS):
        classes = estimator.classes_
        fitted["classes_"] = {"dtype": classes.dtype.str, "values": _plain(classes, "classes_")}
    params = estimator.get_params(deep=False)
    if forest and not (params["random_state"] is None or isinstance(params["random_state"], int)):
        params["random_state"] = None
    document = {
        "format": FORMAT,
        "format_version": FORMAT_VERSION if forest else TREE_FORMAT_VERSION,
        "quor_version": __version__,
        "estimator": name,
        "params": {key: _plain(value, f"parameter {key}") for key, value in params.items()},
        "fitted": fitted,
    }
    if forest:
        fitted["n_estimators_"] = int(estimator.n_estimators_)
        for key in _OOB:
            if hasattr(estimator, key):
                value = getattr(estimator, key)
                fitted[key] = float(value) if _OOB[key] is None else _array_entry(value)
        document["forest"] = {
            "kind": estimator._forest_kind,
            "settings": _plain(estimator._forest_settings, "forest settings"),
            "arrays": {key: _array_entry(value)
                       for key, value in estimator._forest.export_arrays().items()},
        }
    else:
        document["tree"] = _plain(estimator.export_tree(), "tree")
    document["checksum"] = _checksum(document)
    with open(path, "w", encoding="utf-8") as handle:
        json.dump(document, handle, separators=(",", ":"))
        handle.write("\n")


class _Refused(ValueError):
    pass


def _require(condition, message):
    if not condition:
        raise _Refused(message)


def _list_of(value, n, check, what):
    _require(isinstance(value, list) and len(value) == n and all(map(check, value)),
             f"{what} must be a list of {n} entries")
    return value


def _is_int(value):
    return isinstance(value, int) and not isinstance(value, bool)


def _is_scalar(value):
    return isinstance(value, (str, bool, int, float))


def load(path):
    """Read an estimator written by :func:`save`.

    Raises ``ValueError`` for a file that is not a quor model file (pickles
    included: they are never unpickled), of another format version, changed
    after it was written, or whose contents do not describe a fitted
    estimator.
    """
    with open(path, "rb") as handle:
        data = handle.read()
    if data[:1] == b"\x80":
        raise ValueError(f"{path!s} is a pickle, not a quor model file; quor does not load "
                         "pickles, since unpickling can run any code (use quor.save)")
    try:
        document = json.loads(data.decode("utf-8"))
    except (UnicodeDecodeError, ValueError):
        raise ValueError(f"{path!s} is not a quor model file (not JSON)") from None
    try:
        return _from_document(document)
    except _Refused as err:
        raise ValueError(f"{path!s} is not a valid quor model file: {err}") from None


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
    cls = _ESTIMATORS.get(document.get("estimator"))
    _require(cls is not None, f"unknown estimator {document.get('estimator')!r}")
    forest = cls in _FORESTS
    _require(not forest or version >= 2, f"format version {version} holds no forests")
    body = "forest" if forest else "tree"
    params, fitted, dump = document.get("params"), document.get("fitted"), document.get(body)
    _require(isinstance(params, dict) and isinstance(fitted, dict) and isinstance(dump, dict),
             f'"params", "fitted" and "{body}" must be objects')
    task = ("forest_" if forest else "") + ("classifier" if cls in _CLASSIFIERS else "regressor")
    names = [p.name for p in _params.params_of(task)]
    _require(sorted(params) == sorted(names), f"its parameters are not those of {cls.__name__}")
    estimator = cls(**params)
    try:
        _params.check_params(estimator)
    except _params.InvalidParameterError as err:
        raise _Refused(str(err)) from None
    attrs = _fitted_attributes(fitted, cls)
    if forest:
        return _load_forest(estimator, attrs, fitted, dump)
    n_classes = len(attrs["classes_"]) if cls is QUORClassifier else None
    categorical = np.flatnonzero(attrs["is_categorical_"]).tolist()
    _check_tree(dump, attrs["n_features_in_"], n_classes)
    for name, value in attrs.items():
        setattr(estimator, name, value)
    try:
        estimator._core = estimator._rebuild_core(dump, categorical)
    except (TypeError, ValueError) as err:
        raise _Refused(f"the tree is malformed: {err}") from None
    estimator._tree = None
    return estimator


def _fitted_attributes(fitted, cls):
    n = fitted.get("n_features_in_")
    _require(_is_int(n) and n >= 1, "n_features_in_ must be a positive int")
    attrs = {
        "n_features_in_": n,
        "is_categorical_": np.array(_list_of(fitted.get("is_categorical_"), n,
                                             lambda v: isinstance(v, bool), "is_categorical_"),
                                    dtype=bool),
    }
    importances = fitted.get("feature_importances_")
    if importances is not None:
        attrs["feature_importances_"] = np.array(_list_of(
            importances, n, lambda v: isinstance(v, numbers.Real) and not isinstance(v, bool),
            "feature_importances_"), dtype=np.float64)
    names = fitted.get("feature_names_in_")
    if names is not None:
        _list_of(names, n, lambda v: isinstance(v, str), "feature_names_in_")
        attrs["feature_names_in_"] = np.array(names, dtype=object)
    categories = _list_of(fitted.get("categories_"), n, lambda v: v is None or (
        isinstance(v, list) and all(map(_is_scalar, v))), "categories_")
    attrs["categories_"] = [None if c is None else _object_array(c) for c in categories]
    if cls in _CLASSIFIERS:
        classes = fitted.get("classes_")
        _require(isinstance(classes, dict) and isinstance(classes.get("dtype"), str)
                 and isinstance(classes.get("values"), list) and classes["values"]
                 and all(map(_is_scalar, classes["values"])), "classes_ is malformed")
        try:
            dtype = np.dtype(classes["dtype"])
        except TypeError:
            raise _Refused(f"classes_ has an unknown dtype {classes['dtype']!r}") from None
        _require(dtype.kind in _LABEL_KINDS, f"classes_ has dtype {dtype}, not one of labels")
        values = _object_array(classes["values"]) if dtype.kind == "O" else np.array(
            classes["values"], dtype=dtype)
        attrs["classes_"], attrs["n_classes_"] = values, len(values)
    return attrs


def _object_array(values):
    out = np.empty(len(values), dtype=object)
    out[:] = values
    return out


def _check_tree(dump, n_features, n_classes):
    """Refuse a dump that is not one tree over these features and classes."""
    keys = ["is_leaf", "children_left", "children_right", "feature", "is_categorical",
            "lower", "upper", "category", "n_samples"]
    keys += ["value"] if n_classes is None else ["predicted_class", "proba"]
    lists = {key: dump.get(key) for key in keys}
    n = len(lists["is_leaf"]) if isinstance(lists["is_leaf"], list) else 0
    _require(n > 0, "the tree has no nodes")
    for key, value in lists.items():
        _require(isinstance(value, list) and len(value) == n, f"tree {key!r} must have {n} entries")
    try:
        tree = Tree(dump, n_classes)
    except (TypeError, ValueError) as err:
        raise _Refused(f"the tree is malformed: {err}") from None
    splits = ~tree.is_leaf
    _require(np.all((tree.feature[splits] >= 0) & (tree.feature[splits] < n_features)),
             f"the tree splits on a feature outside 0 .. {n_features - 1}")
    if n_classes is not None:
        leaves = tree.is_leaf
        _require(np.all((tree.predicted_class[leaves] >= 0)
                        & (tree.predicted_class[leaves] < n_classes)),
                 f"a leaf predicts a class outside 0 .. {n_classes - 1}")
        _require(all(len(p) <= n_classes for p in lists["proba"]),
                 f"a leaf has more than {n_classes} probabilities")


def _stored_array(entry, what, dtype=None):
    """The array stored by :func:`_array_entry`, its dtype checked."""
    _require(isinstance(entry, dict) and isinstance(entry.get("dtype"), str)
             and isinstance(entry.get("shape"), list) and all(map(_is_int, entry["shape"]))
             and all(n >= 0 for n in entry["shape"]) and isinstance(entry.get("data"), str),
             f"{what} is not a stored array")
    _require(dtype is None or entry["dtype"] == dtype, f"{what} must have dtype {dtype}")
    try:
        kind = np.dtype(entry["dtype"])
        data = base64.b64decode(entry["data"].encode("ascii"), validate=True)
    except (TypeError, ValueError):
        raise _Refused(f"{what} is not a stored array") from None
    _require(kind.kind in "biuf", f"{what} is not an array of numbers")
    size = int(np.prod(entry["shape"], dtype=np.int64))
    _require(len(data) == size * kind.itemsize, f"{what} does not hold {entry['shape']} values")
    return np.frombuffer(data, dtype=kind).reshape(entry["shape"]).astype(kind.newbyteorder("="))


def _load_forest(estimator, attrs, fitted, body):
    """The fitted forest of a version 2 document."""
    kind, settings, arrays = body.get("kind"), body.get("settings"), body.get("arrays")
    classifier = isinstance(estimator, QUORForestClassifier)
    expected = (("classifier", "objective_classifier") if classifier else ("regressor",))
    _require(kind in expected, f"forest kind {kind!r} is not one of {list(expected)}")
    _require(isinstance(settings, dict) and isinstance(arrays, dict),
             'the forest\'s "settings" and "arrays" must be objects')
    n_classes = len(attrs["classes_"]) if classifier else None
    _require(not classifier or settings.get("n_classes") == n_classes,
             "the forest's n_classes does not match classes_")
    leaf_keys = ["leaf_class", "leaf_proba"] if classifier else ["leaf_value"]
    keys = [k for k in _ARRAY_DTYPES if not k.startswith("leaf_")] + leaf_keys
    _require(sorted(arrays) == sorted(keys), "the forest's arrays are not those of a forest")
    loaded = {key: _stored_array(arrays[key], f"forest array {key!r}", _ARRAY_DTYPES[key])
              for key in keys}
    splits = ~loaded["is_leaf"]
    n_features = attrs["n_features_in_"]
    _require(np.all((loaded["feature"][splits] >= 0) & (loaded["feature"][splits] < n_features)),
             f"a tree splits on a feature outside 0 .. {n_features - 1}")
    if classifier:
        _require(np.all((loaded["leaf_class"] >= 0) & (loaded["leaf_class"] < n_classes)),
                 f"a leaf predicts a class outside 0 .. {n_classes - 1}")
    try:
        raw = RawForest.from_arrays(kind, settings, loaded)
    except (TypeError, ValueError) as err:
        raise _Refused(f"the forest is malformed: {err}") from None
    n_trees = fitted.get("n_estimators_")
    _require(n_trees == raw.n_trees(), "n_estimators_ does not match the forest")
    attrs["n_estimators_"] = n_trees
    for key, ndim in _OOB.items():
        value = fitted.get(key)
        if value is None:
            continue
        if ndim is None:
            _require(isinstance(value, numbers.Real), f"{key} must be a number")
            attrs[key] = float(value)
        else:
            array = _stored_array(value, key, "<f8")
            _require(array.ndim == ndim, f"{key} must have {ndim} dimensions")
            attrs[key] = array
    importances = attrs.pop("feature_importances_", None)
    for name, value in attrs.items():
        setattr(estimator, name, value)
    estimator._forest, estimator._forest_kind, estimator._forest_settings = raw, kind, settings
    estimator._estimators, estimator._feature_importances = None, importances
    return estimator
