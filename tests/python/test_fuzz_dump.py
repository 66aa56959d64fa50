"""from_tree fed mutated dumps: every case ends in one of the documented
exceptions or in an estimator that exports and predicts exactly what a
straightforward reading of the dump says."""

import copy
import math
import operator

import numpy as np
import pytest
from hypothesis import given, strategies as st

from quor import _quor
from conftest import (CLASSES, CLASSIFIERS, NAN, assert_tree_equal, category, classification_data,
                      construct, from_nodes, leaf, regression_data)
from fuzz_support import ALLOWED, PANIC, fuzz_settings, rebuild

# NumPy warns about some of the conversions fuzzing asks for (bool as index,
# complex to float, NaN to int); the results are what is tested.
pytestmark = pytest.mark.filterwarnings("ignore::DeprecationWarning", "ignore::RuntimeWarning",
                                        "ignore::numpy.ComplexWarning")

COMMON_KEYS = ["is_leaf", "children_left", "children_right", "feature", "is_categorical",
               "lower", "upper", "category", "n_samples"]
U64 = 2**64


# ---- the reference reading of a dump ----

class Refused(Exception):
    """The reference's verdict: the module must raise `kind`."""

    def __init__(self, kind):
        super().__init__(kind)
        self.kind = kind


def _items(value):
    """The items of any sequence but a str, as the module reads them."""
    if isinstance(value, (str, dict, set, frozenset)) or not hasattr(type(value), "__getitem__"):
        raise Refused(TypeError)
    try:
        n = len(value)
    except TypeError:  # a 0-d array
        raise Refused(TypeError) from None
    return [value[i] for i in range(n)]


def _convert(convert, item):
    try:
        return convert(item)
    except (TypeError, ValueError, OverflowError) as e:
        raise Refused(type(e)) from None


def _bool(v):
    if v is True or v is False or isinstance(v, np.bool_):
        return bool(v)
    raise TypeError


def _int(lo, hi):
    def convert(v):
        v = operator.index(v)
        if not lo <= v < hi:
            raise OverflowError
        return v
    return convert


def _float(v):
    if isinstance(v, (str, bytes, bytearray)):
        raise TypeError  # float() would parse them; the module does not
    return float(v)


I64, NONNEG = _int(-2**63, 2**63), _int(0, U64)
READERS = {"is_leaf": _bool, "children_left": I64, "children_right": I64, "feature": I64,
           "is_categorical": _bool, "lower": _float, "upper": _float, "category": I64,
           "n_samples": NONNEG, "value": _float, "predicted_class": I64}


def reference(dump, classification):
    """The nested tree the dump describes, read in the module's order, or
    `Refused` with the exception the module must raise."""
    lists = {}
    payload = ["predicted_class", "proba"] if classification else ["value"]
    for key in COMMON_KEYS + payload:
        if key == payload[0] and not lists["is_leaf"]:
            raise Refused(ValueError)  # no nodes: checked before the payload is read
        if key not in dump:
            raise Refused(ValueError)
        if key == "proba":
            lists[key] = [[_convert(_float, p) for p in _items(row)] for row in _items(dump[key])]
        else:
            lists[key] = [_convert(READERS[key], v) for v in _items(dump[key])]
    reached = set()

    def entry(key, i):
        if not 0 <= i < len(lists[key]):
            raise Refused(PANIC)
        return lists[key][i]

    def build(i):
        entry("is_leaf", i)
        if i in reached:
            raise Refused(ValueError)
        reached.add(i)
        if lists["is_leaf"][i]:
            if classification:
                payload = (entry("proba", i), max(entry("predicted_class", i), 0))
            else:
                payload = entry("value", i)
            return {"leaf": payload, "n": entry("n_samples", i)}
        node = {}
        entry("is_categorical", i)
        node["feature"] = entry("feature", i)
        if lists["is_categorical"][i]:
            node["category"] = entry("category", i) % 2**32
        else:
            node["lower"], node["upper"] = entry("lower", i), entry("upper", i)
        node["left"] = build(entry("children_left", i))
        node["right"] = build(entry("children_right", i))
        return node

    return build(0)


def expected_export(tree, classification, n_classes):
    """The dump `export_tree` must give for the reference tree, and its depth."""
    order, depth, stack = [], 0, [(tree, 0)]
    while stack:  # pre-order, left subtree first
        node, level = stack.pop()
        order.append(node)
        if "leaf" in node:
            depth = max(depth, level)
        else:
            stack += [(node["right"], level + 1), (node["left"], level + 1)]
    index_of = {id(node): i for i, node in enumerate(order)}
    rows = []
    for node in order:
        row = dict(is_leaf="leaf" in node, children_left=-1, children_right=-1, feature=-1,
                   is_categorical="category" in node, lower=NAN, upper=NAN, category=-1,
                   n_samples=0, value=NAN, predicted_class=-1, proba=[])
        if "leaf" in node:
            row["n_samples"] = node["n"]
            if classification:
                row["proba"], row["predicted_class"] = node["leaf"]
            else:
                row["value"] = node["leaf"]
        else:
            row.update(feature=node["feature"], category=node.get("category", -1),
                       lower=node.get("lower", NAN), upper=node.get("upper", NAN),
                       children_left=index_of[id(node["left"])],
                       children_right=index_of[id(node["right"])])
        rows.append(row)
    for row in reversed(rows):  # children follow their parent
        if not row["is_leaf"]:
            row["n_samples"] = (rows[row["children_left"]]["n_samples"] +
                                rows[row["children_right"]]["n_samples"]) % U64
    keys = COMMON_KEYS + (["predicted_class", "proba"] if classification else ["value"])
    out = {"node_count": len(rows), **{k: [row[k] for row in rows] for k in keys}}
    if classification:
        out["n_classes"] = n_classes
    return out, depth


def route(tree, row, categorical):
    """The leaf payload a row reaches, or None when it reaches a split whose
    feature the row does not have."""
    node = tree
    while "leaf" not in node:
        f = node["feature"]
        if not 0 <= f < len(row):
            return None
        v = row[f]
        if f in categorical:
            code = 2**32 - 1 if not (math.isfinite(v) and v >= 0) else min(
                math.floor(v + 0.5), 2**32 - 1)  # rows hold halves only: no rounding error
            left = "category" in node and code == node["category"]
        elif "category" in node or not math.isfinite(v):
            left = False
        else:
            lo, hi = node["lower"], node["upper"]
            left = (lo == -math.inf or v >= lo) and (hi == math.inf or v < hi)
        node = node["left"] if left else node["right"]
    return node["leaf"]


# ---- dumps to start from ----

def _seed_dumps(cls):
    out = []
    kw = {} if cls is _quor.RawRegressor else {"n_classes": 2}
    data = regression_data if cls is _quor.RawRegressor else classification_data
    for seed, style in [(0, "threshold"), (1, "bin")]:
        est = construct(cls, max_depth=3, split_style=style, categorical=[2], **kw)
        est.fit(*data(seed))
        out.append(est.export_tree())
    payload = 1.5 if cls is _quor.RawRegressor else ([0.25, 0.75], 1)
    out.append(from_nodes(cls, [leaf(payload, 3)]).export_tree())
    out.append(from_nodes(cls, [category(1, 2, 1, 2), leaf(payload, 1), leaf(payload, 2)],
                          categorical=[1]).export_tree())
    return out


SEEDS = {cls: _seed_dumps(cls) for cls in CLASSES}

# ---- mutations ----

DTYPES = [np.bool_, np.int8, np.uint8, np.int32, np.int64, np.uint64, np.float16, np.float32,
          np.float64, np.longdouble, np.complex128, object, "U2", "S2", "M8[s]", "m8[s]", "V8"]
SCALARS = st.one_of(
    st.integers(-U64, U64), st.sampled_from([-1, 0, 1, 2, 3, 2**31, 2**32, 2**63 - 1, -2**63]),
    st.floats(), st.booleans(), st.none(), st.text(max_size=2), st.binary(max_size=2),
    st.builds(lambda: [1.0, 2.0]), st.builds(list), st.builds(dict),  # fresh: mutations follow
    st.builds(lambda v, t: np.array(v).astype(t)[()], st.integers(-3, 300),
              st.sampled_from(DTYPES)),
)


def _as_array(draw, value):
    dtype = draw(st.sampled_from(DTYPES))
    try:
        array = np.array(value)
        if array.dtype.kind == "S" and np.dtype(dtype).kind in "mM":
            return value  # NumPy 1.24 crashes casting bytes to datetimes
        return array.astype(dtype)
    except Exception:  # noqa: BLE001 - not every value converts to every dtype
        return value


def _container(draw, value):
    kind = draw(st.sampled_from(["array", "tuple", "nested", "scalar", "str", "set", "range",
                                 "bytes", "0-d", "2-d"]))
    items = list(value) if isinstance(value, list) else []
    if kind == "array":
        return _as_array(draw, items)
    if kind == "tuple":
        return tuple(items)
    if kind == "nested":
        return [[v] for v in items]
    if kind == "scalar":
        return draw(SCALARS)
    if kind == "str":
        return "".join(map(str, items))[:20]
    if kind == "set":
        return {1, 2}
    if kind == "range":
        return range(draw(st.integers(0, 20)))
    if kind == "bytes":
        return bytes(draw(st.lists(st.integers(0, 255), max_size=20)))
    if kind == "0-d":
        return np.array(3.0)
    return np.zeros((len(items), 2))


def _node(draw, dump):
    return draw(st.integers(0, max(len(dump["is_leaf"]) - 1, 0))) if isinstance(
        dump.get("is_leaf"), list) else 0


def m_replace(draw, dump):
    key = draw(st.sampled_from(sorted(dump)))
    dump[key] = _container(draw, dump[key])


def m_drop(draw, dump):
    del dump[draw(st.sampled_from(sorted(dump)))]


def m_extra(draw, dump):
    dump[draw(st.sampled_from(["extra", "value", "proba", "n_classes", "predicted_class"]))] = (
        draw(SCALARS))


def m_element(draw, dump):
    key = draw(st.sampled_from(sorted(dump)))
    if isinstance(dump[key], list) and dump[key]:
        dump[key][draw(st.integers(0, len(dump[key]) - 1))] = draw(SCALARS)


def m_resize(draw, dump):
    key = draw(st.sampled_from(sorted(dump)))
    if isinstance(dump[key], list):
        n = draw(st.integers(0, len(dump[key]) + 3))
        dump[key] = (dump[key] + [dump[key][-1] if dump[key] else 0] * 3)[:n]


def m_relink(draw, dump):
    """Children pointing anywhere: ancestors (cycles), siblings (shared
    children), itself, past the end, negative, huge."""
    if not all(isinstance(dump.get(k), list) for k in ("children_left", "children_right")):
        return
    n = min(len(dump["children_left"]), len(dump["children_right"]))
    if n == 0:
        return
    i = draw(st.integers(0, n - 1))
    side, other = draw(st.permutations(["children_left", "children_right"]))
    dump[side][i] = draw(st.one_of(st.integers(-3, n + 3), st.sampled_from(
        [i, dump[other][i], 2**62, 2**63 - 1, -2**63])))


def m_flip(draw, dump):
    key = draw(st.sampled_from(["is_leaf", "is_categorical"]))
    if isinstance(dump.get(key), list) and dump[key]:
        i = draw(st.integers(0, len(dump[key]) - 1))
        if isinstance(dump[key][i], bool):
            dump[key][i] = not dump[key][i]


def m_numbers(draw, dump):
    """Extreme numbers where numbers belong."""
    key = draw(st.sampled_from(["lower", "upper", "value", "feature", "category", "n_samples",
                                "predicted_class", "node_count"]))
    if isinstance(dump.get(key), list) and dump[key]:
        i = draw(st.integers(0, len(dump[key]) - 1))
        floats = key in ("lower", "upper", "value")
        dump[key][i] = draw(st.floats() if floats else st.one_of(
            st.integers(-3, 10), st.sampled_from([2**32 - 1, 2**32, 2**63 - 1, U64 - 1])))


def m_proba(draw, dump):
    if isinstance(dump.get("proba"), list) and dump["proba"]:
        i = draw(st.integers(0, len(dump["proba"]) - 1))
        dump["proba"][i] = draw(st.one_of(st.lists(st.floats(), max_size=5), SCALARS,
                                          st.builds(np.ones, st.just(3), st.just(np.float32))))


MUTATIONS = [m_replace, m_drop, m_extra, m_element, m_resize, m_relink, m_relink, m_flip,
             m_numbers, m_numbers, m_proba]


@st.composite
def cases(draw):
    cls = draw(st.sampled_from(CLASSES))
    dump = copy.deepcopy(draw(st.sampled_from(SEEDS[cls])))
    for _ in range(draw(st.integers(1, 3))):
        draw(st.sampled_from(MUTATIONS))(draw, dump)
    if draw(st.booleans()):  # the same lists as arrays or tuples
        key = draw(st.sampled_from(sorted(dump)))
        dump[key] = _as_array(draw, dump[key]) if draw(st.booleans()) else (
            tuple(dump[key]) if isinstance(dump[key], list) else dump[key])
    n_classes = draw(st.sampled_from([0, 1, 2, 3, 2**40, 2**62, U64 - 1]))
    categorical = draw(st.lists(st.integers(0, 4), max_size=3))
    return cls, dump, n_classes, categorical


ROW_VALUES = [-2.0, -0.5, 0.0, 0.5, 1.0, 1.5, 2.0, 3.0, 7.0, NAN, math.inf, -math.inf, 4.5e9]


@fuzz_settings(1500)
@given(case=cases(), data=st.data())
def test_mutated_dumps(case, data):
    cls, dump, n_classes, categorical = case
    classification = cls in CLASSIFIERS
    try:
        tree = reference(dump, classification)
        verdict = None
    except Refused as refused:
        verdict = refused.kind
    try:
        est = rebuild(cls, dump, n_classes, categorical)
    except ALLOWED as e:
        assert verdict is not None, f"refused a good dump: {e!r}"
        assert isinstance(e, verdict), f"{e!r} where {verdict.__name__} was due"
        return
    assert verdict is None, f"accepted a dump that must raise {verdict.__name__}"

    out = est.export_tree()
    expected, depth = expected_export(tree, classification, n_classes)
    assert_tree_equal(out, expected)
    assert (est.depth(), est.n_leaves()) == (depth, sum(out["is_leaf"]))
    again = rebuild(cls, out, n_classes, categorical)
    assert_tree_equal(again.export_tree(), out)

    n_cols = data.draw(st.integers(0, 6))
    rows = data.draw(st.lists(st.lists(st.sampled_from(ROW_VALUES), min_size=n_cols,
                                       max_size=n_cols), min_size=1, max_size=8))
    x = np.array(rows, dtype=np.float64).reshape(len(rows), n_cols)
    reached = [route(tree, row, set(categorical)) for row in rows]
    if any(r is None for r in reached):
        with pytest.raises(PANIC):
            est.predict(x)
        return
    pred = est.predict(x).tolist()
    if classification:
        assert pred == [r[1] for r in reached]
        k = max(n_classes, 1)
        if k > 2**20:
            with pytest.raises(MemoryError):
                est.predict_proba(x)
        else:
            expected = np.zeros((len(rows), k))
            for i, (proba, _) in enumerate(reached):
                expected[i, :min(k, len(proba))] = proba[:k]
            assert est.predict_proba(x).tobytes() == expected.tobytes()
    else:
        assert np.array(pred).tobytes() == np.array([r for r in reached]).tobytes()
    assert again.predict(x).tobytes() == est.predict(x).tobytes()


# ---- hostile objects: Python code that runs while a dump is read ----

class Boom(Exception):
    pass


class Clears:
    """An int whose conversion empties the list it sits in."""

    def __init__(self, target):
        self.target = target

    def __index__(self):
        self.target.clear()
        return 1


class Lies:
    """A sequence that claims more items than it has."""

    def __init__(self, items, length):
        self.items, self.length = items, length

    def __len__(self):
        return self.length

    def __getitem__(self, i):
        return self.items[i]


class Raises:
    def __init__(self, error):
        self.error = error

    def __index__(self):
        raise self.error

    __float__ = __index__


class CollidingKey:
    """A key with the hash of "is_leaf" whose comparison, once armed, rewrites
    the dict it is in; inserted first, it is compared on every lookup of "is_leaf"."""

    def __init__(self):
        self.dump, self.armed = {self: 0}, False

    def __hash__(self):
        return hash("is_leaf")

    def __eq__(self, other):
        if self.armed:
            self.dump.pop("lower", None)
            self.dump["filler"] = list(range(100))
        return False


def hostile_cases(dump):
    n = dump["node_count"]
    left = list(dump["children_left"])
    emptied = left[:1]
    emptied += [Clears(emptied)] + left[1:]
    yield "a conversion empties its list", {"children_left": emptied}, IndexError
    yield "a length that lies", {"feature": Lies(dump["feature"], n + 1)}, IndexError
    yield "a length no list can have", {"children_left": Lies(left, 2**62)}, MemoryError
    yield "an error of the caller's own", {"lower": [Raises(Boom())] * n}, Boom
    yield "an interrupt", {"category": [Raises(KeyboardInterrupt())] * n}, KeyboardInterrupt
    # The comparison removes "lower" while "is_leaf" is looked up.
    yield "a dict rewritten while read", {}, ValueError


@pytest.mark.parametrize("case", range(6))
def test_hostile_objects_end_in_their_own_errors(cls, case):
    dump = copy.deepcopy(SEEDS[cls][0])
    _, changes, error = list(hostile_cases(dump))[case]
    dump.update(changes)
    if not changes:
        key = CollidingKey()
        key.dump.update(dump)
        key.armed, dump = True, key.dump
    with pytest.raises(error):
        rebuild(cls, dump)
    if not changes:
        assert "filler" in dump  # rewritten during the module's lookup, as intended
