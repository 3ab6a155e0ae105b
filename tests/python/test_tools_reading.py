"""Tree files of every dialect give the engine's own matrix; selection and runs behave as documented."""

import gzip
import warnings

import numpy as np
import pytest
from brantoveil_tools import BrantoveilError, TruncatedFileWarning, distances, from_newick, read_sample
from treefiles import TAXA, engine_matrix, nexus, random_trees, write

TREES = random_trees(12)
NUMBERS = {taxon: k + 1 for k, taxon in enumerate(TAXA)}
SHUFFLED = {taxon: k + 1 for k, taxon in enumerate(reversed(TAXA))}


def beast_annotated(tree):
    # BEAST puts [&rate=...] before and after the colon of every branch.
    return tree.replace(":", "[&rate=0.5,height={1;2}]:[&length_range={0.1,0.2}]")


DIALECTS = {
    # one tree per line, blank lines and comments between them
    "newick": lambda: "\n\n".join(TREES) + "\n[end of bootstrap replicates]\n",
    # a tree spread over several lines, comment with a ';' inside
    "newick-multiline": lambda: "".join(t.replace(",", ",\n  ").replace("(", "([a;b]") + "\n" for t in TREES),
    "nexus-translate": lambda: nexus(TREES, numbers=NUMBERS),
    "nexus-names": lambda: nexus(TREES),
    "nexus-beast": lambda: nexus([beast_annotated(t) for t in TREES], numbers=NUMBERS),
    # BEAST names trees STATE_N and puts comments between the name and '='
    "nexus-beast-names": lambda: nexus(TREES, names=[f"STATE_{k} [&lnP=-1.5]" for k in range(12)],
                                       numbers=NUMBERS),
    "revbayes": lambda: "Iteration\tPosterior\tpsi\n" + "".join(
        f"{10 * k}\t-12.5\t{t}\n" for k, t in enumerate(TREES)),
    # Windows line ends, lower-case commands, a data block that is skipped
    "nexus-crlf": lambda: nexus(TREES, numbers=NUMBERS).replace("begin trees", "BEGIN data;\nmatrix\n"
                                                                "Homo ACGT\n;\nend;\nBegin Trees")
                                                        .replace("\n", "\r\n"),
}


@pytest.mark.parametrize("compress", [False, True], ids=["plain", "gzip"])
@pytest.mark.parametrize("dialect", DIALECTS)
@pytest.mark.parametrize("metric", ["rf", "wrf", "kf"])
def test_every_dialect_gives_the_engine_matrix(tmp_path, dialect, compress, metric):
    path = write(tmp_path / "run.trees", DIALECTS[dialect](), compress)
    result = distances(path, metric, burnin=0)
    np.testing.assert_array_equal(result.matrix, engine_matrix(TREES, metric))
    assert len(result.names) == 12 and sorted(read_sample(path, burnin=0).taxa) == sorted(TAXA)


def test_runs_numbering_taxa_differently_match_by_name(tmp_path):
    alike = distances([write(tmp_path / "a1.t", nexus(TREES[:6], numbers=NUMBERS)),
                       write(tmp_path / "a2.t", nexus(TREES[6:], numbers=NUMBERS))], burnin=0)
    differ = distances([write(tmp_path / "b1.t", nexus(TREES[:6], numbers=NUMBERS)),
                        write(tmp_path / "b2.t", nexus(TREES[6:], numbers=SHUFFLED))], burnin=0, exports=True)
    np.testing.assert_array_equal(alike.matrix, differ.matrix)
    np.testing.assert_array_equal(differ.matrix, engine_matrix(TREES))
    assert differ.runs.tolist() == [0] * 6 + [1] * 6
    assert differ.names[6] == "b2.t:gen.0" and differ.run_labels == ("b1.t", "b2.t")
    assert differ.exports is not None and differ.exports.leaf_names == tuple(sorted(TAXA))


@pytest.mark.parametrize(("burnin", "thin", "kept"), [
    (0.25, 1, list(range(3, 12))),             # floor(0.25 * 12) = 3 dropped
    ("0.3", 1, list(range(3, 12))),            # floor(3.6) = 3
    ("0.29", 1, list(range(3, 12))),           # exactly 3.48, not a float that rounds below
    ("50%", 2, [6, 8, 10]),
    (5, 1, list(range(5, 12))),
    ("5", 3, [5, 8, 11]),
    (0, 4, [0, 4, 8]),
    ("gen:450", 1, list(range(5, 12))),        # generations 0, 100, ...: first kept is gen.500
    ("gen:500", 1, list(range(5, 12))),
    ("state:1000", 1, [10, 11]),
])
def test_burnin_and_thinning(tmp_path, burnin, thin, kept):
    path = write(tmp_path / "run.t", nexus(TREES, numbers=NUMBERS))
    sample = read_sample(path, burnin=burnin, thin=thin)
    assert sample.tree_names == tuple(f"gen.{100 * k}" for k in kept)
    assert sample.generations.tolist() == [100 * k for k in kept]
    run = sample.selection.runs[0]
    assert (run.trees_in_file, run.dropped, run.kept) == (12, kept[0], len(kept))
    result = distances(sample, "rf")
    np.testing.assert_array_equal(result.matrix, engine_matrix([TREES[k] for k in kept]))


@pytest.mark.parametrize(("burnin", "thin", "message"), [
    (1.0, 1, "invalid burn-in 1.0: a fraction must be at least 0 and below 1 (or give a whole count)"),
    ("abc", 1, "invalid burn-in 'abc': give a fraction (0.25 or 25%), a count of trees (2500) "
               "or a generation (gen:250000)"),
    (-3, 1, "invalid burn-in -3: a count of trees cannot be negative"),
    (12, 1, "run.t: burn-in 12 drops all 12 trees of this run"),
    ("gen:5000", 1, "run.t: burn-in gen:5000 drops all 12 trees of this run"),
    (0, 0, "invalid thinning 0: keep every k-th tree with k a whole number of at least 1"),
])
def test_selection_errors(tmp_path, burnin, thin, message):
    path = write(tmp_path / "run.t", nexus(TREES, numbers=NUMBERS))
    with pytest.raises(BrantoveilError) as caught:
        read_sample(path, burnin=burnin, thin=thin)
    assert str(caught.value) == message


def test_generation_burnin_needs_generations(tmp_path):
    path = write(tmp_path / "boot.nwk", "\n".join(TREES))
    with pytest.raises(BrantoveilError, match="burn-in by generation needs generations in the tree names"):
        read_sample(path, burnin="gen:100")


@pytest.mark.parametrize(("name", "text", "compress"), [
    ("run.t", nexus(TREES, numbers=NUMBERS).rsplit("end;", 1)[0] + "   tree gen.1200 = [&U] ((1:0.5,2:", False),
    ("boot.nwk", "\n".join(TREES) + "\n((Homo:1,Pan:1):1,(Gorilla:", False),
    ("trace.trees", "Iteration\tpsi\n" + "".join(f"{k}\t{t}\n" for k, t in enumerate(TREES)) + "12\t((Homo", False),
    ("run.t.gz", nexus(TREES, numbers=NUMBERS), True),  # the gzip stream itself is cut short below
])
def test_cut_off_last_tree_is_skipped_with_a_warning(tmp_path, name, text, compress):
    path = write(tmp_path / name, text, compress)
    if compress:
        data = path.read_bytes()
        path.write_bytes(data[: len(data) - 30])
    with pytest.warns(TruncatedFileWarning, match=rf"^{name}: the last tree is cut off and skipped"):
        sample = read_sample(path, burnin=0)
    complete = len(sample)
    assert complete >= 11
    np.testing.assert_array_equal(distances(sample).matrix, engine_matrix(TREES[:complete]))


def test_complete_files_give_no_warning(tmp_path):
    path = write(tmp_path / "run.t", nexus(TREES, numbers=NUMBERS), compress=True)
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        assert len(read_sample(path, burnin=0)) == 12


def test_concatenated_gzip_members_are_one_stream(tmp_path):
    text = "\n".join(TREES).encode()
    path = tmp_path / "boot.nwk.gz"
    path.write_bytes(gzip.compress(text[:500]) + gzip.compress(text[500:]))
    np.testing.assert_array_equal(distances(path, burnin=0).matrix, engine_matrix(TREES))


@pytest.mark.parametrize(("files", "message"), [
    ({"a.t": TAXA, "b.t": [*TAXA[:-1], "Lemur"]},
     "a.t and b.t have different taxa: b.t lacks Saimiri; b.t has Lemur that a.t lacks"),
    ({"a.t": TAXA, "b.t": [*TAXA, "Lemur", "Loris", "Tarsius", "Galago"]},
     "a.t and b.t have different taxa: b.t has Galago, Lemur, Loris and 1 more that a.t lacks"),
    ({"a.t": ["Homo_sapiens", "B", "C", "D"], "b.t": ["'Homo_sapiens'", "B", "C", "D"]},
     "a.t and b.t have different taxa: b.t lacks Homo_sapiens; b.t has Homo_sapiens that a.t lacks; Homo_sapiens "
     "is quoted in one run only, and a quoted name keeps its underscores while an unquoted one reads them as blanks"),
])
def test_runs_with_different_taxa_are_refused(tmp_path, files, message):
    paths = [write(tmp_path / name, "(" + ",".join(taxa) + ");\n") for name, taxa in files.items()]
    with pytest.raises(BrantoveilError) as caught:
        read_sample(paths)
    assert str(caught.value) == message


def test_quoted_names_and_comments_with_semicolons_survive(tmp_path):
    table = {"Homo": "'Homo sapiens'", "Pan": "'Pan ''the chimp'''"}
    body = nexus(TREES, numbers=NUMBERS)
    for taxon, quoted in table.items():
        body = body.replace(f" {NUMBERS[taxon]} {taxon}", f" {NUMBERS[taxon]} {quoted}")
    body = body.replace("[ID: 42]", "[ID: 42; a comment; with semicolons]")
    sample = read_sample(write(tmp_path / "run.t", body), burnin=0)
    assert "Homo sapiens" in sample.taxa and "Pan 'the chimp'" in sample.taxa
    renamed = [t.replace("Homo", "X").replace("Pan", "Y") for t in TREES]
    np.testing.assert_array_equal(distances(sample).matrix, engine_matrix(renamed))


def test_in_memory_strings_and_subsets():
    result = distances(TREES, "kf")
    assert result.selection.burnin == "0" and result.names[0] == "trees:1"
    np.testing.assert_array_equal(result.matrix, engine_matrix(TREES, "kf"))
    assert not result.matrix.flags.writeable and not result.matrix.flags.owndata  # a view of the bytes
    sample = from_newick(TREES).subset([1, 4, 9])
    np.testing.assert_array_equal(distances(sample, "wrf").matrix,
                                  engine_matrix([TREES[1], TREES[4], TREES[9]], "wrf"))


def test_exports_label_splits_by_taxa(tmp_path):
    trees = ["((Homo,Pan),(Gorilla,Pongo),Hylobates);", "((Homo,Gorilla),(Pan,Pongo),Hylobates);"]
    result = distances(trees, "rf", exports=True)
    exports = result.exports
    assert exports is not None and exports.presence is not None
    columns = dict(zip(exports.labels, exports.presence.T.tolist(), strict=True))
    # Unrooted: each split is named by its side without the first taxon (Gorilla).
    assert columns["Homo|Pan"] == [1, 0] and columns["Pan|Pongo"] == [0, 1]
    assert columns["Hylobates"] == [1, 1]
    assert exports.clades.shape == (len(exports.labels), 5)
