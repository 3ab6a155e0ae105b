"""Summary trees against the tools users compare them with: MrBayes's sumt (majority rule, all
compatible, credible set) on the example runs, and TreeAnnotator (MCC) on a real BEAST 2 posterior."""

from __future__ import annotations

import math
import re
import shutil
import subprocess
from pathlib import Path

import numpy as np
import pytest
from brantoveil_tools.summarize import summarize
from brantoveil_tools.summarize.newick import parse, parse_annotations
from test_tools_converge_mrbayes import renumber

EXAMPLES = Path(__file__).resolve().parents[2] / "examples"
BEAST_TREES = EXAMPLES / "beast2_summary" / "relaxed.time.trees"
MB = shutil.which("mb")
TREEANNOTATOR = shutil.which("treeannotator")


def nexus_tree(path: Path) -> tuple[dict[str, str], str]:
    """The translate table and the first tree's Newick text of a NEXUS tree file."""
    text = path.read_text()
    block = re.search(r"translate\s+(.*?);", text, flags=re.DOTALL | re.IGNORECASE)
    assert block is not None
    table = dict(re.findall(r"(\d+)\s+([^,\s]+)", block.group(1)))
    tree = re.search(r"^\s*tree\s+\S+\s*=\s*(.*)$", text, flags=re.MULTILINE | re.IGNORECASE)
    assert tree is not None
    return table, tree.group(1)


def clade_notes(path: Path, taxa: tuple[str, ...], rooted: bool) -> dict[frozenset[str], dict[str, str]]:
    """Every node's annotations by its clade (unrooted: the side of the split without taxa[0])."""
    table, text = nexus_tree(path)
    tree = parse(text)
    below: list[set[str]] = [set() for _ in tree.parent]
    for node in range(len(tree.parent) - 1, -1, -1):
        if not tree.children[node]:
            label = tree.labels[node]
            assert label is not None
            below[node].add(table.get(label, label))
        if tree.parent[node] >= 0:
            below[tree.parent[node]] |= below[node]
    every = frozenset(taxa)
    found = {}
    for node, names in enumerate(below):
        clade = frozenset(names)
        if not rooted and taxa[0] in clade:
            clade = every - clade
        if not rooted and node == 0:
            continue
        found[clade] = {**(tree.notes[node] or {}), "_length": repr(tree.lengths[node])}
    return found


def our_notes(result: object, rooted: bool) -> dict[frozenset[str], dict[str, object]]:
    tree = result.tree  # type: ignore[attr-defined]
    taxa = result.taxa  # type: ignore[attr-defined]
    found = {}
    for at, node in enumerate(tree.nodes):
        if not rooted and at == 0:
            continue
        clade = frozenset(taxa[k] for k in range(len(taxa)) if node.key >> k & 1)
        found[clade] = {**node.notes, "_length": node.length, "_height": node.height}
    return found


def run_sumt(folder: Path, contype: str) -> Path:
    for name in ("primates.nex", "primates.run1.t", "primates.run2.t"):
        shutil.copy(EXAMPLES / name, folder)
    (folder / "sumt.nex").write_text(
        "#NEXUS\nbegin mrbayes;\n  set autoclose=yes nowarn=yes;\n  execute primates.nex;\n"
        f"  sumt filename=primates nruns=2 relburnin=yes burninfrac=0.25 contype={contype};\nend;\n")
    done = subprocess.run([str(MB), "sumt.nex"], cwd=folder, capture_output=True, text=True, timeout=120)
    assert (folder / "primates.con.tre").exists(), done.stdout[-2000:]
    return folder


@pytest.mark.skipif(MB is None, reason="MrBayes (mb) is not installed")
@pytest.mark.parametrize("renumbered", [False, True], ids=["as-written", "renumbered"])
@pytest.mark.parametrize("method", ["majority", "allcompat"])
def test_consensus_equals_sumt(tmp_path: Path, method: str, renumbered: bool) -> None:
    folder = run_sumt(tmp_path, "allcompat" if method == "allcompat" else "halfcompat")
    runs = [EXAMPLES / "primates.run1.t", EXAMPLES / "primates.run2.t"]
    if renumbered:  # each run its own taxon numbering: the summary must not change
        (tmp_path / "ours").mkdir()
        for k, run in enumerate(list(runs)):
            runs[k] = tmp_path / "ours" / run.name
            renumber(run, runs[k], seed=k + 1)
    result = summarize(runs, method=method)
    theirs = clade_notes(folder / "primates.con.tre", result.taxa, rooted=False)
    ours = our_notes(result, rooted=False)
    assert set(theirs) == set(ours)
    for clade, notes in theirs.items():
        mine = ours[clade]
        if len(clade) > 1 and len(clade) < len(result.taxa) - 1:
            assert f"{mine['posterior']:.8e}" == notes["prob"], sorted(clade)
            assert f"{mine['sdsf']:.8e}" == notes["prob_stddev"], sorted(clade)
        assert f"{mine['length']:.8e}" == notes["length_mean"], sorted(clade)
        # the tree's own lengths are sumt's medians (of an even count the upper middle value)
        assert f"{mine['length_median']:.8e}" == notes["length_median"], sorted(clade)
        assert f"{mine['_length']:.6e}" == f"{float(notes['_length']):.6e}", sorted(clade)


@pytest.mark.skipif(MB is None, reason="MrBayes (mb) is not installed")
def test_credible_set_equals_trprobs(tmp_path: Path) -> None:
    folder = run_sumt(tmp_path, "halfcompat")
    result = summarize([folder / "primates.run1.t", folder / "primates.run2.t"], credible=1.0)
    printed = re.findall(r"tree tree_\d+ \[p = ([0-9.]+), P = ([0-9.]+)\]", (folder / "primates.trprobs").read_text())
    assert [f"{row.probability:.3f}" for row in result.credible] == [p for p, _ in printed]
    assert [f"{row.cumulative:.3f}" for row in result.credible] == [c for _, c in printed]
    log = (folder / "primates.trprobs").parent
    del log
    at95 = summarize([folder / "primates.run1.t", folder / "primates.run2.t"], credible=0.95).credible
    assert len(at95) == 39  # sumt: "95 % credible set contains 39 trees"


@pytest.mark.skipif(TREEANNOTATOR is None, reason="TreeAnnotator (beast-mcmc) is not installed")
@pytest.mark.parametrize("heights", ["mean", "median", "keep"])
def test_mcc_equals_treeannotator(tmp_path: Path, heights: str) -> None:
    target = tmp_path / "mcc.tre"
    done = subprocess.run([str(TREEANNOTATOR), "-burninTrees", "250", "-heights", heights, str(BEAST_TREES),
                           str(target)], capture_output=True, text=True, timeout=120)
    assert target.exists(), done.stdout[-2000:] + done.stderr[-2000:]
    best = re.search(r"Best tree: (\S+)", done.stdout + done.stderr)
    score = re.search(r"Highest Log Clade Credibility: (\S+)", done.stdout + done.stderr)
    assert best and score
    result = summarize([BEAST_TREES], method="mcc", burnin=250, rooted=True, heights=heights)
    assert result.chosen.endswith(":" + best.group(1))
    assert result.score == pytest.approx(float(score.group(1)), rel=1e-12)
    theirs = clade_notes(target, result.taxa, rooted=True)
    ours = our_notes(result, rooted=True)
    assert set(theirs) == set(ours)
    for clade, notes in theirs.items():
        mine = ours[clade]
        if "posterior" in notes:
            assert float(notes["posterior"]) == mine["posterior"]
        expected = float(notes["height"]) if heights == "mean" else float(notes["height_median"])
        if heights != "keep":
            assert mine["_height"] == pytest.approx(expected, rel=1e-6, abs=1e-9), sorted(clade)
        for name in ("height_95%_HPD", "rate_95%_HPD", "length_95%_HPD"):
            if name not in notes:  # the root's branch has no rate
                continue
            low, high = (float(x) for x in notes[name].strip("{}").split(","))
            assert mine[name] == pytest.approx((low, high), rel=1e-6, abs=1e-9), (name, sorted(clade))
        assert mine["rate"] == pytest.approx(float(notes["rate"]), rel=1e-9)
        if len(clade) < len(result.taxa):
            assert mine["_length"] == pytest.approx(float(notes["_length"]), rel=1e-6, abs=1e-9), sorted(clade)


def test_annotation_parser_keeps_braces_and_quotes() -> None:
    assert parse_annotations('a=1,b={0.1,0.2},c="x,y",d') == {"a": "1", "b": "{0.1,0.2}", "c": '"x,y"'}


def with_traits(source: Path, target: Path, seed: int = 20261208) -> None:
    """The BEAST 2 posterior with its rates replaced by two traits simulated down each tree (seeded): a
    discrete `location` (kept from the parent with probability 0.7, else drawn from X, Y, Z) and a 2-D
    `coords` random walk."""
    rng = np.random.default_rng(seed)
    lines = []
    for line in source.read_text().splitlines():
        found = re.match(r"(tree STATE_\d+ = )(.*)$", line)
        if found is None:
            lines.append(line)
            continue
        text = re.sub(r"\[&rate=[^\]]*\]", "", found.group(2))
        parent = parse(text).parent  # nodes in pre-order, as the tokens below meet them
        state: list[str] = []
        where: list[tuple[float, float]] = []
        for up in parent:
            keep = up >= 0 and rng.random() < 0.7
            state.append("X" if up < 0 else state[up] if keep else str(rng.choice(["X", "Y", "Z"])))
            origin = (0.0, 0.0) if up < 0 else where[up]
            where.append((round(origin[0] + rng.normal(), 4), round(origin[1] + rng.normal(), 4)))
        notes = [f'[&location="{s}",coords={{{x},{y}}}]' for s, (x, y) in zip(state, where, strict=True)]
        out: list[str] = []
        open_nodes: list[int] = []
        count = 0
        for token in re.split(r"(\(|\)|,|:[^,();]*|;)", text):
            if token == "(":
                open_nodes.append(count)
                count += 1
                out.append(token)
            elif token == ")":
                out.append(token + notes[open_nodes.pop()])
            elif token and token != "," and not token.startswith(":") and token != ";":
                out.append(token + notes[count])
                count += 1
            else:
                out.append(token)
        lines.append(found.group(1) + "".join(out))
    target.write_text("\n".join(lines) + "\n")


def annotation_value(text: str) -> object:
    text = text.strip()
    if text.startswith("{"):
        return tuple(annotation_value(part) for part in text[1:-1].split(","))
    return text.strip('"') if text.startswith('"') else float(text)


def same(ours: object, theirs: object) -> bool:
    """Equal to TreeAnnotator's printed digits (it prints Java's shortest round-trip doubles)."""
    if isinstance(theirs, tuple):
        return isinstance(ours, tuple) and len(ours) == len(theirs) and all(map(same, ours, theirs))
    if isinstance(theirs, str):
        return ours == theirs
    return isinstance(ours, float) and math.isclose(ours, float(theirs), rel_tol=1e-9, abs_tol=1e-12)


TARGET = ("#NEXUS\nbegin trees;\n tree t = [&R] (((human:0.02,siamang:0.02):0.005,(chimp:0.01,bonobo:0.01):0.015)"
          ":0.04,(orangutan:0.045,gorilla:0.045):0.02);\nend;\n")  # (human, siamang) is in no sampled tree


@pytest.mark.skipif(TREEANNOTATOR is None, reason="TreeAnnotator (beast-mcmc) is not installed")
@pytest.mark.parametrize(("heights", "target"), [("mean", False), ("median", False), ("keep", False), ("ca", False),
                                                 ("mean", True), ("keep", True), ("ca", True)])
def test_every_annotation_equals_treeannotator(tmp_path: Path, heights: str, target: bool) -> None:
    trees = tmp_path / "traits.trees"
    with_traits(BEAST_TREES, trees)
    out = tmp_path / "ta.tre"
    extra = []
    if target:
        (tmp_path / "target.tre").write_text(TARGET)
        extra = ["-target", str(tmp_path / "target.tre")]
    done = subprocess.run([str(TREEANNOTATOR), "-burninTrees", "250", "-heights", heights, *extra, str(trees),
                           str(out)], capture_output=True, text=True, timeout=300)
    assert out.exists(), done.stdout[-2000:] + done.stderr[-2000:]
    # TreeAnnotator 1.10 reads every tree when given a target, whatever the burn-in.
    result = summarize([trees], method="mcc", burnin=0 if target else 250, rooted=True, heights=heights,
                       target=tmp_path / "target.tre" if target else None)
    theirs = clade_notes(out, result.taxa, rooted=True)
    ours = our_notes(result, rooted=True)
    assert set(theirs) == set(ours)
    if target:
        assert ours[frozenset({"human", "siamang"})]["posterior"] == 0.0
    for clade, notes in theirs.items():
        mine = ours[clade]
        written = {name for name in mine if not name.startswith("_")}
        assert written == set(notes) - {"_length"}, sorted(clade)
        for name, text in notes.items():
            if name == "_length":
                if len(clade) < len(result.taxa):
                    assert same(mine["_length"], float(text)), (sorted(clade), name)
            else:
                assert same(mine[name], annotation_value(text)), (sorted(clade), name, mine[name], text)
    assert {"location.set.prob", "coords1_median", "coords2_range"} <= set(ours[frozenset({"human"})])
