"""Summary trees on small posteriors worked out by hand, the Newick reader, the files written, and the
command's one-line errors."""

from __future__ import annotations

import math
import re
from pathlib import Path

import numpy as np
import numpy.typing as npt
import pytest
from brantoveil_tools import BrantoveilError, from_newick, read_sample
from brantoveil_tools.cli import main
from brantoveil_tools.summarize import SummarizeSettings, summarize, write_tree
from brantoveil_tools.summarize import clades as clades_module
from brantoveil_tools.summarize.clades import (
    Reader,
    collect,
    collect_rooted,
    collect_unrooted,
    engine_table,
    python_table,
    taxon_order,
)
from brantoveil_tools.summarize.newick import parse, parse_checked

# Six taxa, root always (ABC)(DEF); AB beats BC and AC, DE beats EF, but no tree holds both AB and DE.
HAND = ["((A:1,B:1):1,C:2,((D:1,E:1):1,F:2):0);"] and [
    *["(((A:1,B:1):1,C:2):1,(D:2,(E:1,F:1):1):1);"] * 3,
    *["((A:2,(B:1,C:1):1):1,((D:1,E:1):1,F:2):1);"] * 2,
    *["(((A:1,C:1):1,B:2):1,((D:1,E:1):1,F:2):1);"] * 2,
]


def clades(result: object) -> dict[frozenset[str], float]:
    """Every inner clade of the summary tree with its posterior."""
    taxa = result.taxa  # type: ignore[attr-defined]
    found = {}
    for node in result.tree.nodes:  # type: ignore[attr-defined]
        if node.children:
            found[frozenset(taxa[k] for k in range(len(taxa)) if node.key >> k & 1)] = node.notes.get("posterior")
    return found


def c(text: str) -> frozenset[str]:
    return frozenset(text)


@pytest.mark.parametrize(("method", "expected", "score"), [
    # HIPSTR resolves ABC and DEF each on its own: AB (3/7) and DE (4/7), a tree never sampled.
    ("hipstr", {c("ABCDEF"): 1.0, c("ABC"): 1.0, c("DEF"): 1.0, c("AB"): 3 / 7, c("DE"): 4 / 7},
     math.log(3 / 7) + math.log(4 / 7)),
    # MCC must pick a sampled tree: AB+EF scores (3/7)^2 = 9/49 against 8/49 for the others.
    ("mcc", {c("ABCDEF"): 1.0, c("ABC"): 1.0, c("DEF"): 1.0, c("AB"): 3 / 7, c("EF"): 3 / 7},
     2 * math.log(3 / 7)),
    # Only DE is in more than half of the trees.
    ("majority", {c("ABCDEF"): 1.0, c("ABC"): 1.0, c("DEF"): 1.0, c("DE"): 4 / 7}, math.nan),
    # Then AB (3/7) is compatible; EF (3/7) is not, BC and AC conflict with AB.
    ("allcompat", {c("ABCDEF"): 1.0, c("ABC"): 1.0, c("DEF"): 1.0, c("DE"): 4 / 7, c("AB"): 3 / 7}, math.nan),
])
def test_rooted_methods_by_hand(method: str, expected: dict[frozenset[str], float], score: float) -> None:
    result = summarize(from_newick(HAND), method=method, rooted=True)
    assert clades(result) == pytest.approx(expected)
    assert result.score == pytest.approx(score, nan_ok=True)
    assert result.n_trees == 7
    if method == "mcc":  # one settings value, or keywords changing it, give the same summary
        assert summarize(from_newick(HAND), SummarizeSettings(method="majority"), method=method,
                         rooted=True).newick == result.newick


@pytest.mark.parametrize(("trees", "expected"), [
    # a clade only ever seen as a polytomy stays one
    (["((A,B,C),D);"] * 2, {c("ABCD"): 1.0, c("ABC"): 1.0}),
    # (A,(B,(C,D))) and (((A,B),C),D) both score log(1/2) twice: the first seen wins
    (["(A,(B,(C,D)));", "(((A,B),C),D);"], {c("ABCD"): 1.0, c("BCD"): 0.5, c("CD"): 0.5}),
])
def test_hipstr_polytomies_and_ties(trees: list[str], expected: dict[frozenset[str], float]) -> None:
    assert clades(summarize(from_newick(trees), method="hipstr", rooted=True)) == expected


def test_mcc_heights_are_clade_means_and_lengths_follow() -> None:
    result = summarize(from_newick(HAND), method="mcc", rooted=True, heights="mean")
    nodes = {frozenset(result.taxa[k] for k in range(6) if n.key >> k & 1): n for n in result.tree.nodes}
    # Heights of ABC: 3 in every tree; AB: 1 in its 3 trees; root: 4 in every tree.
    assert nodes[c("ABC")].height == pytest.approx(2.0)
    assert nodes[c("AB")].height == pytest.approx(1.0)
    assert nodes[c("AB")].length == pytest.approx(1.0)
    # a height the same in every tree is written once, as TreeAnnotator writes it
    assert "height_95%_HPD" not in nodes[c("ABCDEF")].notes and nodes[c("ABCDEF")].notes["height"] == 3.0
    assert result.chosen == "trees:1"


def test_mcc_keeps_its_own_heights_by_default_as_treeannotator() -> None:
    trees = from_newick(["((A:1,B:1):1,C:2);", "((A:2,B:2):1,C:3);"])  # one topology, AB at heights 1 and 2
    default = summarize(trees, method="mcc", rooted=True).newick
    assert default == summarize(trees, method="mcc", rooted=True, heights="keep").newick
    assert default != summarize(trees, method="mcc", rooted=True, heights="mean").newick


def test_two_runs_give_sdsf_and_mean_lengths(tmp_path: Path) -> None:
    run1 = ["((A:1,B:1):0.1,C:1,(D:1,E:1):1);"] * 2 + ["((A:1,C:1):0.5,B:1,(D:1,E:1):1);"] * 2
    run2 = ["((A:1,B:1):0.3,C:1,(D:1,E:1):1);"] * 4
    paths = []
    for k, trees in enumerate((run1, run2), 1):
        path = tmp_path / f"run{k}.nwk"
        path.write_text("\n".join(trees) + "\n")
        paths.append(path)
    result = summarize(paths, burnin=0, lengths="mean")
    nodes = {frozenset(result.taxa[k] for k in range(5) if n.key >> k & 1): n for n in result.tree.nodes}
    ab = nodes[c("CDE")]  # splits are named by the side without the first taxon
    assert ab.notes["posterior"] == 0.75
    assert ab.notes["sdsf"] == pytest.approx(math.sqrt(0.125))  # run frequencies 0.5 and 1.0
    assert ab.notes["posterior_range"] == (0.5, 1.0)
    assert ab.length == pytest.approx((2 * 0.1 + 4 * 0.3) / 6)
    # DE is the same split as ABC; the summary is drawn rooted at the first taxon.
    assert c("DE") in nodes and nodes[c("DE")].notes["posterior"] == 1.0
    assert result.newick.startswith("(A")
    table = result.clades
    assert table.taxa[0] == ("D", "E") and table.counts.tolist() == [8, 6, 2]
    assert table.in_tree.tolist() == [True, True, False]


EXAMPLES = Path(__file__).resolve().parents[2] / "examples"


@pytest.mark.parametrize(("files", "rooted"), [
    (["primates.run1.t", "primates.run2.t"], False),
    (["beast2_summary/relaxed.time.trees"], True),
])
def test_engine_and_python_tables_agree(files: list[str], rooted: bool) -> None:
    sample = read_sample([EXAMPLES / name for name in files], burnin=0.1)
    reader = Reader(taxon_order(sample), rooted)
    tables = [engine_table(sample, reader, False, resolutions=True)[0], python_table(sample, reader, rooted)]
    counts = [{key: list(t.run_counts[t.id_of[key]]) for key in t.keys} for t in tables]
    assert counts[0] == counts[1]
    shapes = [sorted((tuple(sorted(t.keys[c] for c in clades)), t.topology_counts[k], t.topology_first[k])
                     for k, clades in enumerate(t.topology_clades)) for t in tables]
    assert shapes[0] == shapes[1]
    assert tables[0].run_trees == tables[1].run_trees
    pairs = [{(t.keys[c], frozenset((t.keys[a], t.keys[b]))): n for c, seen in t.resolutions.items()
              for (a, b), n in seen.items()} for t in tables]
    assert pairs[0] == pairs[1] and (len(pairs[0]) > 0) == rooted


BEAST_PLAIN = [re.sub(r"\[&rate=[^\]]*\]", "", text) for text in from_newick(
    [line.split(" = ", 1)[1] for line in (EXAMPLES / "beast2_summary/relaxed.time.trees").read_text().splitlines()
     if line.startswith("tree STATE_")][:300]).newick()]


@pytest.mark.parametrize(("trees", "rooted"), [
    (None, False),  # the example runs
    (["((A:1,B:2):0.5,(C:3,D:4):0.25);", "(A:1,B:2,(C:3,D:4):0.75);"], False),  # a two-child root is one edge
    (["((A,B),(C,D));", "(A:1,B:2,(C:3,D:4):0.75);"], False),  # a tree without lengths
    (HAND, True),
    (BEAST_PLAIN, True),  # the BEAST example without its rates
    (["((A,B),(C,D));", "((A:1,B:2):1,(C:3,D:4):0.75);"], True),
])
def test_engine_values_equal_the_python_reader(monkeypatch: pytest.MonkeyPatch, trees: list[str] | None,
                                               rooted: bool) -> None:
    monkeypatch.setattr(clades_module, "BLOCK", 5)  # values filed in several blocks
    sample = (read_sample([EXAMPLES / "primates.run1.t", EXAMPLES / "primates.run2.t"]) if trees is None
              else from_newick(trees))
    reader = Reader(taxon_order(sample), rooted)
    table, presence = engine_table(sample, reader, False)
    wanted = [key for key in table.keys if rooted or key != reader.full]
    quick = (collect_rooted if rooted else collect_unrooted)(sample, reader, wanted, table, presence)
    slow = collect(sample, reader, wanted)
    assert quick is not None and quick.all_lengths == slow.all_lengths
    if slow.all_lengths:
        for field in ("lengths", "heights") if rooted else ("lengths",):
            ours, theirs = getattr(quick, field), getattr(slow, field)
            assert ours.keys() == theirs.keys()
            for key in ours:
                np.testing.assert_allclose(sorted(ours[key]), sorted(theirs[key]), rtol=0, atol=1e-12)


def test_credible_set_by_hand() -> None:
    result = summarize(from_newick(HAND), rooted=True, credible=0.5)
    assert [(row.count, row.rank) for row in result.credible] == [(3, 1), (2, 2)]
    assert result.credible[-1].cumulative == pytest.approx(5 / 7)


@pytest.mark.parametrize(("text", "labels", "lengths", "notes"), [
    # BEAST: annotations between label and length, root length 0
    ("((a[&rate=1.5]:1,b:2)[&rate=2,r={1,2}]:3,c:4)[&rate=1]:0;", ["a", "b", "c"], [0.0, 3.0, 1.0, 2.0, 4.0],
     {0: {"rate": "1"}, 2: {"rate": "1.5"}, 1: {"rate": "2", "r": "{1,2}"}}),
    # MrBayes: [&U] first, annotation after the length, quoted label with a doubled quote
    ("[&U] ('it''s':1e-2[&x=1],b,c:.5);", ["it's", "b", "c"], [math.nan, 0.01, math.nan, 0.5], {1: {"x": "1"}}),
    # no lengths, no trailing semicolon, internal support label
    ("((a,b)0.95,c)", ["a", "b", "c"], [math.nan] * 5, {}),
])
def test_newick_reader(text: str, labels: list[str], lengths: list[float], notes: dict[int, dict[str, str]]) -> None:
    tree = parse(text)
    assert [tree.labels[k] for k in tree.leaves()] == labels
    assert tree.lengths == pytest.approx(lengths, nan_ok=True)
    assert {k: v for k, v in enumerate(tree.notes) if v} == notes


@pytest.mark.parametrize("text", [
    " [&U] (2:3.4e-01,(12:2.5e-01,(5:1.2e-01,4:1.4e-02):2.7e-02):7.2e-02,1:0.5);",
    "[&R] ((A:1,B:1)x:1, C :2):0;",  # spaces, an inner label, a root length
    "((A,B),(C,D));",
    "((A[&rate=1]:1,B:1):1,C:2);",  # comments take the checked reader
])
def test_shortcut_reader_equals_the_checked_one(text: str) -> None:
    assert parse_checked(text) == parse(text)


@pytest.mark.parametrize(("text", "message"), [
    ("((a,b),c", "malformed Newick: unbalanced '('"),
    ("(a,b));", "malformed Newick: unbalanced ')'"),
    ("(a,,b);", "malformed Newick: an empty leaf"),
    ("(a,b)c,d;", "malformed Newick: ',' outside parentheses"),
    ("(a:x,b);", "malformed Newick: branch length 'x'"),
    ("", "malformed Newick: no tree"),
])
def test_newick_reader_errors(text: str, message: str) -> None:
    with pytest.raises(BrantoveilError) as caught:
        parse(text)
    assert str(caught.value) == message


@pytest.mark.parametrize("suffix", [".tre", ".nwk"])
def test_files_read_back_with_biopython(tmp_path: Path, suffix: str) -> None:
    phylo = pytest.importorskip("Bio.Phylo")
    result = summarize(from_newick(HAND), method="hipstr", rooted=True)
    target = tmp_path / f"out{suffix}"
    write_tree(result, target)
    tree = phylo.read(str(target), "nexus" if suffix == ".tre" else "newick")
    assert sorted(leaf.name for leaf in tree.get_terminals()) == list("ABCDEF")
    ab = tree.common_ancestor("A", "B")
    if suffix == ".tre":
        assert "posterior=0.42857142857142855" in ab.comment
        assert "height=1.0" in ab.comment
    else:
        assert ab.confidence == pytest.approx(0.428571)
    assert ab.branch_length == pytest.approx(1.0)  # heights 2 (ABC) and 1 (AB)


def write_runs(folder: Path, runs: list[list[str]]) -> list[str]:
    paths = []
    for k, trees in enumerate(runs, 1):
        path = folder / f"r{k}.nwk"
        path.write_text("\n".join(trees) + "\n")
        paths.append(str(path))
    return paths


@pytest.mark.parametrize(("runs", "options", "message"), [
    ([["((A,B),C);"], ["((A,B),D);"]], [],
     "r1.nwk and r2.nwk have different taxa: r2.nwk lacks C; r2.nwk has D that r1.nwk lacks"),
    ([["((A,B),C);"]], ["--burnin", "5"], "r1.nwk: burn-in 5 drops all 1 trees of this run"),
    ([["((A,B),C);"]], ["--method", "nj"], "unknown method 'nj': expected one of majority, allcompat, mcc, hipstr"),
    ([["((A,B),C);"]], ["--rooted", "--heights", "mean"], "--heights needs branch lengths, and some trees have none"),
    ([["((A:1,B:1):1,C:2);"]], ["--unrooted", "--heights", "mean"],
     "--heights needs rooted trees (trees compared unrooted: --unrooted given)"),
    ([["(A:1,B:1,C:2);"]], ["--heights", "mean"], "--heights needs rooted trees (trees compared unrooted: "
     "no [&R] or [&U], and the root of r1.nwk:1 has more than two children)"),
    ([["((A:1,B:1):1,C:2);"]], ["--rooted", "--heights", "keep"],
     "--heights keep needs a sampled tree: use it with --method mcc or --target"),
    ([["((A:1,B:1):1,C:2);"]], ["--unrooted", "--method", "hipstr"],
     "hipstr needs rooted trees (trees compared unrooted: --unrooted given)"),
    # a three-way root (MrBayes) or a star tree among rooted ones: no root to build from
    ([["(A:1,B:1,C:1);"]], ["--rooted", "--method", "hipstr"],
     "hipstr needs rooted trees, and tree r1.nwk:1 is not: its root has 3 children"),
    ([["((A:1,B:1):1,(C:1,D:1):1);", "(A:1,B:1,C:1,D:1);"]], ["--burnin", "0", "--rooted", "--method", "hipstr"],
     "hipstr needs rooted trees, and tree r1.nwk:2 is not: its root has 4 children"),
    ([["(A:1,B:1,C:1);"]], ["--rooted", "--heights", "ca"],
     "--heights ca needs rooted trees, and tree r1.nwk:1 is not: its root has 3 children"),
    ([["((A:1,B:1):1,C:2);"]], ["--plot", "tree.txt"],
     "cannot tell the picture format of tree.txt: use one of .png, .svg, .pdf"),
    ([["((A,B),C);", "((A,B),X);"]], ["--burnin", "0"],
     "r1.nwk, tree 2: its taxa differ from the first tree's (missing: C; extra: X)"),
    ([["((A,B),(A,C));"]], ["--burnin", "0"], "r1.nwk, tree 1: taxon 'A' appears twice"),
])
def test_errors_are_one_line_and_write_nothing(tmp_path: Path, capsys: pytest.CaptureFixture[str],
                                               runs: list[list[str]], options: list[str], message: str) -> None:
    paths = write_runs(tmp_path, runs)
    target = tmp_path / "out.tre"
    assert main(["summarize", *paths, *options, "-o", str(target), "--credible-set", "0.9",
                 str(tmp_path / "c.tsv")]) == 2
    assert capsys.readouterr().err == f"brantoveil: error: {message}\n"
    assert sorted(p.name for p in tmp_path.iterdir()) == [Path(p).name for p in paths]


def test_command_writes_tree_and_credible_set(tmp_path: Path, capsys: pytest.CaptureFixture[str]) -> None:
    paths = write_runs(tmp_path, [HAND])
    assert main(["summarize", *paths, "--rooted", "--burnin", "0", "--method", "mcc", "-o",
                 str(tmp_path / "mcc.nex"), "--credible-set", "1", str(tmp_path / "set.tsv")]) == 0
    lines = (tmp_path / "set.tsv").read_text().splitlines()
    assert lines[0] == "rank\ttrees\tprobability\tcumulative\ttopology"
    assert lines[1] == "1\t3\t0.42857142857142855\t0.42857142857142855\t(((A,B),C),(D,(E,F)));"
    assert len(lines) == 4
    assert "tree MCC = [&R] (((1" in (tmp_path / "mcc.nex").read_text()
    assert "maximum clade credibility tree (r1.nwk:1," in capsys.readouterr().err


def test_unknown_suffix_fails_before_reading(tmp_path: Path, capsys: pytest.CaptureFixture[str]) -> None:
    target = tmp_path / "out.txt"
    assert main(["summarize", str(tmp_path / "missing.t"), "-o", str(target)]) == 2
    assert capsys.readouterr().err == (f"brantoveil: error: cannot tell the format of {target}: use one of "
                                       ".tre, .tree, .trees, .nex, .nexus, .nwk, .newick or --format\n")


def _random_tree(rng: np.random.Generator, taxa: str | list[str]) -> str:
    """A random rooted binary topology: join two random subtrees until one is left."""
    parts = list(taxa)
    while len(parts) > 1:
        a, b = sorted(rng.choice(len(parts), size=2, replace=False).tolist(), reverse=True)
        joined = f"({parts[a]},{parts[b]})"
        del parts[a], parts[b]
        parts.append(joined)
    return parts[0] + ";"


def _all_rooted_trees(n: int) -> npt.NDArray[np.int64]:
    """Every rooted binary tree on taxa 0..n-1 as the keys of its n - 2 clades below the root."""
    def shapes(key: int) -> list[list[int]]:
        if key.bit_count() == 1:
            return [[]]
        first = key & -key
        found = []
        rest = key ^ first
        sub = rest
        while True:  # every side holding the first taxon, short of the whole
            side = first | sub
            if side != key:
                for left in shapes(side):
                    for right in shapes(key ^ side):
                        found.append([k for k in (side, key ^ side) if k.bit_count() > 1] + left + right)
            if sub == 0:
                break
            sub = (sub - 1) & rest
        return found
    return np.asarray(shapes((1 << n) - 1), dtype=np.int64)


def test_hipstr_is_the_best_rooted_tree_by_brute_force() -> None:
    """HIPSTR's product of clade posteriors is the largest over every rooted binary tree, on 240 seeded
    posteriors of 5 to 7 taxa and on a case where the MCC tree is far from it."""
    rng = np.random.default_rng(20261208)
    every = {n: _all_rooted_trees(n) for n in (5, 6, 7)}
    assert [len(every[n]) for n in (5, 6, 7)] == [105, 945, 10395]
    cases = [(6, [*["(((A,B),E),((C,D),F));"] * 30, *["((((A,B),C),D),(E,F));"] * 25,
                  *["((A,(B,(C,D))),(E,F));"] * 25])]
    for _ in range(240):
        n = int(rng.integers(5, 8))
        shapes = [_random_tree(rng, "ABCDEFG"[:n]) for _ in range(int(rng.integers(2, 7)))]
        cases.append((n, [shape for shape in shapes for _ in range(int(rng.integers(1, 9)))]))
    for n, trees in cases:
        result = summarize(from_newick(trees), method="hipstr", rooted=True)
        log_freq = np.full(1 << n, -np.inf)
        for clade, count in zip(result.clades.taxa, result.clades.counts.tolist(), strict=True):
            log_freq[sum(1 << "ABCDEFG".index(name) for name in clade)] = math.log(count / len(trees))
        scores = log_freq[every[n]].sum(axis=1)
        best = float(scores.max())
        assert result.score == pytest.approx(best, abs=1e-9), trees
        ours = sorted(sum(1 << "ABCDEFG".index(result.taxa[k]) for k in range(n) if node.key >> k & 1)
                      for node in result.tree.nodes if 1 < node.key.bit_count() < n)
        assert ours in [sorted(t) for t in every[n][scores >= best - 1e-9].tolist()], trees
    first = summarize(from_newick(cases[0][1]), method="hipstr", rooted=True)
    assert math.exp(first.score) == pytest.approx(0.1846, abs=5e-5)
    assert set(clades(first)) == {c("ABCDEF"), c("ABCD"), c("AB"), c("CD"), c("EF")}


@pytest.mark.parametrize(("trees", "options", "warning", "absent"), [
    # a NaN length is left out of B's statistics, and said
    (["((A:1,B:nan):1,C:1,D:1);", "((A:1,B:3):1,C:1,D:1);"], ["--burnin", "0"],
     "r1.nwk, tree 1: branch length nan is not finite: left out of the summary's means, medians and intervals",
     "nan"),
    # an annotation that overflows to infinity is left out of the rate's statistics, and said
    (["((A[&rate=1e400]:1,B[&rate=1]:1):1,C[&rate=2]:2);", "((A[&rate=3]:1,B[&rate=1]:1):1,C[&rate=2]:2);"],
     ["--burnin", "0", "--rooted"],
     "r1.nwk, tree 1: annotation rate=1e400 is not finite: left out of the summary's means, medians and intervals",
     "inf"),
    # a mean that overflows is written, and said
    (["((A:1,B:1e308):1,C:1,D:1);", "((A:1,B:1e308):1,C:1,D:1);"], ["--burnin", "0", "--lengths", "mean"],
     "the summary's length of the clade (B) is inf: written as it is", None),
])
def test_values_that_are_not_finite_are_told(tmp_path: Path, capsys: pytest.CaptureFixture[str], trees: list[str],
                                             options: list[str], warning: str, absent: str | None) -> None:
    paths = write_runs(tmp_path, [trees])
    target = tmp_path / "out.tre"
    assert main(["summarize", *paths, *options, "-q", "-o", str(target)]) == 0
    assert capsys.readouterr().err == f"brantoveil: warning: {warning}\n"
    if absent is not None:
        assert absent not in target.read_text().lower()


def test_target_plot_and_common_ancestor_heights_from_the_command(tmp_path: Path,
                                                                  capsys: pytest.CaptureFixture[str]) -> None:
    image = pytest.importorskip("PIL.Image")
    beast = EXAMPLES / "beast2_summary" / "relaxed.time.trees"
    target = tmp_path / "target.nwk"
    target.write_text("(((human:1,siamang:1):1,(chimp:1,bonobo:1):1):1,(orangutan:2,gorilla:2):1);\n")
    pictures = []
    for k, options in enumerate([["--target", str(target), "--heights", "ca"], ["--method", "hipstr"]]):
        picture = tmp_path / f"tree{k}.png"
        assert main(["summarize", str(beast), "--rooted", "-q", *options, "-o", str(tmp_path / f"t{k}.tre"),
                     "--plot", str(picture)]) == 0
        with image.open(picture) as drawn:
            pictures.append(drawn.size)
    text = (tmp_path / "t0.tre").read_text()
    assert "posterior=0.0" in text  # (human, siamang) is in no sampled tree
    assert pictures[0] == pictures[1] and pictures[0][1] >= 400
    target.write_text("(((human:1,gibbon:1):1,(chimp:1,bonobo:1):1):1,(orangutan:2,gorilla:2):1);\n")
    assert main(["summarize", str(beast), "--rooted", "--target", str(target)]) == 2
    message = f"target {target}: taxon 'gibbon' is not in the sampled trees"
    assert capsys.readouterr().err == f"brantoveil: error: {message}\n"


@pytest.mark.parametrize("n_taxa", [12, 500])
def test_picture_grows_with_the_taxa(tmp_path: Path, n_taxa: int) -> None:
    image = pytest.importorskip("PIL.Image")
    from brantoveil_tools.summarize.plot import write_plot

    rng = np.random.default_rng(n_taxa)
    names = [f"t{k}" for k in range(n_taxa)]
    trees = [_random_tree(rng, names) for _ in range(3)]
    result = summarize(from_newick(trees), method="mcc", rooted=True)
    write_plot(result, tmp_path / "tree.png")
    with image.open(tmp_path / "tree.png") as drawn:
        width, height = drawn.size
    assert width == 1100 and height >= 0.16 * 110 * n_taxa  # one row of at least 0.16 inch per taxon
