"""The export tuple decoded end to end (order, column count, byte layout) against the reference."""

import math
import struct

import brantoveil
import pytest
import reference

EXPORTING = [
    (brantoveil.pairwise_rf_with_snapshots_from_newick_iter, "rf"),
    (brantoveil.pairwise_wrf_with_snapshots_from_newick_iter, "wrf"),
    (brantoveil.pairwise_kf_with_snapshots_from_newick_iter, "kf"),
]


def packed_words(members, leaf_index):
    """A clade as its bit row in 64-bit words, lowest word first: the order of the columns."""
    words = [0] * ((len(leaf_index) + 63) // 64)
    for name in members:
        i = leaf_index[name]
        words[i // 64] |= 1 << (i % 64)
    return tuple(words)


def decode_clades(data, n_columns, leaf_names):
    width = math.ceil(len(leaf_names) / 8)
    assert len(data) == n_columns * width
    clades = []
    for j in range(n_columns):
        row = data[j * width : (j + 1) * width]
        bits = [(row[i // 8] >> (i % 8)) & 1 for i in range(width * 8)]
        assert not any(bits[len(leaf_names) :])  # padding bits stay clear
        clades.append(frozenset(name for i, name in enumerate(leaf_names) if bits[i]))
    return clades


@pytest.mark.parametrize("function, metric", EXPORTING, ids=[m for _, m in EXPORTING])
@pytest.mark.parametrize("rooted", [False, True])
@pytest.mark.parametrize("n_trees, n_taxa", [(2, 4), (23, 9), (40, 70)])  # 70 taxa: two words per bit row
def test_export_tuple_matches_the_reference(function, metric, rooted, n_trees, n_taxa):
    trees = reference.sample(n_trees * 7 + n_taxa, n_trees, n_taxa, lengths="binary", unary=0.05,
                             multifurcation=0.2)
    names = [f"tree{i}" for i in range(n_trees)]
    result = function(names, iter(trees), [{}], [0] * n_trees, rooted=rooted)
    assert len(result) == 6
    tree_names, matrix, leaf_names, n_columns, export, clade_bytes = result
    splits = [reference.splits(text, rooted) for text in trees]

    # Names, and leaves in the order the clade bits follow.
    assert tree_names == names
    assert sorted(leaf_names) == sorted(set().union(*(reference.parse(t)[1] for t in trees)))
    assert len(set(leaf_names)) == len(leaf_names)
    leaf_index = {name: i for i, name in enumerate(leaf_names)}

    # Matrix: n x n, row-major, little-endian.
    if metric == "rf":
        cells = struct.unpack(f"<{n_trees * n_trees}I", matrix)
        expected = [reference.rf(a, b) for a in splits for b in splits]
        assert list(cells) == expected
    else:
        cells = struct.unpack(f"<{n_trees * n_trees}d", matrix)
        expected = [reference.weighted(a, b, metric) for a in splits for b in splits]
        assert list(cells) == pytest.approx(expected, rel=1e-12, abs=1e-12)

    # Columns: every split of any tree once, ordered by their packed bit rows.
    everything = set().union(*splits)
    assert n_columns == len(everything)
    clades = decode_clades(clade_bytes, n_columns, leaf_names)
    assert set(clades) == everything and len(set(clades)) == n_columns
    keys = [packed_words(c, leaf_index) for c in clades]
    assert keys == sorted(keys)

    # Export matrix: trees x columns, presence bytes or little-endian branch lengths.
    if metric == "rf":
        assert len(export) == n_trees * n_columns
        rows = [list(export[t * n_columns : (t + 1) * n_columns]) for t in range(n_trees)]
        assert rows == [[int(c in s) for c in clades] for s in splits]
    else:
        values = struct.unpack(f"<{n_trees * n_columns}d", export)
        rows = [list(values[t * n_columns : (t + 1) * n_columns]) for t in range(n_trees)]
        assert rows == [[s.get(c, 0.0) for c in clades] for s in splits]
