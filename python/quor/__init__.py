"""quor: decision trees whose every split is chosen by cross-validation inside the node."""

import numpy as np

from . import _quor
from ._estimators import QUORClassifier, QUORRegressor
from ._forest import QUORForestClassifier, QUORForestRegressor
from ._io import load, save
from ._params import InvalidParameterError
from ._quor import RawClassifier, RawForest, RawObjectiveClassifier, RawRegressor
from ._tree import Tree
from ._version import __version__
from .export import export_graphviz, export_text
from .plot import plot_tree


def _panic_exception_class():
    """The class of the core's internal errors.

    The core creates it at its first internal error and keeps it for the
    life of the process, without making it a module attribute; one such
    error is provoked here (a split on a column that the row lacks) so that
    the package can name the class.
    """
    nan, inf = float("nan"), float("inf")
    dump = {
        "is_leaf": [False, True, True], "children_left": [1, -1, -1],
        "children_right": [2, -1, -1], "feature": [1, -1, -1],
        "is_categorical": [False] * 3, "lower": [-inf, nan, nan], "upper": [0.0, nan, nan],
        "category": [-1] * 3, "n_samples": [2, 1, 1], "value": [nan, 0.0, 1.0],
    }
    try:
        RawRegressor.from_tree(dump, []).predict(np.zeros((1, 1)))
    except BaseException as err:  # noqa: B036 - the class derives from BaseException
        return type(err)
    raise ImportError("the core did not report a row too short for its tree")


PanicException = _panic_exception_class()

__all__ = [
    "InvalidParameterError",
    "PanicException",
    "QUORClassifier",
    "QUORForestClassifier",
    "QUORForestRegressor",
    "QUORRegressor",
    "RawClassifier",
    "RawForest",
    "RawObjectiveClassifier",
    "RawRegressor",
    "Tree",
    "export_graphviz",
    "export_text",
    "load",
    "plot_tree",
    "save",
]
