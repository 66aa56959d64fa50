"""The module object, its classes' metadata and the exception classes."""

import ctypes
import inspect

import numpy as np
import pytest

from quor import _quor
from conftest import CLASSES, ARGS, construct, stump, interval

DOCS = {
    "RawRegressor": "Native regression tree.",
    "RawClassifier": "Native classification tree. Targets are already label-encoded to `0..n`\n"
                     "by the Python layer; class recovery happens there via `classes_`.",
    "RawObjectiveClassifier": "Native classification tree that selects splits by a metric "
                              "objective\n(precision/recall/F1/F\u03b2/accuracy) instead of impurity.",
}
FROM_TREE_DOCS = {
    "RawRegressor": ("(tree, categorical)",
                     "Rebuild a fitted regressor from an `export_tree` dump (used to unpickle)."),
    "RawClassifier": ("(tree, n_classes, categorical)",
                      "Rebuild a fitted classifier from an `export_tree` dump (used to unpickle)."),
    "RawObjectiveClassifier": (
        "(tree, n_classes, categorical)",
        "Rebuild a fitted objective classifier from an `export_tree` dump. The\n"
        "objective plays no part in prediction, so a placeholder task is used."),
}


def test_module_attributes_and_doc():
    public = [k for k in vars(_quor) if not k.startswith("__")]
    assert public == ["RawClassifier", "RawObjectiveClassifier", "RawRegressor", "RawForest",
                      "OPTIONS", "LIMITS"]
    doc = _quor.__doc__
    assert "\n" not in doc and "quor.QUORClassifier" in doc and "quor.QUORRegressor" in doc
    assert not hasattr(_quor, "PanicException")


# Each exported option: the raw class and argument it belongs to, and how its
# message lists the names ("a", "b" or "c"; a/b/c; not at all).
OPTION_ARGUMENTS = {
    "regression_criterion": (_quor.RawRegressor, "criterion", "quoted"),
    "classification_criterion": (_quor.RawClassifier, "criterion", "quoted"),
    "objective": (_quor.RawObjectiveClassifier, "objective", "slashed"),
    "average": (_quor.RawObjectiveClassifier, "average", "slashed"),
    "aggregator": (_quor.RawRegressor, "aggregator", None),
    "mode": (_quor.RawRegressor, "mode", "quoted"),
    "split_style": (_quor.RawRegressor, "split_style", "quoted"),
}


@pytest.mark.parametrize("option", sorted(OPTION_ARGUMENTS))
def test_exported_options_are_exactly_what_the_raw_classes_accept(option):
    cls, argument, listing = OPTION_ARGUMENTS[option]
    names = _quor.OPTIONS[option]
    for name in names + (_quor.OPTIONS["split_style_alias"] if option == "split_style" else ()):
        construct(cls, **{argument: name})
    with pytest.raises(ValueError) as refused:
        construct(cls, **{argument: "nope"})
    shown = {"quoted": ", ".join(f'"{n}"' for n in names[:-1]) + f' or "{names[-1]}"',
             "slashed": "/".join(names), None: None}[listing]
    assert str(refused.value).endswith('"nope"' if shown is None else f"(expected {shown})")


def test_exported_fast_mode_criteria_and_limits_are_the_cores():
    x = np.arange(40, dtype=np.float64).reshape(20, 2)
    y = np.arange(20, dtype=np.float64)
    for name in _quor.OPTIONS["regression_criterion"]:
        estimator = construct(_quor.RawRegressor, criterion=name, mode="fast")
        if name in _quor.OPTIONS["fast_regression_criterion"]:
            estimator.fit(x, y)
        else:
            with pytest.raises(ValueError, match="not supported in SplitMode::Fast"):
                estimator.fit(x, y)
    limit = _quor.LIMITS["fast_max_bins"]
    wide = np.arange(limit + 1, dtype=np.float64)[:, None]
    construct(_quor.RawRegressor, mode="fast", n_bins=limit).fit(wide, wide[:, 0])
    with pytest.raises(ValueError, match="exceed fast-mode limit"):
        construct(_quor.RawRegressor, mode="fast", n_bins=limit + 1).fit(wide, wide[:, 0])
    assert _quor.LIMITS["max_category_code"] == 2**32 - 2
    assert _quor.LIMITS["largest_target"] == 2.0**960


def test_class_metadata(cls):
    name = cls.__name__
    assert cls.__module__ == "builtins"
    assert cls.__qualname__ == name
    assert f"{cls.__module__}.{cls.__qualname__}" == f"builtins.{name}"
    assert cls.__doc__ == DOCS[name]
    assert cls.__text_signature__ == "(" + ", ".join(ARGS[cls]) + ")"
    assert list(inspect.signature(cls).parameters) == list(ARGS[cls])
    # No special methods of their own besides construction and destruction.
    assert "__init__" not in vars(cls) and "__repr__" not in vars(cls)
    assert "__reduce__" not in vars(cls) and "__dict__" not in vars(cls)


def test_method_table_and_docs(cls):
    methods = [k for k in vars(cls) if not k.startswith("__")]
    expected = ["fit", "predict", "predict_proba", "predict_finite", "predict_proba_finite", "apply",
                "decision_path", "split_scores", "depth", "n_leaves", "export_tree", "from_tree"]
    if cls is _quor.RawRegressor:
        expected.remove("predict_proba")
        expected.remove("predict_proba_finite")
    assert methods == expected
    signatures = {"fit": "($self, x, y)", "predict": "($self, x)", "predict_proba": "($self, x)",
                  "depth": "($self)", "n_leaves": "($self)", "export_tree": "($self)"}
    for name in ("predict_finite", "predict_proba_finite"):
        if name in expected:
            assert getattr(cls, name).__text_signature__ == "($self, x, n_threads)"
    for name in (n for n in expected if n in signatures):
        method = getattr(cls, name)
        assert method.__text_signature__ == signatures[name]
        assert method.__doc__ is None
    signature, doc = FROM_TREE_DOCS[cls.__name__]
    assert isinstance(vars(cls)["from_tree"], staticmethod)
    assert cls.from_tree.__text_signature__ == signature
    assert cls.from_tree.__doc__ == doc


def test_second_initialisation_raises_import_error():
    library = ctypes.PyDLL(_quor.__file__)
    init = library.PyInit__quor
    init.restype = ctypes.py_object
    with pytest.raises(ImportError, match="once per interpreter process"):
        init()
    # The module already loaded keeps working.
    assert construct(_quor.RawRegressor).depth() == 0


def test_panic_exception_is_a_base_exception_outside_exception():
    estimator = stump(_quor.RawRegressor, interval(4, 1, 2, upper=0.0))
    with pytest.raises(BaseException) as info:
        try:
            estimator.predict(np.zeros((1, 2)))
        except Exception:  # must not catch it
            pytest.fail("PanicException was caught as an Exception")
    panic = type(info.value)
    assert panic.__name__ == "PanicException" and panic.__module__ == "quor._quor"
    assert panic.__bases__ == (BaseException,)
    assert "4" in str(info.value) and "2" in str(info.value)
    # One class for every panic.
    with pytest.raises(panic):
        estimator.predict(np.zeros((3, 1)))
