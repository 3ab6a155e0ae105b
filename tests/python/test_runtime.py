"""One runtime per process: one pool for both modules, one error policy, the thread count, a free interpreter."""

import itertools
import os
import subprocess
import sys
import textwrap
import threading
import time
from pathlib import Path

import brantoveil
import brantoveil_tools
import pytest
import reference
from brantoveil_tools import BrantoveilError, TreeError, _engine, engine
from treefiles import nexus, random_trees, write

HERE = Path(__file__).resolve().parent


def run_python(code, **environment):
    """Runs `code` in a fresh interpreter with this test folder importable; returns the finished process."""
    env = {**os.environ, "OPENBLAS_NUM_THREADS": "1", "OMP_NUM_THREADS": "1", **environment}
    env["PYTHONPATH"] = os.pathsep.join(filter(None, [str(HERE), env.get("PYTHONPATH", "")]))
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True,
                          timeout=300, env=env)


def test_both_modules_share_one_pool():
    done = run_python("""
        import os
        import brantoveil
        from brantoveil_tools import _engine
        from treefiles import random_trees

        def threads():
            return len(os.listdir("/proc/self/task"))

        trees = random_trees(200)
        names = [str(i) for i in range(len(trees))]
        before = threads()
        brantoveil.pairwise_rf_from_newick_iter(names, iter(trees), [{}], [0] * len(trees))
        sample = _engine.encode(names, iter(trees), [{}], [0] * len(trees), lengths=True)
        sample.block("kf", range(200), range(200))
        brantoveil.pairwise_kf_from_newick_iter(names, iter(trees), [{}], [0] * len(trees))
        print(threads() - before, _engine.pool_threads())
    """, BRANTOVEIL_THREADS="3")
    assert done.returncode == 0, done.stderr
    # The caller takes part in every loop: a pool of 3 adds 2 workers, whichever module asks.
    assert done.stdout.split() == ["2", "3"]


# Each runs in its own interpreter: before one error policy covered every entry point, some of these
# ended the process instead of raising.
ABSURD_CALLS = {
    "k beyond any table": ("sample.block_reduce('rf', range(2000), range(2000), k=500_000_000)", ValueError),
    "k past 64 bits of cells": ("sample.block_reduce('rf', range(2000), range(2000), k=2**62)", ValueError),
    "bins by the million": ("sample.block_reduce('rf', range(20), range(20), bins=range(10**7))", ValueError),
    # 2^40 row indices read in place from a zero-stride array: the index table alone needs 8 TiB.
    "rows past any memory": ("sample.block('rf', np.broadcast_to(np.int64(0), (2**40,)), range(2000))", MemoryError),
}


@pytest.mark.parametrize("case", ABSURD_CALLS)
def test_absurd_requests_raise_instead_of_ending_the_interpreter(case):
    call, expected = ABSURD_CALLS[case]
    done = run_python(f"""
        import numpy as np
        from brantoveil_tools import _engine
        from treefiles import random_trees

        trees = random_trees(2000)
        sample = _engine.encode([str(i) for i in range(2000)], iter(trees), [{{}}], [0] * 2000)
        try:
            {call}
        except (MemoryError, ValueError) as error:
            print(type(error).__name__)
    """)
    assert (done.returncode, done.stdout.strip()) == (0, expected.__name__), done.stderr


GOOD = "((A,B),(C,D));"
READING_ERRORS = [
    # (trees, kind, tree index, byte offset of the fault in that tree's text, reason)
    ([GOOD, "((A,B),(C,D);"], "syntax", 1, 12, "a '(' is never closed"),  # found at the ';'
    ([GOOD, "((A:1,B:0.x5),(C,D));"], "syntax", 1, 8, 'invalid branch length "0.x5": invalid float literal'),
    ([GOOD, GOOD, "((A,B),(C,D)));"], "syntax", 2, 13, "')' outside any subtree"),
    ([GOOD, "((A,B),(C,D))"], "syntax", 1, 13, "the tree does not end in ';'"),
    ([GOOD, "[empty] ;"], "syntax", 1, 8, "the tree is empty"),
    ([GOOD, "((A,B),[é](C,D):x);"], "syntax", 1, 17, 'invalid branch length "x": invalid float literal'),  # bytes
    (["((A,B),(C,D)", GOOD], "syntax", 0, 12, "the tree does not end in ';'"),  # tree 0 is read apart
    ([GOOD, "((A,B),C);", "((A,B),(C,E));"], "leaf_set", 1, None,
     "has a different leaf set than tree 0. All trees must share the same taxa."),
    ([GOOD, GOOD, "((A,A),(C,D));"], "tree", 2, 4, 'repeats the leaf name "A". All leaf names must be unique.'),
    ([GOOD, "((A,B),(C,));"], "tree", 1, 10, "has an unnamed leaf. All leaves must be named."),
]


@pytest.mark.parametrize(("trees", "kind", "index", "offset", "reason"), READING_ERRORS)
def test_engine_errors_carry_the_tree_and_public_ones_stay_plain(trees, kind, index, offset, reason):
    names = [str(i) for i in range(len(trees))]
    with pytest.raises(ValueError) as public:
        brantoveil.pairwise_rf_from_newick_iter(names, iter(trees), [{}], [0] * len(trees))
    with pytest.raises(_engine.TreeError) as private:
        _engine.pairwise("rf", names, iter(trees), [{}], [0] * len(trees))
    assert type(public.value) is ValueError
    assert vars(public.value) == {}
    assert str(private.value) == str(public.value)
    error = private.value
    assert (error.kind, error.tree_index, error.offset, error.reason) == (kind, index, offset, reason)
    with pytest.raises(TreeError) as placed:
        brantoveil_tools.distances(brantoveil_tools.from_newick(trees), "rf")
    assert (placed.value.kind, placed.value.tree_index, placed.value.offset) == (kind, index, offset)


def test_companion_text_for_a_str_given_as_a_sequence():
    with pytest.raises(TypeError) as public:
        brantoveil.pairwise_rf_from_newick_iter("ab", iter([]), [{}], [0, 0])
    with pytest.raises(TypeError) as private:
        _engine.pairwise("rf", "ab", iter([]), [{}], [0, 0])
    assert str(public.value) == "Can't extract `str` to `Vec`"
    assert str(private.value) == "expected a sequence (a list or tuple), not a single str"
    assert private.value.__notes__ == ["while processing 'names'"]


TREES = random_trees(6, seed=11)
CUT = TREES[2].replace(")", "", 1)
BAD_FILES = [
    # (file name, text, burn-in, thinning, message, tree index, tree number, byte offset in the tree)
    ("bad_mid.nwk", "\n".join([*TREES[:4], TREES[4].replace("Pan", "Lemur"), *TREES[5:]]), 0, 1,
     "bad_mid.nwk, tree 5: its taxa differ from the first tree's (missing: Pan; extra: Lemur)", 4, 5, None),
    # Offsets count from the tree's first non-blank byte: here the ';' of its line.
    ("cut.nwk", "\n\n".join([*TREES[:2], CUT, *TREES[3:]]), 0, 1,
     "cut.nwk, tree 3: not a Newick tree: a '(' is never closed", 2, 3, len(CUT) - 1),
    # In NEXUS from the first byte after "tree gen.400 = ": "[&U] (Homo:1,Pan:" precedes the x.
    ("run.t", nexus([*TREES[:4], "(Homo:1,Pan:x,Gorilla,Pongo,Hylobates,Macaca,Papio,Saimiri);", TREES[5]]), 2, 2,
     'run.t, tree gen.400: not a Newick tree: invalid branch length "x": invalid float literal', 1, 5, 17),
]


@pytest.mark.parametrize(("name", "text", "burnin", "thin", "message", "index", "number", "offset"), BAD_FILES,
                         ids=[row[0] for row in BAD_FILES])
def test_bad_tree_is_named_by_file_and_tree(tmp_path, name, text, burnin, thin, message, index, number, offset):
    path = write(tmp_path / name, text)
    with pytest.raises(TreeError) as error:
        brantoveil_tools.distances([str(path)], "wrf", burnin=burnin, thin=thin)
    assert str(error.value) == message
    assert (error.value.tree_index, error.value.tree_number, error.value.path) == (index, number, str(path))
    assert error.value.offset == offset
    assert isinstance(error.value, BrantoveilError)


@pytest.mark.parametrize(("metric", "exports", "make_trees"), [
    ("rf", False, lambda: random_trees(20_000, seed=3, taxa=[f"T{i}" for i in range(12)])),
    ("kf", True, lambda: random_trees(4_000, seed=3, taxa=[f"T{i}" for i in range(40)])),
    # Reading dominates: 400 trees of 3,000 taxa.
    ("rf", False, lambda: reference.sample(3, 400, 3000, lengths="float")),
], ids=["rf", "kf with exports", "large trees"])
def test_other_threads_run_while_the_engine_computes(metric, exports, make_trees):
    trees = make_trees()
    ticks = 0
    done = threading.Event()

    def count():
        nonlocal ticks
        while not done.is_set():
            time.sleep(0.001)
            ticks += 1

    counter = threading.Thread(target=count)
    counter.start()
    start = time.perf_counter()
    try:
        result = brantoveil_tools.distances(trees, metric, progress=False, exports=exports)
    finally:
        took = time.perf_counter() - start
        done.set()
        counter.join()
    assert result.matrix.shape == (len(trees), len(trees))
    # Holding the lock for the call gave the other thread 5 ticks in 3.3 s (rf), 67 a second while
    # kf exports were built, 10 in 1.4 s of reading large trees; released, it gets a few hundred a
    # second of its 1000.
    assert ticks > 100 * took, (ticks, took)


def test_weighted_calls_without_exports_do_not_hold_the_splits():
    # 600 random trees of 100 taxa hold about 35,000 distinct splits: their branch-length export alone
    # takes 170 MB (a call with exports grows by 178 MiB), the matrix 3 MB.
    done = run_python("""
        import resource
        import reference
        import brantoveil_tools

        trees = reference.sample(5, 600, 100, lengths="float")
        for metric in ("kf", "wrf"):
            brantoveil_tools.distances(trees[:2], metric)
            before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
            result = brantoveil_tools.distances(trees, metric)
            grown = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - before
            print(metric, result.exports is None, grown // 1024)
    """)
    assert done.returncode == 0, done.stderr
    for line in done.stdout.splitlines():
        _, no_exports, grown_mib = line.split()
        assert no_exports == "True"
        assert int(grown_mib) < 100, line


THREAD_SETTINGS = [
    # (code run in a fresh interpreter, environment, what it prints)
    ("engine.set_threads(2); print(engine.pool_threads())", {}, "2"),
    ("print(engine.pool_threads())", {"BRANTOVEIL_THREADS": "3"}, "3"),
    ("engine.set_threads(1); print(engine.pool_threads())", {"BRANTOVEIL_THREADS": "3"}, "1"),
    ("compute(); engine.set_threads(engine.pool_threads()); print('same size accepted')", {}, "same size accepted"),
    ("compute(); engine.set_threads(engine.pool_threads() + 1)", {},
     "BrantoveilError: the engine already runs on {n} threads; set the thread count before the first computation"),
    ("engine.set_threads(0)", {}, "BrantoveilError: the thread count must be a positive integer, not 0"),
    ("engine.set_threads(True)", {}, "BrantoveilError: the thread count must be a positive integer, not True"),
    ("compute()", {"BRANTOVEIL_THREADS": "many"},
     "BrantoveilError: BRANTOVEIL_THREADS must be a whole number of threads between 1 and 4096, not 'many'"),
]


@pytest.mark.parametrize(("code", "environment", "expected"), THREAD_SETTINGS)
def test_thread_count(code, environment, expected):
    done = run_python(f"""
        from brantoveil_tools import BrantoveilError, engine, distances

        def compute():
            distances(["((A,B),(C,D));", "((A,C),(B,D));"])

        try:
            {code}
        except BrantoveilError as error:
            print(f"BrantoveilError: {{error}}")
    """, **environment)
    assert done.returncode == 0, done.stderr
    cores = len(os.sched_getaffinity(0))
    assert done.stdout.strip() == expected.format(n=cores)


def test_set_threads_is_refused_once_the_pool_runs_here():
    brantoveil_tools.distances(["((A,B),(C,D));", "((A,C),(B,D));"])
    with pytest.raises(BrantoveilError, match="already runs on"):
        engine.set_threads(_engine.pool_threads() + 1)


def test_public_float_list_lets_other_threads_run():
    # 25 million floats built with the lock held once kept another thread waiting 2.5 s in one stretch.
    trees = random_trees(5_000, seed=3, taxa=[f"T{i}" for i in range(40)])
    stamps = []
    done = threading.Event()

    def count():
        while not done.is_set():
            time.sleep(0.001)
            stamps.append(time.perf_counter())

    counter = threading.Thread(target=count)
    counter.start()
    start = time.perf_counter()
    try:
        _, values = brantoveil.pairwise_kf_from_newick_iter([str(i) for i in range(len(trees))], iter(trees),
                                                            [{}], [0] * len(trees),
                                                            progress=brantoveil.ProgressCounter())
    finally:
        end = time.perf_counter()
        done.set()
        counter.join()
    assert len(values) == len(trees) ** 2
    times = [start, *stamps, end]
    assert max(b - a for a, b in itertools.pairwise(times)) < 1.0
