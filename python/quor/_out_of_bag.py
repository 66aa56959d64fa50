"""Out-of-bag importances of a forest: each tree's splits measured on the rows
the tree was not grown on.

Every node of a tree predicts what its training rows say: the class shares
(classification, the objective classifier included) or the mean
(regression) of the rows that reached it, weighted.  A row the tree did not
draw is scored against a node's prediction by its squared error, for
classification the Brier score ``sum_c (p_c - [y = c])**2``.  A split's
contribution is the weighted squared error of the out-of-bag rows that reach
it against its own prediction, less theirs against its children's; it is
negative when the split's children predict the unseen rows worse than the
node itself, which is what a split on noise does.  A tree's contribution to
a feature is the sum over the feature's splits, over the out-of-bag weight
at the tree's root; the forest's importance of a feature is the mean over
the trees, clipped at 0 (a feature whose splits lose on unseen rows is worth
nothing, not less) and normalised to sum to 1 (all 0 when no feature gains).
"""

import numpy as np


def in_bag_words(words, n_trees):
    """The native forest's in-bag bitmaps (``take_in_bag``), one row of words
    per tree."""
    return np.asarray(words, dtype="<u8").reshape(n_trees, -1)


def tree_in_bag(words, n_rows):
    """One tree's row of ``in_bag_words`` as a boolean array over the rows."""
    return np.unpackbits(words.view(np.uint8), bitorder="little")[:n_rows].astype(bool)


def _node_predictions(left, right, is_leaf, node_weight, leaf_values):
    """Every node's prediction (rows: nodes; columns: classes, or one value) from
    its leaves' values weighted by their training weight."""
    n_nodes = len(is_leaf)
    totals = np.zeros((n_nodes, leaf_values.shape[1]))
    totals[is_leaf] = leaf_values * node_weight[is_leaf, None]
    # The nodes level by level from the root, then summed from the deepest
    # level up: every node gets its subtree's sums.
    levels, frontier = [], np.zeros(1, dtype=np.int64)
    while frontier.size:
        levels.append(frontier)
        splits = frontier[~is_leaf[frontier]]
        frontier = np.concatenate([left[splits], right[splits]])
    for parents in reversed(levels[:-1]):
        splits = parents[~is_leaf[parents]]
        totals[splits] = totals[left[splits]] + totals[right[splits]]
    weight = np.where(node_weight > 0, node_weight, 1.0)
    return totals / weight[:, None]


def tree_contributions(path, arrays_of_tree, targets, weights, n_classes, n_features):
    """One tree's out-of-bag contribution to every feature.

    ``path``: the ``(indptr, indices)`` decision path of the tree's out-of-bag
    rows; ``targets`` and ``weights`` theirs (class indices for
    classification, ``n_classes`` > 0; values for regression, ``n_classes``
    0).  ``arrays_of_tree``: the tree's node arrays (local child indices) and
    its leaves' values, ``leaf_values`` (n_leaves, k).
    """
    out = np.zeros(n_features)
    indptr, indices = path
    is_leaf = arrays_of_tree["is_leaf"]
    if len(targets) == 0 or is_leaf[0]:
        return out
    left = arrays_of_tree["children_left"]
    right = arrays_of_tree["children_right"]
    # Only ratios of weights count: scaled by a power of two (exactly) so that
    # weights near the largest float64 do not overflow the sums.
    node_weight = np.asarray(arrays_of_tree["node_weight"], dtype=np.float64)
    node_weight = np.ldexp(node_weight, -np.frexp(node_weight[0])[1])
    predicted = _node_predictions(left, right, is_leaf, node_weight,
                                  np.asarray(arrays_of_tree["leaf_values"], dtype=np.float64))
    n_nodes = len(is_leaf)
    lengths = np.diff(indptr)
    weight = np.repeat(np.asarray(weights, dtype=np.float64), lengths)
    node_total = np.bincount(indices, weights=weight, minlength=n_nodes)
    if n_classes:
        cells = indices * n_classes + np.repeat(targets, lengths)
        counts = np.bincount(cells, weights=weight, minlength=n_nodes * n_classes)
        counts = counts.reshape(n_nodes, n_classes)
        # sum_i w_i |p - e_{y_i}|^2 = W |p|^2 - 2 sum_c p_c W_c + W
        loss = (node_total * np.einsum("nc,nc->n", predicted, predicted)
                - 2.0 * np.einsum("nc,nc->n", predicted, counts) + node_total)
    else:
        # Centred on the root's prediction, so that large targets do not cancel.
        centre = predicted[0, 0]
        value = np.repeat(np.asarray(targets, dtype=np.float64) - centre, lengths)
        first = np.bincount(indices, weights=weight * value, minlength=n_nodes)
        second = np.bincount(indices, weights=weight * value * value, minlength=n_nodes)
        mean = predicted[:, 0] - centre
        loss = second - 2.0 * mean * first + node_total * mean * mean
    splits = np.flatnonzero(~is_leaf)
    gain = loss[splits] - loss[left[splits]] - loss[right[splits]]
    root = node_total[0]
    if root > 0:
        np.add.at(out, arrays_of_tree["feature"][splits], gain / root)
    return out


def forest_contributions(raw, arrays, in_bag, X, targets, weights, n_classes, n_features, n_jobs):
    """Every tree's out-of-bag contribution to every feature, one row per tree
    (``in_bag``: ``in_bag_words``, a tree's bit set where it drew the row,
    unpacked one tree at a time; rows of weight 0 are in no tree's bag and
    count for nothing)."""
    offsets = np.asarray(arrays["node_offsets"])
    n_trees = len(offsets) - 1
    leaf_key = "leaf_proba" if n_classes else "leaf_value"
    leaf_values = np.asarray(arrays[leaf_key], dtype=np.float64)
    if leaf_values.ndim == 1:
        leaf_values = leaf_values[:, None]
    leaf_offsets = np.concatenate([[0], np.cumsum(
        np.add.reduceat(arrays["is_leaf"].astype(np.int64), offsets[:-1]))])
    w = np.ones(len(targets)) if weights is None else np.asarray(weights, dtype=np.float64)
    # Only ratios count, of weights and of squared errors: both scaled by powers
    # of two (exactly) so that no sum of squares overflows.
    w = np.ldexp(w, -np.frexp(w.max())[1])
    if not n_classes:
        shift = -np.frexp(np.max(np.abs(targets)))[1]
        targets = np.ldexp(np.asarray(targets, dtype=np.float64), shift)
        leaf_values = np.ldexp(leaf_values, shift)
    out = np.zeros((n_trees, n_features))
    for t in range(n_trees):
        rows = np.flatnonzero(~tree_in_bag(in_bag[t], len(w)) & (w > 0))
        if len(rows) == 0:
            continue
        nodes = slice(offsets[t], offsets[t + 1])
        tree = {key: np.asarray(arrays[key][nodes]) for key in
                ("is_leaf", "children_left", "children_right", "node_weight", "feature")}
        tree["leaf_values"] = leaf_values[leaf_offsets[t]:leaf_offsets[t + 1]]
        path = raw.decision_path(X[rows], t, n_jobs)
        out[t] = tree_contributions(path, tree, targets[rows], w[rows], n_classes, n_features)
    return out


def out_of_bag_importances(per_tree, n_features):
    """The forest's importances from its trees' contributions: the mean over the
    trees, clipped at 0, normalised (all 0 when no feature gains)."""
    if len(per_tree) == 0:
        return np.zeros(n_features)
    mean = np.maximum(np.mean(per_tree, axis=0), 0.0)
    total = mean.sum()
    return mean / total if total > 0 else mean
