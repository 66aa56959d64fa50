"""Render a fitted quor tree as indented text or as a Graphviz DOT graph.

A split sends a sample left when it passes the split's test and right
otherwise; missing values (NaN) go where the split sends them, right unless
it learned to send them left, and that branch is labelled "or missing".  Four tests exist: a threshold ``x < t``, the
membership of a quantile bin ``a <= x < b``, a category ``x == c`` and a set
of categories ``x in {a, b, …}`` (the first six, then how many more); a
feature whose categories were learned by value (``categories_``) shows the
category itself (``color == red``), any other its code.
"""

import numbers

import numpy as np
from sklearn.utils.validation import check_is_fitted

__all__ = ["export_graphviz", "export_text"]

# A set split shows at most this many of its categories, then how many more.
_SET_SHOWN = 6


def _format_number(value, decimals):
    """Round to ``decimals`` places, falling back to scientific notation for tiny values."""
    value = float(value)
    if value != 0.0 and np.isfinite(value) and abs(value) < 10.0**-decimals:
        return np.format_float_scientific(value, precision=decimals, trim="-")
    text = np.format_float_positional(value, precision=decimals, unique=True, trim="-")
    return "0" if text == "-0" else text


def _check_decimals(decimals):
    if not isinstance(decimals, numbers.Integral) or decimals < 0:
        raise ValueError(f"decimals must be a non-negative integer, got {decimals!r}")
    return int(decimals)


def _check_max_depth(max_depth):
    if max_depth is None:
        return None
    if not isinstance(max_depth, numbers.Integral) or max_depth < 0:
        raise ValueError(f"max_depth must be None or a non-negative integer, got {max_depth!r}")
    return int(max_depth)


def _feature_names(estimator, feature_names):
    n_features = estimator.n_features_in_
    if feature_names is None:
        names = getattr(estimator, "feature_names_in_", None)
        if names is None:
            return [f"x[{i}]" for i in range(n_features)]
        return [str(name) for name in names]
    names = [str(name) for name in feature_names]
    if len(names) != n_features:
        raise ValueError(
            f"feature_names has {len(names)} entries, but the tree was fitted "
            f"on {n_features} features"
        )
    return names


def _class_names(estimator, class_names):
    classes = getattr(estimator, "classes_", None)
    if classes is None:
        return None
    if class_names is None:
        return [str(label) for label in classes]
    names = [str(name) for name in class_names]
    if len(names) != len(classes):
        raise ValueError(
            f"class_names has {len(names)} entries, but the tree has {len(classes)} classes"
        )
    return names


def _check_one_tree(estimator, caller):
    """A ``TypeError`` for anything but a quor tree estimator, with what to pass instead."""
    from ._estimators import _QUORTree
    from ._forest import _QUORForest

    if isinstance(estimator, _QUORTree):
        return
    name = type(estimator).__name__
    # A forest of quor's, local or distributed, offers its trees as estimators_.
    if isinstance(estimator, _QUORForest) or isinstance(
            getattr(type(estimator), "estimators_", None), property):
        raise TypeError(f"{caller} shows one tree, and {name} is a forest: pass one of its "
                        "trees, forest.estimators_[i]")
    raise TypeError(f"{caller} takes a QUORClassifier or QUORRegressor, got {name}")


class _Renderer:
    """Turns the nodes of one fitted tree into short descriptions."""

    def __init__(self, estimator, feature_names, class_names, decimals, show_proba, caller):
        _check_one_tree(estimator, caller)
        check_is_fitted(estimator)
        self.tree = estimator.tree_
        self.features = _feature_names(estimator, feature_names)
        self.classes = _class_names(estimator, class_names)
        self.decimals = _check_decimals(decimals)
        self.show_proba = show_proba
        categories = getattr(estimator, "categories_", None)
        self.categories = categories if categories is not None else [None] * len(self.features)

    def category(self, feature, code):
        """A category code as the value it stands for, when the feature has named categories."""
        known = self.categories[feature]
        return str(known[code]) if known is not None and 0 <= code < len(known) else str(code)

    def category_set(self, feature, codes):
        """A set split's categories in braces, the first few only when there are many."""
        shown = [self.category(feature, int(code)) for code in codes[:_SET_SHOWN]]
        if len(codes) > _SET_SHOWN:
            shown.append(f"… {len(codes) - _SET_SHOWN} more")
        return "{" + ", ".join(shown) + "}"

    def number(self, value):
        return _format_number(value, self.decimals)

    def conditions(self, node):
        """The tests a sample passes on its way to the left and to the right child."""
        left, right = self._tests(node)
        if self.tree.missing_left[node] and right.endswith(" or missing"):
            return left + " or missing", right[: -len(" or missing")]
        return left, right

    def _tests(self, node):
        """The tests of a split that sends missing values right."""
        tree = self.tree
        name = self.features[tree.feature[node]]
        sets = tree.category_sets[node]
        if tree.is_categorical[node] and sets is not None and len(sets) > 1:
            values = self.category_set(tree.feature[node], sets)
            return f"{name} in {values}", f"{name} not in {values} or missing"
        if tree.is_categorical[node] and sets is not None:
            # A set of one category is the one-category test.
            value = self.category(tree.feature[node], int(sets[0]))
            return f"{name} == {value}", f"{name} != {value} or missing"
        if tree.is_categorical[node]:
            value = self.category(tree.feature[node], int(tree.category[node]))
            return f"{name} == {value}", f"{name} != {value} or missing"
        lower, upper = tree.lower[node], tree.upper[node]
        has_lower = not (np.isneginf(lower) or np.isnan(lower))
        has_upper = not (np.isposinf(upper) or np.isnan(upper))
        low, high = self.number(lower), self.number(upper)
        if has_lower and has_upper:
            return f"{low} <= {name} < {high}", f"{name} < {low} or {name} >= {high} or missing"
        if has_upper:
            return f"{name} < {high}", f"{name} >= {high} or missing"
        if has_lower:
            return f"{name} >= {low}", f"{name} < {low} or missing"
        return f"{name} is not missing", f"{name} is missing"

    def outcome(self, node, sep, equals):
        """What a leaf predicts, its probabilities if asked, and its sample count."""
        tree = self.tree
        parts = []
        if self.classes is None:
            parts.append(f"value{equals}{self.number(tree.value[node])}")
        else:
            parts.append(f"class{equals}{self.classes[tree.predicted_class[node]]}")
            if self.show_proba:
                proba = ", ".join(self.number(p) for p in tree.value[node])
                parts.append(f"proba{equals}[{proba}]")
        parts.append(f"samples{equals}{tree.n_node_samples[node]}")
        return sep.join(parts)

    def heights(self):
        """Height of the subtree under every node (0 for a leaf)."""
        tree = self.tree
        height = np.zeros(tree.node_count, dtype=np.int64)
        left, right = tree.children_left, tree.children_right
        # Pre-order numbering puts every child after its parent.
        for node in range(tree.node_count - 1, -1, -1):
            if not tree.is_leaf[node]:
                height[node] = 1 + max(height[left[node]], height[right[node]])
        return height


def export_text(
    estimator,
    *,
    feature_names=None,
    class_names=None,
    max_depth=None,
    decimals=3,
    show_proba=False,
):
    """Describe a fitted tree as indented text, one line per branch and leaf.

    Parameters
    ----------
    estimator : QUORClassifier or QUORRegressor
        A fitted estimator: one tree (of a forest, ``forest.estimators_[i]``).
        Anything else is a ``TypeError``.
    feature_names : list of str, optional
        Names of the features; defaults to ``feature_names_in_`` when the
        estimator was fitted on a DataFrame, else ``x[0]``, ``x[1]``, ...
    class_names : list of str, optional
        Names of the classes, in the order of ``classes_``; defaults to the
        labels themselves.
    max_depth : int, optional
        Show the splits of depth 0 to ``max_depth`` only (the root has depth
        0); a deeper split is summarised in one line, a deeper leaf is shown.
    decimals : int, default=3
        Decimal places of thresholds, values and probabilities.
    show_proba : bool, default=False
        Show the class probabilities of every leaf (classifiers).

    Returns
    -------
    str
        One line per branch (``|--- x[0] < 7``, then the other side's test)
        and per leaf (``|--- class: a, samples: 7``), indented by depth.

    Examples
    --------
    >>> from quor import QUORClassifier, export_text
    >>> X = [[float(i)] for i in range(20)]
    >>> clf = QUORClassifier(max_depth=1).fit(X, ["a"] * 10 + ["b"] * 10)
    >>> print(export_text(clf, feature_names=["size"]))
    |--- size < 9.5
    |   |--- class: a, samples: 10
    |--- size >= 9.5 or missing
    |   |--- class: b, samples: 10
    <BLANKLINE>
    """
    renderer = _Renderer(estimator, feature_names, class_names, decimals, show_proba,
                         "export_text")
    max_depth = _check_max_depth(max_depth)
    tree = renderer.tree
    heights = renderer.heights() if max_depth is not None else None
    lines = []
    # Work items: ("line", text, depth) prints a line, ("node", index, depth)
    # prints a whole subtree; popped in pre-order, left branch first.
    stack = [("node", 0, 0)]
    while stack:
        kind, item, depth = stack.pop()
        prefix = "|   " * depth + "|--- "
        if kind == "line":
            lines.append(prefix + item)
        elif tree.is_leaf[item]:
            lines.append(prefix + renderer.outcome(item, ", ", ": "))
        elif max_depth is not None and depth > max_depth:
            lines.append(prefix + f"truncated branch of depth {heights[item]}")
        else:
            left_text, right_text = renderer.conditions(item)
            stack.append(("node", int(tree.children_right[item]), depth + 1))
            stack.append(("line", right_text, depth))
            stack.append(("node", int(tree.children_left[item]), depth + 1))
            stack.append(("line", left_text, depth))
    return "\n".join(lines) + "\n"


def _dot_string(text):
    return '"' + text.replace("\\", "\\\\").replace('"', '\\"').replace("\n", "\\n") + '"'


def export_graphviz(
    estimator,
    *,
    feature_names=None,
    class_names=None,
    max_depth=None,
    decimals=3,
    show_proba=False,
    rotate=False,
):
    """Describe a fitted tree as a Graphviz DOT graph.

    Every split node shows its test and sample count; its left edge is
    labelled "yes" and its right edge "no / missing".  Leaves show the
    predicted value or class and the sample count.  Render the result with
    ``dot -Tpng tree.dot -o tree.png``.

    Parameters
    ----------
    estimator : QUORClassifier or QUORRegressor
        A fitted estimator: one tree (of a forest, ``forest.estimators_[i]``).
        Anything else is a ``TypeError``.
    feature_names : list of str, optional
        Names of the features, as for :func:`export_text`.
    class_names : list of str, optional
        Names of the classes, as for :func:`export_text`.
    max_depth : int, optional
        Draw the splits of depth 0 to ``max_depth`` only; a deeper split is
        drawn as one "(...)" node.
    decimals : int, default=3
        Decimal places of thresholds, values and probabilities.
    show_proba : bool, default=False
        Show the class probabilities of every leaf (classifiers).
    rotate : bool, default=False
        Draw the tree from left to right instead of top to bottom.

    Returns
    -------
    str
        The DOT source.
    """
    renderer = _Renderer(estimator, feature_names, class_names, decimals, show_proba,
                         "export_graphviz")
    max_depth = _check_max_depth(max_depth)
    tree = renderer.tree
    out = [
        "digraph Tree {",
        'node [shape=box, style="rounded", fontname="helvetica"] ;',
        'edge [fontname="helvetica"] ;',
    ]
    if rotate:
        out.append("rankdir=LR ;")
    heights = renderer.heights() if max_depth is not None else None
    stack = [(0, 0, -1, True)]
    while stack:
        node, depth, parent, is_left = stack.pop()
        if tree.is_leaf[node]:
            label = renderer.outcome(node, "\n", " = ")
        elif max_depth is not None and depth > max_depth:
            label = f"(... {heights[node]} more level{'' if heights[node] == 1 else 's'})"
        else:
            test, _ = renderer.conditions(node)
            label = f"{test}\nsamples = {tree.n_node_samples[node]}"
            stack.append((int(tree.children_right[node]), depth + 1, node, False))
            stack.append((int(tree.children_left[node]), depth + 1, node, True))
        out.append(f"{node} [label={_dot_string(label)}] ;")
        if parent >= 0:
            angle, text = (45, "yes") if is_left else (-45, "no / missing")
            if rotate:
                angle = -angle
            out.append(
                f"{parent} -> {node} [labeldistance=2.5, labelangle={angle}, "
                f'headlabel="{text}"] ;'
            )
    out.append("}")
    return "\n".join(out) + "\n"

