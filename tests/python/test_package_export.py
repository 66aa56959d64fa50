"""Rendering fitted trees as text and as Graphviz DOT."""

import pickle
import re
import sys
import warnings

import numpy as np
import pandas as pd
import pytest
from sklearn.exceptions import NotFittedError

from quor import QUORClassifier, QUORRegressor, export_graphviz, export_text

INF = float("inf")
NAN = float("nan")


def dump_of(nodes, classification):
    """An export-style dump from pre-order nodes: ("leaf", payload, n) or
    ("split", feature, lower, upper, left, right) or ("cat", feature, code, left, right)."""
    keys = ["is_leaf", "children_left", "children_right", "feature", "is_categorical",
            "lower", "upper", "category", "n_samples"]
    dump = {key: [] for key in keys}
    dump.update({"predicted_class": [], "proba": []} if classification else {"value": []})
    for node in nodes:
        kind = node[0]
        leaf = kind == "leaf"
        dump["is_leaf"].append(leaf)
        dump["children_left"].append(-1 if leaf else node[-2])
        dump["children_right"].append(-1 if leaf else node[-1])
        dump["feature"].append(-1 if leaf else node[1])
        dump["is_categorical"].append(kind == "cat")
        dump["lower"].append(node[2] if kind == "split" else NAN)
        dump["upper"].append(node[3] if kind == "split" else NAN)
        dump["category"].append(node[2] if kind == "cat" else -1)
        dump["n_samples"].append(node[2] if leaf else 0)
        if classification:
            proba = node[1] if leaf else []
            dump["proba"].append(list(proba))
            dump["predicted_class"].append(int(np.argmax(proba)) if leaf else -1)
        else:
            dump["value"].append(node[1] if leaf else NAN)
    counts = dump["n_samples"]
    for i in reversed(range(len(nodes))):  # children follow their parent in pre-order
        if not dump["is_leaf"][i]:
            counts[i] = counts[dump["children_left"][i]] + counts[dump["children_right"][i]]
    dump["node_count"] = len(nodes)
    if classification:
        dump["n_classes"] = len(nodes[-1][1])
    return dump


def with_tree(est, nodes, n_features, labels=None, **fit_params):
    """The estimator fitted on dummy data, then given the hand-built tree."""
    X = np.arange(2.0 * n_features).reshape(2, n_features)
    names = fit_params.pop("names", None)
    data = pd.DataFrame(X, columns=names) if names else X
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", UserWarning)  # two rows: no fold can score a split
        est.fit(data, labels if labels is not None else [0.0, 1.0])
    state = est.__getstate__()
    state["_tree_dump"] = dump_of(nodes, labels is not None)
    est.__setstate__(state)
    return est


MIXED = [
    ("split", 0, -INF, 30.0, 1, 2),
    ("leaf", 1.5, 4),
    ("cat", 1, 3, 3, 4),
    ("leaf", -2.0, 3),
    ("split", 2, 0.25, 0.75, 5, 6),
    ("leaf", 0.125, 2),
    ("split", 2, 10.0, INF, 7, 8),
    ("leaf", 7.0, 1),
    ("split", 0, -INF, INF, 9, 10),
    ("leaf", 0.0001, 1),
    ("leaf", 3.14159, 1),
]

MIXED_TEXT = """\
|--- age < 30
|   |--- value: 1.5, samples: 4
|--- age >= 30 or missing
|   |--- colour == 3
|   |   |--- value: -2, samples: 3
|   |--- colour != 3 or missing
|   |   |--- 0.25 <= score < 0.75
|   |   |   |--- value: 0.125, samples: 2
|   |   |--- score < 0.25 or score >= 0.75 or missing
|   |   |   |--- score >= 10
|   |   |   |   |--- value: 7, samples: 1
|   |   |   |--- score < 10 or missing
|   |   |   |   |--- age is not missing
|   |   |   |   |   |--- value: 1e-04, samples: 1
|   |   |   |   |--- age is missing
|   |   |   |   |   |--- value: 3.142, samples: 1
"""


@pytest.fixture
def mixed():
    return with_tree(
        QUORRegressor(categorical=["colour"]), MIXED, 3, names=["age", "colour", "score"]
    )


def test_text_shows_every_kind_of_test_with_missing_values_going_right(mixed):
    assert export_text(mixed) == MIXED_TEXT
    # The rendering describes what the model does: check a row down each path.
    rows = [[29.0, 3, 0], [31, 3, 0], [31, 2, 0.5], [NAN, 2, 12], [31, 2, 5], [NAN, NAN, NAN]]
    rows = pd.DataFrame(rows, columns=["age", "colour", "score"])
    np.testing.assert_array_equal(mixed.predict(rows), [1.5, -2.0, 0.125, 7.0, 0.0001, 3.14159])


def test_text_options(mixed):
    renamed = export_text(mixed, feature_names=["a", "b", "c"], decimals=1)
    assert renamed.splitlines()[0] == "|--- a < 30"
    assert "|   |   |--- 0.2 <= c < 0.8" in renamed  # 0.25 and 0.75 rounded half to even
    assert export_text(mixed, max_depth=1) == (
        "|--- age < 30\n"
        "|   |--- value: 1.5, samples: 4\n"
        "|--- age >= 30 or missing\n"
        "|   |--- colour == 3\n"
        "|   |   |--- value: -2, samples: 3\n"
        "|   |--- colour != 3 or missing\n"
        "|   |   |--- truncated branch of depth 3\n"
    )
    with pytest.raises(ValueError, match="feature_names has 2 entries, but the tree was fitted on 3"):
        export_text(mixed, feature_names=["a", "b"])
    with pytest.raises(ValueError, match="max_depth"):
        export_text(mixed, max_depth=-1)


def test_classifier_text_shows_labels_probabilities_and_counts():
    nodes = [("split", 0, -INF, 2.5, 1, 2), ("leaf", [0.75, 0.25], 8), ("leaf", [0.1, 0.9], 10)]
    clf = with_tree(QUORClassifier(), nodes, 1, labels=["no", "yes"])
    assert export_text(clf, show_proba=True) == (
        "|--- x[0] < 2.5\n"
        "|   |--- class: no, proba: [0.75, 0.25], samples: 8\n"
        "|--- x[0] >= 2.5 or missing\n"
        "|   |--- class: yes, proba: [0.1, 0.9], samples: 10\n"
    )
    assert "class: NO," in export_text(clf, class_names=["NO", "YES"])
    with pytest.raises(ValueError, match="class_names has 1 entries"):
        export_text(clf, class_names=["NO"])


def parse_dot(dot):
    nodes = dict(re.findall(r'^(\d+) \[label="((?:[^"\\]|\\.)*)"\] ;$', dot, re.M))
    edges = re.findall(r'^(\d+) -> (\d+) .*headlabel="([^"]*)"\] ;$', dot, re.M)
    return nodes, edges


def test_graphviz_has_one_labelled_node_per_tree_node_and_yes_no_edges(mixed):
    dot = export_graphviz(mixed)
    assert dot.startswith("digraph Tree {\n") and dot.endswith("}\n")
    nodes, edges = parse_dot(dot)
    assert sorted(map(int, nodes)) == list(range(len(MIXED)))
    tree = mixed.tree_
    expected = []
    for node in np.flatnonzero(~tree.is_leaf):
        expected += [(str(node), str(tree.children_left[node]), "yes"),
                     (str(node), str(tree.children_right[node]), "no / missing")]
    assert sorted(edges) == sorted(expected)
    assert nodes["0"] == "age < 30\\nsamples = 12"
    assert nodes["2"] == "colour == 3\\nsamples = 8"
    assert nodes["4"] == "0.25 <= score < 0.75\\nsamples = 5"
    assert nodes["10"] == "value = 3.142\\nsamples = 1"
    truncated, _ = parse_dot(export_graphviz(mixed, max_depth=1))
    assert truncated["4"] == "(... 3 more levels)" and "5" not in truncated


def test_graphviz_escapes_names():
    nodes = [("split", 0, -INF, 1.0, 1, 2), ("leaf", [1.0, 0.0], 1), ("leaf", [0.0, 1.0], 1)]
    clf = with_tree(QUORClassifier(), nodes, 1, labels=[0, 1])
    dot = export_graphviz(clf, feature_names=['say "hi" \\ now'], class_names=['a"b', "c"])
    labels, _ = parse_dot(dot)
    assert labels["0"] == 'say \\"hi\\" \\\\ now < 1\\nsamples = 2'
    assert labels["1"] == 'class = a\\"b\\nsamples = 1'


def chain(depth):
    """A tree that is one long right-leaning chain of x < 0 splits."""
    nodes = []
    for level in range(depth):
        index = len(nodes)
        nodes += [("split", 0, -INF, -float(level), index + 1, index + 2), ("leaf", float(level), 1)]
    nodes.append(("leaf", float(depth), 1))
    return nodes


def test_trees_deeper_than_the_recursion_limit_render_and_pickle():
    depth = sys.getrecursionlimit() + 200
    reg = with_tree(QUORRegressor(), chain(depth), 1)
    assert reg.tree_.max_depth == depth == reg.get_depth()
    text = export_text(reg)
    assert text.count("\n") == 3 * depth + 1
    assert text.endswith("|   " * depth + f"|--- value: {depth}, samples: 1\n")
    nodes, edges = parse_dot(export_graphviz(reg))
    assert len(nodes) == 2 * depth + 1 and len(edges) == 2 * depth
    again = pickle.loads(pickle.dumps(reg))
    np.testing.assert_array_equal(again.predict([[-5.5], [1.0]]), reg.predict([[-5.5], [1.0]]))


@pytest.mark.parametrize("render", [export_text, export_graphviz])
def test_rendering_needs_a_fitted_estimator(render):
    with pytest.raises(NotFittedError):
        render(QUORRegressor())
