"""Write the seed corpus of forest_dump_fuzzer.cpp: real fitted forests.

Usage: python3 tests/fuzz/forest_corpus.py DIRECTORY

Fits small forests of every kind (regression, classification, objective
classification; fast and strict mode; threshold and bin splits; with and
without a categorical column) and writes each one's settings and
``export_arrays`` in the fuzzer's input layout, followed by a few rows to
route.  `make fuzz-cpp` runs it before the fuzzer, so the corpus always
comes from the forests this quor grows.
"""

import struct
import sys
from pathlib import Path

import numpy as np

from quor import QUORForestClassifier, QUORForestRegressor

# The arrays in the order the fuzzer reads them, with their element formats.
COMMON = [("node_offsets", "<i8"), ("is_leaf", "|u1"), ("children_left", "<i4"),
          ("children_right", "<i4"), ("feature", "<i4"), ("is_categorical", "|u1"),
          ("lower", "<f8"), ("upper", "<f8"), ("category", "<i8"), ("n_samples", "<i8"),
          ("split_score", "<f8"), ("node_weight", "<f8")]
REGRESSION = [("leaf_value", "<f8")]
CLASSIFICATION = [("leaf_class", "<i4"), ("leaf_proba", "<f8")]


def encode(forest, rows):
    """One fuzzer input: the forest's settings and arrays, then rows to route."""
    settings = forest._forest_settings
    classification = "n_classes" in settings
    out = bytearray(struct.pack("<BB", int(classification), settings.get("n_classes", 0)))
    out += struct.pack("<B", len(settings["categorical"]))
    out += bytes(settings["categorical"])
    arrays = forest._forest.export_arrays()
    for name, dtype in COMMON + (CLASSIFICATION if classification else REGRESSION):
        values = np.ascontiguousarray(arrays[name]).astype(dtype).ravel()
        out += struct.pack("<I", values.size) + values.tobytes()
    out += struct.pack("<B", len(rows)) + np.ascontiguousarray(rows, dtype="<f8").tobytes()
    return bytes(out)


def forests():
    rng = np.random.default_rng(7)
    X = rng.normal(size=(120, 4))
    X[:, 2] = rng.integers(0, 5, size=120)  # category codes
    X[rng.random(120) < 0.05, 1] = np.nan
    y = X[:, 0] + (X[:, 2] == 3) + 0.3 * rng.normal(size=120)
    labels = (y > 0.5).astype(int) + (y > 1.5)
    small = dict(n_estimators=3, max_depth=4, random_state=0)
    for mode in ("fast", "strict"):
        for style in ("threshold", "bin"):
            for categorical in (None, [2]):
                kw = dict(small, mode=mode, split_style=style, categorical=categorical)
                yield f"reg-{mode}-{style}-{bool(categorical)}", QUORForestRegressor(**kw).fit(X, y)
                yield (f"clf-{mode}-{style}-{bool(categorical)}",
                       QUORForestClassifier(**kw).fit(X, labels))
    yield "objective", QUORForestClassifier(objective="f1", average="macro", **small).fit(X, labels)
    # Weighted trees, whose node weights are not their counts.
    weights = rng.integers(0, 8, size=120) / 4.0
    for name, forest, target in (("reg-weighted", QUORForestRegressor(**small).fit(X, y), y),
                                 ("clf-weighted", QUORForestClassifier(**small).fit(X, labels), labels)):
        forest._forest.fit(X, target.astype(np.float64) if name.startswith("reg") else target.astype(np.int64),
                           list(range(3)), 1, False, None, sample_weight=weights)
        yield name, forest
    yield "stump", QUORForestRegressor(n_estimators=2, max_depth=0).fit(X, y)
    yield "deep", QUORForestClassifier(n_estimators=1, random_state=1).fit(X, labels)


def main(directory):
    directory = Path(directory)
    directory.mkdir(parents=True, exist_ok=True)
    rng = np.random.default_rng(8)
    rows = rng.normal(size=(4, 4))
    rows[0, 1] = np.nan
    rows[1, 2] = 3.0
    for name, forest in forests():
        (directory / f"seed-{name}").write_bytes(encode(forest, rows))


if __name__ == "__main__":
    main(sys.argv[1])
