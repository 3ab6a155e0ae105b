"""How long does a Ctrl-C take to end a command that is writing a large matrix and its exports?

Builds a result in memory (an n x n RF matrix, and with --splits a presence matrix of n x SPLITS),
writes it as the command does (`write_outputs`), and sends SIGINT to itself after each delay. The
time from the signal to the end of the interrupted write (every private folder handed over for
removal) is printed per delay. Before any figure, the run checks that an interrupted write left
the target as it was (absent) and that an uninterrupted one reads back equal to the matrix.

    python3 bench/interrupt.py [--trees 20000] [--splits 0] [--delays 0.3,1,2,3] [--folder /tmp/interrupt]
"""

import argparse
import os
import shutil
import signal
import threading
import time
from pathlib import Path

import numpy as np
from brantoveil_tools import output
from brantoveil_tools.api import DistanceResult, SplitExports


def result(trees, splits):
    matrix = np.ones((trees, trees), dtype="<u4")
    exports = None
    if splits:
        exports = SplitExports(tuple(f"t{k}" for k in range(64)), np.zeros((splits, 64), dtype=bool),
                               tuple(f"s{k}" for k in range(splits)), np.ones((trees, splits), dtype=np.uint8), None)
    return DistanceResult("rf", False, matrix, tuple(f"t{k}" for k in range(trees)), np.zeros(trees, dtype=np.int64),
                          ("run",), None, exports)


def interrupted_after(value, folder, delay):
    """Seconds from SIGINT to the end of the interrupted write, or None when the write finished first."""
    sent = []

    def interrupt():
        time.sleep(delay)
        sent.append(time.perf_counter())
        os.kill(os.getpid(), signal.SIGINT)

    thread = threading.Thread(target=interrupt, daemon=True)
    thread.start()
    try:
        output.write_outputs(value, folder / "m.npy", folder / "exports" if value.exports is not None else None)
    except KeyboardInterrupt as stop:
        latency = time.perf_counter() - sent[0]
        # Held back while the files were moved into place: then they are whole; otherwise absent.
        committed = type(stop).__name__ == "CommittedInterrupt"
        assert (folder / "m.npy").exists() == committed, "an interrupted write left its target, or lost it"
        return latency
    try:  # the write finished first: the signal still comes, and lands here
        thread.join()
        time.sleep(0.1)
    except KeyboardInterrupt:
        pass
    return None


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--trees", type=int, default=20000)
    parser.add_argument("--splits", type=int, default=0)
    parser.add_argument("--delays", default="0.3,1,2,3")
    parser.add_argument("--folder", type=Path, default=Path("/tmp/interrupt"))
    args = parser.parse_args()
    value = result(args.trees, args.splits)
    shutil.rmtree(args.folder, ignore_errors=True)
    args.folder.mkdir(parents=True)
    started = time.perf_counter()
    output.write_outputs(value, args.folder / "m.npy", args.folder / "exports" if args.splits else None)
    whole = time.perf_counter() - started
    assert np.array_equal(np.load(args.folder / "m.npy", mmap_mode="r")[:2], value.matrix[:2]), "wrong matrix"
    shutil.rmtree(args.folder)
    args.folder.mkdir()
    print(f"{args.trees} trees ({value.matrix.nbytes / 1e9:.2f} GB matrix), {args.splits} splits: "
          f"written whole in {whole:.2f} s")
    for delay in (float(d) for d in args.delays.split(",")):
        latency = interrupted_after(value, args.folder, delay)
        outcome = "finished first" if latency is None else f"ended {latency:.3f} s later"
        print(f"  Ctrl-C at {delay:.2f} s: {outcome}")
        time.sleep(1.0)  # the removal of the interrupted write's files, in a process of its own
        for written in args.folder.iterdir():
            shutil.rmtree(written) if written.is_dir() else written.unlink()
    shutil.rmtree(args.folder, ignore_errors=True)


if __name__ == "__main__":
    main()
