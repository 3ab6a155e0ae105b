"""Tab-separated outputs keep a taxon or tree name holding a tab or a line break in one cell."""

import csv

import pytest
from brantoveil_tools.cli import main
from treefiles import TAXA, nexus, random_trees, write

ODD = {"Homo": "'Ho\tmo'", "Pan": "'Pa\nn'"}


def odd_trees(seed):
    trees = random_trees(8, seed=seed)
    for plain, odd in ODD.items():
        trees = [tree.replace(plain + ":", odd + ":") for tree in trees]
    return trees


def rows(path):
    with open(path, newline="", encoding="utf-8") as handle:
        return list(csv.reader(handle, delimiter="\t"))


@pytest.mark.parametrize("argv, files", [
    (["rf", "--exports", "d", "-o", "m.npy"], ["d/splits.tsv", "d/trees.tsv", "d/taxa.txt"]),
    (["converge", "--no-burnin-suggestion", "--splits", "s.tsv"], ["s.tsv"]),
    (["summarize", "--credible-set", "1", "c.tsv", "-o", "t.tre"], ["c.tsv"]),
], ids=["exports", "converge splits", "credible set"])
def test_odd_names_stay_in_their_cells(tmp_path, monkeypatch, argv, files):
    monkeypatch.chdir(tmp_path)
    write(tmp_path / "r1.t", nexus(odd_trees(1)).replace(" ".join(TAXA), " ".join(ODD.get(t, t) for t in TAXA)))
    write(tmp_path / "r2.t", nexus(odd_trees(2)).replace(" ".join(TAXA), " ".join(ODD.get(t, t) for t in TAXA)))
    assert main([argv[0], "r1.t", "r2.t", "--burnin", "0", "-q", *argv[1:]]) == 0
    for name in files:
        table = rows(tmp_path / name)
        assert len({len(row) for row in table}) == 1, name  # every row as wide as the header
        text = "".join(cell for row in table for cell in row)
        if name != "d/trees.tsv":
            assert all(odd.strip("'") in text for odd in ODD.values()), name
    if argv[0] == "rf":
        assert [row[0] for row in rows(tmp_path / "d/taxa.txt")] == sorted(ODD.get(t, t).strip("'") for t in TAXA)
        assert len(rows(tmp_path / "d/trees.tsv")) == 17
