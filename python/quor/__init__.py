"""quor: decision trees whose every split is chosen by cross-validation inside the node."""

from . import _quor
from ._estimators import QUORClassifier, QUORRegressor
from ._quor import RawClassifier, RawObjectiveClassifier, RawRegressor
from ._tree import Tree
from .export import export_graphviz, export_text

__all__ = [
    "QUORClassifier",
    "QUORRegressor",
    "RawClassifier",
    "RawObjectiveClassifier",
    "RawRegressor",
    "Tree",
    "export_graphviz",
    "export_text",
]
