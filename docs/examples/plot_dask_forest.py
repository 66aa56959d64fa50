"""
A forest on a local Dask cluster
================================

:class:`quor.dask.DaskQUORForestClassifier` grows a forest from a dask array
or DataFrame held by the workers of a ``distributed`` cluster: each worker
grows the trees of the partitions it holds, and only the fitted trees come
back. See :doc:`/guide/dask`.

This example starts a small cluster inside this process (two workers of one
thread each; ``processes=False`` keeps them as threads, which start at once)
and closes it at the end. On a real cluster only the client changes.
"""

# %%
# Data
# ----
# 20 000 rows in four partitions of 5 000. Partitions are gathered into
# blocks of at least ``min_block_rows`` rows (10 000 by default; 5 000 here,
# to keep the example small), so each partition is a block, and the trees are
# dealt to the blocks in proportion to their rows.
import numpy as np
import dask.array as da
from distributed import Client, LocalCluster

import quor
from quor.dask import DaskQUORForestClassifier

rng = np.random.default_rng(0)


def make_rows(n):
    x = rng.normal(size=(n, 10))
    y = (x[:, 0] + x[:, 1] * x[:, 2] + rng.normal(size=n) > 0).astype(int)
    return x, y


x, y = make_rows(20_000)
x_test, y_test = make_rows(5_000)

# %%
# Fit, predict, and check one forest per seed
# -------------------------------------------
# Everything that needs the cluster runs inside one ``with`` block, which
# closes the client and the cluster when it ends.
#
# Predictions on a dask collection are lazy, computed partition by partition
# on the workers; on NumPy input they are made here, as by a local forest.
# The fitted model is an ordinary local forest (``to_local()``), which
# pickles and saves without its client.
#
# The forest depends on the data, their partitioning and the parameters only.
# Data of fewer than ``2 * min_block_rows`` rows are one block, and the
# forest is then exactly the local forest fitted on all rows: the last lines
# check this on 8 000 rows in four partitions.
with LocalCluster(n_workers=2, threads_per_worker=1, processes=False,
                  dashboard_address=None) as cluster, Client(cluster) as client:
    X = da.from_array(x, chunks=(5_000, 10)).persist()
    Y = da.from_array(y, chunks=5_000).persist()

    model = DaskQUORForestClassifier(n_estimators=40, min_block_rows=5_000,
                                     random_state=0).fit(X, Y)

    lazy = model.predict_proba(X)
    print(type(lazy).__name__, lazy.shape, lazy.chunks[0])
    print(lazy[:3].compute().round(3))
    print(f"held-out accuracy: {model.score(x_test, y_test):.3f}")

    forest = model.to_local()
    print(type(forest).__name__, forest.n_estimators_, "trees")

    small = DaskQUORForestClassifier(n_estimators=10, min_block_rows=5_000,
                                     random_state=0).fit(
        da.from_array(x[:8_000], chunks=(2_000, 10)), da.from_array(y[:8_000], chunks=2_000))
    local = quor.QUORForestClassifier(n_estimators=10, random_state=0).fit(x[:8_000], y[:8_000])
    print("same as the local forest:",
          np.array_equal(small.predict_proba(x_test), local.predict_proba(x_test)))

# %%
# The cluster and the client are closed; the forests fitted while they were
# up stay usable. Here each tree was grown on the 5 000 rows of one
# partition; when every partition is a fair sample of the data, as here,
# such a forest is about as accurate as a local forest grown on all rows:
everything = quor.QUORForestClassifier(n_estimators=40, n_jobs=2, random_state=0).fit(x, y)
print(f"Dask forest {forest.score(x_test, y_test):.3f}, "
      f"local forest on all rows {everything.score(x_test, y_test):.3f}")
