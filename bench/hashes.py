"""Are the results of this build bit for bit those of another? A checker for refactorings of the engine.

Prints one sha256 per result: every matrix and export of the public functions on the bench samples
(chain40, mcmc120, mcmc50, random100; random100 without the exporting functions, as in
bench/pairwise.py), unrooted and rooted; the private engine's blocks (ranges, index lists with
repeats, written into caller arrays), its reductions (sums, nearest neighbours, histograms) and its
exports; and the command line's matrices and exports of the example runs. Every instruction-set
level this CPU has (BRANTOVEIL_ISA) with 1 and 2 threads (BRANTOVEIL_THREADS), each in a fresh
process. Results that must not depend on the level or the thread count are also compared across
them, and the script fails on any difference; run it on two builds and compare the printed lists.

    python3 bench/hashes.py [--trees 1200] [--levels plain,avx2,avx512] [--threads 1,2] [--out FILE]

The versioned byte form of an encoded sample (`to_bytes`) is printed apart, under "format": it may
change with the format's version, while everything computed from it may not.
"""

import argparse
import hashlib
import json
import os
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from sample import mcmc_chain, mcmc_like, translate_map, unrelated

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
SAMPLES = {
    "chain40": (mcmc_chain, 40),
    "mcmc120": (lambda n, taxa: mcmc_like(n, taxa, uncertain_edges=30), 120),
    "mcmc50": (mcmc_like, 50),
    "random100": (unrelated, 100),
}
PUBLIC = [
    "pairwise_rf_from_newick_iter",
    "pairwise_rf_with_snapshots_from_newick_iter",
    "pairwise_wrf_with_snapshots_from_newick_iter",
    "pairwise_kf_with_snapshots_from_newick_iter",
    "pairwise_wrf_from_newick_iter",
    "pairwise_kf_from_newick_iter",
]
EXAMPLES = {
    "primates": ["examples/primates.run1.t", "examples/primates.run2.t"],
    "beast2": ["examples/beast2/relaxed.seed1.trees.gz", "examples/beast2/relaxed.seed2.trees.gz"],
}


def digest(data):
    if isinstance(data, list):
        data = json.dumps(data).encode() if data and isinstance(data[0], str) else repr(data).encode()
    elif isinstance(data, int):
        data = str(data).encode()
    return hashlib.sha256(bytes(data)).hexdigest()


def child(n):
    """Hashes of every result in this process's level and thread count, as JSON on standard output."""
    import brantoveil
    import numpy as np
    from brantoveil_tools import _engine

    out = {}
    for sample, (make, taxa) in SAMPLES.items():
        texts = list(make(n, taxa))
        names, maps, indices = [f"t{i}" for i in range(n)], [translate_map(taxa)], [0] * n
        for rooted in (False, True):
            tag = f"{sample}/{'rooted' if rooted else 'unrooted'}"
            for function in PUBLIC:
                if sample == "random100" and "snapshots" in function:
                    continue  # the export of unrelated trees grows as n^2 (see bench/pairwise.py)
                result = getattr(brantoveil, function)(names, iter(texts), maps, indices, rooted)
                for k, part in enumerate(result):
                    out[f"{tag}/{function}/{k}"] = digest(part)
            encoded = _engine.encode(names, iter(texts), maps, indices, rooted=rooted, lengths=True)
            out[f"format/{tag}"] = digest(encoded.to_bytes())
            engines = {"encoded": encoded, "decoded": _engine.decode(encoded.to_bytes())}
            for origin, engine in engines.items():
                private(out, f"{tag}/{origin}", engine, n, np)
            for metric in ("rf", "wrf", "kf"):
                result = _engine.pairwise(metric, names, iter(texts), maps, indices, rooted,
                                          exports=sample != "random100")
                for k, part in enumerate(result):
                    out[f"{tag}/_engine.pairwise/{metric}/{k}"] = digest(part)
    print(json.dumps(out))


def private(out, tag, engine, n, np):
    """The private engine's blocks, reductions and exports of one encoded sample."""
    rng = np.random.default_rng(7)
    picks = rng.integers(0, n, size=n // 3)  # unordered, with repeats
    half = range(n // 4, n // 4 + n // 2)
    for metric in ("rf", "wrf", "kf"):
        out[f"{tag}/block/{metric}/all"] = digest(engine.block(metric, range(n), range(n)))
        out[f"{tag}/block/{metric}/picks"] = digest(engine.block(metric, picks, half))
        dtype = np.uint32 if metric == "rf" else np.float64
        into = np.zeros((len(half) + 5, n + 3), dtype)
        engine.block(metric, half, picks.tolist(), out=into[2 : 2 + len(half), 1 : 1 + len(picks)])
        out[f"{tag}/block/{metric}/out"] = digest(into.tobytes())
        reduced = engine.block_reduce(metric, picks, range(n), k=5, bins=[0.0, 1.0, 2.5, 4.0, 8.0, 30.0])
        for key in sorted(reduced):
            out[f"{tag}/block_reduce/{metric}/{key}"] = digest(reduced[key])
        out[f"{tag}/block_reduce/{metric}/sums"] = digest(engine.block_reduce(metric, range(n), half)["sums"])
    for k, part in enumerate(engine.presence_csr()):
        out[f"{tag}/presence_csr/{k}"] = digest(part if part is not None else b"none")
    out[f"{tag}/clade_bytes"] = digest(engine.clade_bytes())
    out[f"{tag}/split_supports"] = digest(engine.split_supports())
    out[f"{tag}/leaf_names"] = digest(engine.leaf_names)


def examples(environment):
    """Hashes of the command line's matrices and exports of the example runs."""
    out = {}
    with tempfile.TemporaryDirectory() as work:
        for example, files in EXAMPLES.items():
            for metric in ("rf", "wrf", "kf"):
                for rooted in ([], ["--rooted"]):
                    target = os.path.join(work, f"{example}-{metric}{len(rooted)}")
                    command = ["brantoveil", metric, *files, "--burnin", "0", "-q", "-o", target + ".npy",
                               "--exports", target, *rooted]
                    subprocess.run([os.path.join(os.path.dirname(sys.executable), command[0]), *command[1:]],
                                   check=True, cwd=ROOT, env=environment)
                    key = f"cli/{example}/{metric}{'/rooted' if rooted else ''}"
                    with open(target + ".npy", "rb") as matrix:
                        out[f"{key}/matrix.npy"] = digest(matrix.read())
                    for name in sorted(os.listdir(target)):
                        with open(os.path.join(target, name), "rb") as export:
                            out[f"{key}/{name}"] = digest(export.read())
    return out


def main():
    if len(sys.argv) > 2 and sys.argv[1] == "--child":
        child(int(sys.argv[2]))
        return
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--trees", type=int, default=1200)
    parser.add_argument("--levels", default="plain,avx2,avx512")
    parser.add_argument("--threads", default="1,2")
    parser.add_argument("--out", help="also write the hashes as JSON here")
    args = parser.parse_args()
    runs = {}
    for level in args.levels.split(","):
        for threads in args.threads.split(","):
            environment = dict(os.environ, BRANTOVEIL_ISA=level, BRANTOVEIL_THREADS=threads)
            command = [sys.executable, os.path.abspath(__file__), "--child", str(args.trees)]
            result = subprocess.run(command, check=True, capture_output=True, text=True, env=environment)
            hashes = json.loads(result.stdout.strip().splitlines()[-1])
            hashes.update(examples(environment))
            runs[f"{level}/{threads}"] = hashes
    # Every level and thread count gives the same bits: one list, checked across all of them.
    first_run, first = next(iter(runs.items()))
    for run, hashes in runs.items():
        differing = sorted(key for key in first.keys() | hashes.keys() if first.get(key) != hashes.get(key))
        if differing:
            sys.exit(f"{run} differs from {first_run} in {len(differing)} results, first {differing[0]}")
    for key in sorted(first):
        print(f"{first[key]}  {key}")
    combined = hashlib.sha256("".join(f"{first[k]}  {k}\n" for k in sorted(first)).encode()).hexdigest()
    results = hashlib.sha256("".join(f"{first[k]}  {k}\n" for k in sorted(first)
                                     if not k.startswith("format/")).encode()).hexdigest()
    print(f"# {len(first)} results, identical at {', '.join(runs)}")
    print(f"# all: {combined}")
    print(f"# results (format aside): {results}")
    if args.out:
        with open(args.out, "w") as file:
            json.dump(runs, file, indent=1, sort_keys=True)


if __name__ == "__main__":
    main()
