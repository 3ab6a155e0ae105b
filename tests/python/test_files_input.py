"""Tree files as users have them: stray quotes, quoted names, byte-order marks, other compressions,
files given twice or of the wrong kind, pipes, and what the messages show of them."""

import bz2
import gzip
import lzma
import os
import random
import re
import threading
import warnings
from functools import partial

import numpy as np
import pytest
from brantoveil_tools import BrantoveilError, TruncatedFileWarning, distances, from_newick, read_sample, textio
from brantoveil_tools import statements as statements_module
from brantoveil_tools.treefile import index_file
from treefiles import TAXA, engine_matrix, nexus, numbered, random_trees, write

TREES = random_trees(20, seed=11)
NUMBERS = {taxon: k + 1 for k, taxon in enumerate(TAXA)}


def spoil(tree, char):
    """The tree with a stray character after its first comma."""
    return tree.replace(",", "," + char, 1)


def newick_with(position, char):
    return "\n".join(spoil(t, char) if k == position else t for k, t in enumerate(TREES)) + "\n"


def nexus_with(position, char):
    body = TREES[position]
    return nexus(TREES, numbers=NUMBERS).replace(
        "= [&U] " + _numbered(body), "= [&U] " + spoil(_numbered(body), char))


def _numbered(tree):
    return numbered(tree, NUMBERS)


# The line of the first tree in a NEXUS file as nexus() writes it: 8 lines, then the translate entries.
NEXUS_LINE = 9 + len(TAXA)


@pytest.mark.parametrize(("name", "text", "message"), [
    # the comment or quote opens in tree 3 of 20 and runs over the other trees
    ("boot.nwk", newick_with(2, "["), "boot.nwk, tree 3: the comment [ opened on line 3 is not closed "
                                      "within its tree"),
    ("boot.nwk", newick_with(2, '"'), 'boot.nwk, tree 3: the quote " opened on line 3 is not closed '
                                      "within its tree"),
    ("boot.nwk", newick_with(2, "'"), "boot.nwk, tree 3: the quote ' opened on line 3 is not closed "
                                      "within its tree"),
    ("run.t", nexus_with(4, "'"), f"run.t, tree gen.400: the quote ' opened on line {NEXUS_LINE + 4} is not "
                                  "closed within its tree"),
    ("run.t", nexus_with(4, "["), f"run.t, tree gen.400: the comment [ opened on line {NEXUS_LINE + 4} is not "
                                  "closed within its tree"),
    # a stray quote in the translate table swallows the whole trees block
    ("run.t", nexus(TREES, numbers=NUMBERS).replace(" 3 Gorilla", " 3 Go'rilla"),
     "run.t: the quote ' opened on line 11 is not closed within its command"),
], ids=["newick-bracket", "newick-double", "newick-single", "nexus-single", "nexus-bracket", "translate"])
@pytest.mark.parametrize("compress", [False, True], ids=["plain", "gzip"])
def test_a_stray_quote_or_bracket_is_an_error_naming_where_it_opened(tmp_path, name, text, message, compress):
    path = write(tmp_path / name, text, compress)
    with pytest.raises(BrantoveilError) as caught:
        read_sample(path, burnin=0)
    assert str(caught.value) == message


@pytest.mark.parametrize("seed", range(12))
@pytest.mark.parametrize("form", ["newick", "nexus"])
def test_a_stray_opener_anywhere_in_a_tree_but_the_last_is_named(tmp_path, form, seed):
    # Anywhere in the tree: after a parenthesis, inside a name or a length, before the ';'.
    rng = random.Random(seed)
    k = rng.randrange(len(TREES) - 1)
    char = rng.choice("['\"")
    trees = list(TREES) if form == "newick" else [_numbered(t) for t in TREES]
    at = rng.randrange(len(trees[k]))
    trees[k] = trees[k][:at] + char + trees[k][at:]
    if form == "newick":
        text, where, line = "\n".join(trees) + "\n", f"tree {k + 1}", k + 1
    else:
        text = nexus([""] * len(trees), numbers=NUMBERS)
        text = text.replace("= [&U] \n", "= [&U] {}\n").format(*trees)
        where, line = f"tree gen.{100 * k}", NEXUS_LINE + k
    what = "comment" if char == "[" else "quote"
    with pytest.raises(BrantoveilError) as caught:
        read_sample(write(tmp_path / "run.trees", text), burnin=0)
    assert str(caught.value) == (f"run.trees, {where}: the {what} {char} opened on line {line} is not closed "
                                 "within its tree")


@pytest.mark.parametrize(("name", "text"), [
    ("boot.nwk", newick_with(19, "[")),
    ("boot.nwk", newick_with(19, "'")),
    ("run.t", nexus_with(19, "'").replace("end;\n", "")),  # the run is still being written
], ids=["newick-bracket", "newick-single", "nexus-single"])
def test_a_quote_opened_in_the_last_tree_is_a_cut_off_tree(tmp_path, name, text):
    path = write(tmp_path / name, text)
    with pytest.warns(TruncatedFileWarning, match=rf"^{name}: the last tree is cut off and skipped"):
        sample = read_sample(path, burnin=0)
    np.testing.assert_array_equal(distances(sample).matrix, engine_matrix(TREES[:19]))


def test_a_stray_quote_ends_the_scan_early(tmp_path, monkeypatch):
    # A comment with a ';' that is still open far past its start is not read to the end of the file.
    monkeypatch.setattr(statements_module, "RUN_LIMIT", 100)
    blocks_read = []
    monkeypatch.setattr(textio, "BLOCK", 64)
    text = newick_with(2, "[") + "\n".join(TREES * 200)
    path = write(tmp_path / "boot.nwk", text)
    source = textio.open_source(path)
    original = source.blocks

    def counted():
        for block in original():
            blocks_read.append(len(block))
            yield block

    source.blocks = counted
    with pytest.raises(BrantoveilError, match="tree 3: the comment"):
        index_file(source)
    assert sum(blocks_read) < len(text) // 10


QUOTED = {  # taxon -> how a Newick file quotes it
    "Homo": "'Homo sapiens'",
    "Pan": "'Pan (troglodytes), ''the chimp'''",
    "Gorilla": "'Gorilla: g; g'",
    "Pongo": "'Pongo [orangutan]'",
    "Hylobates": "Hylobates_lar",
    "Macaca": "'Macaca \"m\"'",
}
NAMES = {"Homo": "Homo sapiens", "Pan": "Pan (troglodytes), 'the chimp'", "Gorilla": "Gorilla: g; g",
         "Pongo": "Pongo [orangutan]", "Hylobates": "Hylobates_lar", "Macaca": 'Macaca "m"'}
SIMPLE = {"Homo": "'Homo sapiens'", "Gorilla": "'Gorilla g'"}  # only blanks: the one-pass rewrite


def renamed(tree, table):
    return re.sub(r"[A-Za-z]+", lambda m: table.get(m.group(), m.group()), tree)


def translated_nexus(trees, quoted):
    entries = ",\n".join(f"  {k + 1} {quoted.get(t, t)}" for k, t in enumerate(TAXA))
    numbers = {t: str(k + 1) for k, t in enumerate(TAXA)}
    lines = "".join(f"tree gen.{k} = [&U] {renamed(t, numbers)}\n" for k, t in enumerate(trees))
    return f"#NEXUS\nbegin trees;\ntranslate\n{entries};\n{lines}end;\n"


@pytest.mark.parametrize("layout", [
    "newick",                    # one tree per line
    "nexus-names",               # NEXUS without a translate table
    "newick-mixed",              # some trees write Homo sapiens bare, with an underscore
    "newick-simple",             # names with blanks only, some trees with comments
])
@pytest.mark.parametrize("metric", ["rf", "kf"])
def test_quoted_names_equal_the_same_trees_with_a_translate_table(tmp_path, layout, metric):
    quoted = [renamed(t, QUOTED) for t in TREES]
    names = NAMES
    if layout == "newick-simple":
        quoted = [("[&R] " if k % 3 else "") + renamed(t, SIMPLE) + ("[x]" if k % 2 else "")
                  for k, t in enumerate(TREES)]
        names = {"Homo": "Homo sapiens", "Gorilla": "Gorilla g"}
    if layout in ("newick", "newick-simple"):
        text = "\n".join(quoted) + "\n"
    elif layout == "nexus-names":
        text = "#NEXUS\nbegin trees;\n" + "".join(f"tree t{k} = {t}\n" for k, t in enumerate(quoted)) + "end;\n"
    else:
        text = "\n".join(q.replace("'Homo sapiens'", "Homo_sapiens") if k % 2 else q
                         for k, q in enumerate(quoted)) + "\n"
    table = write(tmp_path / "table.t", translated_nexus(TREES, SIMPLE if layout == "newick-simple" else QUOTED))
    given = write(tmp_path / "quoted.trees", text)
    expected = distances(table, metric, burnin=0)
    got = distances(given, metric, burnin=0, exports=True)
    np.testing.assert_array_equal(got.matrix, expected.matrix)
    np.testing.assert_array_equal(got.matrix, engine_matrix(TREES, metric))
    assert got.exports is not None and set(got.exports.leaf_names) == {names.get(t, t) for t in TAXA}
    assert read_sample(given, burnin=0).taxa == read_sample(table, burnin=0).taxa
    # Both files together are one sample: the taxa match across them.
    both = distances([table, given], metric, burnin=0)
    np.testing.assert_array_equal(both.matrix, engine_matrix(TREES + TREES, metric))


@pytest.mark.parametrize(("first", "second", "shown"), [
    ("Homo_sapiens", "'Homo sapiens'", "Homo_sapiens"),   # shown as the first run writes it
    ("'Homo sapiens'", "Homo_sapiens", "Homo sapiens"),
    ("'Homo'", "Homo", "Homo"),
    ('"Homo sapiens"', "'Homo sapiens'", "Homo sapiens"),  # double quotes read as translate tables read them
])
def test_underscore_and_quoted_blank_are_one_taxon_across_runs(tmp_path, first, second, shown):
    paths = [write(tmp_path / f"r{k}.nwk", "\n".join(renamed(t, {"Homo": spelling}) for t in TREES[:5]) + "\n")
             for k, spelling in enumerate((first, second))]
    result = distances(paths, "rf", burnin=0, exports=True)
    np.testing.assert_array_equal(result.matrix, engine_matrix(TREES[:5] * 2))
    assert result.exports is not None and shown in result.exports.leaf_names
    assert shown in read_sample(paths, burnin=0).taxa


def test_quoted_labels_of_a_translate_table(tmp_path):
    # Trees that quote the table's labels ('1') and write some taxa by name, quoted or bare.
    text = translated_nexus(TREES, QUOTED)
    spelled = {"'1'": "'Homo sapiens'", "'5'": "Hylobates_lar"}
    for k in range(0, len(TAXA)):
        text = text.replace(f"({k + 1}:", f"('{k + 1}':")
    for label, name in spelled.items():
        text = text.replace(label, name, 3)
    sample = read_sample(write(tmp_path / "run.t", text), burnin=0)
    assert sample.taxa == tuple(sorted(NAMES.get(t, t) for t in TAXA))
    result = distances(sample, "kf", exports=True)
    np.testing.assert_array_equal(result.matrix, engine_matrix(TREES, "kf"))
    assert result.exports is not None and result.exports.leaf_names == sample.taxa


def test_quoted_names_in_memory_strings():
    quoted = [renamed(t, QUOTED) for t in TREES[:6]]
    result = distances(quoted, "kf", exports=True)
    np.testing.assert_array_equal(result.matrix, engine_matrix(TREES[:6], "kf"))
    assert result.exports is not None and "Pan (troglodytes), 'the chimp'" in result.exports.leaf_names
    assert from_newick(quoted).taxa == tuple(sorted(NAMES.get(t, t) for t in TAXA))


@pytest.mark.parametrize("block", [1, 5, 64])
@pytest.mark.parametrize("kind", ["newick-quoted", "nexus-comments"])
def test_any_block_size_reads_the_same(tmp_path, monkeypatch, block, kind):
    # Comments and quotes that cross block boundaries, with ';' inside them.
    if kind == "newick-quoted":
        text = "\n".join("[a; comment] " + renamed(t, QUOTED) for t in TREES) + "\n"
    else:
        text = translated_nexus(TREES, QUOTED).replace("[&U]", "[&U; a comment; with semicolons]")
    path = write(tmp_path / "run.trees", text)
    expected = distances(path, "kf", burnin=0).matrix
    monkeypatch.setattr(textio, "BLOCK", block)
    np.testing.assert_array_equal(distances(path, "kf", burnin=0).matrix, expected)
    np.testing.assert_array_equal(expected, engine_matrix(TREES, "kf"))


BOM = b"\xef\xbb\xbf"


@pytest.mark.parametrize("compress", [None, gzip.compress, lzma.compress, bz2.compress],
                         ids=["plain", "gzip", "xz", "bzip2"])
@pytest.mark.parametrize("bom", [False, True], ids=["", "bom"])
@pytest.mark.parametrize("form", ["newick", "nexus", "revbayes"])
def test_byte_order_marks_and_compressions_read_as_the_plain_file(tmp_path, form, bom, compress):
    text = {"newick": "\n".join(TREES) + "\n", "nexus": nexus(TREES, numbers=NUMBERS),
            "revbayes": "Iteration\tpsi\n" + "".join(f"{10 * k}\t{t}\n" for k, t in enumerate(TREES))}[form]
    data = (BOM if bom else b"") + text.encode()
    if compress is not None:
        data = compress(data[:300]) + compress(data[300:])  # two streams, read as one
    path = tmp_path / "run.trees"
    path.write_bytes(data)
    sample = read_sample(path, burnin=0)
    np.testing.assert_array_equal(distances(sample, "wrf").matrix, engine_matrix(TREES, "wrf"))
    assert sample.taxa == tuple(sorted(TAXA))
    assert sample.tree_names[1] == {"newick": "2", "nexus": "gen.100", "revbayes": "10"}[form]


@pytest.mark.parametrize("compress", [gzip.compress, lzma.compress, partial(bz2.compress, compresslevel=1)],
                         ids=["gzip", "xz", "bzip2"])
def test_a_compressed_stream_cut_short_keeps_its_complete_trees(tmp_path, compress):
    # bzip2 decodes whole blocks of 100 kB at this level: the file must hold several.
    data = compress(nexus(TREES * 100, numbers=NUMBERS).encode())
    path = tmp_path / "run.t.z"
    path.write_bytes(data[: len(data) * 3 // 4])
    with pytest.warns(TruncatedFileWarning, match=r"^run.t.z: the last tree is cut off and skipped"):
        sample = read_sample(path, burnin=0)
    assert 200 < len(sample) < 2000
    path.write_bytes(data[:100])
    with pytest.raises(BrantoveilError, match=r"^run.t.z: no complete tree found \(the compressed stream ends early"):
        read_sample(path)


@pytest.mark.parametrize(("data", "message"), [
    (b"PK\x03\x04\x14\x00" + b"\x00" * 30, "run.t is a zip archive: unpack it first (tree files are read as "
                                           "plain text or compressed with gzip, xz or bzip2)"),
    (b"\x28\xb5\x2f\xfd" + b"\x01" * 30, "run.t is zstd-compressed: decompress it first (zstd -d) (tree files are "
                                         "read as plain text or compressed with gzip, xz or bzip2)"),
    ("(A,B,C);".encode("utf-16"), "run.t is UTF-16 text: save it as UTF-8 (tree files are read as plain text or "
                                  "compressed with gzip, xz or bzip2)"),
    (b"(A,B,C);\x00\x00\x01\x02", "run.t is not a text file (it holds NUL bytes); tree files are read as plain "
                                  "text or compressed with gzip, xz or bzip2"),
    (gzip.compress(b"PK\x03\x04" + b"\x00" * 30), "run.t is a zip archive: unpack it first (tree files are read "
                                                  "as plain text or compressed with gzip, xz or bzip2)"),
    (b"\xfd7zXZ\x00" + b"\x11" * 40, "run.t is not a valid xz file (Corrupt input data)"),
], ids=["zip", "zstd", "utf16", "binary", "zip-in-gzip", "bad-xz"])
def test_unsupported_formats_are_named(tmp_path, data, message):
    path = tmp_path / "run.t"
    path.write_bytes(data)
    with pytest.raises(BrantoveilError) as caught:
        read_sample(path)
    assert str(caught.value) == message


@pytest.mark.parametrize(("name", "text", "siblings", "message"), [
    ("run1.p", "[ID: 9409050143]\nGen\tLnL\tLnPr\tTL\tr(A<->C)\n0\t-1.817398e+03\t4.2e+01\t0.42\t1.0\n", ["run1.t"],
     "run1.p is a parameter trace (columns Gen, LnL, LnPr, TL, ...), not a tree file: give the trees instead "
     "(this run's are probably in run1.t)"),
    ("beast.log", "# BEAST v2.7.6\n#\nSample\tposterior\tlikelihood\n0\t-1e3\tNaN\n", [],
     "beast.log is a parameter trace (columns Sample, posterior, likelihood), not a tree file: give the trees "
     "instead (MrBayes writes them to .t files, BEAST and RevBayes to .trees files)"),
    ("rb.log", "Iteration\tPosterior\tLikelihood\n0\t-12.5\t-10.25\n", ["rb.trees"],
     "rb.log is a parameter trace (columns Iteration, Posterior, Likelihood), not a tree file: give the trees "
     "instead (this run's are probably in rb.trees)"),
])
def test_a_parameter_trace_is_named_as_one(tmp_path, name, text, siblings, message):
    path = write(tmp_path / name, text)
    for sibling in siblings:
        write(tmp_path / sibling, nexus(TREES))
    with pytest.raises(BrantoveilError) as caught:
        read_sample(path)
    assert str(caught.value) == message


@pytest.mark.parametrize(("given", "message"), [
    (["run.t", "run.t"], "{0}/run.t is given twice"),
    (["run.t", "./run.t"], "{0}/run.t and {0}/./run.t are the same file, given twice"),
    (["run.t", "link.t"], "{0}/run.t and {0}/link.t are the same file, given twice"),
])
def test_the_same_file_given_twice_is_refused(tmp_path, given, message):
    write(tmp_path / "run.t", nexus(TREES, numbers=NUMBERS))
    os.link(tmp_path / "run.t", tmp_path / "link.t")
    with pytest.raises(BrantoveilError) as caught:
        read_sample([f"{tmp_path}/{name}" for name in given])
    assert str(caught.value) == message.format(tmp_path)


def test_standard_input_given_twice_is_refused():
    with pytest.raises(BrantoveilError, match=r"^standard input \(-\) is given twice$"):
        read_sample(["-", "-"])


@pytest.mark.parametrize(("trees", "state", "lacking", "first"), [
    (TREES[:4], "all", 0, ""),
    (["(A,B,(C,D));", "(A:1,B,(C,D));", "(A,B,(C,D)[x:1]);"], "some", 2, "boot.nwk:1"),
    (["((A,B)[&x=1:2],C,D);", "(A,B,(C,D));"], "none", 2, "boot.nwk:1"),
    (["(A,B,(C,D));", "[c:1](A,B:0.5,(C,D));", "(A:1,B,(C,D));", "(A,C,(B,D));"], "some", 2, "boot.nwk:1"),
])
def test_lengths_status_says_which_trees_lack_lengths(tmp_path, trees, state, lacking, first):
    sample = read_sample(write(tmp_path / "boot.nwk", "\n".join(trees)), burnin=0)
    status = sample.lengths_status()
    assert (status.state, status.lacking, status.first_lacking, status.trees) == (state, lacking, first, len(trees))
    # Subsets keep the flags of the trees they keep; in-memory trees have them too.
    assert from_newick(trees).lengths_status().state == state
    assert sample.subset([0]).lengths_status().state == ("all" if state == "all" else "none")


def test_a_pipe_given_as_a_path_is_read_as_standard_input():
    # As the shell's <(cat run.t) gives it: a path to the read end of a pipe, readable once.
    read_end, write_end = os.pipe()
    text = nexus(TREES, numbers=NUMBERS).encode()

    def feed():
        with os.fdopen(write_end, "wb") as out:
            out.write(text)

    writer = threading.Thread(target=feed)
    writer.start()
    try:
        result = distances(f"/dev/fd/{read_end}", "rf", burnin=0)
    finally:
        writer.join()
        os.close(read_end)
    np.testing.assert_array_equal(result.matrix, engine_matrix(TREES))
    assert result.names[0] == f"/dev/fd/{read_end}:gen.0"  # the path as given, not a bare number


@pytest.mark.parametrize(("ending", "kept"), [
    ("", 20),                           # the last line lacks only its newline
    ("\n", 20),
    ("\n200\t(Homo:1,(Pan", 20),        # a last line cut off inside its tree
    ("\n200", 20),
])
def test_revbayes_last_line_without_newline(tmp_path, ending, kept):
    text = "Iteration\tpsi\n" + "\n".join(f"{10 * k}\t{t}" for k, t in enumerate(TREES)) + ending
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", TruncatedFileWarning)
        sample = read_sample(write(tmp_path / "rb.trees", text), burnin=0)
    assert len(sample) == kept and sample.tree_names[-1] == "190"
    np.testing.assert_array_equal(distances(sample).matrix, engine_matrix(TREES))


@pytest.mark.parametrize(("files", "message"), [
    ({"a.nwk": "(A,B,(C,D));", "b.nwk": "(A,B,(C,D\x1b));"},
     "a.nwk and b.nwk have different taxa: b.nwk lacks D; b.nwk has D\\x1b that a.nwk lacks"),
    ({"a.t": "#NEXUS\nbegin trees;\ntranslate 1 A\x07 x, 2 B;\ntree t = (1,2);\nend;\n"},
     "a.t: malformed translate entry '1 A\\x07 x' (expected: label name)"),
])
def test_control_bytes_from_files_are_escaped_in_messages(tmp_path, files, message):
    paths = [write(tmp_path / name, text) for name, text in files.items()]
    with pytest.raises(BrantoveilError) as caught:
        read_sample(paths, burnin=0)
    assert str(caught.value) == message


def test_control_bytes_in_tree_names_and_options_are_escaped(tmp_path):
    text = nexus(TREES[:3], names=["gen.0", "gen\x1b.100", "gen.200"], numbers=NUMBERS)
    assert read_sample(write(tmp_path / "run.t", text), burnin=0).tree_names[1] == "gen\\x1b.100"
    with pytest.raises(BrantoveilError, match=r"^invalid burn-in 'x\\x1by': give a fraction"):
        read_sample(write(tmp_path / "run.t", text), burnin="x\x1by")


def test_control_bytes_are_escaped_in_the_cut_off_warning(tmp_path):
    path = write(tmp_path / "boot.nwk", "\n".join(TREES[:3]) + "\n(A\x1b[2J,B")
    with pytest.warns(TruncatedFileWarning) as caught:
        read_sample(path, burnin=0)
    assert "\x1b" not in str(caught[0].message) and "(A\\x1b" in str(caught[0].message)
