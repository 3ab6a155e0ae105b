"""How close do the pairwise functions come to the cost of merely producing an n x n matrix?

Samples: a chain that revisits its topologies like a thinned MrBayes run of 40 taxa (chain40,
about 700 distinct topologies in 10,000 samples), an MCMC-like sample of 120 taxa with few
repeats (mcmc120), the older MCMC-like sample of 50 taxa (mcmc50) and unrelated random trees of
100 taxa (random100; not for the export variants, whose branch-length matrix would hold every
split of every tree). Each function runs in a fresh process, with the texts already in memory, and
reports seconds, pairs per second, the peak resident memory added by the call against the bytes
it returns, and two floors measured in the same process right after the call, in fresh memory:
`np.ones((n, n), dtype)` (the memory floor; NumPy asks the kernel for huge pages) and an
`np.empty` filled and turned into `bytes` (the older floor). Before timing, each result is checked
against a plain Python computation on the first 40 trees.

On a virtual machine that hands freed memory back to its host, the call's fresh result usually
lands on memory the host has taken back, while the floors, timed right after it, reuse what the
call has just freed. `--warm` evens that out: an n x n `np.ones` is made and freed just before the
call, so the call too starts on memory the machine holds. Its peak memory is then not measured.

    python3 bench/pairwise.py [--sizes 1000,5000,10000] [--functions rf,rf_bytes,wrf_bytes,kf_bytes,wrf_list,kf_list]
                              [--samples chain40,mcmc120,mcmc50,random100] [--warm]
"""

import argparse
import json
import math
import os
import resource
import subprocess
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from sample import mcmc_chain, mcmc_like, translate_map, unrelated

FUNCTIONS = {
    "rf": ("pairwise_rf_from_newick_iter", "u4"),
    "rf_bytes": ("pairwise_rf_with_snapshots_from_newick_iter", "u4"),
    "wrf_bytes": ("pairwise_wrf_with_snapshots_from_newick_iter", "f8"),
    "kf_bytes": ("pairwise_kf_with_snapshots_from_newick_iter", "f8"),
    "wrf_list": ("pairwise_wrf_from_newick_iter", "f8"),
    "kf_list": ("pairwise_kf_from_newick_iter", "f8"),
}
SAMPLES = {
    "chain40": (mcmc_chain, 40),
    "mcmc120": (lambda n, taxa: mcmc_like(n, taxa, uncertain_edges=30), 120),
    "mcmc50": (mcmc_like, 50),
    "random100": (unrelated, 100),
}


def splits_of(text, translate):
    """Unrooted splits of a generated Newick text as {frozenset(side without the first leaf): length}."""
    stack, result, order = [[]], [], []
    i = 0
    while text[i] != ";":
        c = text[i]
        if c == "(":
            stack.append([])
            i += 1
        elif c in ",)":
            if c == ")":
                members = frozenset().union(*stack.pop())
                stack[-1].append(members)
                result.append([members, 0.0])
            i += 1
        elif c == ":":
            j = i + 1
            while text[j] not in ",);":
                j += 1
            result[-1][1] = float(text[i + 1 : j])
            i = j
        else:
            j = i
            while text[j] not in ",():;":
                j += 1
            name = translate[text[i:j]]
            order.append(name)
            stack[-1].append(frozenset([name]))
            result.append([frozenset([name]), 0.0])
            i = j
    everything = frozenset(order)
    first = min(everything)
    splits = {}
    for members, length in result:
        if len(members) in (0, len(everything)):
            continue
        complement = everything - members
        if len(members) == 1 or len(complement) == 1:
            side = members if len(members) == 1 else complement  # a pendant edge: the leaf itself
        else:
            side = complement if first in members else members
        splits[side] = splits.get(side, 0.0) + length
    return splits


def reference(texts, translate, metric):
    sets = [splits_of(t, translate) for t in texts]
    n = len(sets)
    out = [[0.0] * n for _ in range(n)]
    for a in range(n):
        for b in range(n):
            keys = set(sets[a]) | set(sets[b])
            if metric == "rf":
                out[a][b] = sum(1 for k in keys if len(k) > 1 and (k in sets[a]) != (k in sets[b]))
            else:
                diffs = [sets[a].get(k, 0.0) - sets[b].get(k, 0.0) for k in keys]
                out[a][b] = sum(map(abs, diffs)) if metric == "wrf" else math.sqrt(sum(d * d for d in diffs))
    return out


def available_memory():
    with open("/proc/meminfo") as meminfo:
        for line in meminfo:
            if line.startswith("MemAvailable:"):
                return int(line.split()[1]) * 1024
    return math.inf


def child(sample, n, key, warm=False):
    import brantoveil
    import numpy as np

    generate, taxa = SAMPLES[sample]
    texts = list(generate(n, taxa))
    maps, names, indices = [translate_map(taxa)], [f"t{i}" for i in range(n)], [0] * n
    function_name, dtype = FUNCTIONS[key]
    function = getattr(brantoveil, function_name)

    def matrix_of(result, m):
        data = result[1]
        values = np.array(data) if isinstance(data, list) else np.frombuffer(data, "<" + dtype)
        return values.reshape(m, m)

    # The answer first: the first 40 trees against a plain computation.
    m = 40
    got = matrix_of(function(names[:m], iter(texts[:m]), maps, indices[:m]), m)
    metric = key.split("_")[0]
    want = np.array(reference(texts[:m], maps[0], metric))
    assert np.allclose(got, want, rtol=1e-9, atol=1e-9), (key, np.abs(got - want).max())

    if warm:
        warm_matrix = np.ones((n, n), dtype=dtype)
        del warm_matrix
    baseline = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024
    start = time.perf_counter()
    result = function(names, iter(texts), maps, indices)
    seconds = time.perf_counter() - start
    peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024
    assert len(result[1]) == (n * n if isinstance(result[1], list) else n * n * np.dtype(dtype).itemsize)
    returned = sum(len(part) for part in result if isinstance(part, bytes))
    del result

    # The floors, after the call so that their own allocations do not hide the call's peak memory.
    floor = old_floor = math.inf
    # The older floor holds the matrix twice (array and bytes); left out where that would not fit.
    old_fits = 2 * n * n * np.dtype(dtype).itemsize < 0.8 * available_memory()
    for _ in range(3):
        start = time.perf_counter()
        floor_matrix = np.ones((n, n), dtype=dtype)
        floor = min(floor, time.perf_counter() - start)
        del floor_matrix
        if not old_fits:
            continue
        start = time.perf_counter()
        floor_matrix = np.empty((n, n), dtype=dtype)
        floor_matrix.fill(1)
        floor_bytes = floor_matrix.tobytes()
        old_floor = min(old_floor, time.perf_counter() - start)
        del floor_matrix, floor_bytes
    print(json.dumps({"seconds": seconds, "floor": floor, "old_floor": old_floor if old_fits else None,
                      "added_peak": None if warm else max(peak - baseline, 0), "returned": returned}))


def main():
    if len(sys.argv) > 1 and sys.argv[1] == "--child":
        child(sys.argv[2], int(sys.argv[3]), sys.argv[4], warm="--warm" in sys.argv[5:])
        return
    parser = argparse.ArgumentParser()
    parser.add_argument("--sizes", default="1000,5000,10000")
    parser.add_argument("--functions", default=",".join(FUNCTIONS))
    parser.add_argument("--samples", default=",".join(SAMPLES))
    parser.add_argument("--warm", action="store_true",
                        help="free an n x n array just before each call, so that it too starts on memory the "
                             "machine holds (peak memory is then not measured)")
    args = parser.parse_args()
    print(f"{'sample':<10} {'function':<10} {'n':>6} {'seconds':>8} {'Mpairs/s':>9} {'ones s':>7} "
          f"{'x ones':>7} {'old s':>7} {'x old':>6} {'peak MiB':>9} {'x matrix':>8} {'x bytes':>8}")
    for sample in args.samples.split(","):
        for key in args.functions.split(","):
            if sample == "random100" and key.endswith("_bytes"):
                # The branch-length export holds every distinct split of every tree: unrelated trees
                # have about n x 97 of them, so the export alone is 8 x 97 x n^2 bytes (78 GB at 10,000).
                print(f"{sample:<10} {key:<10} skipped: the export of trees without repeats grows as n^2")
                continue
            for n in map(int, args.sizes.split(",")):
                command = [sys.executable, __file__, "--child", sample, str(n), key] + (["--warm"] if args.warm else [])
                out = subprocess.run(command, check=True, capture_output=True, text=True).stdout
                r = json.loads(out.strip().splitlines()[-1])
                pairs = n * (n - 1) / 2
                element = 4 if FUNCTIONS[key][1] == "u4" else 8
                added = r["added_peak"]
                if added is None:
                    memory = f"{'-':>9} {'-':>8} {'-':>8}"
                else:
                    by_bytes = f"{added / r['returned']:>8.2f}" if r["returned"] else f"{'-':>8}"
                    memory = f"{added / 2**20:>9.1f} {added / (element * n * n):>8.2f} {by_bytes}"
                old = r["old_floor"]
                old_floor = f"{old:>7.3f} {r['seconds'] / old:>6.2f}" if old else f"{'-':>7} {'-':>6}"
                print(f"{sample:<10} {key:<10} {n:>6} {r['seconds']:>8.3f} {pairs / r['seconds'] / 1e6:>9.1f} "
                      f"{r['floor']:>7.3f} {r['seconds'] / r['floor']:>7.2f} {old_floor} {memory}")


if __name__ == "__main__":
    main()
