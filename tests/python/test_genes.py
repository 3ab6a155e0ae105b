"""Gene trees with their own taxa: distances on shared taxa against DendroPy, the same-taxa fast path,
the file forms gene trees come in, and the command line's outputs."""

from __future__ import annotations

import random
import sys
from pathlib import Path

import numpy as np
import pytest
from brantoveil_tools import distances
from brantoveil_tools.cli import main
from brantoveil_tools.errors import BrantoveilError
from brantoveil_tools.genes import gene_distances, read_gene_trees

sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "bench"))
import gene_sample

dendropy = pytest.importorskip("dendropy")
from dendropy.calculate import treecompare  # noqa: E402


def _with_polytomies(texts: list[str], rooted: bool, seed: int) -> list[str]:
    """The trees with a fifth of their inner edges collapsed, written back by DendroPy."""
    rng = random.Random(seed)
    out = []
    for text in texts:
        tree = dendropy.Tree.get(data=text, schema="newick", rooting="force-rooted" if rooted else "force-unrooted")
        for node in list(tree.postorder_internal_node_iter()):
            if node is not tree.seed_node and rng.random() < 0.2:
                node.edge.collapse()
        out.append(tree.as_string(schema="newick", suppress_rooting=True).strip())
    return out


def _pruned(text: str, shared: set[str], namespace: object, rooted: bool) -> object:
    """DendroPy's induced subtree on `shared`. An edge above the root separates no taxa, so it carries no
    length; DendroPy keeps only one of the two root edges of an unrooted tree, which are one edge, so
    they are joined here first."""
    tree = dendropy.Tree.get(data=text, schema="newick", taxon_namespace=namespace,
                             rooting="force-rooted" if rooted else "force-unrooted")
    pruned = tree.extract_tree_with_taxa_labels(shared)
    pruned.is_rooted = rooted
    pruned.seed_node.edge.length = None
    kids = pruned.seed_node.child_nodes()
    if not rooted and len(kids) == 2:
        inner, other = (kids[0], kids[1]) if not kids[0].is_leaf() else (kids[1], kids[0])
        other.edge.length = (other.edge.length or 0.0) + (inner.edge.length or 0.0)
        inner.edge.collapse()
    return pruned


@pytest.mark.parametrize("rooted", [False, True])
def test_every_metric_equals_dendropy_on_pruned_pairs(rooted: bool) -> None:
    texts = _with_polytomies(gene_sample.gene_trees(66, 30, (0.1, 0.6), seed=5, unrooted=not rooted), rooted, 1)
    results = {metric: gene_distances(texts, metric, rooted=rooted).matrix for metric in ("rf", "wrf", "kf")}
    leaves = [set(dendropy.Tree.get(data=t, schema="newick").taxon_namespace.labels()) for t in texts]
    compared = 0
    for i in range(len(texts)):
        for j in range(i + 1, len(texts)):
            shared = leaves[i] & leaves[j]
            if len(shared) < (3 if rooted else 4):
                assert all(np.isnan(m[i, j]) for m in results.values())
                continue
            namespace = dendropy.TaxonNamespace()
            a, b = (_pruned(texts[k], shared, namespace, rooted) for k in (i, j))
            assert results["rf"][i, j] == treecompare.symmetric_difference(a, b)
            assert results["wrf"][i, j] == pytest.approx(treecompare.weighted_robinson_foulds_distance(a, b), abs=1e-9)
            assert results["kf"][i, j] == pytest.approx(treecompare.euclidean_distance(a, b), abs=1e-9)
            compared += 1
    assert compared >= 2000


@pytest.mark.parametrize("metric", ["rf", "wrf", "kf"])
def test_pairs_with_the_same_taxa_equal_todays_matrix_bit_for_bit(metric: str) -> None:
    full = gene_sample.gene_trees(12, 25, (0.0, 0.0), seed=3)
    cut = gene_sample.gene_trees(8, 25, (0.2, 0.4), seed=4)
    texts = full[:6] + cut + full[6:]
    result = gene_distances(texts, metric)
    today = distances(full, metric).matrix
    same = list(range(6)) + list(range(14, 20))
    assert np.array_equal(result.matrix[np.ix_(same, same)].astype(np.float64), today.astype(np.float64))
    assert not np.isnan(result.matrix).any()


NEWICK = ["((a:1,b:1)0.95:1,(c:1,d:1)0.8:1,e:1);", "((a:1,c:2)95/100:1,(b:1,d:1):1,f:1);",
          "((a:1,b:1):1,(c:1,d:3):2,e:1,f:1);"]


@pytest.mark.parametrize("layout", ["plain", "named", "files", "nexus"])
def test_the_forms_gene_trees_come_in_read_alike(tmp_path: Path, layout: str) -> None:
    plain = [text.replace("0.95", "").replace("0.8", "").replace("95/100", "") for text in NEWICK]
    want = gene_distances(plain, "wrf").matrix
    if layout == "plain":
        sources: list[Path] = [tmp_path / "genes.nwk"]
        sources[0].write_text("\n".join(NEWICK) + "\n")
    elif layout == "named":
        sources = [tmp_path / "genes.treefile"]
        sources[0].write_text("".join(f"locus{i}\t{t}\n" for i, t in enumerate(NEWICK)))
    elif layout == "files":
        sources = [tmp_path / f"locus{i}.tre" for i in range(3)]
        for path, text in zip(sources, NEWICK, strict=True):
            path.write_text(text + "\n")
    else:
        sources = [tmp_path / "genes.nex"]
        numbers = {name: str(k + 1) for k, name in enumerate("abcdef")}
        body = "".join(f"  tree locus{i} = [&U] {''.join(numbers.get(c, c) for c in t)}\n"
                       for i, t in enumerate(NEWICK))
        table = ",\n".join(f"    {n} {name}" for name, n in numbers.items())
        sources[0].write_text(f"#NEXUS\nbegin trees;\n  translate\n{table};\n{body}end;\n")
    genes = read_gene_trees(sources if len(sources) > 1 else sources[0])
    assert len(genes) == 3
    if layout in ("named", "nexus"):
        assert genes.names == ("locus0", "locus1", "locus2")
    np.testing.assert_allclose(gene_distances(genes, "wrf").matrix, want)


def test_taxa_rules_and_reference_cut_as_asked(tmp_path: Path) -> None:
    texts = gene_sample.gene_trees(10, 12, (0.0, 0.3), seed=8)
    common = set.intersection(*(set(dendropy.Tree.get(data=t, schema="newick").taxon_namespace.labels())
                                for t in texts))
    listed = tmp_path / "taxa.txt"
    listed.write_text("# kept\n" + "\n".join(sorted(common)) + "\nnot_a_taxon\n")
    by_common = gene_distances(texts, taxa="common")
    np.testing.assert_array_equal(by_common.matrix, gene_distances(texts, taxa=listed).matrix)
    assert (by_common.shared == len(common)).all()
    reference = gene_distances(texts[1:], reference=texts[0])
    full = gene_distances(texts)
    np.testing.assert_array_equal(reference.matrix[:, 0], full.matrix[1:, 0])
    np.testing.assert_array_equal(reference.shared[:, 0], full.shared[1:, 0])


def test_command_writes_distances_shared_counts_and_normalised_values(tmp_path: Path,
                                                                      capsys: pytest.CaptureFixture[str]) -> None:
    genes = tmp_path / "genes.nwk"
    genes.write_text("((a,b),(c,d),e);\n((a,c),(b,d),f);\n((a,b),(c,x),y);\n")
    out = tmp_path / "rf.npz"
    assert main(["rf", str(genes), "--taxa", "shared", "--normalize", "-o", str(out)]) == 0
    saved = np.load(out)
    assert saved["distance"][0, 1] == 2 and saved["shared"][0, 1] == 4 and saved["normalized"][0, 1] == 1.0
    assert np.isnan(saved["distance"][0, 2]) and np.isnan(saved["normalized"][1, 2])
    assert "2 pairs share fewer than 4 taxa" in capsys.readouterr().err
    assert main(["rf", str(genes), "--taxa", "shared", "--normalize", "-o", str(tmp_path / "rf.csv")]) == 0
    assert (tmp_path / "rf.csv").read_text().splitlines()[1] == "1,0,1,nan"


@pytest.mark.parametrize(("argv", "message"), [
    (["wrf", "{genes}", "--taxa", "shared", "--normalize"], "normalize is defined for Robinson-Foulds only"),
    (["rf", "{genes}", "--reference", "{genes}"], "the reference must be one tree, not 2"),
    (["rf", "{genes}", "--taxa", "shared", "--burnin", "0.1"], "--burnin and --thin select MCMC samples"),
    (["rf", "{genes}", "--taxa", "nowhere.txt"], "'nowhere.txt' is none of these"),
])
def test_command_refuses_in_one_line(tmp_path: Path, capsys: pytest.CaptureFixture[str], argv: list[str],
                                     message: str) -> None:
    genes = tmp_path / "genes.nwk"
    genes.write_text("((a:1,b:1):1,(c:1,d:1):1,e:1);\n((a:1,c:1):1,(b:1,d:1):1,f:1);\n")
    assert main([arg.format(genes=genes) for arg in argv]) == 2
    assert message in capsys.readouterr().err


def test_api_refuses_gene_options_that_mean_nothing() -> None:
    with pytest.raises(BrantoveilError, match="without burn-in"):
        distances(NEWICK, "rf", taxa="shared", burnin=1)
