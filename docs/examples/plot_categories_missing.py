"""
Categories and missing values from a pandas DataFrame
=====================================================

quor takes a pandas DataFrame as it comes: a ``category`` column is
categorical without being named, a text column is categorical when named in
``categorical``, and NaN (or ``None``, or ``pd.NA``) is a missing value. By
default a categorical column splits by *sets* of categories
(``categorical_split="set"``) and every split learns the side its missing
values go to (``missing="learn"``). See :doc:`/guide/missing_categories`.
"""

# %%
# A frame with a category column, a text column and missing values
# ----------------------------------------------------------------
# ``colour`` has 30 categories; a third of them (the group ``G``) make the
# class 1 likely when ``size`` is not small. ``size`` is missing on 15 % of the
# rows, and those rows are mostly class 0, so where the missing values go
# matters. ``shop`` is text that carries nothing. 5 % of the labels are
# flipped.
import matplotlib.pyplot as plt
import numpy as np
import pandas as pd
from sklearn.model_selection import cross_val_score

import quor

rng = np.random.default_rng(0)
n = 3000
colours = [f"c{i:02d}" for i in range(30)]
group = set(rng.choice(colours, 10, replace=False))
colour = rng.choice(colours, n)
size = rng.normal(size=n)
shop = rng.choice(["north", "south", "east", "west"], n)

y = ((np.isin(colour, list(group)) & (size > -0.5)) | (size > 1.5)).astype(int)
missing = rng.random(n) < 0.15
y[missing] = (rng.random(missing.sum()) < 0.15).astype(int)
flipped = rng.random(n) < 0.05
y[flipped] = 1 - y[flipped]
size[missing] = np.nan

frame = pd.DataFrame({"colour": pd.Categorical(colour), "size": size, "shop": shop})
frame.head()

# %%
# Fit
# ---
# ``colour`` is categorical as a ``category`` column; ``shop`` is named.
clf = quor.QUORClassifier(categorical=["shop"], max_depth=3).fit(frame, y)
print("categorical:", dict(zip(clf.feature_names_in_, clf.is_categorical_)))
print("categories of shop:", list(clf.categories_[2]))

# %%
# A set split prints as ``colour in {...}`` (the set is long here, so only its
# first members are shown), and a learned side for missing values as ``or
# missing`` on the branch they take: here ``size < t or missing`` sends the
# missing sizes left, with the small values, where the class 0 rows are.
print(quor.export_text(clf))

# %%
fig, ax = plt.subplots(figsize=(12, 5.5))
quor.plot_tree(clf, ax=ax, fontsize=8)
plt.show()

# %%
# What the two defaults are worth here
# ------------------------------------
# Five-fold accuracy of the tree (at its default depth) with set or
# one-category splits, and with missing values learned or always sent right.
settings = {
    "set, learn (defaults)": {},
    "one category, learn": {"categorical_split": "one"},
    "set, missing right": {"missing": "right"},
    "one category, missing right": {"categorical_split": "one", "missing": "right"},
}
accuracy = {}
for name, params in settings.items():
    model = quor.QUORClassifier(categorical=["shop"], **params)
    accuracy[name] = cross_val_score(model, frame, y, cv=5).mean()
    print(f"{name:>28}: accuracy {accuracy[name]:.3f}")

fig, ax = plt.subplots(figsize=(7, 3))
ax.barh(list(accuracy), list(accuracy.values()))
ax.invert_yaxis()
ax.set_xlim(0.5, 1)
ax.set_xlabel("5-fold accuracy")
fig.tight_layout()
plt.show()

# %%
# A one-category split can only peel one colour off at a time, and needs many
# levels to gather the ten colours of ``G``; a set split gathers them at once.
# Sending missing sizes right puts them with the large sizes, whose class is
# 1.
#
# New rows at predict time
# ------------------------
# A colour not seen at fit, a missing colour and a missing size are all
# accepted. A category the tree never saw goes, at every split on that
# column, where any category outside the tested set goes (right), as does a
# missing category; a missing size follows the side its split learned.
clf = quor.QUORClassifier(categorical=["shop"]).fit(frame, y)
new = pd.DataFrame({
    "colour": pd.Categorical(["c99", None, sorted(group)[0]]),
    "size": [0.3, 0.3, np.nan],
    "shop": ["north", "south", "a new shop"],
})
print(clf.predict_proba(new).round(2))
