"""Does the matrix computed tile by tile keep up with the one-call module?

Reads one sample (MCMC-like, 50 taxa by default), computes its whole matrix once with the one-call
function, then again from an encoded sample as square tiles of the upper triangle, each tile once,
as a tiled scheduler would. Every computed tile on the diagonal and a random sample of the others
is compared with the one-call matrix bit for bit before anything is printed.

Three ways of using the tiles are timed:
  - tiles: each written into one reused tile-sized array (what a worker does before shipping a tile);
  - assembled, mirrored by NumPy: tiles written in place into a fresh n x n array through
    `block(..., out=view)`, the lower triangle copied from them;
  - assembled, both triangles computed: every tile of the square written in place.

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
# Unrelated trees share almost no splits, so the exporting functions' branch-length matrix (trees x
# splits) would not fit; their weighted matrix comes from the plain functions, as a list of floats.
PLAIN = {"wrf": "pairwise_wrf_from_newick_iter", "kf": "pairwise_kf_from_newick_iter"}
SAMPLES = {"mcmc50": (mcmc_like, 50), "random100": (unrelated, 100)}


def upper_tiles(n, tile):
    """(rows, cols) ranges of the tiles on and above the diagonal."""
    for i in range(0, n, tile):
        for j in range(i, n, tile):
            yield range(i, min(i + tile, n)), range(j, min(j + tile, n))


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--trees", type=int, default=20000)
    parser.add_argument("--tile", type=int, default=4096)
    parser.add_argument("--metric", choices=sorted(ONE_CALL), default="rf")
    parser.add_argument("--sample", choices=sorted(SAMPLES), default="mcmc50")
    parser.add_argument("--checked-tiles", type=int, default=12, help="off-diagonal tiles compared cell for cell")
    args = parser.parse_args()

    make, taxa = SAMPLES[args.sample]
    n, tile, metric = args.trees, args.tile, args.metric
    texts = list(make(n, taxa))
    names = [f"tree{i}" for i in range(n)]
    maps = [translate_map(taxa)]
    indices = [0] * n
    function, dtype = ONE_CALL[metric]
    if args.sample == "random100" and metric in PLAIN:
        function = PLAIN[metric]
    pairs = n * (n - 1) // 2

    start = time.perf_counter()
    result = getattr(brantoveil, function)(names, iter(texts), maps, indices)
    one_call_seconds = time.perf_counter() - start
    matrix = result[1]
    expected = (np.frombuffer(matrix, dtype) if isinstance(matrix, bytes) else np.array(matrix, dtype)).reshape(n, n)

    start = time.perf_counter()
    sample = _engine.encode(names, iter(texts), maps, indices, lengths=metric != "rf")
    encode_seconds = time.perf_counter() - start

    # Never time a wrong result: the diagonal tiles and a random sample of the others, bit for bit.
    tiles = list(upper_tiles(n, tile))
    rng = random.Random(0)
    off_diagonal = [k for k, (rows, cols) in enumerate(tiles) if rows != cols]
    checked = {k for k, (rows, cols) in enumerate(tiles) if rows == cols}
    checked |= set(rng.sample(off_diagonal, min(args.checked_tiles, len(off_diagonal))))
    buffer = np.empty((tile, tile), dtype)
    tiles_seconds = 0.0
    for k, (rows, cols) in enumerate(tiles):
        out = buffer[: len(rows), : len(cols)]
        before = time.perf_counter()
        sample.block(metric, rows, cols, out=out)
        tiles_seconds += time.perf_counter() - before
        if k in checked and out.tobytes() != expected[rows.start : rows.stop, cols.start : cols.stop].tobytes():
            sys.exit(f"tile ({rows.start}, {cols.start}) differs from the one-call matrix")

    assembled = np.empty((n, n), dtype)
    start = time.perf_counter()
    for rows, cols in tiles:
        view = assembled[rows.start : rows.stop, cols.start : cols.stop]
        sample.block(metric, rows, cols, out=view)
        if rows != cols:
            # In strips: a whole-tile transposed copy is several times slower.
            for x in range(0, len(rows), 128):
                stop = min(rows.start + x + 128, rows.stop)
                assembled[cols.start : cols.stop, rows.start + x : stop] = view[x : x + 128].T
    mirrored_seconds = time.perf_counter() - start
    if assembled.tobytes() != expected.tobytes():
        sys.exit("the assembled matrix differs from the one-call matrix")
    del assembled

    assembled = np.empty((n, n), dtype)
    start = time.perf_counter()
    for i in range(0, n, tile):
        for j in range(0, n, tile):
            rows, cols = range(i, min(i + tile, n)), range(j, min(j + tile, n))
            sample.block(metric, rows, cols, out=assembled[i : rows.stop, j : cols.stop])
    square_seconds = time.perf_counter() - start
    if assembled.tobytes() != expected.tobytes():
        sys.exit("the assembled matrix differs from the one-call matrix")

    def line(label, seconds):
        rate = pairs / seconds
        print(f"  {label:44s} {seconds:7.2f} s {rate:14,.0f} pairs/s  {one_call_seconds / seconds:5.2f} x one call")

    print(f"{metric}, {args.sample}, n = {n}, tile = {tile}: {len(tiles)} tiles, {len(checked)} checked bit for bit, "
          f"both assembled matrices checked whole")
    line("one call (reading and matrix)", one_call_seconds)
    print(f"  {'encode (reading)':44s} {encode_seconds:7.2f} s")
    line("tiles into a reused buffer", tiles_seconds)
    line("encode + tiles", encode_seconds + tiles_seconds)
    line("encode + assembled, mirrored by NumPy", encode_seconds + mirrored_seconds)
    line("encode + assembled, both triangles computed", encode_seconds + square_seconds)


if __name__ == "__main__":
    main()
