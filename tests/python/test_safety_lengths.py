"""Branch lengths that are not finite, or overflow the metric, are named once instead of passing in silence."""

import json
import warnings

import numpy as np
import pytest
from brantoveil_tools import NonFiniteDistanceWarning, distances, read_sample
from brantoveil_tools.cli import main
from treefiles import nexus, random_trees, write

TREES = random_trees(6, seed=4)
KF = "Kuhner-Felsenstein branch score"
WRF = "weighted Robinson-Foulds"


def spoil(length, tree=3):
    """The trees, with the first branch length of tree `tree` replaced by `length`."""
    trees = list(TREES)
    head, tail = trees[tree].split(":", 1)
    trees[tree] = head + ":" + length + tail[tail.index(","):]
    return trees


@pytest.mark.parametrize("metric, length, expected", [
    ("wrf", "inf", f"branch length inf is not finite: its {WRF} distances are NaN or infinite"),
    ("kf", "-inf", f"branch length -inf is not finite: its {KF} distances are NaN or infinite"),
    ("kf", "1e400", f"branch length 1e400 is not finite: its {KF} distances are NaN or infinite"),
    ("kf", "1.7976931348623157e308", f"branch length 1.7976931348623157e308 overflows: its {KF} distances are "
                                     "NaN or infinite"),
    ("kf", "1e200", f"branch length 1e200 overflows: its {KF} distances are NaN or infinite"),
    # Finite results: nothing to say.
    ("wrf", "1.7976931348623157e308", None),
    ("kf", "1e100", None),
])
def test_a_bad_length_is_named_once_and_the_values_are_kept(tmp_path, capsys, metric, length, expected):
    path = write(tmp_path / "run.t", nexus(spoil(length)))
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        result = distances(str(path), metric, burnin=0)
    messages = [str(w.message) for w in caught if issubclass(w.category, NonFiniteDistanceWarning)]
    assert messages == ([] if expected is None else [f"run.t, tree gen.300: {expected}"])
    assert np.isfinite(result.matrix).all() == (expected is None)  # the engine's values stay as they are
    assert main([metric, str(path), "--burnin", "0", "-q", "-o", str(tmp_path / "m.npy")]) == 0
    err = capsys.readouterr().err
    assert err == ("" if expected is None else f"brantoveil: warning: run.t, tree gen.300: {expected}\n")
    assert np.load(tmp_path / "m.npy").tobytes() == result.matrix.tobytes()


@pytest.mark.parametrize("trees, expected", [
    # Two trees: both rows are spoilt alike; the length tells which tree is to blame.
    (["((A:1,B:1):1,(C:1,D:1):1);", "((A:1,B:1):1,(C:1,D:1):inf);"], "trees, tree 2: branch length inf"),
    # A colon inside a comment is no length.
    (["((A:1,B:1):1,(C:1,D:1):1[x:inf]);", "((A:1,B:2):1[&x=a:inf],(C:1,D:1):nan);", "((A:1,B:1):1,(C:1,D:1):1);"],
     "trees, tree 2: branch length nan"),
])
def test_the_culprit_is_found_by_its_length(trees, expected):
    with pytest.warns(NonFiniteDistanceWarning, match="^" + expected.replace("(", r"\(") + " is not finite"):
        distances(trees, "kf")


@pytest.mark.parametrize("tree", [0, 1, 4])  # the first two trees are the references
def test_a_sample_written_tile_by_tile_is_checked_too(tmp_path, tree):
    pytest.importorskip("dask")
    from brantoveil_tools.checks import warn_non_finite_sample
    from brantoveil_tools.tiles import encode

    path = write(tmp_path / "run.t", nexus(spoil("inf", tree)))
    sample = read_sample(str(path), burnin=0)
    with pytest.warns(NonFiniteDistanceWarning) as caught:
        warn_non_finite_sample(encode(sample, lengths=True).native, sample, "kf")
    assert [str(w.message) for w in caught] == [f"run.t, tree gen.{100 * tree}: branch length inf is not finite: "
                                                f"its {KF} distances are NaN or infinite"]


def test_converge_refuses_kf_figures_over_a_length_that_is_not_finite(tmp_path, capsys):
    write(tmp_path / "r1.t", nexus(spoil("nan")))
    write(tmp_path / "r2.t", nexus(TREES[::-1]))
    assert main(["converge", str(tmp_path / "r1.t"), str(tmp_path / "r2.t"), "--burnin", "0", "-q",
                 "--metric", "kf", "--no-burnin-suggestion"]) == 2
    assert capsys.readouterr().err == ("brantoveil: error: r1.t, tree gen.300: branch length nan is "
                                       f"not finite: its {KF} distances are NaN or infinite; the tree-space figures "
                                       f"need them finite (the rf metric reads no lengths)\n")


# A doubled length (A:1:5) is read as the engine reads it, the last one, by every reader of the summaries.
@pytest.mark.parametrize("argv", [
    ["summarize", "--method", "majority"],  # unrooted lengths, without comments
    ["summarize", "--rooted", "--method", "mcc"],  # rooted heights
    ["summarize", "--method", "allcompat", "--comment"],  # the full reader, for trees with comments
    ["converge", "--no-burnin-suggestion", "--json", "{out}"],
], ids=["unrooted", "rooted", "comments", "converge"])
def test_a_doubled_length_is_read_as_the_engine_reads_it(tmp_path, monkeypatch, argv):
    outputs = []
    for name, length in (("doubled", "0.25:1.5"), ("last", "1.5")):
        folder = tmp_path / name
        folder.mkdir()
        runs = [spoil(length), TREES[::-1]]
        if "--comment" in argv:
            runs = [[tree.replace(",", "[&rate=1],", 1) for tree in trees] for trees in runs]
        for k, trees in enumerate(runs):
            write(folder / f"r{k}.t", nexus(trees))
        monkeypatch.chdir(folder)
        options = [a.replace("{out}", "out") for a in argv if a != "--comment"]
        extra = [] if "--json" in options else ["-o", "out"]
        assert main([options[0], "r0.t", "r1.t", "--burnin", "0", "-q", *options[1:], *extra, *(
            [] if "--json" in options else ["--format", "nexus"])]) == 0
        text = (folder / "out").read_text()
        if "--json" in options:  # the provenance holds the input files' sizes, which differ by the doubling
            report = json.loads(text)
            report.pop("provenance")
            text = json.dumps(report)
        outputs.append(text)
    assert outputs[0] == outputs[1]
