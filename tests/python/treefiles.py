"""Writes one list of trees as the tree files that MCMC and bootstrap programs produce."""

import gzip
import random
import re

import brantoveil
import numpy as np

TAXA = ["Homo", "Pan", "Gorilla", "Pongo", "Hylobates", "Macaca", "Papio", "Saimiri"]


def random_trees(n, seed=7, taxa=TAXA):
    """Random binary trees with branch lengths that are exact binary fractions."""
    rng = random.Random(seed)
    trees = []
    for _ in range(n):
        nodes = [f"{name}:{rng.randrange(1, 32) / 16}" for name in taxa]
        while len(nodes) > 2:
            a = nodes.pop(rng.randrange(len(nodes)))
            b = nodes.pop(rng.randrange(len(nodes)))
            nodes.append(f"({a},{b}):{rng.randrange(1, 32) / 16}")
        trees.append(f"({nodes[0]},{nodes[1]});")
    return trees


def numbered(tree, numbers):
    """The tree with every taxon name replaced by its number."""
    return re.sub(r"[A-Za-z]+", lambda m: str(numbers.get(m.group(), m.group())), tree)


def nexus(trees, names=None, numbers=None, extra=""):
    """MrBayes-style NEXUS: a translate table (taxon -> number) and `tree NAME = [&U] ...;` lines."""
    names = names or [f"gen.{100 * k}" for k in range(len(trees))]
    lines = ["#NEXUS", "[ID: 42]", "begin taxa;", f"  dimensions ntax={len(TAXA)};",
             "  taxlabels " + " ".join(TAXA) + ";", "end;", "begin trees;"]
    if numbers is not None:
        entries = [f"      {numbers[t]} {t}" for t in sorted(TAXA, key=lambda t: numbers[t])]
        lines.append("   translate\n" + ",\n".join(entries) + ";")
    for name, tree in zip(names, trees, strict=True):
        body = numbered(tree, numbers) if numbers is not None else tree
        lines.append(f"   tree {name} = [&U] {body}{extra}")
    lines.append("end;")
    return "\n".join(lines) + "\n"


def write(path, text, compress=False):
    data = text.encode("utf-8") if isinstance(text, str) else text
    if compress:
        data = gzip.compress(data)
    path.write_bytes(data)
    return path


def engine_matrix(trees, metric="rf", rooted=False):
    """The matrix straight from the extension, for comparison."""
    names = [str(k) for k in range(len(trees))]
    if metric == "rf":
        _, data = brantoveil.pairwise_rf_from_newick_iter(names, iter(trees), [{}], [0] * len(trees), rooted)
        return np.frombuffer(data, dtype="<u4").reshape(len(trees), len(trees))
    function = (brantoveil.pairwise_wrf_with_snapshots_from_newick_iter if metric == "wrf"
                else brantoveil.pairwise_kf_with_snapshots_from_newick_iter)
    result = function(names, iter(trees), [{}], [0] * len(trees), rooted)
    return np.frombuffer(result[1], dtype="<f8").reshape(len(trees), len(trees))


def random_tree(taxa, rng):
    """A random unrooted binary topology over `taxa` as Newick text, without lengths."""
    nodes = list(taxa)
    while len(nodes) > 2:
        a = nodes.pop(rng.randrange(len(nodes)))
        b = nodes.pop(rng.randrange(len(nodes)))
        nodes.append(f"({a},{b})")
    return f"({nodes[0]},{nodes[1]});"


def write_runs(folder, runs):
    """One Newick file per run (run1.nwk, run2.nwk, ...) in `folder`; their paths."""
    paths = []
    for r, texts in enumerate(runs):
        path = folder / f"run{r + 1}.nwk"
        path.write_text("\n".join(texts) + "\n")
        paths.append(path)
    return paths
