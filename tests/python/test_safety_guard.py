"""Every command refuses, before any work, an output that is a file it reads or another of its outputs."""

import sys

import pytest
from brantoveil_tools.cli import main
from test_safety_outputs import snapshot
from treefiles import nexus, random_trees, write

TREES = random_trees(6, seed=3)
PARAMS = "[ID: 1]\nGen\tLnL\tTL\n" + "".join(f"{100 * k}\t{-10.0 - k}\t{1.0 + k / 8}\n" for k in range(6))

# Every command with every option that names an output file; `{}` stands for the clashing path.
OUTPUTS = [
    ("rf", ["-o", "{}"]),
    ("wrf", ["-o", "{}"]),
    ("kf", ["--exports", "{}", "-o", "m.npy"]),  # a file the export folder would hold
    ("converge", ["--json", "{}"]),
    ("converge", ["--splits", "{}"]),
    ("converge", ["--plot", "{}"]),
    ("converge", ["--html", "{}"]),
    ("converge", ["--methods", "{}"]),
    ("summarize", ["-o", "{}"]),
    ("summarize", ["--credible-set", "0.5", "{}"]),
    ("summarize", ["--plot", "{}"]),
]

# What the output clashes with: (runs, extra options, the clashing file, the message's end).
CLASHES = {
    "tree file": (["r1.t", "r2.t"], [], "r2.t", "is the input r2.t"),
    "found parameter file": (["r1.t", "r2.t"], [], "r2.p", "is the input r2.p"),
    "given parameter file": (["r1.t", "r2.t"], ["--params", "g1.p", "g2.p"], "g2.p", "is the input g2.p"),
    "standard input's file": (["-", "r2.t"], [], "r1.t", "is the standard input"),
    "target tree": (["r1.t", "r2.t"], ["--target", "tgt.t"], "tgt.t", "is the input tgt.t"),
}


def clash(command, option, kind):
    """The command line and the error's message, or None where the command reads no such file."""
    runs, extra, target, end = CLASHES[kind]
    if command != "converge" and kind in ("found parameter file", "given parameter file"):
        return None  # only converge reads parameter files
    if command != "summarize" and kind == "target tree":
        return None  # only summarize annotates a target tree
    if option[0] == "--exports":
        if kind != "tree file":
            return None  # only a file named as an export can clash with the export folder
        # The export folder's trees.tsv is the second run.
        return ["r1.t", "d/trees.tsv", *option[2:], "--exports", "d"], "the output d/trees.tsv is the input d/trees.tsv"
    if command == "converge" and kind == "standard input's file":
        extra = ["--no-params"]  # trees from standard input have no parameter file beside them
    elif command != "converge" and kind != "target tree":
        extra = []
    return [*runs, *extra, *(target if part == "{}" else part for part in option)], f"the output {target} {end}"


CASES = [(command, option, kind) for command, option in OUTPUTS for kind in CLASHES
         if clash(command, option, kind) is not None]


def make_inputs(folder):
    for name, trees in (("r1.t", TREES), ("r2.t", TREES[::-1])):
        write(folder / name, nexus(trees))
    write(folder / "tgt.t", nexus(TREES[:1]))
    for name in ("r1.p", "r2.p", "g1.p", "g2.p"):
        write(folder / name, PARAMS)
    (folder / "d").mkdir()
    write(folder / "d" / "trees.tsv", nexus(TREES))


@pytest.mark.parametrize("command, option, kind", CASES,
                         ids=[f"{c} {o[0]} onto {k}" for c, o, k in CASES])
def test_an_output_onto_a_file_read_is_refused_before_any_work(tmp_path, monkeypatch, capsys, command, option, kind):
    make_inputs(tmp_path)
    argv, message = clash(command, option, kind)
    before = snapshot(tmp_path)
    monkeypatch.chdir(tmp_path)
    with open(tmp_path / "r1.t") as stdin:
        monkeypatch.setattr(sys, "stdin", stdin)
        assert main([command, *argv, "--burnin", "0", "-q"]) == 2
    assert capsys.readouterr().err == f"brantoveil: error: {message}: choose another output path\n"
    assert snapshot(tmp_path) == before


@pytest.mark.parametrize("command, options", [
    ("rf", ["-o", "d/trees.tsv", "--exports", "d"]),
    ("converge", ["--json", "x", "--html", "./x"]),
    ("converge", ["--splits", "x", "--plot", "d/../x"]),
    ("summarize", ["-o", "x.tre", "--credible-set", "0.5", "x.tre"]),
])
def test_two_outputs_that_are_one_file_are_refused(tmp_path, monkeypatch, capsys, command, options):
    make_inputs(tmp_path)
    before = snapshot(tmp_path)
    monkeypatch.chdir(tmp_path)
    assert main([command, "r1.t", "r2.t", "--burnin", "0", "-q", *options]) == 2
    assert "are the same output file: choose another path for one of them" in capsys.readouterr().err
    assert snapshot(tmp_path) == before
