"""quor: decision trees whose every split is chosen by cross-validation inside the node."""

from . import _quor
from ._quor import RawClassifier, RawObjectiveClassifier, RawRegressor

__all__ = ["RawClassifier", "RawObjectiveClassifier", "RawRegressor"]
