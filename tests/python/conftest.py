"""Shared helpers: constructor arguments, hand-built dumps and dump comparison."""

import math
import os
import struct

import numpy as np
import pytest

from quor import _quor
from quor._params import defaults

# The estimators' shared defaults, in the raw classes' argument order, with a
# few changes that the raw classes' tests were written for.
# The raw classes take no weights, so not min_weight_fraction_leaf either, and
# always send missing values right and split categories one at a time.
COMMON = dict({k: v for k, v in defaults("both").items()
               if k not in ("min_weight_fraction_leaf", "missing", "categorical_split",
                             "threshold_placement")},
              max_depth=None, agg_frac=0.1, agg_eps=1e-9, categorical=[],
              # the raw classes' own defaults, which the package's trees no longer share
              min_samples_leaf=1, n_bins=8, cv_folds=5, mode="strict")


def earlier(**params):
    """The single trees' defaults from before they were chosen on the quality
    suite (the raw classes' own, depth 8, thresholds at the bins' edges), with
    ``params``: for tests whose data and expectations were made for them."""
    return {"mode": "strict", "n_bins": 8, "max_depth": 8, "cv_folds": 5, "min_samples_leaf": 1,
            "threshold_placement": "edge", **params}


REGRESSOR_ARGS = dict(criterion="mse", **COMMON)
CLASSIFIER_ARGS = dict(n_classes=2, criterion="gini", **COMMON)
OBJECTIVE_ARGS = dict(n_classes=2, objective="f1", average="binary", pos_label=1, beta=1.0, **COMMON)

# Keyword arguments in signature order, per class.
ARGS = {
    _quor.RawRegressor: REGRESSOR_ARGS,
    _quor.RawClassifier: {k: CLASSIFIER_ARGS[k] for k in ["n_classes", "criterion", *COMMON]},
    _quor.RawObjectiveClassifier: {
        k: OBJECTIVE_ARGS[k]
        for k in ["n_classes", "objective", "average", "pos_label", "beta", *COMMON]
    },
}
CLASSES = list(ARGS)

# Under AddressSanitizer (`make test-asan` sets QUOR_SANITIZED) a failing operator
# new ends the process instead of throwing std::bad_alloc, so a test that needs
# a real allocation failure inside the core cannot run there.
SANITIZED = bool(os.environ.get("QUOR_SANITIZED"))
needs_bad_alloc = pytest.mark.skipif(SANITIZED, reason="operator new cannot fail under ASan")
CLASSIFIERS = [_quor.RawClassifier, _quor.RawObjectiveClassifier]
NAN = float("nan")
INF = float("inf")


def construct(cls, **overrides):
    return cls(**{**ARGS[cls], **overrides})


def leaf(payload, n_samples=1):
    """A leaf node: a float value (regressor) or (proba, predicted_class)."""
    return {"leaf": payload, "n": n_samples}


def interval(feature, left, right, lower=-INF, upper=INF):
    return {"f": feature, "lo": lower, "hi": upper, "l": left, "r": right}


def category(feature, code, left, right):
    return {"f": feature, "cat": code, "l": left, "r": right}


def make_dump(nodes, classification):
    """A dump dictionary of the nodes, listed by index, in export's form."""
    d = {k: [] for k in ["is_leaf", "children_left", "children_right", "feature",
                         "is_categorical", "lower", "upper", "category", "n_samples"]}
    extra = {"predicted_class": [], "proba": []} if classification else {"value": []}
    for node in nodes:
        is_leaf = "leaf" in node
        d["is_leaf"].append(is_leaf)
        d["children_left"].append(-1 if is_leaf else node["l"])
        d["children_right"].append(-1 if is_leaf else node["r"])
        d["feature"].append(-1 if is_leaf else node["f"])
        d["is_categorical"].append("cat" in node)
        d["lower"].append(node.get("lo", NAN))
        d["upper"].append(node.get("hi", NAN))
        d["category"].append(node.get("cat", -1))
        d["n_samples"].append(node.get("n", 0))
        if classification:
            proba, cls = node["leaf"] if is_leaf else ([], -1)
            extra["predicted_class"].append(cls)
            extra["proba"].append(list(proba))
        else:
            extra["value"].append(node["leaf"] if is_leaf else NAN)
    out = {"node_count": len(nodes), **d, **extra}
    if classification:
        out["n_classes"] = 2
    return out


def from_nodes(cls, nodes, categorical=(), n_classes=2):
    dump = make_dump(nodes, cls in CLASSIFIERS)
    if cls in CLASSIFIERS:
        return cls.from_tree(dump, n_classes, list(categorical))
    return cls.from_tree(dump, list(categorical))


def stump(cls, split, categorical=()):
    """A split at the root with a left leaf (value 1.0 / class 0) and a right
    leaf (value 2.0 / class 1)."""
    left = leaf(1.0 if cls is _quor.RawRegressor else ([1.0, 0.0], 0), 3)
    right = leaf(2.0 if cls is _quor.RawRegressor else ([0.0, 1.0], 1), 4)
    return from_nodes(cls, [split, left, right], categorical)


def sides(estimator, x):
    """'L' or 'R' for each row of x routed through a stump."""
    pred = estimator.predict(np.asarray(x, dtype=np.float64))
    left = 1.0 if isinstance(estimator, _quor.RawRegressor) else 0
    return "".join("L" if p == left else "R" for p in pred.tolist())


def chain_dump(cls, n_splits):
    """A right-leaning chain: split 2k has leaf 2k+1 on its left and split (or
    the final leaf) 2k+2 on its right. Every split is x0 < 0."""
    n = 2 * n_splits + 1
    index = np.arange(n)
    split = (index % 2 == 0) & (index < n - 1)
    dump = {
        "node_count": n,
        "is_leaf": (~split).tolist(),
        "children_left": np.where(split, index + 1, -1).tolist(),
        "children_right": np.where(split, index + 2, -1).tolist(),
        "feature": np.where(split, 0, -1).tolist(),
        "is_categorical": [False] * n,
        "lower": np.where(split, -np.inf, np.nan).tolist(),
        "upper": np.where(split, 0.0, np.nan).tolist(),
        "category": [-1] * n,
        "n_samples": [1] * n,
    }
    if cls in CLASSIFIERS:
        dump["predicted_class"] = np.where(split, -1, index).tolist()
        dump["proba"] = [[]] * n
        dump["n_classes"] = 2
    else:
        dump["value"] = np.where(split, np.nan, index.astype(np.float64)).tolist()
    return dump


def bits(value):
    return struct.pack("<d", value) if isinstance(value, float) else value


def assert_tree_equal(a, b):
    """Dumps equal key for key, in the same key order, floats bit for bit."""
    assert list(a) == list(b)
    for key in a:
        va, vb = a[key], b[key]
        if isinstance(va, list):
            assert len(va) == len(vb), key
            for x, y in zip(va, vb):
                if isinstance(x, list):
                    assert [bits(v) for v in x] == [bits(v) for v in y], key
                else:
                    assert type(x) is type(y) and bits(x) == bits(y), key
        else:
            assert type(va) is type(vb) and va == vb, key


def regression_data(seed, n=60, d=3):
    rng = np.random.default_rng(seed)
    x = rng.normal(size=(n, d))
    x[:, -1] = rng.integers(0, 4, size=n)
    y = x[:, 0] * 2.0 + (x[:, -1] == 2) + rng.normal(scale=0.1, size=n)
    return x, y


def classification_data(seed, n=60, d=3):
    x, y = regression_data(seed, n, d)
    return x, (y > np.median(y)).astype(np.int64)


@pytest.fixture(params=CLASSES, ids=lambda c: c.__name__)
def cls(request):
    return request.param


@pytest.fixture(params=CLASSIFIERS, ids=lambda c: c.__name__)
def classifier_cls(request):
    return request.param


def version_1(model, document):
    """A single tree's model file document as quor 0.2 wrote it: format version 1,
    the tree as the raw classes' export_tree dump instead of the native arrays."""
    document = {key: value for key, value in document.items() if key != "forest"}
    tree = {key: value.tolist() if isinstance(value, np.ndarray) else value
            for key, value in model.export_tree().items()}
    return dict(document, format_version=1, tree=tree)

