"""export_tree / from_tree: the dump format, round trips and every refusal."""

import math

import numpy as np
import pytest

from quor import _quor
from conftest import (CLASSIFIERS, INF, NAN, assert_tree_equal, category, chain_dump, from_nodes,
                      interval, leaf, make_dump)

COMMON_KEYS = ["node_count", "is_leaf", "children_left", "children_right", "feature",
               "is_categorical", "lower", "upper", "category", "n_samples"]


def payload(cls, i):
    if cls is _quor.RawRegressor:
        return 0.5 * i - 1.0
    return ([i / 10, 1 - i / 10], i)


def mixed_nodes(cls):
    # Pre-order: every split's left child is the next node.
    return [
        interval(0, 1, 4, upper=0.5),
        category(2, 7, 2, 3),
        leaf(payload(cls, 1), 3),
        leaf(payload(cls, 2), 4),
        interval(1, 5, 6, -1.0, 2.0),
        leaf(payload(cls, 3), 5),
        interval(0, 7, 8, lower=3.0),
        leaf(payload(cls, 4), 1),
        leaf(payload(cls, 5), 2),
    ]


def rebuild(cls, dump, categorical=(), n_classes=2):
    if cls in CLASSIFIERS:
        return cls.from_tree(dump, n_classes, list(categorical))
    return cls.from_tree(dump, list(categorical))


def test_export_format(cls):
    est = from_nodes(cls, mixed_nodes(cls), categorical=[2])
    dump = est.export_tree()
    extra = ["predicted_class", "proba", "n_classes"] if cls in CLASSIFIERS else ["value"]
    assert list(dump) == COMMON_KEYS + extra
    assert dump["node_count"] == 9
    assert dump["children_left"] == [1, 2, -1, -1, 5, -1, 7, -1, -1]
    assert dump["children_right"] == [4, 3, -1, -1, 6, -1, 8, -1, -1]
    assert dump["feature"] == [0, 2, -1, -1, 1, -1, 0, -1, -1]
    assert dump["is_categorical"] == [False, True] + [False] * 7
    assert dump["category"] == [-1, 7] + [-1] * 7
    assert dump["n_samples"] == [15, 7, 3, 4, 8, 5, 3, 1, 2]  # splits sum their children
    assert dump["lower"][0] == -INF and dump["upper"][0] == 0.5
    assert dump["lower"][6] == 3.0 and dump["upper"][6] == INF
    assert [math.isnan(dump["lower"][i]) for i in (1, 2, 3)] == [True] * 3
    for key in COMMON_KEYS[1:]:
        assert all(type(v) is type(dump[key][0]) for v in dump[key])
    if cls in CLASSIFIERS:
        assert dump["predicted_class"] == [-1, -1, 1, 2, -1, 3, -1, 4, 5]
        assert dump["proba"][0] == [] and dump["proba"][2] == [0.1, 0.9]
        assert dump["n_classes"] == 2
    else:
        assert dump["value"][2] == -0.5 and math.isnan(dump["value"][0])


def test_round_trip_is_exact(cls):
    est = from_nodes(cls, mixed_nodes(cls), categorical=[2])
    first = est.export_tree()
    again = rebuild(cls, first, [2])
    assert_tree_equal(again.export_tree(), first)
    rng = np.random.default_rng(1)
    x = rng.normal(scale=3, size=(200, 3))
    x[:, 2] = rng.integers(5, 9, size=200)
    x[::11, 0] = NAN
    assert again.predict(x).tolist() == est.predict(x).tolist()
    assert len(set(est.predict(x).tolist())) == 5
    if cls in CLASSIFIERS:
        assert again.predict_proba(x).tolist() == est.predict_proba(x).tolist()
    assert (again.depth(), again.n_leaves()) == (est.depth(), est.n_leaves()) == (3, 5)


def test_single_leaf_export(cls):
    dump = from_nodes(cls, [leaf(payload(cls, 4), 6)]).export_tree()
    assert dump["node_count"] == 1 and dump["is_leaf"] == [True]
    assert dump["children_left"] == dump["children_right"] == dump["feature"] == [-1]
    assert math.isnan(dump["lower"][0]) and math.isnan(dump["upper"][0])
    assert dump["category"] == [-1] and dump["n_samples"] == [6]
    if cls is _quor.RawRegressor:
        assert dump["value"] == [1.0]


def test_import_normalisations(cls):
    nodes = [category(0, 2**32 + 5, 1, 2), leaf(payload(cls, 1)), leaf(payload(cls, 2))]
    dump = make_dump(nodes, cls in CLASSIFIERS)
    dump["node_count"] = 99  # not read
    dump["unrelated"] = object()
    if cls in CLASSIFIERS:
        dump["predicted_class"][1] = -3  # negative classes become 0
        del dump["n_classes"]
    else:
        dump["proba"] = "not read by the regressor"
    out = rebuild(cls, dump).export_tree()
    assert out["node_count"] == 3 and out["category"][0] == 5
    if cls in CLASSIFIERS:
        assert out["predicted_class"][1] == 0


def test_any_sequence_type_is_read(cls):
    dump = make_dump(mixed_nodes(cls), cls in CLASSIFIERS)
    converted = {}
    for i, (key, value) in enumerate(dump.items()):
        if key in ("node_count", "n_classes"):
            converted[key] = value
        elif key == "proba":
            converted[key] = tuple(np.array(p, dtype=np.float64) for p in value)
        elif i % 2:
            converted[key] = np.array(value)
        else:
            converted[key] = tuple(value)
    assert converted["is_leaf"].dtype == np.bool_  # NumPy bool elements
    assert_tree_equal(rebuild(cls, converted).export_tree(), rebuild(cls, dump).export_tree())
    # A dict subclass is a dict.
    rebuild(cls, type("Sub", (dict,), {})(dump))


def test_from_tree_arguments(cls):
    dump = make_dump([leaf(payload(cls, 1))], cls in CLASSIFIERS)
    with pytest.raises(TypeError, match="^argument 'tree': "):
        rebuild(cls, list(dump.items()))
    with pytest.raises(TypeError, match="^argument 'categorical': "):
        rebuild(cls, dump, categorical="12")
    with pytest.raises(TypeError, match="^argument 'tree': "):
        rebuild(cls, None, categorical="12")  # tree is converted first
    with pytest.raises(TypeError):
        cls.from_tree(dump)
    if cls in CLASSIFIERS:
        with pytest.raises(TypeError, match="^argument 'n_classes': "):
            cls.from_tree(dump, 2.0, [])
        with pytest.raises(OverflowError):
            cls.from_tree(dump, -1, [])
        assert type(cls.from_tree(tree=dump, categorical=[], n_classes=3)) is cls
    else:
        assert type(cls.from_tree(categorical=[], tree=dump)) is cls


def missing_key_cases(cls):
    own = ["predicted_class", "proba"] if cls in CLASSIFIERS else ["value"]
    keys = COMMON_KEYS[1:] + own
    # Removing a key and every key after it reports that key: keys are read in order.
    return [(keys[i], keys[i:]) for i in range(len(keys))]


def test_missing_keys_reported_in_read_order(cls):
    dump = make_dump(mixed_nodes(cls), cls in CLASSIFIERS)
    for key, removed in missing_key_cases(cls):
        broken = {k: v for k, v in dump.items() if k not in removed}
        with pytest.raises(ValueError) as info:
            rebuild(cls, broken)
        assert str(info.value) == f'tree state missing key "{key}"'


def test_no_nodes_is_checked_before_the_payload(cls):
    empty = {k: [] for k in COMMON_KEYS[1:]}
    with pytest.raises(ValueError, match='^tree state has no nodes$'):
        rebuild(cls, empty)


@pytest.mark.parametrize("key, value, error", [
    ("is_leaf", [0, 1, 1], TypeError),
    ("is_leaf", "abc", TypeError),
    ("children_left", [1.0, -1, -1], TypeError),
    ("children_right", 5, TypeError),
    ("feature", [0, None, -1], TypeError),
    ("feature", [2**63, -1, -1], OverflowError),
    ("is_categorical", [False, np.float64(1.0), False], TypeError),
    ("lower", ["0", NAN, NAN], TypeError),
    ("upper", [0.5, {}, NAN], TypeError),
    ("category", [-1, -1, 0.5], TypeError),
    ("n_samples", [0, -1, 1], OverflowError),
])
def test_wrong_element_types(cls, key, value, error):
    nodes = [interval(0, 1, 2, upper=0.5), leaf(payload(cls, 1)), leaf(payload(cls, 2))]
    dump = make_dump(nodes, cls in CLASSIFIERS)
    dump[key] = value
    with pytest.raises(error) as info:
        rebuild(cls, dump)
    assert not str(info.value).startswith("argument")


def test_wrong_payload_types(cls):
    nodes = [leaf(payload(cls, 1))]
    if cls in CLASSIFIERS:
        for key, value in [("predicted_class", [0.0]), ("proba", [[1, "x"]]), ("proba", [0.5]),
                           ("proba", ["ab"])]:
            dump = make_dump(nodes, True)
            dump[key] = value
            with pytest.raises(TypeError):
                rebuild(cls, dump)
    else:
        dump = make_dump(nodes, False)
        dump["value"] = [b"x"]
        with pytest.raises(TypeError):
            rebuild(cls, dump)


def panic_type():
    est = from_nodes(_quor.RawRegressor, [interval(3, 1, 2), leaf(0.0), leaf(1.0)])
    try:
        est.predict(np.zeros((1, 1)))
    except BaseException as e:  # noqa: BLE001
        return type(e)


@pytest.mark.parametrize("edit", [
    lambda d: d["children_left"].__setitem__(0, -1),
    lambda d: d["children_right"].__setitem__(0, 3),
    lambda d: d["children_right"].__setitem__(0, 2**62),
    lambda d: d["lower"].clear(),
    lambda d: d["feature"].clear(),
    lambda d: d["n_samples"].pop(),
    lambda d: d[("proba" if "proba" in d else "value")].pop(),
])
def test_out_of_range_indices_are_internal_errors(cls, edit):
    nodes = [interval(0, 1, 2, upper=0.5), leaf(payload(cls, 1)), leaf(payload(cls, 2))]
    dump = make_dump(nodes, cls in CLASSIFIERS)
    edit(dump)
    with pytest.raises(panic_type()):
        rebuild(cls, dump)


@pytest.mark.parametrize("left, right, node", [(0, 2, 0), (1, 1, 1), (1, 0, 0)])
def test_a_node_reached_twice_is_refused(cls, left, right, node):
    nodes = [interval(0, left, right), leaf(payload(cls, 1)), leaf(payload(cls, 2))]
    with pytest.raises(ValueError) as info:
        from_nodes(cls, nodes)
    assert str(info.value) == f"tree state is not a tree: node {node} is reached twice"


def test_deeper_cycle_is_refused(cls):
    nodes = [interval(0, 1, 2), leaf(payload(cls, 1)), interval(0, 3, 0), leaf(payload(cls, 2))]
    with pytest.raises(ValueError, match="node 0 is reached twice"):
        from_nodes(cls, nodes)


def test_a_chain_of_a_million_splits(cls):
    n_splits = 1_000_000
    est = rebuild(cls, chain_dump(cls, n_splits))
    assert est.depth() == n_splits and est.n_leaves() == n_splits + 1
    assert est.predict(np.array([[1.0], [-1.0]])).tolist() == [2 * n_splits, 1]
    out = est.export_tree()
    assert out["node_count"] == 2 * n_splits + 1 and out["n_samples"][0] == n_splits + 1
    assert out["children_right"][-3] == 2 * n_splits
    del est, out  # dropping the tree must not recurse either
