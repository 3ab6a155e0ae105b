"""How fast does the tree-file layer feed the engine? MB/s of MrBayes .t files, both passes, one core.

Writes MrBayes-style NEXUS files (translate table, `tree gen.N = [&U] ...;` lines) of MCMC-like
trees, then times `read_sample` (the first pass: names, generations, byte ranges) and the full
iteration of `Sample.newick()` (the second pass: the texts the engine would receive). Before a
figure is printed, every text handed over is checked against the tree that was written.

    python3 bench/read_trees.py [--trees 20000] [--taxa 32,50,123] [--gzip]

With `--stray MB`, it instead writes a Newick file of about MB megabytes with a stray `"` in tree 3,
and a MrBayes file with a stray `'` in tree 5, and times in a fresh process how long reading each
takes to end (in an error naming the tree) and the peak memory of that process.
"""

import argparse
import gzip
import hashlib
import os
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from brantoveil_tools import read_sample
from sample import mcmc_like


def write_run(path, trees, taxa, compress):
    digest = hashlib.sha256()
    opener = gzip.open if compress else open
    with opener(path, "wt", encoding="utf-8") as out:
        out.write("#NEXUS\n[ID: 1234567890]\n[Param: tree]\nbegin trees;\n   translate\n")
        out.write(",\n".join(f"      {i + 1} Taxon_{i + 1:04d}" for i in range(taxa)) + ";\n")
        for k, text in enumerate(mcmc_like(trees, taxa, seed=taxa)):
            body = f" [&U] {text}"
            digest.update(body.encode())
            out.write(f"   tree gen.{k * 100} ={body}\n")
        out.write("end;\n")
    return digest.hexdigest()


def stray_quote(megabytes, nexus):
    with tempfile.TemporaryDirectory() as folder:
        path = os.path.join(folder, "run.t" if nexus else "boot.nwk")
        trees = [text.replace(",", ",Taxon_") for text in mcmc_like(200, 50, seed=3)]
        stray = (4, "'") if nexus else (2, '"')
        written = 0
        with open(path, "w", encoding="utf-8") as out:
            if nexus:
                out.write("#NEXUS\n[ID: 1234567890]\nbegin trees;\n")
            k = 0
            while written < megabytes * 1_000_000:
                text = trees[k % len(trees)]
                if k == stray[0]:
                    text = text.replace(",", "," + stray[1], 1)
                line = f"   tree gen.{100 * k} = [&U] {text}\n" if nexus else text + "\n"
                out.write(line)
                written += len(line)
                k += 1
            if nexus:
                out.write("end;\n")
        probe = ("import resource, sys, time\nfrom brantoveil_tools import BrantoveilError, read_sample\n"
                 "start = time.perf_counter()\ntry:\n    outcome = f'{len(read_sample(sys.argv[1], burnin=0))} trees'\n"
                 "except BrantoveilError as error:\n    outcome = str(error)\n"
                 "peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024\n"
                 "print(f'{time.perf_counter() - start:.2f} s: {outcome}; peak memory {peak:.0f} MB')")
        done = subprocess.run([sys.executable, "-W", "ignore", "-c", probe, path], capture_output=True, text=True,
                              check=True)
        print(f"{written / 1e6:.0f} MB {'NEXUS' if nexus else 'Newick'}, {k} trees, a stray {stray[1]} in tree "
              f"{stray[0] + 1}: {done.stdout.strip()}")


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--trees", type=int, default=20000)
    parser.add_argument("--taxa", default="32,50,123")
    parser.add_argument("--gzip", action="store_true")
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--stray", type=int, metavar="MB", help="time a file with a stray quote instead")
    args = parser.parse_args()
    if args.stray:
        stray_quote(args.stray, nexus=False)
        stray_quote(args.stray, nexus=True)
        return
    with tempfile.TemporaryDirectory() as folder:
        for taxa in (int(t) for t in args.taxa.split(",")):
            path = os.path.join(folder, f"run{taxa}.t" + (".gz" if args.gzip else ""))
            expected = write_run(path, args.trees, taxa, args.gzip)
            size = os.path.getsize(path)
            text_bytes = 0
            best = float("inf")
            for _ in range(args.repeat):
                digest = hashlib.sha256()
                start = time.perf_counter()
                sample = read_sample(path, burnin=0)
                first = time.perf_counter() - start
                texts = list(sample.newick())
                elapsed = time.perf_counter() - start
                for text in texts:
                    digest.update(text.encode())
                if digest.hexdigest() != expected or len(texts) != args.trees:
                    sys.exit(f"wrong texts for {taxa} taxa: the reader handed over something else")
                text_bytes = sum(map(len, texts))
                del texts
                if elapsed < best:
                    best, first_best = elapsed, first
            print(f"{taxa:4d} taxa, {args.trees} trees, {size / 1e6:7.1f} MB on disk{' (gzip)' if args.gzip else ''}: "
                  f"{best:6.3f} s for both passes (first pass {first_best:.3f} s), "
                  f"{(size if not args.gzip else text_bytes) / 1e6 / best:6.1f} MB/s of "
                  f"{'file' if not args.gzip else 'decompressed tree text'}, {args.trees / best:8.0f} trees/s")


if __name__ == "__main__":
    main()
