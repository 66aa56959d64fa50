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

The core measures each tree as it is grown (``RawForest.fit(...,
oob_importances=True)``, then ``take_oob_contributions``); this module reads
its results.
"""

import numpy as np


def in_bag_words(words, n_trees):
    """The native forest's in-bag bitmaps (``take_in_bag``), one row of words
    per tree."""
    return np.asarray(words, dtype="<u8").reshape(n_trees, -1)


def tree_in_bag(words, n_rows):
    """One tree's row of ``in_bag_words`` as a boolean array over the rows."""
    return np.unpackbits(words.view(np.uint8), bitorder="little")[:n_rows].astype(bool)


def out_of_bag_importances(per_tree, n_features):
    """The forest's importances from its trees' contributions: the mean over the
    trees, clipped at 0, normalised (all 0 when no feature gains)."""
    if len(per_tree) == 0:
        return np.zeros(n_features)
    mean = np.maximum(np.mean(per_tree, axis=0), 0.0)
    total = mean.sum()
    return mean / total if total > 0 else mean
