"""Constructor argument conversion and the checking of option strings."""

import numpy as np
import pytest

from quor import _quor
from conftest import ARGS, CLASSES, construct, stump, category, interval, sides

R, C, O = _quor.RawRegressor, _quor.RawClassifier, _quor.RawObjectiveClassifier
UNSIGNED = ["min_samples_split", "min_samples_leaf", "n_bins", "cv_folds", "cv_seed",
            "n_threads", "parallel_min_samples", "max_depth"]
FLOATS = ["min_impurity_decrease", "agg_frac", "agg_eps", "agg_lambda"]
STRINGS = ["mode", "split_style", "aggregator"]


def test_argument_list_errors(cls):
    args = ARGS[cls]
    with pytest.raises(TypeError):
        cls()
    with pytest.raises(TypeError, match="categorical"):
        cls(*list(args.values())[:-1])
    with pytest.raises(TypeError):
        cls(**args, unexpected=1)
    with pytest.raises(TypeError):
        cls(*args.values(), categorical=[])  # given twice
    # Positional, keyword and mixed calls are the same call.
    values = list(args.values())
    names = list(args)
    cls(*values)
    cls(*values[:5], **dict(zip(names[5:], values[5:])))


@pytest.mark.parametrize("name", UNSIGNED + FLOATS + STRINGS + ["cv_shuffle", "parallel"])
def test_wrong_type_names_the_argument(cls, name):
    with pytest.raises(TypeError, match=rf"^argument '{name}': "):
        construct(cls, **{name: "x" if name not in STRINGS else 3})


@pytest.mark.parametrize("name", UNSIGNED)
def test_unsigned_arguments(name):
    with pytest.raises(TypeError) as info:
        construct(R, **{name: 2.0})
    assert str(info.value) == (
        f"argument '{name}': 'float' object cannot be interpreted as an integer")
    with pytest.raises(OverflowError) as info:
        construct(R, **{name: -1})
    assert not str(info.value).startswith("argument")  # Python's own message
    with pytest.raises(OverflowError):
        construct(R, **{name: 2**64})
    construct(R, **{name: 2**64 - 1})
    construct(R, **{name: np.uint64(3)})  # anything with __index__
    construct(R, **{name: True})


def test_none_only_for_max_depth():
    construct(R, max_depth=None)
    with pytest.raises(TypeError, match="^argument 'criterion': "):
        construct(R, criterion=None)
    with pytest.raises(TypeError, match="^argument 'n_bins': "):
        construct(R, n_bins=None)


@pytest.mark.parametrize("value", [True, False, np.bool_(True), np.bool_(False)])
def test_bool_arguments_accept_python_and_numpy_bools(value):
    construct(R, cv_shuffle=value, parallel=value)


@pytest.mark.parametrize("value", [1, 0, 1.0, np.int64(1), "True", None])
def test_bool_arguments_refuse_everything_else(value):
    with pytest.raises(TypeError, match="^argument 'cv_shuffle': "):
        construct(R, cv_shuffle=value)


def test_float_arguments_accept_ints_and_float_like():
    construct(R, min_impurity_decrease=1, agg_frac=np.float32(0.5), agg_eps=np.int64(2))
    construct(O, beta=2)
    with pytest.raises(OverflowError):
        construct(R, agg_lambda=10**400)


def test_string_that_cannot_be_utf8_is_a_type_error():
    with pytest.raises(TypeError, match="^argument 'criterion': "):
        construct(R, criterion="ms\ud800e")


def test_categorical_argument():
    with pytest.raises(TypeError, match="^argument 'categorical': "):
        construct(R, categorical="01")
    with pytest.raises(TypeError, match="^argument 'categorical': "):
        construct(R, categorical=3)
    with pytest.raises(TypeError, match="^argument 'categorical': "):
        construct(R, categorical=[1, 2.0])
    with pytest.raises(OverflowError):
        construct(R, categorical=[1, -2])
    for value in [(), [0], (3, 1, 3), range(4), np.array([5, 2], dtype=np.int64), b"\x01"]:
        construct(R, categorical=value)


def test_categorical_list_is_sorted_and_deduplicated():
    # Binary search over the stored list finds columns 1 and 3 only if it was
    # sorted; column 2 stays continuous.
    for cls in CLASSES:
        est = stump(cls, category(1, 3, 1, 2), categorical=(3, 1, 3))
        assert sides(est, [[0.0, 2.6, 0.0, 0.0], [0.0, 3.5, 0.0, 0.0]]) == "LR"
        est = stump(cls, category(3, 3, 1, 2), categorical=(3, 1, 3))
        assert sides(est, [[0.0, 0.0, 0.0, 3.4]]) == "L"
        est = stump(cls, interval(2, 1, 2, upper=1.0), categorical=(3, 1, 3))
        assert sides(est, [[0.0, 0.0, 0.5, 0.0]]) == "L"


def test_conversion_runs_in_signature_order_before_string_checks():
    # The first argument that fails to convert is reported...
    with pytest.raises(TypeError, match="'criterion'"):
        construct(R, criterion=1, n_bins=2.0)
    with pytest.raises(TypeError, match="'n_bins'"):
        construct(R, n_bins=2.0, categorical="x")
    with pytest.raises(TypeError, match="'n_classes'"):
        construct(O, n_classes=1.5, beta="x")
    # ... and every conversion happens before any string is looked at.
    with pytest.raises(TypeError, match="'categorical'"):
        construct(R, criterion="bad", categorical="x")


REGRESSION_CRITERION = 'unknown regression criterion "{}" (expected "mse", "variance" or "mae")'
CLASSIFICATION_CRITERION = 'unknown classification criterion "{}" (expected "gini" or "entropy")'
MODE = 'unknown mode "{}" (expected "strict" or "fast")'
SPLIT_STYLE = 'unknown split_style "{}" (expected "threshold" or "bin")'
AGGREGATOR = 'unknown aggregator "{}"'
AVERAGE = 'unknown average "{}" (expected binary/micro/macro/weighted)'
OBJECTIVE = 'unknown objective "{}" (expected precision/recall/f1/fbeta/accuracy)'


@pytest.mark.parametrize("cls, bad, message", [
    (R, ["criterion", "mode", "split_style", "aggregator"], REGRESSION_CRITERION),
    (R, ["mode", "split_style", "aggregator"], MODE),
    (R, ["split_style", "aggregator"], SPLIT_STYLE),
    (R, ["aggregator"], AGGREGATOR),
    (C, ["criterion", "mode", "split_style", "aggregator"], CLASSIFICATION_CRITERION),
    (C, ["mode", "aggregator"], MODE),
    (O, ["average", "objective", "mode", "split_style", "aggregator"], AVERAGE),
    (O, ["objective", "mode", "split_style", "aggregator"], OBJECTIVE),
    (O, ["split_style", "aggregator"], SPLIT_STYLE),
    (O, ["aggregator"], AGGREGATOR),
])
def test_option_strings_checked_in_fixed_order(cls, bad, message):
    with pytest.raises(ValueError) as info:
        construct(cls, **{name: "MSE" for name in bad})
    assert str(info.value) == message.format("MSE")


@pytest.mark.parametrize("text, shown", [
    ("", ""),
    ('a"b', 'a\\"b'),
    ("a\\b", "a\\\\b"),
    ("line\nbreak\ttab", "line\\nbreak\\ttab"),
    ("\x01", "\\u{1}"),
    ("\u00e9t\u00e9", "\u00e9t\u00e9"),
])
def test_bad_strings_are_quoted_with_escapes(text, shown):
    with pytest.raises(ValueError) as info:
        construct(R, aggregator=text)
    assert str(info.value) == f'unknown aggregator "{shown}"'


def test_split_style_alias():
    construct(R, split_style="bin_membership")
    with pytest.raises(ValueError):
        construct(R, split_style="Bin")


def test_numbers_are_not_range_checked():
    construct(R, cv_folds=0, n_bins=0, n_threads=0, min_impurity_decrease=float("nan"),
              agg_frac=7.0)
    construct(O, n_classes=0, pos_label=10)


def test_fresh_estimators_are_unfitted(cls):
    est = construct(cls)
    assert est.depth() == 0 and est.n_leaves() == 0
    with pytest.raises(ValueError, match="^estimator is not fitted$"):
        est.export_tree()
