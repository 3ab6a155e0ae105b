"""Does reading stay memory-bounded? Streams 200,000 generated trees of 50 taxa through one call.

The sample is generated on the fly (never held as a list). The last tree has a foreign taxon, so
the call reads every tree, interns it, and then stops with a reading error before any pairwise
work: the time measured is the time spent reading, and the peak resident memory is what reading
200,000 trees costs. The per-tree records it keeps are one 32-bit split ID per internal edge.

It then times reading alone (the texts generated beforehand) with the worker pool pinned to 1 and
to 2 CPUs, to show that parsing and interning scale with threads.

    python3 bench/stream_memory.py [n_trees]
"""

import os
import resource
import subprocess
import sys
import time

import brantoveil

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from sample import mcmc_like, translate_map

N_TAXA = 50


def stream(n_trees):
    for i, tree in enumerate(mcmc_like(n_trees, N_TAXA, seed=7)):
        if i == n_trees - 1:
            tree = tree.replace("(1:", "(999:", 1).replace(",1:", ",999:", 1)
        yield tree


def peak_rss_bytes():
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024


def read_only(texts, maps):
    """Seconds to read `texts` (whose last tree is foreign) up to the reading error."""
    n = len(texts)
    start = time.perf_counter()
    try:
        brantoveil.pairwise_rf_from_newick_iter([str(i) for i in range(n)], iter(texts), maps, [0] * n)
    except ValueError:
        return time.perf_counter() - start
    raise AssertionError("the last tree should have been rejected")


def speed_child(cpus, n_trees):
    os.sched_setaffinity(0, set(sorted(os.sched_getaffinity(0))[:cpus]))
    maps = [translate_map(N_TAXA)]
    maps[0]["999"] = "Stranger"
    texts = list(stream(n_trees))
    megabytes = sum(map(len, texts)) / 1e6
    best = min(read_only(texts, maps) for _ in range(3))
    print(f"{cpus} thread(s): {n_trees / best:,.0f} trees/s, {megabytes / best:,.0f} MB/s")


def main():
    if len(sys.argv) > 2 and sys.argv[1] == "--speed":
        speed_child(int(sys.argv[2]), int(sys.argv[3]))
        return
    n_trees = int(sys.argv[1]) if len(sys.argv) > 1 else 200_000
    maps = [translate_map(N_TAXA)]
    maps[0]["999"] = "Stranger"
    names = [f"t{i}" for i in range(n_trees)]
    indices = [0] * n_trees
    # Check the sample once on a small prefix: a valid sample of trees must give a valid matrix.
    small = list(mcmc_like(50, N_TAXA, seed=7))
    _, matrix = brantoveil.pairwise_rf_from_newick_iter(names[:50], iter(small), maps, indices[:50])
    assert len(matrix) == 4 * 50 * 50

    start = time.perf_counter()
    for _ in stream(n_trees):
        pass
    generation = time.perf_counter() - start

    baseline = peak_rss_bytes()
    start = time.perf_counter()
    try:
        brantoveil.pairwise_rf_from_newick_iter(names, stream(n_trees), maps, indices)
    except ValueError as error:
        expected = f"Tree {n_trees - 1} has a different leaf set than tree 0"
        assert str(error).startswith(expected), error
    else:
        raise AssertionError("the last tree should have been rejected")
    seconds = time.perf_counter() - start
    peak = peak_rss_bytes()

    internal_edges = N_TAXA - 3
    records = n_trees * (internal_edges * 4 + 24 + 8 + 4 + 24)  # ids, empty lengths, pendants, vector headers
    bound = 3 * (records + 64 * 2**20)
    print(f"trees: {n_trees} of {N_TAXA} taxa in {seconds:.2f} s, of which generating the text in Python "
          f"takes about {generation:.2f} s")
    print(f"peak resident memory: {peak / 2**20:.1f} MiB (before the call: {baseline / 2**20:.1f} MiB)")
    print(f"per-tree records: {records / 2**20:.1f} MiB; bound 3 x (records + 64 MiB) = {bound / 2**20:.1f} MiB; "
          f"{'within' if peak < bound else 'OVER'} the bound")
    for cpus in sorted({1, min(2, len(os.sched_getaffinity(0)))}):
        subprocess.run([sys.executable, __file__, "--speed", str(cpus), "50000"], check=True)


if __name__ == "__main__":
    main()
