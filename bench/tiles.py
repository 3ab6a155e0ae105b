"""The matrix past one machine: Dask tiles against the one-call module, Zarr memory, reductions at scale.

Three questions, each answered after checking the answer:
  throughput  pairs/s of the tiled path (tiles on a local Dask cluster, assembled in memory) against
              the one-call module at the same n; the tiled matrix must equal the one-call matrix.
  zarr        n trees written to a Zarr store in tiles by a local cluster of one worker process;
              the worker's peak resident memory against one tile and the sample; a sample of tiles
              is checked against blocks computed again.
  reduce      the medoid and the k nearest trees of n trees without the matrix; checked on a subset
              of rows against distances computed by the engine directly.

    python3 bench/tiles.py throughput --trees 20000
    python3 bench/tiles.py zarr --trees 60000
    python3 bench/tiles.py reduce --trees 200000
"""

import argparse
import os
import resource
import shutil
import sys
import tempfile
import time

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import brantoveil
from brantoveil_tools import read_sample
from brantoveil_tools.tiles import distance_array, encode, medoid, nearest, to_zarr
from brantoveil_tools.tiles.cluster import connect
from read_trees import write_run


def peak_mib():
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024


def sample_file(folder, trees, taxa):
    path = os.path.join(folder, f"run{taxa}.t")
    write_run(path, trees, taxa, False)
    return path


def throughput(args, path):
    encoded = encode(path, burnin=0)
    n = len(encoded)
    sample = read_sample(path, burnin=0)
    texts = list(sample.newick())
    start = time.perf_counter()
    _, data = brantoveil.pairwise_rf_from_newick_iter(list(sample.names), iter(texts), list(sample.translate_maps),
                                                      sample.map_indices.tolist())
    one_call = time.perf_counter() - start
    expected = np.frombuffer(data, dtype="<u4").reshape(n, n)
    pairs = n * (n - 1) / 2
    print(f"n = {n}, RF, tiles of {args.chunk}: one call {one_call:.2f} s ({pairs / one_call / 1e6:.0f} Mpairs/s)")
    # In this process (Dask's threaded scheduler), then on a local cluster whose worker sends every
    # tile back to this process: the second adds the transfer of the whole matrix.
    for label, scheduler in (("Dask threads, assembled in memory", "threads"),
                             ("local cluster, tiles sent back and assembled", None)):
        if scheduler is None:
            with connect(None) as client:
                start = time.perf_counter()
                got = client.compute(distance_array(encoded, "rf", chunk=args.chunk)).result()
                tiled = time.perf_counter() - start
        else:
            start = time.perf_counter()
            got = distance_array(encoded, "rf", chunk=args.chunk).compute(scheduler=scheduler, num_workers=1)
            tiled = time.perf_counter() - start
        if not np.array_equal(got, expected):
            sys.exit("tiled matrix differs from the one-call matrix")
        del got
        print(f"  {label}: {tiled:.2f} s ({pairs / tiled / 1e6:.0f} Mpairs/s, ratio {one_call / tiled:.2f})")
    del data, expected
    start = time.perf_counter()
    for r0 in range(0, n, args.chunk):
        for c0 in range(r0, n, args.chunk):
            encoded.native.block("rf", range(r0, min(r0 + args.chunk, n)), range(c0, min(c0 + args.chunk, n)))
    blocks = time.perf_counter() - start
    print(f"  the same upper-triangle tiles from the engine alone, in this process: {blocks:.2f} s "
          f"({pairs / blocks / 1e6:.0f} Mpairs/s, ratio {one_call / blocks:.2f})")


def zarr_run(args, path, folder):
    encoded = encode(path, burnin=0)
    n = len(encoded)
    target = os.path.join(folder, "rf.zarr")
    with connect(None) as client:
        start = time.perf_counter()
        to_zarr(encoded, target, "rf", chunk=args.chunk, client=client)
        elapsed = time.perf_counter() - start
        worker_peak = max(client.run(peak_mib).values())
    import zarr

    matrix = zarr.open_array(target, path="matrix", mode="r")
    rng = np.random.default_rng(1)
    for _ in range(3):
        r0, c0 = (int(x) * args.chunk for x in rng.integers(0, n // args.chunk, 2))
        rows, cols = range(r0, min(r0 + args.chunk, n)), range(c0, min(c0 + args.chunk, n))
        fresh = np.frombuffer(encoded.native.block("rf", rows, cols), dtype="<u4").reshape(len(rows), len(cols))
        if not np.array_equal(matrix[r0 : rows.stop, c0 : cols.stop], fresh):
            sys.exit("a stored tile differs from the engine's block")
    tile_mib = args.chunk * args.chunk * 4 / 2**20
    sample_mib = len(encoded.native.to_bytes()) / 2**20
    disk = sum(os.path.getsize(os.path.join(d, f)) for d, _, files in os.walk(target) for f in files) / 2**30
    print(f"n = {n}, RF to Zarr in tiles of {args.chunk}: {elapsed:.1f} s ({n * (n - 1) / 2 / elapsed / 1e6:.0f} "
          f"Mpairs/s); worker peak RSS {worker_peak:.0f} MiB against a tile of {tile_mib:.0f} MiB and a sample of "
          f"{sample_mib:.1f} MiB; {disk:.2f} GiB on disk for {n * n * 4 / 2**30:.1f} GiB of matrix")


def reduce_run(args, path):
    encoded = encode(path, burnin=0)
    n = len(encoded)
    start = time.perf_counter()
    center = medoid(encoded, "rf", chunk=args.chunk)
    mid = time.perf_counter()
    index, distance = nearest(encoded, args.k, "rf", chunk=args.chunk)
    end = time.perf_counter()
    rows = np.sort(np.random.default_rng(2).choice(n, 5, replace=False))
    for row in rows:
        line = np.frombuffer(encoded.native.block("rf", range(row, row + 1), range(n)), dtype="<u4").astype(float)
        line[row] = np.inf
        order = np.argsort(line, kind="stable")[: args.k]  # ties to the lower index, as the engine
        if not (np.array_equal(line[order], distance[row]) and np.array_equal(order, index[row])):
            sys.exit("nearest distances differ from a directly computed row")
    sums = np.frombuffer(encoded.native.block("rf", range(center, center + 1), range(n)), dtype="<u4").sum()
    print(f"n = {n}, RF: medoid (tree {center}, mean distance {sums / (n - 1):.3f}) in {mid - start:.1f} s, "
          f"{args.k} nearest of every tree in {end - mid:.1f} s, {n * n / (end - mid) / 1e6:.0f} Mcells/s; "
          f"peak RSS {peak_mib():.0f} MiB (the matrix would be {n * n * 4 / 2**30:.0f} GiB)")


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("question", choices=["throughput", "zarr", "reduce"])
    parser.add_argument("--trees", type=int, default=20000)
    parser.add_argument("--taxa", type=int, default=50)
    parser.add_argument("--chunk", type=int, default=4096)
    parser.add_argument("--k", type=int, default=5)
    args = parser.parse_args()
    folder = tempfile.mkdtemp(prefix="brantoveil-tiles-")
    try:
        path = sample_file(folder, args.trees, args.taxa)
        if args.question == "throughput":
            throughput(args, path)
        elif args.question == "zarr":
            zarr_run(args, path, folder)
        else:
            reduce_run(args, path)
    finally:
        shutil.rmtree(folder)


if __name__ == "__main__":
    main()
