"""How close is the whole `brantoveil rf ... -o X.npy` to writing the same matrix from a fresh NumPy?

Times whole processes, alternating, median of --repeat runs each:
  command      `brantoveil rf FILE... --burnin 0 -q -o OUT` to a new file (start-up, imports, both
               reading passes, the engine and the write all count);
  replace      the same over an existing file of the same name;
  floor        a fresh interpreter that imports NumPy, reads the same matrix from a raw file (page
               cache, so about a copy) and writes it with `np.save`;
  ones floor   a fresh interpreter writing `np.ones((n, n), dtype)` with `np.save`, no reading.
OUT is .npy unless --suffix says otherwise. The inputs are two MrBayes-style runs of MCMC-like
trees (translate table, `tree gen.N = [&U] ...`) unless --files names tree files, for example the
cynmix posterior that bench/posterior.py keeps in ~/.cache/brantoveil-bench/cynmix/posterior.t.
Before any time is printed, the first rows of the command's matrix are checked against a plain
computation, and every output of every variant must equal the first one. Each variant gets its wall
time and its CPU time (user + system of all its threads), the steadier figure on a shared machine.

    python3 bench/command.py [--trees 10000] [--taxa 32] [--repeat 5] [--suffix .npy|.npz]
                             [--files FILE...] [--command 'brantoveil'] [--folder DIR]
"""

import argparse
import os
import shlex
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from pairwise import reference
from sample import mcmc_chain, translate_map

CHECKED_ROWS = 40
RUNS = 2

FLOOR = """import sys
import numpy as np
n, dtype, raw, out = int(sys.argv[1]), sys.argv[2], sys.argv[3], sys.argv[4]
np.save(out, np.fromfile(raw, dtype=dtype).reshape(n, n))
"""
ONES_FLOOR = """import sys
import numpy as np
n, dtype, out = int(sys.argv[1]), sys.argv[2], sys.argv[3]
np.save(out, np.ones((n, n), dtype=dtype))
"""


def write_runs(folder, n_trees, n_taxa):
    """RUNS MrBayes-style .t files sharing n_trees trees; returns their paths and the texts in order."""
    translate = translate_map(n_taxa)
    texts = list(mcmc_chain(n_trees, n_taxa))
    paths, per_run = [], -(-n_trees // RUNS)
    for run in range(RUNS):
        path = os.path.join(folder, f"run{run + 1}.t")
        with open(path, "w", encoding="utf-8") as out:
            out.write("#NEXUS\n[ID: 20261208]\n[Param: tree]\nbegin trees;\n   translate\n")
            out.write(",\n".join(f"      {key} {name}" for key, name in translate.items()) + ";\n")
            for k, text in enumerate(texts[run * per_run : (run + 1) * per_run]):
                out.write(f"   tree gen.{k * 100} = [&U] {text}\n")
            out.write("end;\n")
        paths.append(path)
    return paths, texts, translate


def load(path):
    if path.endswith(".npz"):
        with np.load(path) as archive:
            return archive["matrix"]
    return np.load(path)


def timed(argv):
    """Wall and CPU seconds (user + system) of one process; the CPU time is the steadier figure on a
    machine that other work shares."""
    start = time.perf_counter()
    child = subprocess.Popen(argv, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    _, status, usage = os.wait4(child.pid, 0)
    elapsed = time.perf_counter() - start
    child.returncode = os.waitstatus_to_exitcode(status)
    errors = child.stderr.read().decode(errors="replace").strip()
    child.stderr.close()
    if child.returncode != 0:
        sys.exit(f"bench/command.py: {shlex.join(argv)} failed ({child.returncode}): {errors}")
    return elapsed, usage.ru_utime + usage.ru_stime


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--trees", type=int, default=10000)
    parser.add_argument("--taxa", type=int, default=32)
    parser.add_argument("--repeat", type=int, default=5)
    parser.add_argument("--suffix", default=".npy", choices=(".npy", ".npz"))
    parser.add_argument("--files", nargs="+", help="tree files to use instead of generated runs")
    parser.add_argument("--command", help="how to start the command (default: `brantoveil` if on PATH)")
    parser.add_argument("--folder", help="where outputs go (default: a temporary folder)")
    args = parser.parse_args()
    if args.command is not None:
        command = shlex.split(args.command)
    elif shutil.which("brantoveil") is not None:
        command = [shutil.which("brantoveil")]
    else:
        command = [sys.executable, "-m", "brantoveil_tools.cli"]

    with tempfile.TemporaryDirectory(dir=args.folder) as folder:
        if args.files:
            files, texts, translate = args.files, None, None
        else:
            files, texts, translate = write_runs(folder, args.trees, args.taxa)
        out = os.path.join(folder, "out" + args.suffix)
        rf = [*command, "rf", *files, "--burnin", "0", "-q", "-o", out]

        # A first run, untimed: warms the page cache and gives the matrix every variant must write.
        timed(rf)
        matrix = load(out)
        n, dtype = matrix.shape[0], matrix.dtype.str
        if texts is not None:
            expected = reference(texts[:CHECKED_ROWS], translate, "rf")
            for a in range(CHECKED_ROWS):
                for b in range(CHECKED_ROWS):
                    if matrix[a, b] != expected[a][b]:
                        sys.exit(f"bench/command.py: wrong RF at ({a}, {b}): {matrix[a, b]} != {expected[a][b]}")
        raw = os.path.join(folder, "matrix.raw")
        matrix.tofile(raw)
        floor_out = os.path.join(folder, "floor.npy")
        variants = {
            "command": (lambda: os.remove(out), rf, out),
            "replace": (lambda: None, rf, out),  # out exists from the run before
            "floor": (lambda: None, [sys.executable, "-c", FLOOR, str(n), dtype, raw, floor_out], floor_out),
            "ones floor": (lambda: None, [sys.executable, "-c", ONES_FLOOR, str(n), dtype, floor_out], None),
        }
        times = {name: [] for name in variants}
        for _ in range(args.repeat):
            for name, (prepare, argv, written) in variants.items():
                prepare()
                # Whatever the runs before left dirty goes to disk outside the timed runs: otherwise a
                # variant pays for writing out the previous one's matrix (and `replace` would replace
                # a file not yet written out, which no rerun a while later does).
                os.sync()
                times[name].append(timed(argv))
                if written is not None and not np.array_equal(load(written), matrix):
                    sys.exit(f"bench/command.py: {name} wrote a different matrix")
                if written == floor_out:
                    os.remove(floor_out)
        del matrix

    print(f"{n} x {n} {np.dtype(dtype).name} matrix to {args.suffix}, "
          f"{len(files)} file(s), median of {args.repeat} (min-max), seconds:")
    print(f"  command: {shlex.join(command)} rf FILE... --burnin 0 -q -o OUT{args.suffix}")
    print(f"  {'':<11} {'wall':>6}{'':<21} {'CPU':>6} (user + system, all threads)")
    floors = [statistics.median(value[k] for value in times["floor"]) for k in (0, 1)]
    for name, values in times.items():
        line = f"  {name:<11}"
        for k in (0, 1):
            these = [value[k] for value in values]
            median = statistics.median(these)
            line += f" {median:6.2f}  ({min(these):.2f}-{max(these):.2f})  {median / floors[k]:4.2f}x"
        print(line)


if __name__ == "__main__":
    main()
