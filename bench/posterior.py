"""How fast are the pairwise functions on real MrBayes posteriors, against the cost of an n x n matrix?

MrBayes (Debian's `mrbayes`) samples two alignments of its own examples: cynmix (32 taxa, 3,246
sites) and sceloporus (123 taxa, 1,606 sites), GTR + gamma, one run of one chain, 500,000 generations
sampled every 50: 10,001 trees each, seed fixed. Its output is kept in a cache folder and reused.
Each function then runs in a fresh process on all the trees of a posterior (no burn-in), with the
texts already in memory; the first 40 rows are checked against a plain computation before any time is
printed. The floor is `np.ones((n, n), dtype)` timed in the same process right after the call.
`--warm` makes and frees such an array just before the call, so that the call, like the floor, starts
on memory the machine holds (see bench/pairwise.py); its peak memory is then not measured.

    python3 bench/posterior.py [--cache DIR] [--functions rf,wrf_bytes,kf_bytes] [--posteriors cynmix,sceloporus]
                               [--warm]
"""

import argparse
import json
import math
import os
import re
import resource
import shutil
import subprocess
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from pairwise import FUNCTIONS, reference, splits_of

EXAMPLES = "/usr/share/doc/mrbayes/examples"
# Data block only: sceloporus.nex carries its own mrbayes block with a long run.
POSTERIORS = {"cynmix": ("cynmix.nex", 32), "sceloporus": ("sceloporus.nex", 123)}
BATCH = """#NEXUS
begin mrbayes;
  set autoclose=yes nowarn=yes seed=20261207 swapseed=20261207;
  execute data.nex;
  lset nst=6 rates=gamma;
  mcmc ngen=500000 samplefreq=50 printfreq=100000 nruns=1 nchains=1 savebrlens=yes filename=posterior;
end;
"""


def posterior_file(cache, name):
    """The MrBayes tree file of one posterior, sampled now unless the cache already holds it."""
    folder = os.path.join(cache, name)
    trees = os.path.join(folder, "posterior.t")
    if os.path.exists(trees):
        return trees
    if shutil.which("mb") is None:
        sys.exit("bench/posterior.py: MrBayes (`mb`, Debian's mrbayes package) is needed to sample the posteriors")
    os.makedirs(folder, exist_ok=True)
    source, _ = POSTERIORS[name]
    with open(os.path.join(EXAMPLES, source)) as alignment:
        text = alignment.read()
    end = text.lower().index("begin mrbayes")
    with open(os.path.join(folder, "data.nex"), "w") as data:
        data.write(text[:end])
    with open(os.path.join(folder, "batch.nex"), "w") as batch:
        batch.write(BATCH)
    print(f"sampling {name} with MrBayes (a few minutes)...", file=sys.stderr)
    with open(os.path.join(folder, "mb.log"), "w") as log:
        subprocess.run(["mb", "batch.nex"], cwd=folder, stdout=log, stderr=subprocess.STDOUT, check=True)
    return trees


def child(path, key, warm=False):
    import brantoveil
    import numpy as np
    from brantoveil_tools import read_sample

    sample = read_sample(path, burnin=0)
    texts = list(sample.newick())
    names = list(sample.names)
    maps = list(sample.translate_maps)
    indices = sample.map_indices.tolist()
    n = len(texts)
    function_name, dtype = FUNCTIONS[key]
    function = getattr(brantoveil, function_name)

    def matrix_of(result, m):
        data = result[1]
        return np.frombuffer(data, "<" + dtype).reshape(m, m)

    if warm:
        warm_matrix = np.ones((n, n), dtype=dtype)
        del warm_matrix
    baseline = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024
    start = time.perf_counter()
    result = function(names, iter(texts), maps, indices)
    seconds = time.perf_counter() - start
    peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024
    returned = sum(len(part) for part in result if isinstance(part, bytes))
    m = 40
    got = matrix_of(result, n)[:m, :m].copy()
    del result
    floor = math.inf
    for _ in range(3):
        start = time.perf_counter()
        ones = np.ones((n, n), dtype=dtype)
        floor = min(floor, time.perf_counter() - start)
        del ones

    # The timed answer, checked before the parent prints any time (after the timing, so that the
    # plain computation's memory does not hide the call's peak): its first 40 rows and columns.
    metric = key.split("_")[0]
    plain = [re.sub(r"\[[^\]]*\]", "", text).strip() for text in texts]  # the plain parser knows no comments
    want = np.array(reference(plain[:m], maps[0], metric))
    assert np.allclose(got, want, rtol=1e-9, atol=1e-9), (key, np.abs(got - want).max())
    # Distinct split sets (internal splits only), the repetition the Robinson-Foulds kernel exploits.
    distinct = len({frozenset(side for side in splits_of(t, maps[0]) if len(side) > 1) for t in plain})
    print(json.dumps({"n": n, "seconds": seconds, "floor": floor,
                      "added_peak": None if warm else max(peak - baseline, 0), "returned": returned,
                      "distinct": distinct}))


def main():
    if len(sys.argv) > 1 and sys.argv[1] == "--child":
        child(sys.argv[2], sys.argv[3], warm="--warm" in sys.argv[4:])
        return
    parser = argparse.ArgumentParser()
    parser.add_argument("--cache", default=os.path.join(os.path.expanduser("~"), ".cache", "brantoveil-bench"))
    parser.add_argument("--functions", default="rf,wrf_bytes,kf_bytes", help="functions returning bytes")
    parser.add_argument("--posteriors", default=",".join(POSTERIORS))
    parser.add_argument("--warm", action="store_true", help="start the call on memory the machine holds")
    args = parser.parse_args()
    print(f"{'posterior':<11} {'taxa':>4} {'function':<10} {'n':>6} {'distinct':>8} {'seconds':>8} {'ones s':>7} "
          f"{'x ones':>7} {'peak MiB':>9} {'x bytes':>8}")
    for name in args.posteriors.split(","):
        path = posterior_file(args.cache, name)
        for key in args.functions.split(","):
            command = [sys.executable, __file__, "--child", path, key] + (["--warm"] if args.warm else [])
            out = subprocess.run(command, check=True, capture_output=True, text=True).stdout
            r = json.loads(out.strip().splitlines()[-1])
            distinct = f"{r['distinct']:>8}"
            added = r["added_peak"]
            memory = (f"{'-':>9} {'-':>8}" if added is None
                      else f"{added / 2**20:>9.1f} {added / r['returned']:>8.2f}")
            print(f"{name:<11} {POSTERIORS[name][1]:>4} {key:<10} {r['n']:>6} {distinct} {r['seconds']:>8.3f} "
                  f"{r['floor']:>7.3f} {r['seconds'] / r['floor']:>7.2f} {memory}")


if __name__ == "__main__":
    main()
