"""Checked by mypy --strict: the extension's stubs describe its seven names.

The `type: ignore` lines are misuses that the stubs must reject: with --warn-unused-ignores (part of
--strict), mypy fails if any of them stopped being an error, e.g. because the stubs went missing.
"""

import brantoveil
import numpy as np

trees = ["((A:1,B:1):1,(C:1,D:1):1,E:1);", "((A:1,C:1):1,(B:1,D:1):1,E:1);"]
counter = brantoveil.ProgressCounter()
names, rf = brantoveil.pairwise_rf_from_newick_iter(["a", "b"], iter(trees), [{}], [0, 0], progress=counter)
matrix = np.frombuffer(rf, dtype="<u4").reshape(len(names), len(names))
fraction: float = counter.fraction()
done: int = counter.value() + counter.total()
_, kf = brantoveil.pairwise_kf_from_newick_iter(["a", "b"], iter(trees), [{}], [0, 0], rooted=True)
first: float = kf[0]
names, wrf, leaves, splits, lengths, clades = brantoveil.pairwise_wrf_with_snapshots_from_newick_iter(
    ["a", "b"], iter(trees), [{}], [0, 0])
count: int = splits + len(leaves) + len(lengths) + len(clades) + len(wrf)

brantoveil.pairwise_rf_from_newick_iter(["a", "b"], trees, [{}], [0, 0])  # type: ignore[arg-type]
brantoveil.pairwise_rf_from_newick_iter(["a", "b"], iter(trees), [{}], [0, 0], rooted=1.5)  # type: ignore[arg-type]
brantoveil.ProgressCounter(3)  # type: ignore[call-arg]
wrong: str = counter.value()  # type: ignore[assignment]
brantoveil.pairwise_rf_distance  # type: ignore[attr-defined]  # noqa: B018
