"""Set splits of categorical features on the package's path: routing follows
the stored set (a naive walk over ``tree_``, categories unseen at fit and
missing values included), model files, pickles and Dask's joined arrays keep
the sets, the native loader refuses broken sets, the text export names the
categories, and categorical_split="one" grows the trees of before."""

import pickle

import numpy as np
import pandas as pd
import pytest

from quor import QUORClassifier, QUORForestClassifier, QUORRegressor, export_graphviz, export_text
from quor._io import load, save
from quor._quor import RawForest
from conftest import earlier


def _frame(seed, n=600, n_categories=12, nan_share=0.05):
    rng = np.random.default_rng(seed)
    names = [f"c{i}" for i in range(n_categories)]
    group = set(rng.choice(n_categories, n_categories // 3, replace=False).tolist())
    codes = rng.integers(0, n_categories, n)
    x = rng.normal(size=n)
    col = pd.Categorical([names[c] for c in codes], categories=names)
    frame = pd.DataFrame({"colour": col, "x": x})
    frame.loc[rng.random(n) < nan_share, "colour"] = np.nan
    in_group = np.array([c in group for c in codes]) & frame["colour"].notna().to_numpy()
    y = ((in_group & (x > -0.5)) | (x > 1.5)).astype(int)
    return frame, y, in_group


def _walk(tree, row):
    """The leaf a row of codes reaches, read from the tree's arrays."""
    node = 0
    while not tree.is_leaf[node]:
        x = row[tree.feature[node]]
        sets = tree.category_sets[node]
        if np.isnan(x):
            left = tree.missing_left[node]
        elif sets is not None:
            left = int(x) in set(sets.tolist())
        elif tree.is_categorical[node]:
            left = x == tree.category[node]
        else:
            left = tree.lower[node] <= x < tree.upper[node]
        node = tree.children_left[node] if left else tree.children_right[node]
    return node


def _codes(est, frame):
    """The frame as the codes the estimator routes (its ``categories_``; NaN for missing)."""
    known = {value: code for code, value in enumerate(est.categories_[0])}
    # A category unseen at fit: a code past every known one, in no set.
    codes = np.array([np.nan if pd.isna(v) else known.get(v, len(known) + 3)
                      for v in frame["colour"]])
    return np.column_stack([codes, frame["x"].to_numpy()])


@pytest.mark.parametrize("Est", [QUORClassifier, QUORRegressor])
@pytest.mark.parametrize("missing", ["right", "learn"])
@pytest.mark.parametrize("mode", ["strict", "fast"])
def test_routing_files_and_pickles_follow_the_stored_set(Est, missing, mode, tmp_path):
    frame, y, _ = _frame(1)
    est = Est(categorical_split="set", missing=missing, mode=mode, max_depth=4).fit(frame, y)
    tree = est.tree_
    sets = [s for s in tree.category_sets if s is not None]
    assert any(len(s) > 1 for s in sets)
    assert all(tree.category[i] == -1 for i, s in enumerate(tree.category_sets) if s is not None)
    # New rows: every category, one the fit never saw (a code past the
    # categories of every node is outside every set), and missing values.
    test, _, _ = _frame(2)
    colour = test["colour"].cat.add_categories(["unseen"])
    colour[::7] = "unseen"
    test["colour"] = colour
    rows = _codes(est, test)
    walked = np.array([_walk(tree, row) for row in rows])
    assert (est.apply(test) == walked).all()
    paths = est.decision_path(test)
    assert (paths.indices[paths.indptr[1:] - 1] == walked).all()
    save(est, tmp_path / "m.json")
    for other in (load(tmp_path / "m.json"), pickle.loads(pickle.dumps(est))):
        assert (other.apply(test) == walked).all()
        assert (other.predict(test) == est.predict(test)).all()
        assert [None if s is None else s.tolist() for s in other.tree_.category_sets] == \
            [None if s is None else s.tolist() for s in tree.category_sets]
    names = [str(name) for name in est.categories_[0]]
    first = next(i for i, s in enumerate(tree.category_sets) if s is not None and len(s) > 1)
    shown = ", ".join(names[c] for c in tree.category_sets[first][:6])
    assert f"colour in {{{shown}" in export_text(est)
    assert "colour in {" in export_graphviz(est)


def test_a_set_of_one_category_reads_as_the_category_test():
    rng = np.random.default_rng(8)
    colour = rng.choice(["amber", "blue", "cyan"], 400)
    frame = pd.DataFrame({"colour": pd.Categorical(colour), "x": rng.normal(size=400)})
    y = (colour != "amber").astype(int)  # amber, of the lowest share, alone on the left
    est = QUORClassifier(categorical_split="set", max_depth=1).fit(frame, y)
    assert [s.tolist() for s in est.tree_.category_sets if s is not None] == [[0]]
    assert export_text(est).splitlines()[0] == "|--- colour == amber"


def test_long_sets_are_abbreviated_in_text():
    frame, y, _ = _frame(3, n=3000, n_categories=60, nan_share=0.0)
    est = QUORClassifier(categorical_split="set", max_depth=2).fit(frame, y)
    longest = max(len(s) for s in est.tree_.category_sets if s is not None)
    assert longest > 6
    assert f"… {longest - 6} more}}" in export_text(est)


def test_forest_arrays_and_a_joined_forest_keep_the_sets():
    from quor.dask import _joined_arrays

    frame, y, _ = _frame(4)
    forest = QUORForestClassifier(n_estimators=3, mode="strict", categorical_split="set",
                                  random_state=0).fit(frame, y)
    arrays = forest._forest.export_arrays()
    assert arrays["set_words"].dtype == np.uint64 and len(arrays["set_words"]) > 0
    joined = _joined_arrays([arrays, arrays])
    raw = RawForest.from_arrays(forest._forest_kind, forest._forest_settings, joined)
    rows = _codes(forest, frame)
    once = forest._forest.apply(rows, 1)
    assert (raw.apply(rows, 1) == np.hstack([once, once])).all()
    # Each tree's sets are those of the forest's tree, standing alone.
    for i, tree in enumerate(forest.estimators_):
        walked = np.array([_walk(tree.tree_, row) for row in rows])
        assert (once[:, i] == walked).all()


def _broken(arrays, name, change):
    arrays = {k: v.copy() for k, v in arrays.items()}
    change(arrays[name])
    return arrays


def _set_node(arrays):
    return int(np.flatnonzero(np.diff(arrays["set_offsets"]) > 0)[0])


@pytest.mark.parametrize("name, change", [
    # A set that would hold no category, or codes past the last word.
    ("set_words", lambda w: w.__setitem__(slice(None), 0)),
    # Offsets that run backwards, past the words, or do not start at 0.
    ("set_offsets", lambda o: o.__setitem__(-1, o[-1] + 1)),
    ("set_offsets", lambda o: o.__setitem__(0, 1)),
    ("set_offsets", lambda o: o.__setitem__(slice(1, None), o[1:][::-1].copy())),
])
def test_the_loader_refuses_broken_sets(name, change):
    frame, y, _ = _frame(5)
    # Two set splits (with missing values right), so that reversed offsets run backwards.
    est = QUORClassifier(**earlier(categorical_split="set", max_depth=3, missing="right")).fit(frame, y)
    assert np.count_nonzero(np.diff(est._forest.export_arrays()["set_offsets"])) >= 2
    arrays = est._forest.export_arrays()
    with pytest.raises(ValueError, match="forest dump"):
        RawForest.from_arrays(est._forest_kind, est._forest_settings, _broken(arrays, name, change))


def test_the_loader_refuses_a_set_where_no_set_can_be():
    frame, y, _ = _frame(5)
    est = QUORClassifier(categorical_split="set", max_depth=3).fit(frame, y)
    arrays = est._forest.export_arrays()
    node = _set_node(arrays)
    # The category of a set split is -1; a code there says it tests one category.
    codes = _broken(arrays, "category", lambda c: c.__setitem__(node, 0))
    # A leaf, or an interval split, with a set.
    leaf = int(np.flatnonzero(arrays["is_leaf"])[0])
    moved = np.diff(arrays["set_offsets"])
    moved[node], moved[leaf] = 0, moved[node]
    to_leaf = dict(arrays, set_offsets=np.concatenate([[0], np.cumsum(moved)]).astype(np.int64))
    for bad in (codes, to_leaf):
        with pytest.raises(ValueError, match="forest dump"):
            RawForest.from_arrays(est._forest_kind, est._forest_settings, bad)


@pytest.mark.parametrize("Est", [QUORClassifier, QUORRegressor])
def test_one_category_splits_are_the_trees_of_before(Est):
    frame, y, _ = _frame(6)
    default = Est(max_depth=4).fit(frame, y)
    one = Est(max_depth=4, categorical_split="one").fit(frame, y)
    # Set splits are the default; "one" stores settings as before the option.
    assert any(s is not None for s in default.tree_.category_sets)
    assert "categorical_split" not in one._forest_settings
    assert all(s is None for s in one.tree_.category_sets)


def test_an_unknown_kind_of_split_is_refused():
    frame, y, _ = _frame(7, n=100)
    with pytest.raises(ValueError, match="categorical_split"):
        QUORClassifier(categorical_split="sets").fit(frame, y)
