"""A read-only, array-based view of a fitted tree.

The native core hands out a fitted tree as a dump: a dictionary of parallel
lists with one entry per node, numbered in pre-order (the root is 0, a split's
left child is the next node, its right child follows the whole left subtree).
``Tree`` turns that dump into NumPy arrays, checks that it really describes a
tree, and offers the few walks the rest of the package needs.  Every walk uses
an explicit stack: trees grown without a depth limit can be far deeper than
Python's recursion limit.
"""

import numpy as np

__all__ = ["Tree", "category_sets", "held_out_importances_per_tree", "importances_per_tree", "tree_arrays"]


class Tree:
    """Structure of a fitted quor tree, one array entry per node.

    Node ``i`` is a leaf when ``is_leaf[i]``; otherwise it sends a sample to
    ``children_left[i]`` when the sample passes the node's test and to
    ``children_right[i]`` when it does not.  A missing value goes left where
    ``missing_left[i]``, right elsewhere.

    An estimator makes its ``tree_`` itself; there is no need to build one.

    Parameters
    ----------
    dump : dict
        A fitted tree as the native core exports it (an estimator's
        ``export_tree()``), one list entry per node in pre-order.
    n_classes : int, optional
        Number of classes of a classification tree; None for regression.
    node_weight : array-like of float64, optional
        Weight of the training rows that reached each node; None takes the
        row counts of the dump.
    missing_left : array-like of bool, optional
        Per node, whether its split sends missing values left; None sends
        them right everywhere.
    set_offsets, set_words : ndarray of int64 and of uint64, optional
        The category sets of set splits, as the native core's flat arrays
        hold them; None for a tree without set splits.

    Attributes
    ----------
    node_count : int
        Number of nodes.
    is_leaf : ndarray of bool, shape (node_count,)
        True for leaves.
    children_left, children_right : ndarray of int64, shape (node_count,)
        Child indices; -1 for leaves.
    feature : ndarray of int64, shape (node_count,)
        Feature tested by a split; -1 for leaves.
    is_categorical : ndarray of bool, shape (node_count,)
        True for splits that test categories: one (``x == category``) or a
        set (``x in category_sets[i]``).
    lower, upper : ndarray of float64, shape (node_count,)
        Interval splits send a finite ``x`` left when ``lower <= x < upper``;
        an absent bound is -inf / +inf.  NaN for other nodes.
    category : ndarray of int64, shape (node_count,)
        Category code tested by a one-category split; -1 for other nodes.
    category_sets : list of (ndarray of int64 or None), length node_count
        The category codes a set split sends left, ascending; None for
        other nodes.  A category not in the set (also one the node never
        saw at fit) goes right.
    missing_left : ndarray of bool, shape (node_count,)
        True for splits that send missing values (NaN; infinities in a
        continuous feature; a categorical value with no category code) to
        the left child; every other split sends them right.
    n_node_samples : ndarray of int64, shape (node_count,)
        Training samples that reached each node.
    weighted_n_node_samples : ndarray of float64, shape (node_count,)
        The sum of the weights of those samples (``n_node_samples`` for a
        tree grown without weights, or stored before quor took them).
    value : ndarray of float64
        Regression: shape (node_count,), the leaf values (NaN at splits).
        Classification: shape (node_count, n_classes), the class
        probabilities of each leaf (NaN at splits).
    predicted_class : ndarray of int64 or None
        Classification: the encoded class predicted by each leaf (-1 at
        splits).  None for regression.
    node_depth : ndarray of int64, shape (node_count,)
        Depth of every node (the root has depth 0).
    max_depth : int
        Depth of the deepest leaf.
    n_leaves : int
        Number of leaves.
    """

    def __init__(self, dump, n_classes=None, node_weight=None, missing_left=None,
                 set_offsets=None, set_words=None):
        n = len(dump["is_leaf"])
        if n == 0:
            raise ValueError("tree has no nodes")
        self.node_count = n
        self.is_leaf = np.asarray(dump["is_leaf"], dtype=bool)
        self.children_left = np.asarray(dump["children_left"], dtype=np.int64)
        self.children_right = np.asarray(dump["children_right"], dtype=np.int64)
        self.feature = np.asarray(dump["feature"], dtype=np.int64)
        self.is_categorical = np.asarray(dump["is_categorical"], dtype=bool)
        self.lower = np.asarray(dump["lower"], dtype=np.float64)
        self.upper = np.asarray(dump["upper"], dtype=np.float64)
        self.category = np.asarray(dump["category"], dtype=np.int64)
        self.missing_left = (np.zeros(n, dtype=bool) if missing_left is None
                             else np.array(missing_left, dtype=bool))
        if self.missing_left.shape != (n,):
            raise ValueError(f"missing_left has {self.missing_left.size} entries for {n} nodes")
        self.category_sets = category_sets(n, set_offsets, set_words)
        self.n_node_samples = np.asarray(dump["n_samples"], dtype=np.int64)
        self.weighted_n_node_samples = np.array(
            self.n_node_samples if node_weight is None else node_weight, dtype=np.float64)
        if self.weighted_n_node_samples.shape != (n,):
            raise ValueError(f"node_weight has {self.weighted_n_node_samples.size} entries for "
                             f"{n} nodes")
        if n_classes is None:
            self.value = np.asarray(dump["value"], dtype=np.float64)
            self.predicted_class = None
        else:
            self.value = np.full((n, n_classes), np.nan)
            for i, proba in enumerate(dump["proba"]):
                if self.is_leaf[i]:
                    row = np.asarray(proba, dtype=np.float64)[:n_classes]
                    self.value[i] = 0.0
                    self.value[i, : len(row)] = row
            self.predicted_class = np.asarray(dump["predicted_class"], dtype=np.int64)
        self.node_depth = self._depths()
        self.max_depth = int(self.node_depth.max())
        self.n_leaves = int(self.is_leaf.sum())

    def _depths(self):
        """Depth of every node; also checks that the dump is one tree."""
        n = self.node_count
        depth = np.full(n, -1, dtype=np.int64)
        left, right = self.children_left.tolist(), self.children_right.tolist()
        is_leaf = self.is_leaf.tolist()
        depth_list = depth.tolist()
        depth_list[0] = 0
        stack = [0]
        while stack:
            node = stack.pop()
            if is_leaf[node]:
                continue
            for child in (left[node], right[node]):
                # Every node is reached exactly once, from its only parent.
                if not 0 <= child < n or depth_list[child] != -1:
                    raise ValueError(f"tree dump is corrupt: node {node} has child {child}")
                depth_list[child] = depth_list[node] + 1
                stack.append(child)
        depth[:] = depth_list
        if (depth < 0).any():
            raise ValueError("tree dump is corrupt: some nodes are not reachable from the root")
        return depth


def category_sets(n, set_offsets, set_words):
    """Each node's set of category codes, from the forest arrays' bitsets
    (node i's words ``set_words[set_offsets[i]:set_offsets[i + 1]]``, bit
    ``c % 64`` of word ``c // 64`` for code c); None where a node has none."""
    if set_offsets is None:
        return [None] * n
    offsets = np.asarray(set_offsets, dtype=np.int64)
    words = np.asarray(set_words, dtype=np.uint64)
    if offsets.shape != (n + 1,):
        raise ValueError(f"set_offsets has {offsets.size} entries for {n} nodes")
    bits = np.unpackbits(words.astype("<u8").view(np.uint8), bitorder="little")
    out = []
    for i in range(n):
        begin, end = int(offsets[i]), int(offsets[i + 1])
        out.append(np.flatnonzero(bits[64 * begin:64 * end]).astype(np.int64)
                   if end > begin else None)
    return out


def importances_per_tree(is_leaf, feature, node_weight, split_scores, node_offsets, n_features):
    """Held-out importance of every feature of each tree, normalised to sum to 1;
    one row per tree.

    Feature j earns, at every split on j, the split's aggregated
    cross-validated score (``split_scores``, one per node; clipped below at
    0) times the share of the tree's root weight that reached the split
    (``node_weight``: the sum of the training weights at each node, its
    number of samples for unweighted trees).  A tree without any positive
    score (one leaf) gives all zeros.  The trees' nodes are concatenated
    (the native forest's arrays); tree t owns nodes
    ``node_offsets[t]:node_offsets[t + 1]``, its root first.
    """
    n_trees = len(node_offsets) - 1
    tree_of = np.repeat(np.arange(n_trees), np.diff(node_offsets))
    node_weight = np.asarray(node_weight, dtype=np.float64)
    splits = ~is_leaf & np.isfinite(split_scores)
    root = node_weight[np.asarray(node_offsets[:-1])][tree_of[splits]]
    # The share first: a product of a score and a weight near the largest
    # float64 would overflow.
    weight = np.maximum(split_scores[splits], 0.0) * (node_weight[splits] / root)
    out = np.zeros((n_trees, n_features))
    np.add.at(out, (tree_of[splits], feature[splits]), weight)
    totals = out.sum(axis=1, keepdims=True)
    np.divide(out, totals, out=out, where=totals > 0)
    return out


def held_out_importances_per_tree(arrays, node_weight, n_features, clip="credit"):
    """Importance of every feature of each tree measured on folds that did not
    choose the splits, normalised to sum to 1; one row per tree.

    At every split, each fold k of the node's folds takes the candidate that
    the aggregate of the other folds' scores prefers and scores it on fold k
    alone; the node credits the feature of fold k's choice with that score
    over the number of folds (``held_out_count``, ``held_out_feature`` and
    ``held_out_score`` of the native arrays: per node, the features it
    credits and their credits).  A credit counts times the share of the
    tree's root weight that reached the node (``node_weight``).  Each credit
    is clipped below at 0 before the sums (``clip="credit"``: a choice that
    loses on the fold that did not choose it earns nothing, and cannot take
    away what the feature's other splits earned, which small nodes of an
    informative feature would), or, as quor 0.3 did for the credits of
    files written before format version 6, each feature's sum
    (``clip="feature"``); then the tree's sums are normalised; a tree
    without any positive sum gives all zeros.
    """
    offsets = np.asarray(arrays["node_offsets"])
    n_trees = len(offsets) - 1
    counts = np.asarray(arrays["held_out_count"], dtype=np.int64)
    node_of = np.repeat(np.arange(len(counts)), counts)
    tree_of = np.repeat(np.arange(n_trees), np.diff(offsets))[node_of]
    node_weight = np.asarray(node_weight, dtype=np.float64)
    share = node_weight[node_of] / node_weight[offsets[:-1]][tree_of]
    out = np.zeros((n_trees, n_features))
    scores = np.asarray(arrays["held_out_score"], dtype=np.float64)
    if clip == "credit":
        scores = np.maximum(scores, 0.0)
    np.add.at(out, (tree_of, np.asarray(arrays["held_out_feature"], dtype=np.int64)),
              scores * share)
    np.maximum(out, 0.0, out=out)
    totals = out.sum(axis=1, keepdims=True)
    np.divide(out, totals, out=out, where=totals > 0)
    return out


def tree_arrays(dump, n_classes=None):
    """The flat arrays of the native forest (``RawForest.export_arrays``) of one tree,
    from its ``export_tree`` dump: how trees that earlier quor versions stored as
    dumps (in pickles and model files) are read back.  The native loader then
    checks the arrays as it checks any others; a value that does not fit its
    array's type is a ``ValueError`` naming the dump's list."""

    def column(key, dtype):
        try:
            values = np.asarray(dump[key], dtype=np.int64 if dtype == np.int32 else dtype)
        except (TypeError, ValueError, OverflowError) as err:
            raise ValueError(f"tree {key!r}: {err}") from None
        if dtype == np.int32:
            limits = np.iinfo(np.int32)
            if values.size and (values.min() < limits.min or values.max() > limits.max):
                raise ValueError(f"tree {key!r}: a value does not fit in 32 bits")
            values = values.astype(np.int32)
        return values

    is_leaf = column("is_leaf", bool)
    n = len(is_leaf)
    arrays = {
        "node_offsets": np.array([0, n], dtype=np.int64),
        "is_leaf": is_leaf,
        "children_left": column("children_left", np.int32),
        "children_right": column("children_right", np.int32),
        "feature": column("feature", np.int32),
        "is_categorical": column("is_categorical", bool),
        "lower": column("lower", np.float64),
        "upper": column("upper", np.float64),
        "category": column("category", np.int64),
        "n_samples": column("n_samples", np.int64),
        "split_score": np.full(n, np.nan),  # dumps keep no scores
    }
    leaves = np.flatnonzero(is_leaf)
    if n_classes is None:
        arrays["leaf_value"] = column("value", np.float64)[leaves]
        return arrays
    arrays["leaf_class"] = column("predicted_class", np.int32)[leaves]
    proba = np.zeros((len(leaves), n_classes))
    for row, node in enumerate(leaves.tolist()):
        values = np.asarray(dump["proba"][node], dtype=np.float64)
        if len(values) > n_classes:
            raise ValueError(f"tree 'proba': node {node} has more than {n_classes} probabilities")
        proba[row, :len(values)] = values
    arrays["leaf_proba"] = proba
    return arrays
