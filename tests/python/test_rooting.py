"""The one rooting rule: --rooted / --unrooted, else [&R] / [&U], else a root with two children in every tree."""

from __future__ import annotations

from pathlib import Path

import numpy as np
import pytest
from brantoveil_tools import cli
from brantoveil_tools.errors import BrantoveilError
from brantoveil_tools.rooting import decide, decide_from_texts, root_children, time_tree

EXAMPLES = Path(__file__).resolve().parents[2] / "examples"
RIGHT = "((A:1,B:1):1,(C:1,D:1):1);"
THREE = "(A:1,B:1,(C:1,D:1):1);"


@pytest.mark.parametrize(("texts", "given", "rooted", "reason"), [
    ([RIGHT, RIGHT], None, True, "no [&R] or [&U], and every tree's root has two children"),
    ([RIGHT, THREE], None, False, "no [&R] or [&U], and the root of t2 has more than two children"),
    (["[&U] " + RIGHT], None, False, "the files mark the trees [&U] (first: t1)"),  # the mark wins over the shape
    (["[&R] " + THREE, RIGHT], None, True, "the files mark the trees [&R] (first: t1)"),
    ([THREE], True, True, "--rooted given"),
    ([RIGHT], False, False, "--unrooted given"),
    # Commas and parentheses inside comments and quoted names are not the root's.
    (["((A[&x={1,2}],'B,(C'),(C,D));"], None, True, "no [&R] or [&U], and every tree's root has two children"),
])
def test_the_rule_and_its_reason(texts: list[str], given: bool | None, rooted: bool, reason: str) -> None:
    decision = decide_from_texts(texts, [f"t{i + 1}" for i in range(len(texts))], given)
    assert (decision.rooted, decision.reason) == (rooted, reason)


def test_trees_marked_both_ways_are_an_error() -> None:
    with pytest.raises(BrantoveilError, match=r"marked both rooted \(\[&R\], t1\) and unrooted \(\[&U\], t2\)"):
        decide_from_texts(["[&R]" + RIGHT, "[&U]" + THREE], ["t1", "t2"])


@pytest.mark.parametrize(("text", "children"), [(RIGHT, 2), (THREE, 3), ("A;", 0), ("(A,B,C,D,E);", 5)])
def test_root_children(text: str, children: int) -> None:
    assert root_children(text) == children


def test_files_decide_and_the_matrix_commands_warn(tmp_path: Path, capsys: pytest.CaptureFixture[str]) -> None:
    beast = EXAMPLES / "beast2" / "relaxed.seed1.trees.gz"
    assert decide(beast).rooted and not decide(EXAMPLES / "primates.run1.t").rooted
    for given, warned in ((None, True), ("--unrooted", False), ("--rooted", False)):
        out = tmp_path / f"{given}.npy"
        assert cli.main(["rf", str(beast), "-o", str(out), *([given] if given else [])]) == 0
        assert ("look like rooted time trees" in capsys.readouterr().err) == warned
        assert np.load(out).shape == (751, 751)


@pytest.mark.parametrize(("text", "expected"), [
    ("((A:1,B:1):1,(C:1.5,D:1.5):0.5);", True),  # every tip 2 from the root
    ("((A[&rate=1]:1,B:1)[&h=1]:1,C:2)root:0;", True),  # comments and the root's own label and length
    ("((A:1,B:2):1,C:2);", False),  # tips at different heights
    ("((A,B),(C,D));", False),  # no lengths: a topology, not a time tree
    ("((A:1,B:1),C:2);", False),  # a clade without its length
])
def test_time_trees(text: str, expected: bool) -> None:
    assert time_tree(text) == expected
