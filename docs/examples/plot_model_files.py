"""
Model files: save, load, and what loading refuses
=================================================

:func:`quor.save` writes a fitted estimator (a tree, a forest, or a Dask
forest as its local forest) to one JSON document; :func:`quor.load` reads it
back. Unlike a pickle, loading runs no code from the file: it parses JSON,
checks every field, and refuses anything that is not exactly a model that
``fit`` could have made. See :doc:`/guide/model_files`.
"""

# %%
# Save and load
# -------------
import json
import os
import pickle
import tempfile

import numpy as np
from sklearn.datasets import load_wine

import quor

X, y = load_wine(return_X_y=True, as_frame=True)
forest = quor.QUORForestClassifier(n_estimators=20, random_state=0).fit(X, y)

folder = tempfile.TemporaryDirectory()
path = os.path.join(folder.name, "wine.quor")
quor.save(forest, path)
print(f"{os.path.getsize(path) / 1024:.0f} KiB")


def shown(error):
    """The error's message, with the temporary folder left out of its paths."""
    return str(error).replace(folder.name + os.sep, "")

loaded = quor.load(path)
print(type(loaded).__name__, loaded.n_estimators_, "trees")
print("same probabilities:", np.array_equal(loaded.predict_proba(X), forest.predict_proba(X)))
print("same importances:", np.array_equal(loaded.feature_importances_,
                                          forest.feature_importances_))

# %%
# What the file holds
# -------------------
# The hyperparameters, the fitted attributes and the trees as flat arrays
# (base64 of their little-endian bytes), with a SHA-256 checksum of the rest.
with open(path) as handle:
    document = json.load(handle)
print(sorted(document))
print(document["format"], "version", document["format_version"], "-",
      document["estimator"])
print("fitted:", sorted(document["fitted"]))
print("arrays:", sorted(document["forest"]["arrays"])[:6], "...")

# %%
# A changed file is refused
# -------------------------
# Here the forest's ``max_depth`` is changed and the file written back: the
# checksum no longer matches. (Making the checksum anew does not help a
# forger: every field is then checked against the others, and the arrays by
# the native loader, before any model is made.)
document["params"]["max_depth"] = 3
tampered = os.path.join(folder.name, "tampered.quor")
with open(tampered, "w") as handle:
    json.dump(document, handle)
try:
    quor.load(tampered)
except ValueError as error:
    print("refused:", shown(error))

# %%
# Pickles are never unpickled
# ---------------------------
# A pickle can run any code when it is loaded, so :func:`quor.load` does not
# load one, whatever its name.
pickled = os.path.join(folder.name, "forest.quor")
with open(pickled, "wb") as handle:
    pickle.dump(forest, handle)
try:
    quor.load(pickled)
except ValueError as error:
    print("refused:", shown(error))

# %%
# The size limit
# --------------
# Loading holds the file's text and its parsed document at once, about twice
# the file's size, so a file larger than ``max_bytes`` (1 GiB by default) is
# refused before a byte of it is read. A larger model that you trust loads
# with a larger ``max_bytes``. Here the limit is lowered to show the refusal.
try:
    quor.load(path, max_bytes=10_000)
except ValueError as error:
    print("refused:", shown(error))
print("loaded with max_bytes = the file's size:",
      type(quor.load(path, max_bytes=os.path.getsize(path))).__name__)

folder.cleanup()
