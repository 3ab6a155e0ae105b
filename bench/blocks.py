"""Does the matrix computed tile by tile keep up with the one-call module?

Reads one sample (MCMC-like, 50 taxa by default), computes its whole matrix once with the one-call
function, then again from an encoded sample as square tiles of the upper triangle (each tile once,
mirrored into the lower one), as a tiled scheduler would. Checks that the assembled matrix equals
the one-call matrix on a sample of tiles before printing pairs per second of both paths, with and
without reading, and their ratio.

    python3 bench/blocks.py [--trees 20000] [--tile 4096] [--metric rf|wrf|kf] [--sample mcmc50|random100]
"""

import argparse
import os
import random
import sys
import time

import brantoveil
import numpy as np
from brantoveil_tools import _engine

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from sample import mcmc_like, translate_map, unrelated

ONE_CALL = {
    "rf": ("pairwise_rf_from_newick_iter", "<u4"),
    "wrf": ("pairwise_wrf_with_snapshots_from_newick_iter", "<f8"),
    "kf": ("pairwise_kf_with_snapshots_from_newick_iter", "<f8"),
}
SAMPLES = {"mcmc50": (mcmc_like, 50), "random100": (unrelated, 100)}


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--trees", type=int, default=20000)
    parser.add_argument("--tile", type=int, default=4096)
    parser.add_argument("--metric", choices=sorted(ONE_CALL), default="rf")
    parser.add_argument("--sample", choices=sorted(SAMPLES), default="mcmc50")
    parser.add_argument("--checked-tiles", type=int, default=12, help="tiles compared cell for cell")
    args = parser.parse_args()

    make, taxa = SAMPLES[args.sample]
    n, tile, metric = args.trees, args.tile, args.metric
    texts = list(make(n, taxa))
    names = [f"tree{i}" for i in range(n)]
    maps = [translate_map(taxa)]
    indices = [0] * n
    function, dtype = ONE_CALL[metric]
    pairs = n * (n - 1) // 2

    start = time.perf_counter()
    result = getattr(brantoveil, function)(names, iter(texts), maps, indices)
    one_call_seconds = time.perf_counter() - start
    expected = np.frombuffer(result[1], dtype).reshape(n, n)

    start = time.perf_counter()
    sample = _engine.encode(names, iter(texts), maps, indices, lengths=metric != "rf")
    encode_seconds = time.perf_counter() - start
    assembled = np.empty((n, n), dtype)
    starts = range(0, n, tile)
    start = time.perf_counter()
    for i in starts:
        rows = range(i, min(i + tile, n))
        for j in starts:
            if j < i:
                continue
            cols = range(j, min(j + tile, n))
            block = np.frombuffer(sample.block(metric, rows, cols), dtype).reshape(len(rows), len(cols))
            assembled[i : rows.stop, j : cols.stop] = block
            if j > i:
                # Mirrored in strips: a whole-tile transposed copy is several times slower.
                for x in range(0, len(rows), 128):
                    assembled[j : cols.stop, i + x : min(i + x + 128, rows.stop)] = block[x : x + 128].T
    tiles_seconds = time.perf_counter() - start

    # Never time a wrong result: the diagonal tiles plus randomly chosen ones, bit for bit.
    rng = random.Random(0)
    chosen = {(i, i) for i in starts} | {(rng.choice(starts), rng.choice(starts)) for _ in range(args.checked_tiles)}
    for i, j in sorted(chosen):
        got = assembled[i : i + tile, j : j + tile]
        want = expected[i : i + tile, j : j + tile]
        if got.tobytes() != want.tobytes():
            sys.exit(f"tile ({i}, {j}) differs from the one-call matrix")

    tiled_seconds = encode_seconds + tiles_seconds
    print(f"{metric}, {args.sample}, n = {n}, tile = {tile}, {len(chosen)} tiles checked bit for bit")
    print(f"  one call              {one_call_seconds:8.2f} s  {pairs / one_call_seconds:14,.0f} pairs/s")
    print(f"  encode                {encode_seconds:8.2f} s")
    print(f"  tiles                 {tiles_seconds:8.2f} s  {pairs / tiles_seconds:14,.0f} pairs/s")
    print(f"  encode + tiles        {tiled_seconds:8.2f} s  {pairs / tiled_seconds:14,.0f} pairs/s")
    print(f"  ratio to one call     {one_call_seconds / tiled_seconds:8.2f} (with reading), "
          f"{one_call_seconds / tiles_seconds:.2f} (tiles alone)")


if __name__ == "__main__":
    main()
