"""Model files from others: quor.load refuses every hostile file with a
ValueError naming the file and the field, or gives a sound model; the native
forest loader refuses bad arrays itself; large files need max_bytes."""

import base64
import copy
import hashlib
import json
import math
import os
import pickle
import random
import subprocess
import sys
import textwrap
import warnings
from pathlib import Path

import numpy as np
import pandas as pd
import pytest
import sklearn.base

import quor
from quor import (QUORClassifier, QUORForestClassifier, QUORForestRegressor, QUORRegressor,
                  RawForest)
from conftest import SANITIZED, version_1
from fuzz_support import SCALE

PYTHON_DIR = Path(__file__).resolve().parents[2] / "python"


def training_data(seed=0, n=240):
    rng = np.random.default_rng(seed)
    frame = pd.DataFrame({
        "a": rng.integers(0, 40, size=n) / 4.0,
        "b": rng.normal(size=n),
        "colour": pd.Categorical(rng.choice(["red", "green", "blue"], size=n)),
        "code": rng.integers(0, 4, size=n).astype(float),
    })
    frame.loc[::11, "b"] = np.nan
    y = frame["a"] + 3.0 * (frame["colour"] == "green") + (frame["code"] == 2)
    return frame, y.to_numpy()


def models():
    """One fitted model of every kind a file holds, by name."""
    frame, y = training_data()
    labels = np.where(y > 6, "high", np.where(y > 3, "mid", "low"))
    # One-category splits: files of versions 1 to 4, made from these, hold no sets.
    one = {"categorical_split": "one"}
    return {
        "regressor": QUORRegressor(max_depth=4, categorical=["code"], **one).fit(frame, y),
        "classifier": QUORClassifier(max_depth=4, **one).fit(frame, labels),
        "objective": QUORClassifier(max_depth=3, objective="f1", pos_label="mid",
                                    mode="fast").fit(frame.to_numpy()[:, [0, 1, 3]], labels),
        "forest_regressor": QUORForestRegressor(n_estimators=4, max_depth=5, random_state=0,
                                                oob_score=True, categorical=[3], **one).fit(frame, y),
        "forest_classifier": QUORForestClassifier(n_estimators=4, max_depth=5, random_state=0,
                                                  max_samples=100, **one).fit(frame, labels),
    }


@pytest.fixture(scope="module")
def saved(tmp_path_factory):
    """name -> (model, its document); the single trees also as written by quor 0.2
    ("<name>_v1")."""
    directory = tmp_path_factory.mktemp("models")
    out = {}
    for name, model in models().items():
        path = directory / f"{name}.quor"
        quor.save(model, path)
        out[name] = model, json.loads(path.read_text())
        if not name.startswith("forest"):
            out[name + "_v1"] = model, version_1(model, out[name][1])
    return out


def write(path, document):
    document = dict(document)
    document["checksum"] = quor._io._checksum(document)
    path.write_text(json.dumps(document))
    return path


def decoded(entry):
    return np.frombuffer(base64.b64decode(entry["data"]), dtype=entry["dtype"]).copy()


def stored(array, like):
    array = np.ascontiguousarray(array, dtype=like["dtype"])
    return dict(like, shape=list(array.shape), data=base64.b64encode(array.tobytes()).decode())


def with_array(document, name, change):
    """The document with forest array ``name`` replaced by change(array)."""
    document = copy.deepcopy(document)
    entry = document["forest"]["arrays"][name]
    shape = entry["shape"]
    document["forest"]["arrays"][name] = stored(change(decoded(entry).reshape(shape)), entry)
    return document


def forest_arrays(document):
    return {k: decoded(v).reshape(v["shape"]) for k, v in document["forest"]["arrays"].items()}


def first_split(document):
    arrays = forest_arrays(document)
    return int(np.flatnonzero(~arrays["is_leaf"])[0])


def category_split(document):
    arrays = forest_arrays(document)
    return int(np.flatnonzero(arrays["is_categorical"])[0])


def at(index, value):
    def change(array):
        array = array.copy()
        array[index] = value
        return array
    return change


def long_leaf_flags(document):
    """is_leaf bytes 2 instead of 1, leaf values emptied: once a crash of quor.load."""
    document = copy.deepcopy(document)
    entry = document["forest"]["arrays"]["is_leaf"]
    raw = bytes(2 if b else 0 for b in base64.b64decode(entry["data"]))
    entry["data"] = base64.b64encode(raw).decode()
    leaves = document["forest"]["arrays"]["leaf_value"]
    document["forest"]["arrays"]["leaf_value"] = dict(leaves, shape=[0], data="")
    return document


def one_tree_short(document):
    """Every per-node array one entry short at the end of the last tree."""
    document = copy.deepcopy(document)
    arrays = document["forest"]["arrays"]
    for name in ("is_leaf", "children_left", "children_right", "feature", "is_categorical",
                 "lower", "upper", "category", "n_samples", "split_score", "node_weight",
                 "missing_left", "held_out_count", "set_offsets"):
        arrays[name] = stored(decoded(arrays[name])[:-1], arrays[name])
    return with_array(document, "node_offsets", lambda a: np.append(a[:-1], a[-1] - 1))


def in_fitted(key, value):
    return lambda d: dict(d, fitted=dict(d["fitted"], **{key: value}))


def in_settings(key, value):
    return lambda d: dict(d, forest=dict(d["forest"], settings=dict(d["forest"]["settings"],
                                                                     **{key: value})))


def in_tree(key, index, value):
    def change(d):
        column = list(d["tree"][key])
        column[index(d) if callable(index) else index] = value
        return dict(d, tree=dict(d["tree"], **{key: column}))
    return change


def tree_split(d):
    return d["tree"]["is_leaf"].index(False)


def tree_leaf(d):
    return d["tree"]["is_leaf"].index(True)


def classes(values, dtype):
    return in_fitted("classes_", {"dtype": dtype, "values": values})


# (model, change, words the message must hold): the faults found so far.
CRAFTED = [
    ("forest_regressor", long_leaf_flags, "] is 2, not 0 or 1"),
    ("forest_regressor", one_tree_short, "leaf_value has 109 entries for 108 leaves"),
    ("forest_regressor", lambda d: with_array(d, "leaf_value", at(0, math.inf)), "leaf_value[0]"),
    ("forest_regressor", lambda d: with_array(d, "leaf_value", at(2, np.nan)), "leaf_value[2]"),
    ("forest_classifier", lambda d: with_array(d, "leaf_proba", at((0, 1), np.nan)),
     "not a probability"),
    ("forest_classifier", lambda d: with_array(d, "leaf_proba", at(1, 0.0)), "sums to 0"),
    ("forest_classifier", lambda d: with_array(d, "leaf_proba", at((0, 0), -0.5)),
     "not a probability"),
    ("forest_classifier", lambda d: with_array(d, "leaf_class", at(0, 3)), "not a class (0 .. 2)"),
    ("forest_regressor", lambda d: with_array(d, "lower", at(first_split(d), np.nan)),
     "not the bounds of an interval"),
    ("forest_regressor", lambda d: with_array(d, "lower", at(first_split(d), 1e300)),
     "not the bounds of an interval"),
    ("forest_regressor", lambda d: with_array(d, "is_categorical", at(first_split(d), True)),
     "is not categorical in the settings"),
    ("forest_regressor", lambda d: with_array(d, "category", at(category_split(d), -7)),
     "not a category code"),
    ("forest_regressor", lambda d: with_array(d, "category", at(category_split(d), 2**40)),
     "not a category code"),
    ("forest_regressor", lambda d: with_array(d, "children_left", at(0, 2**31 - 1)),
     "not a later node of its tree"),
    ("forest_regressor", lambda d: with_array(d, "n_samples", at(0, -1)), "n_samples[0] is -1"),
    ("forest_regressor", lambda d: with_array(d, "node_weight", at(1, -0.5)), "node_weight[1] is -0.5"),
    ("forest_regressor", lambda d: with_array(d, "node_weight", at(1, math.nan)), "node_weight[1] is nan"),
    ("forest_regressor", lambda d: with_array(d, "node_weight", at(0, 1e6)),
     "node_weight[0] is 1000000, not the sum of its children's"),
    ("forest_classifier", lambda d: with_array(d, "node_weight", lambda a: a[:-1]),
     "node_weight has"),
    ("forest_regressor", in_settings("categorical", list(range(10**6))),
     "the forest setting categorical is [0, 1, 2"),
    ("forest_regressor", in_settings("categorical", [2**63]), "the forest setting categorical"),
    ("forest_regressor", in_settings("n_bins", -1), "the forest setting n_bins is -1"),
    ("forest_regressor", in_settings("n_bins", True), "the forest setting n_bins is True"),
    ("forest_regressor", lambda d: dict(d, forest=dict(d["forest"], arrays=dict(
        d["forest"]["arrays"], lower=dict(d["forest"]["arrays"]["lower"], shape=[2**64 + 1])))),
     "does not hold [18446744073709551617] values"),
    ("forest_regressor", in_fitted("oob_score_", True), "oob_score_ must be a float"),
    ("forest_classifier", classes(["high", "high", "mid"], "<U4"), "sorted and distinct"),
    ("forest_classifier", classes(["abc", "b", "c"], "<U1"), "do not fit in dtype <U1"),
    ("forest_classifier", classes([0, 1, 2**70], "<i8"), "classes_:"),
    ("forest_classifier", in_fitted("feature_importances_", [math.nan, 0.5, 0.25, 0.25]),
     "feature_importances_ must be finite"),
    ("forest_classifier", in_fitted("feature_importances_", [0.5, 0.5, 0.5, -0.5]),
     "feature_importances_ must be finite"),
    ("regressor_v1", in_tree("feature", tree_split, True), "tree 'feature' must hold only ints"),
    ("regressor_v1", in_tree("children_left", 0, 2**70), "tree 'children_left':"),
    ("regressor_v1", in_tree("n_samples", tree_leaf, -1), "] is -1"),
    ("regressor_v1", in_tree("n_samples", 0, 2**80), "tree 'n_samples':"),
    ("regressor_v1", in_tree("value", tree_leaf, math.inf), "not a finite value"),
    ("regressor_v1", in_tree("upper", tree_split, math.nan), "not the bounds of an interval"),
    ("regressor_v1", in_tree("is_categorical", tree_split, True),
     "is not categorical in the settings"),
    ("classifier_v1", in_tree("proba", tree_leaf, []), "sums to 0, not 1"),
    ("classifier_v1", in_tree("proba", tree_leaf, [math.nan, 0.5, 0.5]), "not a probability"),
    ("classifier_v1", in_tree("proba", tree_leaf, [0.5, 0.5, 0.5]), "sums to 1.5, not 1"),
    ("classifier_v1", in_tree("predicted_class", tree_leaf, 3), "not a class (0 .. 2)"),
    ("objective", in_fitted("n_features_in_", True), "n_features_in_ must be a positive int"),
    ("objective", lambda d: dict(d, params=dict(d["params"], pos_label="none")),
     "pos_label='none' is not a valid label"),
    ("regressor", lambda d: dict(d, params=dict(d["params"], categorical=None)),
     "is_categorical_ is not what the 'categorical' parameter"),
    ("regressor", lambda d: dict(d, params=dict(d["params"], max_depth=1)),
     "the forest setting max_depth is 4, but its parameters"),
    ("regressor_v1", lambda d: dict(d, params=dict(d["params"], max_depth=1)),
     "deeper than max_depth=1"),
    ("regressor", lambda d: with_array(d, "leaf_value", at(0, math.nan)), "leaf_value[0]"),
    ("classifier", lambda d: with_array(d, "leaf_class", lambda a: (a + 1) % 3),
     "the class of largest"),
    ("regressor", in_settings("max_features", 1), "the forest setting max_features is 1"),
    ("classifier", lambda d: dict(d, params=dict(d["params"], class_weight=[["nope", 2.0]])),
     "class_weight names the class 'nope', which is not a class of y"),
    ("classifier", lambda d: dict(d, params=dict(d["params"], class_weight=[[1, 2], [1.0, 3]])),
     "parameter 'class_weight' names a class twice"),
    ("classifier", lambda d: dict(d, params=dict(d["params"], class_weight={"mid": 2.0})),
     "parameter 'class_weight' holds a dict"),
    ("classifier", lambda d: dict(d, params=dict(d["params"], min_weight_fraction_leaf=0.1)),
     "the forest setting min_weight_fraction_leaf is 0.0, but its parameters"),
]


@pytest.mark.parametrize("name, change, words", CRAFTED)
def test_crafted_files_are_refused_naming_the_field(saved, tmp_path, name, change, words):
    model, document = saved[name]
    path = write(tmp_path / "model.quor", change(copy.deepcopy(document)))
    with pytest.raises(ValueError) as info:
        quor.load(path)
    message = str(info.value)
    assert message.startswith(f"{path} is not a valid quor model file: ")
    assert words in message


@pytest.mark.parametrize("name, change, words", [
    ("regressor", dict(max_depth=1), "the tree is deeper than max_depth=1"),
    ("regressor", dict(categorical=None), "is_categorical_ is not what the 'categorical'"),
    ("objective", dict(pos_label="none"), "pos_label='none' is not a valid label"),
    ("forest_regressor", dict(n_estimators=5), "the forest has 4 trees but"),
    ("forest_regressor", dict(oob_score=False), "the out-of-bag attributes must be []"),
    ("forest_classifier", dict(oob_score=True), "the out-of-bag attributes must be"),
    ("forest_classifier", dict(min_samples_leaf=3), "the forest setting min_samples_leaf is 1"),
])
def test_models_whose_parameters_changed_after_fit_are_not_saved(tmp_path, name, change, words):
    """save never writes a file that load would refuse."""
    model = models()[name].set_params(**change)
    with pytest.raises(ValueError, match="cannot be saved: ") as info:
        quor.save(model, tmp_path / "model.quor")
    assert words in str(info.value)
    assert not (tmp_path / "model.quor").exists()


@pytest.mark.parametrize("name", ["forest_regressor", "forest_classifier"])
def test_a_tree_of_a_forest_is_not_saved_alone(tmp_path, name):
    with pytest.raises(ValueError, match="is a tree of a forest .*: save the forest"):
        quor.save(models()[name].estimators_[0], tmp_path / "model.quor")
    assert not (tmp_path / "model.quor").exists()


# Arrays a fit never writes, each refused by the core itself (not by Python).
NATIVE = [
    ("is_leaf", lambda a: (a.view(np.uint8) * 2).view(bool), "] is 2, not 0 or 1"),
    ("is_categorical", lambda a: np.where(a, 3, 0).astype(np.uint8).view(bool) if a.any()
     else np.full_like(a, 3, dtype=np.uint8).view(bool), "not 0 or 1"),
    ("leaf_value", lambda a: a[:-1], "leaf_value has"),
    ("node_offsets", lambda a: np.array([0, *a[2:], a[1]]), "node_offsets"),
    ("feature", lambda a: np.where(a >= 0, -3, a).astype(np.int32), "at a split"),
    ("children_right", lambda a: np.where(a > 0, 1, a).astype(np.int32), "not a later node"),
    ("split_score", lambda a: np.where(np.isnan(a), 0.0, a), "has the fields of a split"),
    ("split_score", lambda a: np.where(np.isnan(a), a, np.inf), "is infinite"),
    ("n_samples", lambda a: a + 1, "not the sum of its children's"),
    ("lower", lambda a: np.where(np.isnan(a), a, 1e308), "not the bounds of an interval"),
    ("leaf_value", lambda a: np.full_like(a, 2.0**961), "magnitude at most 2**960"),
]


@pytest.mark.parametrize("key, change, words", NATIVE)
def test_the_native_loader_refuses_what_a_fit_never_writes(key, change, words):
    frame, y = training_data(1)
    forest = QUORForestRegressor(n_estimators=3, max_depth=4, random_state=0,
                                 categorical=[3]).fit(frame, y)
    arrays = forest._forest.export_arrays()
    RawForest.from_arrays("regressor", forest._forest_settings, arrays)  # as they are: taken
    arrays[key] = change(arrays[key])
    with pytest.raises(ValueError, match="forest dump: ") as info:
        RawForest.from_arrays("regressor", forest._forest_settings, arrays)
    assert words in str(info.value)


def test_forests_refuse_targets_their_dump_could_not_hold():
    X = np.arange(20.0).reshape(-1, 1)
    y = np.r_[np.zeros(19), -1e300]
    with pytest.raises(ValueError, match="finite targets of magnitude at most 2"):
        QUORForestRegressor(n_estimators=2).fit(X, y)
    with pytest.raises(ValueError, match="finite targets of magnitude at most 2"):
        QUORRegressor().fit(X, y)
    raw = RawForest("regressor", QUORForestRegressor(n_estimators=1).fit(X, X[:, 0])
                    ._forest_settings)
    for bad in (np.inf, np.nan):
        with pytest.raises(ValueError, match="finite targets of magnitude at most 2"):
            raw.fit(X, np.r_[np.zeros(19), bad], [1], 1, False, None)
    forest = RawForest("classifier", QUORForestClassifier(n_estimators=1).fit(X, X[:, 0] > 5)
                       ._forest_settings)
    with pytest.raises(ValueError, match="y holds class 2, not below n_classes 2"):
        forest.fit(X, np.r_[np.zeros(19), 2].astype(np.int64), [1], 1, False, None)
    # The package's limit is the core's: the largest target allowed gives
    # finite leaves and predictions, the next float is refused.
    for Est in (QUORForestRegressor, QUORRegressor):
        big = Est().fit(X, np.full(20, quor._estimators.LARGEST_TARGET))
        assert np.isfinite(big.predict(X)).all()
        with pytest.raises(ValueError, match="finite targets of magnitude at most 2"):
            Est().fit(X, np.full(20, -np.nextafter(quor._estimators.LARGEST_TARGET, np.inf)))


def test_a_forest_predicts_only_rows_with_the_columns_its_splits_read():
    rng = np.random.default_rng(2)
    full = rng.normal(size=(200, 5))
    y = full[:, 0] + full[:, 1]
    forest = QUORForestRegressor(n_estimators=3, max_features=None, random_state=0).fit(full, y)
    needed = max(forest._forest.export_arrays()["feature"]) + 1
    X = full[:, :needed]
    np.testing.assert_array_equal(forest._forest.predict(X, 1), forest.predict(full))
    with pytest.raises(ValueError, match=f"forest splits on column {needed - 1}"):
        forest._forest.predict(X[:, :needed - 1], 1)


DATA_DIR = Path(__file__).resolve().parents[1] / "data"


def stored_forest_data():
    """The rows the forests in tests/data/forest_*_v2.quor were fitted on."""
    rng = np.random.default_rng(7)
    x = rng.integers(0, 20, size=(80, 3)).astype(float)
    x[::9, 1] = np.nan
    y = x[:, 0] + 2.0 * (x[:, 2] > 10) + rng.integers(0, 3, size=80)
    return x, y, np.where(y > 14, "high", np.where(y > 8, "mid", "low"))


def forest_bits(model):
    """The trees' arrays; without the splits' held-out credits, which files written
    before them do not hold."""
    return {k: v.tobytes() for k, v in model._forest.export_arrays().items()
            if not k.startswith("held_out_")}


@pytest.mark.filterwarnings("ignore:.*no out-of-bag prediction")
@pytest.mark.parametrize("name", ["forest_regressor_v2", "forest_classifier_v2"])
def test_forests_saved_before_still_load(tmp_path, name):
    """Forests written as format version 2 by an earlier version hold the settings
    sampling="subsample" and score_other_features=true: files and pickles that do
    load as the forest a fit grows now, and save again; other values are refused,
    by the file's checks and by the native loader alone."""
    document = json.loads((DATA_DIR / f"{name}.quor").read_text())
    settings = document["forest"]["settings"]
    assert document["format_version"] == 2
    assert (settings["sampling"], settings["score_other_features"]) == ("subsample", True)
    model = quor.load(DATA_DIR / f"{name}.quor")
    x, y, labels = stored_forest_data()
    refit = sklearn.base.clone(model).fit(x, labels if "classifier" in name else y)
    assert forest_bits(model) == forest_bits(refit)
    np.testing.assert_array_equal(model.predict(x), refit.predict(x))
    quor.save(model, tmp_path / "again.quor")
    assert forest_bits(quor.load(tmp_path / "again.quor")) == forest_bits(refit)
    state = refit.__getstate__()
    state["_forest_settings"] = dict(state["_forest_settings"], sampling="subsample",
                                     score_other_features=True)
    unpickled = type(refit).__new__(type(refit))
    unpickled.__setstate__(state)
    assert forest_bits(unpickled) == forest_bits(refit)
    for key, value, words in [("sampling", "bootstrap", 'unknown row sampling "bootstrap"'),
                              ("score_other_features", False, "must be True")]:
        with pytest.raises(ValueError, match=f"the forest setting {key} is"):
            quor.load(write(tmp_path / "bad.quor", in_settings(key, value)(document)))
        with pytest.raises(ValueError, match=words):
            RawForest.from_arrays(model._forest_kind, dict(settings, **{key: value}),
                                  model._forest.export_arrays())


# -- the mutation test ---------------------------------------------------------------

ODD_VALUES = [None, True, False, 0, -1, 1, 3, 2**31, 2**63, 2**64, 2**70, -2**63 - 1, math.nan,
              math.inf, -math.inf, 0.5, -0.0, 1e308, "", "x", "mid", [], {}, [1], [None]]


def paths(value, prefix=()):
    """Every place in a JSON value, as a tuple of keys and indices."""
    yield prefix
    if isinstance(value, dict):
        for key, item in value.items():
            yield from paths(item, prefix + (key,))
    elif isinstance(value, list):
        for i, item in enumerate(value):
            yield from paths(item, prefix + (i,))


def get(document, path):
    for key in path:
        document = document[key]
    return document


def put(document, path, value):
    get(document, path[:-1])[path[-1]] = value


def mutate(document, rng):
    """One hostile change of a copy of ``document``: its checksum is made anew."""
    document = copy.deepcopy(document)
    del document["checksum"]
    places = [p for p in paths(document) if p]
    path = rng.choice(places)
    value = get(document, path)
    arrays = [p for p in places if isinstance(get(document, p), dict)
              and set(get(document, p)) == {"dtype", "shape", "data"}]
    move = rng.randrange(7)
    if move == 0 and arrays:  # bytes of a stored array
        entry = get(document, rng.choice(arrays))
        raw = bytearray(base64.b64decode(entry["data"]))
        for _ in range(rng.randint(1, 4)):
            if raw:
                raw[rng.randrange(len(raw))] = rng.choice([0, 1, 2, 0x7F, 0x80, 0xFF,
                                                           rng.randrange(256)])
        if rng.random() < 0.2:
            raw = raw[:rng.randrange(len(raw) + 1)]
        entry["data"] = base64.b64encode(bytes(raw)).decode()
    elif move == 1 and isinstance(value, list) and value:  # shorter, longer, reordered
        edit = rng.randrange(4)
        if edit == 0:
            value.clear()
        elif edit == 1:
            del value[rng.randrange(len(value))]
        elif edit == 2:
            value.insert(rng.randrange(len(value) + 1), copy.deepcopy(rng.choice(value)))
        else:
            i, j = rng.randrange(len(value)), rng.randrange(len(value))
            value[i], value[j] = value[j], value[i]
    elif move == 2 and isinstance(value, dict) and value:  # a field gone, swapped or added
        keys = list(value)
        edit = rng.randrange(3)
        if edit == 0:
            del value[rng.choice(keys)]
        elif edit == 1:
            a, b = rng.choice(keys), rng.choice(keys)
            value[a], value[b] = value[b], value[a]
        else:
            value["extra"] = 1
    elif move == 3 and isinstance(value, (int, float)) and not isinstance(value, bool):
        put(document, path, rng.choice([value + 1, value - 1, -value, value * 2**40,
                                        float(value), int(value) if math.isfinite(value) else 0]))
    else:
        put(document, path, copy.deepcopy(rng.choice(ODD_VALUES)))
    document["checksum"] = quor._io._checksum(document)
    return document


def check_sound(model, rng, path):
    """A loaded model predicts sensibly, exports, pickles and saves again."""
    n = model.n_features_in_
    X = rng.normal(size=(40, n)) * 10
    codes = model.is_categorical_
    X[:, codes] = np.floor(np.abs(X[:, codes]))  # columns of category codes take whole numbers
    X[::7, 0] = np.nan
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        predicted = model.predict(X)
        if hasattr(model, "classes_"):
            proba = model.predict_proba(X)
            assert np.isin(predicted, model.classes_).all()
            assert ((proba >= 0) & (proba <= 1)).all()
            np.testing.assert_allclose(proba.sum(axis=1), 1.0, rtol=0, atol=1e-9)
        else:
            assert np.isfinite(predicted).all()
        importances = getattr(model, "feature_importances_", None)  # None: not known
        assert importances is None or np.isfinite(importances).all()
        if isinstance(model, (QUORForestClassifier, QUORForestRegressor)):
            model.estimators_[0].export_tree()
            model.apply(X)
        else:
            model.export_tree()
            assert model.tree_.node_count >= 1
        again = pickle.loads(pickle.dumps(model))
        np.testing.assert_array_equal(again.predict(X), predicted)
        quor.save(model, path)
        np.testing.assert_array_equal(quor.load(path).predict(X), predicted)


@pytest.mark.parametrize("name", ["regressor", "classifier", "objective", "regressor_v1",
                                  "classifier_v1", "objective_v1", "forest_regressor",
                                  "forest_classifier"])
def test_hostile_files_are_refused_or_load_as_sound_models(saved, tmp_path, name):
    model, document = saved[name]
    rng = random.Random(name)
    data_rng = np.random.default_rng(0)
    path = tmp_path / "mutated.quor"
    outcomes = {"refused": 0, "loaded": 0}
    for _ in range(60 * SCALE):
        mutated = mutate(document, rng)
        path.write_text(json.dumps(mutated))
        try:
            loaded = quor.load(path)
        except ValueError as err:
            assert str(err).startswith(f"{path} is not a valid quor model file: "), err
            outcomes["refused"] += 1
            continue
        outcomes["loaded"] += 1
        check_sound(loaded, data_rng, tmp_path / "again.quor")
    assert outcomes["refused"] > 0


# -- size and memory --------------------------------------------------------------


def test_files_above_max_bytes_are_refused_before_they_are_read(saved, tmp_path):
    model, document = saved["regressor"]
    path = tmp_path / "model.quor"
    quor.save(model, path)
    size = path.stat().st_size
    with pytest.raises(ValueError, match=f"larger than max_bytes={size - 1} bytes; pass a larger "
                                         "max_bytes"):
        quor.load(path, max_bytes=size - 1)
    assert quor.load(path, max_bytes=size).get_depth() == model.get_depth()
    for bad in (-1, 1.5, True, None):
        with pytest.raises(TypeError, match="max_bytes must be a non-negative int"):
            quor.load(path, max_bytes=bad)
    if hasattr(os, "mkfifo"):  # no size to stat: what is read is still bounded
        fifo = tmp_path / "fifo"
        os.mkfifo(fifo)
        writer = subprocess.Popen([sys.executable, "-c", f"open({str(fifo)!r}, 'wb').write("
                                   f"b' ' * {size + 100} + open({str(path)!r}, 'rb').read())"])
        try:
            with pytest.raises(ValueError, match="larger than max_bytes"):
                quor.load(fifo, max_bytes=size)
        finally:
            writer.kill()
            writer.wait(timeout=30)


@pytest.mark.skipif(SANITIZED, reason="a file above a gibibyte takes minutes under ASan")
def test_a_model_above_the_default_limit_loads_with_max_bytes(tmp_path):
    """A tree whose categorical feature has 2**14 long categories: its file
    passes 2**30 bytes, almost all of it the categories, as its memory does."""
    names = [f"category-{i:05d}-" + "x" * 65536 for i in range(2**14)]
    rows = pd.DataFrame({"c": names[:8] * 4, "v": np.arange(32.0)})
    frame = rows.assign(c=pd.Categorical(rows["c"], categories=names))
    model = QUORRegressor(max_depth=2).fit(frame, (np.arange(32) % 8 == 3) * 5.0)
    expected, tree = model.predict(rows), repr(model.export_tree())
    path = tmp_path / "large.quor"
    quor.save(model, path)
    del names, frame, model  # the categories held once at a time
    assert path.stat().st_size > quor._io.MAX_BYTES
    with pytest.raises(ValueError, match="larger than max_bytes=1073741824 bytes"):
        quor.load(path)
    loaded = quor.load(path, max_bytes=2**31)
    np.testing.assert_array_equal(loaded.predict(rows), expected)
    assert repr(loaded.export_tree()) == tree


def test_checksums_and_files_are_the_text_json_gives(tmp_path):
    """The streamed checksum and file are json's own text: files written before still load."""
    long = "A" * 5000
    strings = [long, long + '"', long + "\\", long + "\x01", long + "\x7f", long + "é"]
    document = {"b": [math.nan, math.inf, -math.inf, -0.0, 5e-324, 0.1, 2**70, -3, True, False,
                      None, [], {}], "a": {"z": "é☃\x00\"\\\x7f\x1f", "y": strings},
                "checksum": "not hashed"}
    body = {k: v for k, v in document.items() if k != "checksum"}
    text = json.dumps(body, sort_keys=True, separators=(",", ":"))
    assert quor._io._checksum(document) == hashlib.sha256(text.encode()).hexdigest()
    chunks = []
    quor._io._CompactJson(chunks.append, sort_keys=False).write(document)
    assert b"".join(chunks).decode() == json.dumps(document, separators=(",", ":"))


@pytest.mark.parametrize("name", ["classifier", "forest_regressor", "forest_classifier"])
def test_files_written_before_weights_load_as_they_were(saved, tmp_path, name):
    """No class_weight, min_weight_fraction_leaf nor node_weight: the defaults, and
    every node weighing its rows."""
    model, document = saved[name]
    old = copy.deepcopy(document)
    for key in ("class_weight", "min_weight_fraction_leaf"):
        old["params"].pop(key, None)
    del old["forest"]["settings"]["min_weight_fraction_leaf"]
    del old["forest"]["arrays"]["node_weight"]
    loaded = quor.load(write(tmp_path / "old.quor", old))
    assert loaded.get_params() == model.get_params()
    X, _ = training_data()
    np.testing.assert_array_equal(loaded.predict(X), model.predict(X))
    np.testing.assert_array_equal(loaded.feature_importances_, model.feature_importances_)
