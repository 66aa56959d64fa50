"""The few scikit-learn APIs that moved between scikit-learn 1.2 and today.

- Input validation: ``BaseEstimator._validate_data`` (up to 1.5) became the
  public function ``sklearn.utils.validation.validate_data`` (1.6), and the
  method was removed in 1.7.
- The keyword that lets NaN through ``check_array``: ``force_all_finite``
  (up to 1.5), renamed ``ensure_all_finite`` in 1.6 (the old name removed
  in 1.8).
- Estimator tags: the ``_more_tags`` dictionary (up to 1.5) became the
  ``__sklearn_tags__`` method returning a ``Tags`` object (1.6).

Each is chosen by looking at what the installed scikit-learn offers, never
by its version number.
"""

import inspect

from sklearn.utils import validation as _validation

__all__ = ["TagsMixin", "validate_data"]


def _choose_api(validation_module):
    """(validate_data function or None, keyword that allows NaN) of a scikit-learn."""
    check_array = validation_module.check_array
    finite = (
        "ensure_all_finite"
        if "ensure_all_finite" in inspect.signature(check_array).parameters
        else "force_all_finite"
    )
    return getattr(validation_module, "validate_data", None), finite


_VALIDATE_DATA, _FINITE_KEYWORD = _choose_api(_validation)


def validate_data(estimator, X, y="no_validation", *, reset, check_finite=True, **check_params):
    """scikit-learn's checks of X (and y) for ``estimator``, allowing NaN in X.

    With ``reset=True`` it records ``n_features_in_`` (and
    ``feature_names_in_``) on ``estimator``; with ``reset=False`` it checks
    X against them.  ``check_finite=False`` leaves out the search for
    infinite values (a caller that does it itself).
    """
    check_params[_FINITE_KEYWORD] = "allow-nan" if check_finite else False
    if _VALIDATE_DATA is not None:
        return _VALIDATE_DATA(estimator, X, y, reset=reset, **check_params)
    return estimator._validate_data(X, y, reset=reset, **check_params)


class TagsMixin:
    """Declares that the estimators take NaN in X, in both tag systems."""

    def _more_tags(self):  # scikit-learn before 1.6
        return {"allow_nan": True}

    def __sklearn_tags__(self):  # scikit-learn 1.6 and later
        tags = super().__sklearn_tags__()
        tags.input_tags.allow_nan = True
        return tags
