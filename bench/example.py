"""A small end-to-end run: Robinson-Foulds and branch score over an MCMC-like sample of 500 trees."""

import os
import sys
import time

import brantoveil

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from sample import mcmc_like, translate_map

N_TREES, N_TAXA = 500, 30
names = [f"gen{i * 1000}" for i in range(N_TREES)]
maps, indices = [translate_map(N_TAXA)], [0] * N_TREES

start = time.perf_counter()
names, rf = brantoveil.pairwise_rf_from_newick_iter(names, mcmc_like(N_TREES, N_TAXA), maps, indices)
rf_seconds = time.perf_counter() - start
values = memoryview(rf).cast("I")
mean_rf = sum(values) / (N_TREES * (N_TREES - 1))

counter = brantoveil.ProgressCounter()
start = time.perf_counter()
result = brantoveil.pairwise_kf_with_snapshots_from_newick_iter(
    names, mcmc_like(N_TREES, N_TAXA), maps, indices, progress=counter
)
kf_seconds = time.perf_counter() - start
_, kf, leaf_names, n_splits, lengths, clades = result

print(f"{N_TREES} trees of {N_TAXA} taxa")
print(f"Robinson-Foulds: mean distance {mean_rf:.2f} in {rf_seconds:.3f} s")
print(f"branch score: {n_splits} distinct splits, leaves {leaf_names[0]}..{leaf_names[-1]}, {kf_seconds:.3f} s")
print(f"progress counter after the call: {counter!r}")
