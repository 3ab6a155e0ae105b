"""The private engine: blocks equal the one-call matrices bit for bit, reductions, pickling, exports."""

import json
import os
import pickle
import subprocess
import sys

import brantoveil
import numpy as np
import pytest
import reference
from brantoveil_tools import _engine

ONE_CALL = {
    "rf": (brantoveil.pairwise_rf_from_newick_iter, "<u4"),
    "wrf": (brantoveil.pairwise_wrf_with_snapshots_from_newick_iter, "<f8"),
    "kf": (brantoveil.pairwise_kf_with_snapshots_from_newick_iter, "<f8"),
}
N = 300  # above 256 trees, so the Robinson-Foulds dense share takes effect


def trees_of(n=N, taxa=14, seed=5, lengths="float"):
    return reference.sample(seed, n, taxa, lengths=lengths, multifurcation=0.1)


def encode(trees, rooted=False, lengths=True, names=None):
    names = [f"t{i}" for i in range(len(trees))] if names is None else names
    return _engine.encode(names, iter(trees), [{}], [0] * len(names), rooted=rooted, lengths=lengths)


def one_call(metric, trees, rooted=False):
    function, dtype = ONE_CALL[metric]
    n = len(trees)
    result = function([f"t{i}" for i in range(n)], iter(trees), [{}], [0] * n, rooted=rooted)
    return np.frombuffer(result[1], dtype).reshape(n, n)


def block(sample, metric, rows, cols, **kwargs):
    dtype = ONE_CALL[metric][1]
    return np.frombuffer(sample.block(metric, rows, cols, **kwargs), dtype).reshape(len(rows), len(cols))


@pytest.fixture(scope="module")
def trees():
    return trees_of()


@pytest.fixture(scope="module")
def sample(trees):
    return encode(trees)


SHAPES = {
    "whole": (range(N), range(N)),
    "ranges": (range(7, 250), range(33, N)),
    "unsorted int64 array with repeats": (np.array([299, 3, 3, 150, 0, 299, 41], dtype=np.int64), range(N)),
    "lists": ([5, 1, 5], list(range(N - 1, -1, -3))),
    "strided array": (np.arange(N, dtype=np.int64)[::7], np.arange(N, dtype=np.int64)[::-2]),
    "empty": (range(0), range(N)),
}


@pytest.mark.parametrize("metric,rooted", [("rf", False), ("rf", True), ("wrf", False), ("kf", False), ("kf", True)])
@pytest.mark.parametrize("shape", SHAPES, ids=str)
def test_block_equals_one_call_matrix(trees, metric, rooted, shape):
    sample = encode(trees, rooted=rooted)
    rows, cols = SHAPES[shape]
    picked = np.ix_(np.asarray(rows, dtype=np.int64), np.asarray(cols, dtype=np.int64))
    expected = one_call(metric, trees, rooted)[picked]
    assert block(sample, metric, rows, cols).tobytes() == expected.tobytes()


SHARE_SCRIPT = """
import json, sys
import numpy as np
sys.path.insert(0, {tests!r})
import test_engine_blocks as t
trees = t.trees_of(n=600, taxa=12, seed=9)
sample = t.encode(trees)
rows, cols = range(50, 590), np.arange(599, -1, -3, dtype=np.int64)
same = {{}}
for metric in ("rf", "wrf", "kf"):
    expected = t.one_call(metric, trees)[np.ix_(np.asarray(rows), cols)]
    same[metric] = t.block(sample, metric, rows, cols).tobytes() == expected.tobytes()
print(json.dumps(same))
"""


@pytest.mark.parametrize("share", ["0", None, "2"], ids=["all-dense", "default", "all-sparse"])
def test_block_equals_one_call_matrix_for_every_dense_share(share):
    # The shares are read once per process, so each setting gets its own.
    env = {k: v for k, v in os.environ.items() if not k.startswith("BRANTOVEIL_")}
    if share is not None:
        env["BRANTOVEIL_RF_DENSE_SHARE"] = env["BRANTOVEIL_WEIGHTED_DENSE_SHARE"] = share
    script = SHARE_SCRIPT.format(tests=os.path.dirname(os.path.abspath(__file__)))
    out = subprocess.run([sys.executable, "-c", script], env=env, capture_output=True, text=True)
    assert out.returncode == 0, out.stderr
    assert json.loads(out.stdout) == {"rf": True, "wrf": True, "kf": True}


def test_pickle_round_trip_gives_identical_blocks(sample):
    data = pickle.dumps(sample)
    copy = pickle.loads(data)
    for attribute in ("n_trees", "n_leaves", "n_splits", "rooted", "has_lengths", "names", "leaf_names"):
        assert getattr(copy, attribute) == getattr(sample, attribute)
    rows, cols = np.array([4, 2, 2, 299]), range(N)
    for metric in ("rf", "wrf", "kf"):
        assert copy.block(metric, rows, cols) == sample.block(metric, rows, cols)
    assert copy.presence_csr() == sample.presence_csr()
    assert copy.clade_bytes() == sample.clade_bytes()
    assert copy.split_supports() == sample.split_supports()
    assert _engine.decode(memoryview(sample.to_bytes())).to_bytes() == sample.to_bytes()


def test_encoded_size_is_a_few_times_the_splits(sample):
    _, indices, _ = sample.presence_csr()
    occurrences = len(indices) // 4 + sample.n_trees * sample.n_leaves  # pendant splits are in every tree
    assert len(pickle.dumps(sample)) < 64 * occurrences


@pytest.mark.parametrize(
    "damage,message",
    [
        (lambda b: b"nonsense", "Corrupt encoded sample: no header"),
        (lambda b: b[:60], "Corrupt encoded sample: truncated names"),
        (lambda b: b[:-1], "Corrupt encoded sample: truncated clades"),
        (lambda b: b + b"\0", "Corrupt encoded sample: trailing bytes"),
        (lambda b: b[:8] + b"\x07" + b[9:], "Corrupt encoded sample: unknown version 7"),
    ],
)
def test_corrupt_bytes_raise_value_error(sample, damage, message):
    with pytest.raises(_engine.SampleError) as error:
        _engine.decode(damage(sample.to_bytes()))
    assert str(error.value) == message
    assert (error.value.kind, error.value.reason, error.value.tree_index) == ("corrupt", message, None)
    assert isinstance(error.value, ValueError) and not isinstance(error.value, _engine.TreeError)


BAD_CALLS = {
    "syntax": (["((A,B),(C,D));", "((A,B),(C,D);"], {}),
    "leaf set": (["((A,B),(C,D));", "((A,B),(C,E));"], {}),
    "one tree": (["((A,B),(C,D));"], {}),
    "names and indices": (["((A,B),(C,D));"] * 3, {"indices": [0, 0]}),
    "map index": (["((A,B),(C,D));"] * 2, {"indices": [0, 3]}),
    "rooted type": (["((A,B),(C,D));"] * 2, {"rooted": 1}),
    "iterator": ("not an iterator", {}),
}


@pytest.mark.parametrize("case", BAD_CALLS)
def test_reading_errors_are_the_modules(case):
    trees, options = BAD_CALLS[case]
    names = ["a", "b", "c"][: 3 if case == "names and indices" else max(len(trees), 2)]
    indices = options.get("indices", [0] * len(names))
    source = (lambda: trees) if isinstance(trees, str) else (lambda: iter(trees))
    rooted = options.get("rooted", False)
    with pytest.raises(Exception) as expected:
        brantoveil.pairwise_rf_from_newick_iter(names, source(), [{}], indices, rooted=rooted)
    with pytest.raises(Exception) as got:
        _engine.encode(names, source(), [{}], indices, rooted=rooted)
    # The engine may raise a subclass (its TreeError places the tree), never another type or text.
    assert isinstance(got.value, type(expected.value))
    assert (str(got.value), getattr(got.value, "__notes__", None)) == (
        str(expected.value),
        getattr(expected.value, "__notes__", None),
    )


def test_lengths_argument_is_checked_like_rooted():
    with pytest.raises(TypeError, match="'int' object is not an instance of 'bool'") as error:
        _engine.encode(["a", "b"], iter(["(A,B);"] * 2), [{}], [0, 0], lengths=1)
    assert error.value.__notes__ == ["while processing 'lengths'"]


@pytest.mark.parametrize(
    "call,kind,message",
    [
        (lambda s: s.block("nj", range(2), range(2)), ValueError, "metric must be 'rf', 'wrf' or 'kf', not 'nj'"),
        # The same bad metric gives the same exception from every call of the module.
        (lambda s: s.block(3, range(2), range(2)), TypeError, "metric must be a str, not 'int'"),
        (lambda s: s.block_reduce(b"rf", range(2), range(2)), TypeError, "metric must be a str, not 'bytes'"),
        (lambda s: _engine.pairwise(3, ["a", "b"], iter(["(A,B);"] * 2), [{}], [0, 0]), TypeError,
         "metric must be a str, not 'int'"),
        (lambda s: _engine.pairwise("nj", ["a", "b"], iter(["(A,B);"] * 2), [{}], [0, 0]), ValueError,
         "metric must be 'rf', 'wrf' or 'kf', not 'nj'"),
        (lambda s: s.block("rf", range(0, 4, 2), range(2)), ValueError, "rows must be a range with step 1"),
        (lambda s: s.block("rf", range(2), [0, N]), ValueError, f"cols index {N} is out of range for {N} trees"),
        (lambda s: s.block("rf", [-1], range(2)), ValueError, f"rows index -1 is out of range for {N} trees"),
        (lambda s: s.block("rf", range(N + 1), range(2)), ValueError, f"rows index {N} is out of range for {N} trees"),
        (lambda s: s.block("rf", np.zeros((2, 2), np.int64), range(2)), ValueError, "rows must be one-dimensional"),
        (lambda s: s.block("rf", [0.5], range(2)), TypeError, "'float' object cannot be interpreted as an integer"),
        (lambda s: s.block("rf", range(2), range(2), progress=3), TypeError,
         "progress must be a brantoveil.ProgressCounter or None, not 'int'"),
        (lambda s: s.block_reduce("rf", range(2), range(2), k=-1), ValueError, "k must not be negative"),
        (lambda s: s.block_reduce("rf", range(2), range(2), bins=[1.0]), ValueError,
         "bins must hold at least two edges"),
        (lambda s: s.block_reduce("rf", range(2), range(2), bins=[0, 2, 1]), ValueError,
         "bins must increase monotonically"),
    ],
)
def test_block_argument_errors(sample, call, kind, message):
    with pytest.raises(kind) as error:
        call(sample)
    assert str(error.value) == message


def test_weighted_metrics_need_lengths(trees):
    sample = encode(trees[:5], lengths=False)
    with pytest.raises(ValueError, match=r"^metric 'kf' needs a sample encoded with lengths=True$"):
        sample.block("kf", range(5), range(5))
    assert len(sample.block("rf", range(5), range(5))) == 100


@pytest.mark.parametrize("metric", ["rf", "wrf", "kf"])
def test_reductions_equal_numpy_on_the_full_matrix(trees, sample, metric):
    full = one_call(metric, trees).astype(np.float64)
    rows = np.array([0, 17, 17, 299, 123], dtype=np.int64)
    cols = range(N)
    k = 5
    edges = np.quantile(full, [0.0, 0.1, 0.5, 0.5, 0.9, 1.0])
    got = sample.block_reduce(metric, rows, cols, k=k, bins=edges.tolist())
    part = full[rows]
    np.testing.assert_allclose(np.frombuffer(got["sums"], "<f8"), part.sum(axis=1), rtol=1e-12)
    np.testing.assert_array_equal(np.frombuffer(got["histogram"], "<i8"), np.histogram(part, bins=edges)[0])
    for r, tree in enumerate(rows):
        others = np.array([c for c in cols if c != tree])
        order = np.lexsort((others, part[r, others]))[:k]  # by distance, ties by lower index
        nearest = np.frombuffer(got["knn_index"], "<i8").reshape(-1, k)[r]
        distances = np.frombuffer(got["knn_distance"], "<f8").reshape(-1, k)[r]
        np.testing.assert_array_equal(nearest, others[order])
        np.testing.assert_array_equal(distances, part[r, others][order])
    assert set(sample.block_reduce(metric, rows, cols)) == {"sums"}


def test_progress_adds_the_cells_done(sample):
    counter = brantoveil.ProgressCounter()
    sample.block("rf", range(10), range(N), progress=counter)
    sample.block_reduce("kf", range(3), range(7), progress=counter)
    assert counter.value() == 10 * N + 3 * 7


def test_exports_match_the_modules_split_exports(trees, sample):
    # Splits are keyed by their clade bytes, which both sides share; the column orders differ.
    n = len(trees)
    _, _, leaves, columns, lengths, clades = brantoveil.pairwise_wrf_with_snapshots_from_newick_iter(
        [f"t{i}" for i in range(n)], iter(trees), [{}], [0] * n
    )
    assert leaves == sample.leaf_names and columns == sample.n_splits
    width = (len(leaves) + 7) // 8
    their_clades = [clades[c * width : (c + 1) * width] for c in range(columns)]
    their_lengths = np.frombuffer(lengths, "<f8").reshape(n, columns)

    our_clades = sample.clade_bytes()
    clade_of = [our_clades[i * width : (i + 1) * width] for i in range(sample.n_splits)]
    indptr, indices, our_lengths = sample.presence_csr()
    indptr, indices = np.frombuffer(indptr, "<i8"), np.frombuffer(indices, "<u4")
    our_lengths = np.frombuffer(our_lengths, "<f8")
    supports = np.frombuffer(sample.split_supports(), "<u4")
    for t in range(n):
        ids = indices[indptr[t] : indptr[t + 1]]
        assert list(ids) == sorted(ids) and all(ids >= sample.n_leaves)
        ours = {clade_of[i]: length for i, length in zip(ids, our_lengths[indptr[t] : indptr[t + 1]], strict=True)}
        theirs = {their_clades[c]: their_lengths[t, c] for c in np.flatnonzero(their_lengths[t])}
        pendant = {clade_of[i] for i in range(sample.n_leaves)}
        assert ours == {clade: length for clade, length in theirs.items() if clade not in pendant}
    held = np.bincount(indices, minlength=sample.n_splits)
    held[: sample.n_leaves] = n
    np.testing.assert_array_equal(supports, held)


@pytest.mark.parametrize("metric", ["rf", "kf"])
def test_block_writes_into_a_view_of_a_larger_matrix(trees, sample, metric):
    full = one_call(metric, trees)
    target = np.full((N + 2, N + 5), 7, dtype=full.dtype)
    assert sample.block(metric, range(10, 60), range(100, 290), out=target[12:62, 103:293]) is None
    assert target[12:62, 103:293].tobytes() == full[10:60, 100:290].tobytes()
    target[12:62, 103:293] = 7
    assert (target == 7).all()


@pytest.mark.parametrize(
    "out,kind",
    [
        (np.zeros((3, 4), np.float32), ValueError),  # wrong element type
        (np.zeros((4, 3), np.uint32), ValueError),  # wrong shape
        (np.zeros((3, 4), np.uint32, order="F"), ValueError),  # rows not contiguous
        (bytes(48), BufferError),  # read-only
    ],
)
def test_block_refuses_unfit_destinations(sample, out, kind):
    with pytest.raises(kind):
        sample.block("rf", range(3), range(4), out=out)


PUBLIC = {
    ("rf", False): brantoveil.pairwise_rf_from_newick_iter,
    ("rf", True): brantoveil.pairwise_rf_with_snapshots_from_newick_iter,
    ("wrf", False): brantoveil.pairwise_wrf_from_newick_iter,
    ("wrf", True): brantoveil.pairwise_wrf_with_snapshots_from_newick_iter,
    ("kf", False): brantoveil.pairwise_kf_from_newick_iter,
    ("kf", True): brantoveil.pairwise_kf_with_snapshots_from_newick_iter,
}


@pytest.mark.parametrize(("metric", "exports"), PUBLIC)
@pytest.mark.parametrize("rooted", [False, True])
def test_pairwise_answers_what_the_public_functions_do(metric, exports, rooted):
    trees = trees_of(120)
    names = [f"t{i}" for i in range(len(trees))]
    arguments = (names, iter(trees), [{}], [0] * len(trees))
    expected = PUBLIC[metric, exports](*arguments, rooted=rooted)
    got = _engine.pairwise(metric, names, iter(trees), [{}], [0] * len(trees), rooted=rooted, exports=exports)
    dtype = ONE_CALL[metric][1]
    if not exports and metric != "rf":
        # The public plain weighted functions answer a list of floats; the same values, in bytes here.
        expected = (expected[0], np.asarray(expected[1], dtype=dtype).tobytes())
    assert got == expected


def test_pairwise_counter_reaches_the_pair_count():
    trees = trees_of(50)
    counter = brantoveil.ProgressCounter()
    _engine.pairwise("kf", [str(i) for i in range(50)], iter(trees), [{}], [0] * 50, progress=counter)
    assert (counter.value(), counter.total()) == (50 * 49 // 2, 50 * 49 // 2)
