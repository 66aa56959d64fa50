"""A picture of a fitted tree, drawn with matplotlib (imported only when called).

The layout is the usual one for decision trees: the root on top, one row
per depth, leaves spread evenly from left to right in pre-order, every split
centred above its two children.  A split's box shows its test and sample
count, a leaf's box its value or class and sample count; the root's edges
are labelled "yes" (left: the test passes) and "no / missing" (right).
"""

from .export import _check_max_depth, _Renderer

__all__ = ["plot_tree"]


def _layout(tree, max_depth):
    """Shown nodes in pre-order as (node, depth, parent, expanded), and x of each in leaf units."""
    shown = []
    stack = [(0, 0, -1)]
    while stack:
        node, depth, parent = stack.pop()
        expanded = not tree.is_leaf[node] and (max_depth is None or depth <= max_depth)
        shown.append((node, depth, parent, expanded))
        if expanded:
            stack.append((int(tree.children_right[node]), depth + 1, node))
            stack.append((int(tree.children_left[node]), depth + 1, node))
    x = {}
    next_leaf = 0
    for node, _, _, expanded in shown:  # leaves get 0, 1, 2, ... in pre-order
        if not expanded:
            x[node] = float(next_leaf)
            next_leaf += 1
    for node, _, _, expanded in reversed(shown):  # children come after their parent
        if expanded:
            x[node] = (x[int(tree.children_left[node])] + x[int(tree.children_right[node])]) / 2
    return shown, x, next_leaf


def plot_tree(
    estimator,
    *,
    max_depth=None,
    feature_names=None,
    class_names=None,
    decimals=3,
    show_proba=False,
    filled=True,
    fontsize=None,
    ax=None,
):
    """Draw a fitted tree with matplotlib.

    Parameters
    ----------
    estimator : QUORClassifier or QUORRegressor
        A fitted estimator: one tree (of a forest, ``forest.estimators_[i]``).
        Anything else is a ``TypeError``.
    max_depth : int, optional
        Draw the splits of depth 0 to ``max_depth`` only; a deeper split is
        one box "(...)".  Trees up to depth 6 stay readable on a wide figure.
    feature_names : list of str, optional
        Names of the features, as for :func:`quor.export_text`.
    class_names : list of str, optional
        Names of the classes, as for :func:`quor.export_text`.
    decimals : int, default=3
        Decimal places of thresholds, values and probabilities.
    show_proba : bool, default=False
        Show the class probabilities of every leaf (classifiers).
    filled : bool, default=True
        Colour the leaves: by predicted class (paler when the leaf is less
        sure) or, for a regressor, by value from low (pale) to high.
    fontsize : float, optional
        Size of the text; by default chosen from the width of the axes and
        the number of boxes side by side.
    ax : matplotlib Axes, optional
        Where to draw; by default the current axes of ``matplotlib.pyplot``.

    Returns
    -------
    list of matplotlib.text.Annotation
        One per box drawn, in pre-order (edges and their labels are drawn
        as separate artists).
    """
    import numpy as np

    renderer = _Renderer(estimator, feature_names, class_names, decimals, show_proba,
                         "plot_tree")
    max_depth = _check_max_depth(max_depth)
    tree = renderer.tree
    if ax is None:
        import matplotlib.pyplot as plt

        ax = plt.gca()
    ax.clear()
    ax.set_axis_off()
    shown, x, n_columns = _layout(tree, max_depth)
    n_rows = 1 + max(depth for _, depth, _, _ in shown)
    labels = {}
    for node, depth, _, expanded in shown:
        if expanded:
            test, _ = renderer.conditions(node)
            name = renderer.features[tree.feature[node]]
            if len(test) > 18 and test.startswith(name + " "):  # a long name on a line of its own
                test = name + "\n" + test[len(name) + 1:]
            labels[node] = f"{test}\nsamples = {tree.n_node_samples[node]}"
        elif tree.is_leaf[node]:
            labels[node] = renderer.outcome(node, "\n", " = ")
        else:
            labels[node] = "(...)"
    if fontsize is None:
        width_points = ax.get_window_extent().width * 72.0 / ax.figure.dpi
        longest = max(len(line) for text in labels.values() for line in text.split("\n"))
        fontsize = float(np.clip(width_points / n_columns / (0.62 * longest + 2), 3.0, 12.0))
    colours = _leaf_colours(tree, renderer.classes is not None) if filled else {}

    def position(node, depth):
        return (x[node] + 0.5) / n_columns, 1.0 - (depth + 0.5) / n_rows

    where = {node: position(node, depth) for node, depth, _, _ in shown}
    artists = []
    for node, _, parent, _ in shown:
        if parent >= 0:  # the edge, under the boxes, which hide its ends
            ax.annotate("", where[node], xytext=where[parent], xycoords="axes fraction",
                        textcoords="axes fraction", zorder=1,
                        arrowprops=dict(arrowstyle="-", color="0.35", shrinkA=0, shrinkB=0))
        if parent == 0:
            text = "yes" if node == int(tree.children_left[0]) else "no / missing"
            mid = [0.55 * a + 0.45 * b for a, b in zip(where[0], where[node])]
            ax.text(*mid, text, transform=ax.transAxes, ha="center", va="center",
                    fontsize=fontsize * 0.9, color="0.25", zorder=2,
                    bbox=dict(boxstyle="square,pad=0.1", facecolor="white", edgecolor="none"))
        box = dict(boxstyle="round", facecolor=colours.get(node, "white"), edgecolor="0.3")
        artists.append(ax.annotate(labels[node], where[node], xycoords="axes fraction",
                                   ha="center", va="center", fontsize=fontsize, bbox=box,
                                   zorder=3))
    return artists


def _leaf_colours(tree, classification):
    """Face colour of every leaf, as an RGBA tuple."""
    import numpy as np
    from matplotlib import colormaps

    leaves = np.flatnonzero(tree.is_leaf)
    if classification:
        palette = colormaps["tab10"]
        out = {}
        for node in leaves:
            k = int(tree.predicted_class[node])
            proba = tree.value[node]
            sure = float(proba.max()) if len(proba) else 1.0
            rgb = np.array(palette(k % 10)[:3])
            share = 0.15 + 0.6 * sure  # paler for an unsure leaf
            out[int(node)] = tuple(1.0 - share * (1.0 - rgb)) + (1.0,)
        return out
    values = tree.value[leaves]
    low, high = float(np.min(values)), float(np.max(values))
    scale = colormaps["Oranges"]
    span = high - low if high > low else 1.0
    return {int(node): scale(0.1 + 0.6 * (float(v) - low) / span) for node, v in zip(leaves, values)}
