"""How fast are all-pairs Robinson-Foulds distances between gene trees on shared taxa, and in how much memory?

8,000 gene trees over 120 taxa, each missing 0-50% of them (bench/gene_sample.py, seed 1), every pair
compared on the taxa both hold (`--taxa shared`), on 2 threads. The timed computation runs in a fresh
process, so its peak memory is its own; the answer is checked first against ete3's `robinson_foulds`
(which restricts each pair to the leaves both trees hold) on random pairs, and ete3 is timed on 300 of
the trees for the ratio.

    python3 bench/gene_trees.py                 # needs ete3 (pip install ete3)
    python3 bench/gene_trees.py --trees 2000    # a quicker look
"""

from __future__ import annotations

import argparse
import json
import os
import random
import resource
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import numpy as np

sys.path.insert(0, str(Path(__file__).resolve().parent))
import gene_sample


def child(path: str) -> None:
    """The timed computation alone: read the trees, compute the matrix, report time and peak memory."""
    from brantoveil_tools.engine import set_threads
    from brantoveil_tools.genes import gene_distances, read_gene_trees

    set_threads(2)
    trees = read_gene_trees(path)
    start, used = time.perf_counter(), _cpu()
    result = gene_distances(trees, "rf", taxa="shared")
    seconds, cpu = time.perf_counter() - start, _cpu() - used
    peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024
    np.save(path + ".npy", result.matrix)
    print(json.dumps({"seconds": seconds, "cpu": cpu, "peak": peak, "result": result.matrix.nbytes}))


def _cpu() -> float:
    usage = resource.getrusage(resource.RUSAGE_SELF)
    return usage.ru_utime + usage.ru_stime


def ete_distance(a: object, b: object) -> float:
    rf, _, common, *_ = a.robinson_foulds(b, unrooted_trees=True)  # type: ignore[attr-defined]
    return float("nan") if len(common) < 4 else float(rf)


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--trees", type=int, default=8000)
    parser.add_argument("--taxa", type=int, default=120)
    parser.add_argument("--child", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.child:
        child(args.child)
        return 0
    from ete3 import Tree

    sys.setrecursionlimit(10_000)
    texts = gene_sample.gene_trees(args.trees, args.taxa, (0.0, 0.5), seed=1)
    with tempfile.TemporaryDirectory() as folder:
        path = os.path.join(folder, "genes.nwk")
        Path(path).write_text("".join(f"locus{i + 1}\t{text}\n" for i, text in enumerate(texts)))
        run = subprocess.run([sys.executable, __file__, "--child", path], capture_output=True, text=True,
                             check=True)
        figures = json.loads(run.stdout.strip().splitlines()[-1])
        matrix = np.load(path + ".npy")

    # The answer first: random pairs against ete3, which restricts every pair to its shared leaves.
    rng = random.Random(2)
    parsed: dict[int, Tree] = {}

    def tree(i: int) -> Tree:
        if i not in parsed:
            parsed[i] = Tree(texts[i])
        return parsed[i]

    for _ in range(500):
        i, j = rng.sample(range(len(texts)), 2)
        want = ete_distance(tree(i), tree(j))
        got = float(matrix[i, j])
        if not (want == got or (want != want and got != got)):
            print(f"wrong answer: trees {i} and {j}: ete3 {want}, brantoveil {got}", file=sys.stderr)
            return 1

    # ete3 on 300 trees: random pairs of them timed, per pair, against brantoveil's per pair.
    few = [Tree(text) for text in texts[:300]]
    pairs = [tuple(rng.sample(range(300), 2)) for _ in range(3000)]
    start = time.perf_counter()
    for i, j in pairs:
        ete_distance(few[i], few[j])
    ete_per_pair = (time.perf_counter() - start) / len(pairs)
    n = len(texts)
    ours_per_pair = figures["seconds"] / (n * (n - 1) / 2)
    print(f"{n} gene trees over {args.taxa} taxa (0-50% missing), all pairs RF on shared taxa, 2 threads: "
          f"{figures['seconds']:.1f} s ({figures['cpu']:.1f} s of CPU time), "
          f"peak memory {figures['peak'] / 2**20:.0f} MiB = "
          f"{figures['peak'] / figures['result']:.2f} x the float32 result ({figures['result'] / 2**20:.0f} MiB); "
          f"500 random pairs equal ete3's")
    print(f"ete3 robinson_foulds on 300 of them (3000 random pairs, one thread): {ete_per_pair * 1e6:.0f} us a pair; "
          f"brantoveil {ours_per_pair * 1e6:.3f} us a pair on 2 threads: {ete_per_pair / ours_per_pair:.0f} x faster")
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
