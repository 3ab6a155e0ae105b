"""What users read back: text matrices that other tools parse, and reprs sized for a notebook."""

import csv

import numpy as np
import pytest
from brantoveil_tools import distances, from_newick, read_sample
from brantoveil_tools.output import write_matrix
from treefiles import engine_matrix, random_trees, write

TREES = random_trees(6, seed=5)


@pytest.mark.parametrize(("suffix", "sep"), [(".csv", ","), (".tsv", "\t")])
@pytest.mark.parametrize("metric", ["rf", "kf"])
def test_text_matrices_have_an_empty_corner_and_read_back(tmp_path, suffix, sep, metric):
    # A file name with the separator and a quote in it: the names must survive the round trip.
    source = write(tmp_path / 'boot "a",b.nwk', "\n".join(TREES) + "\n")
    result = distances(source, metric, burnin=0)
    target = tmp_path / f"m{suffix}"
    write_matrix(result, target)
    with open(target, newline="", encoding="utf-8") as handle:
        rows = list(csv.reader(handle, delimiter=sep))
    expected_names = [name.replace("\t", " ") for name in result.names]
    assert rows[0] == ["", *expected_names] and [row[0] for row in rows[1:]] == expected_names
    values = np.array([[float(cell) for cell in row[1:]] for row in rows[1:]])
    np.testing.assert_array_equal(values, engine_matrix(TREES, metric))
    if sep == "\t":  # no quoting in TSV: numpy reads the numbers straight away
        loaded = np.loadtxt(target, delimiter=sep, skiprows=1, usecols=range(1, len(TREES) + 1))
        np.testing.assert_array_equal(loaded, engine_matrix(TREES, metric))


@pytest.mark.parametrize("source", ["file", "memory"])
def test_reprs_are_sized_for_a_notebook(tmp_path, source):
    trees = random_trees(40, seed=2) * 400  # 16,000 trees
    if source == "file":
        paths = [write(tmp_path / f"run{k}.nwk", "\n".join(trees[k::6]) + "\n") for k in range(6)]
        sample = read_sample(paths, burnin=0)
    else:
        sample = from_newick(trees)
    text = repr(sample)
    assert len(text) < 600, text
    assert text.startswith(f"<Sample: {len(trees)} trees from {len(sample.run_labels)} run")
    assert "8 taxa" in text and sample.names[0] in text and sample.names[-1] not in text
    selection = repr(sample.selection)
    assert len(selection) < 300 and selection.startswith("Selection(burnin='0', thin=1, kept=[")
    if source == "file":
        assert selection.endswith("and 2 more runs])")
