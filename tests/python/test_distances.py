"""Distance matrices against an independent computation, in both modes and on both kernel paths."""

import hashlib
import math
import os
import struct
import subprocess
import sys

import brantoveil
import pytest
import reference

HERE = os.path.dirname(os.path.abspath(__file__))

RF = brantoveil.pairwise_rf_from_newick_iter
RF_EXPORT = brantoveil.pairwise_rf_with_snapshots_from_newick_iter
WEIGHTED = {
    ("wrf", "list"): brantoveil.pairwise_wrf_from_newick_iter,
    ("kf", "list"): brantoveil.pairwise_kf_from_newick_iter,
    ("wrf", "bytes"): brantoveil.pairwise_wrf_with_snapshots_from_newick_iter,
    ("kf", "bytes"): brantoveil.pairwise_kf_with_snapshots_from_newick_iter,
}


def run(function, trees, rooted):
    n = len(trees)
    return function([f"t{i}" for i in range(n)], iter(trees), [{}], [0] * n, rooted=rooted)


def rf_values(result):
    return list(struct.unpack(f"<{len(result[1]) // 4}I", result[1]))


def float_values(result):
    data = result[1]
    return data if isinstance(data, list) else list(struct.unpack(f"<{len(data) // 8}d", data))


# (seed, trees, taxa): sizes straddle 256 trees, where rare splits move to the postings index.
SAMPLES = [(1, 2, 4), (2, 3, 3), (3, 17, 8), (4, 60, 12), (5, 255, 9), (6, 300, 14)]


@pytest.mark.parametrize("rooted", [False, True])
@pytest.mark.parametrize("seed, n_trees, n_taxa", SAMPLES)
def test_rf_matches_reference(seed, n_trees, n_taxa, rooted):
    trees = reference.sample(seed, n_trees, n_taxa, lengths="none", unary=0.15, multifurcation=0.2)
    sets = [reference.splits(t, rooted) for t in trees]
    want = [reference.rf(a, b) for a in sets for b in sets]
    assert rf_values(run(RF, trees, rooted)) == want
    assert rf_values(run(RF_EXPORT, trees, rooted)) == want


@pytest.mark.parametrize("rooted", [False, True])
@pytest.mark.parametrize("metric", ["wrf", "kf"])
@pytest.mark.parametrize("seed, n_trees, n_taxa", SAMPLES[:5])
def test_weighted_matches_reference_exactly_on_binary_fractions(seed, n_trees, n_taxa, metric, rooted):
    trees = reference.sample(seed, n_trees, n_taxa, lengths="binary", unary=0.15, multifurcation=0.2)
    sets = [reference.splits(t, rooted) for t in trees]
    want = [reference.weighted(a, b, metric) for a in sets for b in sets]
    for form in ("list", "bytes"):
        got = float_values(run(WEIGHTED[metric, form], trees, rooted))
        if metric == "wrf":
            assert got == want
        else:  # only the final square root rounds
            assert got == pytest.approx(want, rel=1e-15, abs=0)


@pytest.mark.parametrize("metric", ["wrf", "kf"])
@pytest.mark.parametrize("rooted", [False, True])
def test_weighted_matches_reference_on_arbitrary_lengths(metric, rooted):
    trees = reference.sample(11, 120, 10, lengths="float", unary=0.1, multifurcation=0.2)
    sets = [reference.splits(t, rooted) for t in trees]
    want = [reference.weighted(a, b, metric) for a in sets for b in sets]
    got = float_values(run(WEIGHTED[metric, "list"], trees, rooted))
    assert got == pytest.approx(want, rel=1e-12, abs=1e-12)


def _digest_in_subprocess(variable, value, metric, trees, rooted):
    script = (
        "import sys, hashlib, json, brantoveil\n"
        "trees, rooted, name = json.loads(sys.stdin.read())\n"
        "f = getattr(brantoveil, name)\n"
        "r = f([str(i) for i in range(len(trees))], iter(trees), [{}], [0] * len(trees), rooted=rooted)\n"
        "print(hashlib.sha256(r[1]).hexdigest())\n"
    )
    import json

    env = dict(os.environ)
    env[variable] = value
    name = "pairwise_rf_from_newick_iter" if metric == "rf" else "pairwise_wrf_with_snapshots_from_newick_iter"
    out = subprocess.run([sys.executable, "-c", script], input=json.dumps([trees, rooted, name]), env=env,
                         capture_output=True, text=True, check=True, cwd=HERE)
    return out.stdout.strip()


@pytest.mark.parametrize("metric, variable", [("rf", "BRANTOVEIL_RF_DENSE_SHARE"),
                                              ("wrf", "BRANTOVEIL_WEIGHTED_DENSE_SHARE")])
def test_dense_share_changes_no_result(metric, variable):
    trees = reference.sample(21, 280, 12, lengths="binary", unary=0.1, multifurcation=0.2)
    function = RF if metric == "rf" else WEIGHTED["wrf", "bytes"]
    expected = hashlib.sha256(run(function, trees, False)[1]).hexdigest()
    for value in ["0", "1", "2", "garbage", " 0.5 ", "-1", "nan"]:
        assert _digest_in_subprocess(variable, value, metric, trees, False) == expected, value


def test_identical_and_one_split_apart():
    trees = ["((A:1,B:1):1,(C:1,D:1):1,E:1);", "((A:1,B:1):1,(C:1,D:1):1,E:1);", "((A:1,C:1):1,(B:1,D:1):1,E:1);"]
    assert rf_values(run(RF, trees, False)) == [0, 0, 4, 0, 0, 4, 4, 4, 0]


@pytest.mark.parametrize(
    "trees, wrf, kf",
    [
        # One shared split, 1.0 against 3.5.
        (["((A:1,B:1):1,C:1,D:1);", "((A:1,B:1):3.5,C:1,D:1);"], 2.5, 2.5),
        # A split held by one tree only, of length 2.0.
        (["((A:1,B:1):2,C:1,D:1,E:1);", "(A:1,B:1,C:1,D:1,E:1);"], 2.0, 2.0),
        # Pendant edges count like any other split.
        (["(A:1,B:1,C:1,D:1);", "(A:1,B:4,C:1,D:1);"], 3.0, 3.0),
        # Negative lengths: branch score squares them; weighted RF computes the stated formula.
        (["(A:-1,B:1,C:1,D:1);", "(A:1,B:1,C:1,D:1);"], 2.0, 2.0),
        # The mended root: the two root edges of an unrooted tree are one edge.
        (["(A:1,(B:1,C:1,D:1):2);", "(A:3,B:1,C:1,D:1);"], 0.0, 0.0),
    ],
)
def test_weighted_examples(trees, wrf, kf):
    assert float_values(run(WEIGHTED["wrf", "list"], trees, False))[1] == wrf
    assert float_values(run(WEIGHTED["kf", "bytes"], trees, False))[1] == kf


@pytest.mark.parametrize(
    "trees",
    [
        ["((A:1,B:1):nan,C:1,D:1);", "((A:1,B:1):1,C:1,D:1);"],
        ["((A:1,B:1):inf,C:1,D:1);", "((A:1,B:1):inf,C:1,D:1);"],
    ],
)
def test_nan_is_not_reported_as_zero_distance(trees):
    for metric in ("wrf", "kf"):
        values = float_values(run(WEIGHTED[metric, "list"], trees, False))
        assert values[0] == 0.0 and values[3] == 0.0
        assert math.isnan(values[1]) and math.isnan(values[2])


def test_rounding_never_goes_below_zero():
    trees = ["((A:0.1,B:0.2):0.3,C:0.7,D:1e-17);"] * 3
    for metric in ("wrf", "kf"):
        assert float_values(run(WEIGHTED[metric, "list"], trees, False)) == [0.0] * 9
